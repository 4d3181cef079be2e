// Control and query calls: register writes with echo confirmation, the JSON
// snapshot of the latest readings, the write-outcome query and Get_Value.
//
// Threads: DeviceIoControl runs on the host's caller threads, process_payload
// on the host's port thread. The pending code is a plain host int, so both
// sides reach it through atomic builtins; write_result_ and write_expect_ are
// atomics of their own. writeMutex_ ties them to the order of submission.
#include <cstdint>
#include <cstring>
#include <exception>
#include <iostream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "plor_sps.h"

namespace {

constexpr int kWriteRegister = 206;
constexpr int kWriteRegisters = 210;
constexpr int kJsonRequest = 310;
constexpr int kOpenRequest = 320;
constexpr int kSnapshotText = 801;
constexpr int kSnapshotRef = 803;

// Function 16 carries at most 123 registers in one request.
constexpr int kMaxRegisters = 123;

// A 310 body nested deeper than this is refused before parsing: the JSON
// reader recurses per level, and host threads on the board have small stacks.
constexpr int kMaxJsonDepth = 32;

uint16_t wordAt(const void* input, int index) {
    uint16_t w;
    std::memcpy(&w, static_cast<const unsigned char*>(input) + 2 * index, sizeof w);
    return w;
}

// Deepest bracket nesting as the JSON reader will see it: strings and both
// kinds of comment are skipped by the reader's own rules, so that neither a
// quote inside a comment nor a comment opener inside a string can hide
// brackets from the count. Anything the reader rejects may be miscounted, as
// long as it is never undercounted where the reader would recurse.
bool nestedDeeperThan(const std::string& text, int limit) {
    int depth = 0;
    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        const char c = text[i];
        if (c == '"') {
            // The reader ends a string at the first quote not escaped.
            for (++i; i < n && text[i] != '"'; ++i) {
                if (text[i] == '\\') ++i;
            }
        } else if (c == '/' && i + 1 < n && text[i + 1] == '*') {
            const size_t close = text.find("*/", i + 2);
            if (close == std::string::npos) return false;  // unterminated: refused anyway
            i = close + 1;
        } else if (c == '/' && i + 1 < n && text[i + 1] == '/') {
            while (i < n && text[i] != '\n' && text[i] != '\r') ++i;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return true;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

// Parses a 310 body; false for anything but a JSON object within the depth
// bound. Nothing the JSON library throws gets out.
bool parseRequest(const std::string& text) {
    if (nestedDeeperThan(text, kMaxJsonDepth)) return false;
    try {
        Json::Reader reader;
        Json::Value doc;
        if (!reader.parse(text, doc, true)) return false;
        if (!doc.isObject()) return false;
        const Json::Value& signal = doc["signal_id"];
        (void)signal;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

int PLOR_SPS::DeviceIoControl(int code, const void* input, int inputLength, void* output,
                              int outputCapacity, int& outputLength) {
    std::cout << "PLOR_SPS::DeviceIoControl " << code << std::endl;
    switch (code) {
    case kWriteRegister:
        return writeRegister(input, inputLength);
    case kWriteRegisters:
        return writeRegisters(input, inputLength);
    case kJsonRequest:
        return jsonRequest(input, inputLength, output, outputCapacity, outputLength);
    case kOpenRequest:
        return openRequest(input, inputLength, output, outputCapacity, outputLength);
    case kSnapshotText:
        return snapshotAsText(output, outputCapacity, outputLength);
    case kSnapshotRef:
        return snapshotByAddress(output, outputCapacity, outputLength);
    default:
        return writeResultQuery(code, input, inputLength, output, outputCapacity, outputLength);
    }
}

// An input the code cannot use is refused before anything happens (no
// pending code, no port, no outcome change).
bool PLOR_SPS::validCommand(int code, const void* input, int inputLength) const {
    if (inputLength < 0 || (input == nullptr && inputLength > 0)) return false;
    if (code == kWriteRegister && inputLength < 4) return false;
    if (code == kWriteRegisters) {
        const int count = inputLength / 2 - 1;
        if (inputLength < 4 || count < 1 || count > kMaxRegisters) return false;
    }
    return true;
}

// Under writeMutex_: a new command supersedes every earlier one, so no reply
// to those may set the outcome from here on.
void PLOR_SPS::beginCommand(int code, QueuedWrite* write) {
    ++commands_;
    __atomic_store_n(&pendingCode_, code, __ATOMIC_SEQ_CST);
    write_result_.store(-1);
    if (write != nullptr) {
        write->command = commands_;
        writes_.push_back(std::move(*write));
    }
}

// 310 and 320: prepared on the caller's thread. -1 for an unusable input.
int PLOR_SPS::prepareCommand(int code, const void* input, int inputLength) {
    if (!validCommand(code, input, inputLength)) return -1;
    {
        std::lock_guard<std::mutex> lock(writeMutex_);
        beginCommand(code, nullptr);
    }
    SMDSPDevice::OpenPort();
    return 0;
}

// Called with writeMutex_ held and submitting_ set; submits the queue in
// order and returns with the lock held again.
void PLOR_SPS::submitWrites(std::unique_lock<std::mutex>& lock) {
    while (!writes_.empty()) {
        const QueuedWrite w = std::move(writes_.front());
        writes_.pop_front();
        lock.unlock();
        // Supersedes the requests before: none of their replies reaches
        // process_payload once it has returned.
        SMDSPDevice::OpenPort();
        lock.lock();
        armed_ = w.command;
        write_expect_.store(w.expect);
        if (w.command == commands_) {
            __atomic_store_n(&pendingCode_, w.code, __ATOMIC_SEQ_CST);
            write_result_.store(-1);
        }
        lock.unlock();
        if (w.code == kWriteRegister) {
            modbus_write_register(w.address, w.values[0]);
        } else {
            modbus_write_registers(w.address, static_cast<int>(w.values.size()), w.values.data());
        }
        lock.lock();
    }
}

int PLOR_SPS::writeRegister(const void* input, int inputLength) {
    if (!validCommand(kWriteRegister, input, inputLength)) return -1;
    QueuedWrite w;
    w.code = kWriteRegister;
    w.address = wordAt(input, 0);
    w.values.assign(1, wordAt(input, 1));
    w.expect = w.values[0];
    return issueWrite(w);
}

int PLOR_SPS::writeRegisters(const void* input, int inputLength) {
    if (!validCommand(kWriteRegisters, input, inputLength)) return -1;
    const int count = inputLength / 2 - 1;
    QueuedWrite w;
    w.code = kWriteRegisters;
    w.address = wordAt(input, 0);
    // The input need not be aligned for 16-bit access.
    w.values.resize(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) w.values[static_cast<size_t>(i)] = wordAt(input, i + 1);
    w.expect = count;
    return issueWrite(w);
}

// The call returns once its write is submitted, or queued behind the one
// another thread (or an outer frame of this one) is submitting.
int PLOR_SPS::issueWrite(QueuedWrite& w) {
    std::unique_lock<std::mutex> lock(writeMutex_);
    beginCommand(w.code, &w);
    if (submitting_) return 0;
    submitting_ = true;
    try {
        submitWrites(lock);
    } catch (...) {
        // What is still queued goes with the next write.
        if (!lock.owns_lock()) lock.lock();
        submitting_ = false;
        throw;
    }
    submitting_ = false;
    return 0;
}

int PLOR_SPS::jsonRequest(const void* input, int inputLength, void* output, int outputCapacity,
                          int& outputLength) {
    if (prepareCommand(kJsonRequest, input, inputLength) != 0) return -1;
    const std::string text =
        inputLength > 0
            ? std::string(static_cast<const char*>(input), static_cast<size_t>(inputLength))
            : std::string();
    if (!parseRequest(text)) return -1;
    return SMDVDevice::DeviceIoControl(kJsonRequest, input, inputLength, output, outputCapacity,
                                       outputLength);
}

int PLOR_SPS::openRequest(const void* input, int inputLength, void* output, int outputCapacity,
                          int& outputLength) {
    if (prepareCommand(kOpenRequest, input, inputLength) != 0) return -1;
    return SMDVDevice::DeviceIoControl(kOpenRequest, input, inputLength, output, outputCapacity,
                                       outputLength);
}

// Under snapshotMutex_: the snapshot members from the record, in place.
void PLOR_SPS::fillSnapshot(Json::Value& doc) const {
    doc["温度"] = Json::Value(static_cast<double>(record_.temperature));
    doc["负载电流"] = Json::Value(static_cast<double>(record_.loadCurrent));
    doc["直流电压"] = Json::Value(static_cast<double>(record_.dcVoltage));
    doc["交流电压"] = Json::Value(static_cast<double>(record_.acVoltage));
    std::ostringstream when;
    when << static_cast<unsigned>(record_.year) << '-' << static_cast<unsigned>(record_.month)
         << '-' << static_cast<unsigned>(record_.day) << ' ' << static_cast<unsigned>(record_.hour)
         << ':' << static_cast<unsigned>(record_.minute) << ':'
         << static_cast<unsigned>(record_.second);
    doc["更新时间"] = Json::Value(when.str());
}

// The text is serialised once per round; the lock is held until it is
// copied out, so the caller never gets half of two rounds.
int PLOR_SPS::snapshotAsText(void* output, int outputCapacity, int& outputLength) {
    const int capacity = output != nullptr ? outputCapacity : 0;
    std::lock_guard<std::mutex> lock(snapshotMutex_);
    if (snapshotTextRound_ != rounds_) {
        if (rounds_ > 0) fillSnapshot(snapshotTextDoc_);
        snapshotText_ = Json::FastWriter().write(snapshotTextDoc_);
        snapshotTextRound_ = rounds_;
    }
    outputLength = static_cast<int>(snapshotText_.size());
    if (capacity < outputLength) return -1;
    std::memcpy(output, snapshotText_.data(), snapshotText_.size());
    return 0;
}

// The document at this address changes only inside an 803 call.
int PLOR_SPS::snapshotByAddress(void* output, int outputCapacity, int& outputLength) {
    const Json::Value* address = &snapshot_;
    {
        std::lock_guard<std::mutex> lock(snapshotMutex_);
        if (snapshotRound_ != rounds_) {
            snapshotRound_ = rounds_;
            snapshotTime_ = updateTime_;
            fillSnapshot(snapshot_);
        }
    }
    constexpr int width = static_cast<int>(sizeof address);
    const int capacity = output != nullptr ? outputCapacity : 0;
    outputLength = width;
    if (capacity < width) return -1;
    std::memcpy(output, &address, sizeof address);
    return 0;
}

int PLOR_SPS::writeResultQuery(int code, const void* input, int inputLength, void* output,
                               int outputCapacity, int& outputLength) {
    if (output != nullptr && outputCapacity >= 4) {
        const int32_t result = write_result_.load();
        std::memcpy(output, &result, sizeof result);
        outputLength = 4;
    } else {
        outputLength = 0;
    }
    return SMDVDevice::DeviceIoControl(code, input, inputLength, output, outputCapacity,
                                       outputLength);
}

int PLOR_SPS::process_payload(SPModbus::tab_type, unsigned int) {
    {
        std::lock_guard<std::mutex> lock(writeMutex_);
        // A reply that arrives once a newer command was issued answers an
        // earlier one: it may not set the newer one's outcome.
        if (armed_ != commands_) return 1;
        const int pending = __atomic_load_n(&pendingCode_, __ATOMIC_SEQ_CST);
        if (pending == kWriteRegister) {
            write_result_.store(responseWords_[0] == write_expect_.load() ? 1 : 3);
        } else if (pending == kWriteRegisters) {
            const bool echoed =
                responseWords_[0] == 16 && responseWords_[1] == write_expect_.load();
            write_result_.store(echoed ? 1 : 3);
        } else {
            return 1;
        }
    }
    Reset();
    return 0;
}

double PLOR_SPS::Get_Value(unsigned int, const std::string&) const {
    bool ready = false;
    boost::posix_time::ptime updated;
    {
        std::lock_guard<std::mutex> lock(snapshotMutex_);
        ready = dataReady_;
        updated = updateTime_;
    }
    // A cached record is ready a moment before its round stamps the time.
    if (!ready || updated.is_special()) throw std::out_of_range("数据未就绪");
    const int64_t age = (clock_() - updated).total_seconds();
    if (age > 60) throw std::out_of_range("数据已超时");
    throw std::out_of_range("不支持变量");
}
