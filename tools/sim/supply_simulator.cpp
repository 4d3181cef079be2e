#include <modbus.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "supply_simulator.h"

namespace smdhost {

struct SupplySimulator::Impl {
    modbus_t* ctx = nullptr;
    modbus_mapping_t* map = nullptr;
};

SupplySimulator::SupplySimulator(std::string device, int slaveAddress, Log log)
    : device_(std::move(device)), slave_(slaveAddress), log_(std::move(log)) {}

SupplySimulator::~SupplySimulator() { stop(); }

bool SupplySimulator::parseMode(const std::string& text, Mode& mode) {
    if (text == "echo") mode = echo;
    else if (text == "wrong") mode = wrong;
    else if (text == "silent") mode = silent;
    else return false;
    return true;
}

void SupplySimulator::start() {
    char name[256] = {};
    if (::openpty(&masterFd_, &slaveFd_, name, nullptr, nullptr) != 0)
        throw std::runtime_error(std::string("cannot open a pseudo-terminal: ") +
                                 std::strerror(errno));
    portPath_ = name;
    // Raw line both ways; the device's end stays open here too, so the
    // supply keeps its line when the host closes and reopens the port.
    termios tio{};
    ::tcgetattr(slaveFd_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slaveFd_, TCSANOW, &tio);
    ::fcntl(masterFd_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slaveFd_, F_SETFD, FD_CLOEXEC);
    if (::pipe2(stopPipe_, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe");

    impl_ = new Impl;
    impl_->ctx = modbus_new_rtu(portPath_.c_str(), 9600, 'N', 8, 1);
    impl_->map = modbus_mapping_new(0, 0, 65535, 0);
    if (impl_->ctx == nullptr || impl_->map == nullptr)
        throw std::runtime_error("cannot set up the simulated supply's Modbus server");
    modbus_set_slave(impl_->ctx, slave_);
    // The server speaks on the pty's master side, which has no path to open.
    modbus_set_socket(impl_->ctx, masterFd_);
    thread_ = std::thread([this] { run(); });
}

void SupplySimulator::run() {
    std::vector<uint8_t> query(MODBUS_RTU_MAX_ADU_LENGTH);
    for (;;) {
        pollfd fds[2] = {{masterFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        const int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || fds[1].revents != 0) return;
        if ((fds[0].revents & POLLIN) == 0) {
            // Nobody at the device's end right now (POLLHUP): wait a little.
            ::poll(&fds[1], 1, 50);
            if (fds[1].revents != 0) return;
            continue;
        }
        const int len = modbus_receive(impl_->ctx, query.data());
        if (len > 0) {
            std::lock_guard<std::mutex> lock(mapMutex_);
            answer(query.data(), len);
        }
        else if (len < 0) modbus_flush(impl_->ctx);
    }
}

void SupplySimulator::store(const unsigned char* q, int length) {
    const int function = q[1];
    const int address = q[2] << 8 | q[3];
    uint16_t* regs = impl_->map->tab_registers;
    if (function == MODBUS_FC_WRITE_SINGLE_REGISTER && address < 65535) {
        regs[address] = static_cast<uint16_t>(q[4] << 8 | q[5]);
    } else if (function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS) {
        const int count = q[4] << 8 | q[5];
        for (int i = 0; i < count && 8 + 2 * i < length && address + i < 65535; ++i)
            regs[address + i] = static_cast<uint16_t>(q[7 + 2 * i] << 8 | q[8 + 2 * i]);
    }
}

void SupplySimulator::answer(const unsigned char* q, int length) {
    const int function = q[1];
    const int address = q[2] << 8 | q[3];
    const Mode mode = mode_.load();
    std::string what;
    std::vector<uint8_t> raw(q, q + 6);  // slave, function, address, value or count
    if (function == MODBUS_FC_WRITE_SINGLE_REGISTER && length >= 8) {
        const int value = q[4] << 8 | q[5];
        what = "register " + std::to_string(address) + " <- " + std::to_string(value);
        const int wrongValue = (value + 1) & 0xffff;
        raw[4] = static_cast<uint8_t>(wrongValue >> 8);
        raw[5] = static_cast<uint8_t>(wrongValue);
    } else if (function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS && length >= 9) {
        const int count = q[4] << 8 | q[5];
        what = "registers " + std::to_string(address) + ".." + std::to_string(address + count - 1) +
               " <-";
        for (int i = 0; i < count && 7 + 2 * i + 1 < length; ++i)
            what += " " + std::to_string(q[7 + 2 * i] << 8 | q[8 + 2 * i]);
        const int wrongCount = (count + 1) & 0xffff;
        raw[4] = static_cast<uint8_t>(wrongCount >> 8);
        raw[5] = static_cast<uint8_t>(wrongCount);
    } else if (function == MODBUS_FC_READ_HOLDING_REGISTERS) {
        // The master's look at the line when it opens (does it echo?).
        what = "register " + std::to_string(address) + " read";
    } else {
        what = "request with function " + std::to_string(function);
    }
    const bool isWrite = function == MODBUS_FC_WRITE_SINGLE_REGISTER ||
                         function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS;
    // Logged before the reply goes out, so the line always comes before
    // whatever the master makes of the reply.
    if (mode == silent) {
        if (log_) log_(what + ", no reply (silent)");
        return;
    }
    if (mode == wrong && isWrite) {
        // Keep what was written, but answer with an echo that does not match.
        if (log_) log_(what + ", wrong echo sent");
        store(q, length);
        modbus_send_raw_request(impl_->ctx, raw.data(), static_cast<int>(raw.size()));
        return;
    }
    if (log_) log_(what + (isWrite ? ", echo sent" : ", answered"));
    if (modbus_reply(impl_->ctx, q, length, impl_->map) < 0 && log_)
        log_(what + ", reply failed: " + modbus_strerror(errno));
}

int SupplySimulator::registerValue(int address) const {
    std::lock_guard<std::mutex> lock(mapMutex_);
    if (impl_ == nullptr || address < 0 || address >= 65535) return -1;
    return impl_->map->tab_registers[address];
}

void SupplySimulator::stop() {
    if (stopPipe_[1] >= 0) {
        const char c = 'x';
        (void)::write(stopPipe_[1], &c, 1);
    }
    if (thread_.joinable()) thread_.join();
    if (impl_ != nullptr) {
        if (impl_->ctx != nullptr) modbus_free(impl_->ctx);
        if (impl_->map != nullptr) modbus_mapping_free(impl_->map);
        delete impl_;
        impl_ = nullptr;
    }
    for (int* fd : {&masterFd_, &slaveFd_, &stopPipe_[0], &stopPipe_[1]}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

}  // namespace smdhost
