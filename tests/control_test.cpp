// Control and query calls without a serial line: command preparation and
// refusals, echo confirmation, the write-outcome query, the snapshot and
// Get_Value.
#include <pthread.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <iostream>
#include <mutex>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "plor_sps.h"
#include "test_support.h"

namespace {

using boost::posix_time::ptime;
using boost::posix_time::seconds;
using boost::posix_time::time_duration;
using boost::gregorian::date;

// Takes standard output from several threads at once.
class LockedCapture : private std::streambuf {
public:
    LockedCapture() : previous_(std::cout.rdbuf(this)) {}
    ~LockedCapture() override { std::cout.rdbuf(previous_); }

private:
    int_type overflow(int_type c) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!traits_type::eq_int_type(c, traits_type::eof())) text_.push_back(static_cast<char>(c));
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        std::lock_guard<std::mutex> lock(mutex_);
        text_.append(s, static_cast<size_t>(n));
        return n;
    }
    std::mutex mutex_;
    std::string text_;
    std::streambuf* previous_;
};

class Probe : public PLOR_SPS {
public:
    int pending() const { return __atomic_load_n(&pendingCode_, __ATOMIC_SEQ_CST); }
    int result() const { return write_result_.load(); }
    int expect() const { return write_expect_.load(); }
    int respond(uint16_t w0, uint16_t w1 = 0) {
        responseWords_[0] = w0;
        responseWords_[1] = w1;
        return process_payload(nullptr, 0);
    }
    void setTemperature(float t) {
        std::lock_guard<std::mutex> lock(snapshotMutex_);
        record_.temperature = t;
    }
};

// Runs fn on a thread with a small stack, as host threads on the board have.
void onSmallStack(const std::function<void()>& fn) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t thread;
    auto body = [](void* f) -> void* {
        (*static_cast<const std::function<void()>*>(f))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, body, const_cast<std::function<void()>*>(&fn)), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

std::vector<unsigned char> words(std::initializer_list<uint16_t> ws) {
    std::vector<unsigned char> out(ws.size() * 2);
    size_t i = 0;
    for (uint16_t w : ws) std::memcpy(&out[2 * i++], &w, 2);
    return out;
}

struct ControlTest : ::testing::Test {
    plortest::RecordingHost host;
    plortest::FakeClock clock;
    std::unique_ptr<Probe> dev{new Probe};

    void SetUp() override {
        dev->setClock([this] { return clock.now; });
    }

    int call(int code, const std::vector<unsigned char>& in, int capacity,
             std::vector<unsigned char>* out = nullptr, int* outLen = nullptr) {
        std::vector<unsigned char> buf(static_cast<size_t>(capacity > 0 ? capacity : 0));
        int len = -7;
        const int rc = dev->DeviceIoControl(code, in.empty() ? nullptr : in.data(),
                                            static_cast<int>(in.size()),
                                            buf.empty() ? nullptr : buf.data(), capacity, len);
        if (out != nullptr) *out = buf;
        if (outLen != nullptr) *outLen = len;
        return rc;
    }

    int query() {
        std::vector<unsigned char> out;
        call(1000, {}, 4, &out);
        int32_t v;
        std::memcpy(&v, out.data(), 4);
        return v;
    }

    // A completed round at the given time, through the cache path.
    void round(ptime at, float temperature = 25.0f) {
        clock.now = at;
        PLOR_SPS_Data_t rec{};
        rec.temperature = temperature;
        rec.loadCurrent = 12.5f;
        rec.dcVoltage = 53.5f;
        rec.acVoltage = 220.0f;
        const ttime_t stamp = get_ttime(at);
        std::memcpy(&rec.year, &stamp, sizeof stamp);
        plortest::CoutCapture quiet;
        ASSERT_TRUE(dev->LoadFromCache(reinterpret_cast<const unsigned char*>(&rec), sizeof rec));
    }

    std::string snapshotText() {
        std::vector<unsigned char> out;
        int len = 0;
        EXPECT_EQ(call(801, {}, 512, &out, &len), 0);
        return std::string(out.begin(), out.begin() + len);
    }
};

TEST_F(ControlTest, SingleWriteConfirmsOnlyTheWrittenValue) {
    struct Case {
        uint16_t echo;
        int result;
    } cases[] = {{0x1234, 1}, {0x1235, 3}, {0, 3}, {0xFFFF, 3}};
    for (const Case& c : cases) {
        plortest::CoutCapture quiet;
        EXPECT_EQ(call(206, words({0x0010, 0x1234}), 0), 0);
        EXPECT_EQ(dev->expect(), 4660);
        EXPECT_EQ(dev->result(), -1);
        host.clear();
        EXPECT_EQ(dev->respond(c.echo), 0);
        EXPECT_EQ(dev->result(), c.result) << c.echo;
        EXPECT_EQ(host.callsOf("Reset").size(), 1u);
    }
}

TEST_F(ControlTest, MultipleWriteTakesWholeWordsAndConfirmsFunctionAndCount) {
    plortest::CoutCapture quiet;
    // Seven bytes: address and two values; the odd byte is ignored.
    std::vector<unsigned char> in = words({0x0100, 7, 8});
    in.push_back(0xAA);
    EXPECT_EQ(call(210, in, 0), 0);
    auto writes = host.callsOf("ModbusWrite");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].code, 16);
    EXPECT_EQ(writes[0].address, 0x0100);
    EXPECT_EQ(writes[0].words, (std::vector<uint16_t>{7, 8}));
    EXPECT_EQ(dev->expect(), 2);

    struct Case {
        uint16_t w0, w1;
        int result;
    } cases[] = {{16, 2, 1}, {16, 3, 3}, {6, 2, 3}, {0, 0, 3}};
    for (const Case& c : cases) {
        EXPECT_EQ(dev->respond(c.w0, c.w1), 0);
        EXPECT_EQ(dev->result(), c.result) << c.w0 << "," << c.w1;
    }

    host.clear();
    EXPECT_EQ(call(210, words({0x0200, 9}), 0), 0);
    writes = host.callsOf("ModbusWrite");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].words, (std::vector<uint16_t>{9}));
    EXPECT_EQ(dev->expect(), 1);
}

TEST_F(ControlTest, RepliesAfterRequestAndOpenAreNotWriteOutcomes) {
    plortest::CoutCapture quiet;
    const std::string body = "{\"signal_id\":\"x\"}";
    for (int code : {310, 320}) {
        call(206, words({1, 5}), 0);
        dev->respond(5);
        ASSERT_EQ(dev->result(), 1);
        call(code, std::vector<unsigned char>(body.begin(), body.end()), 0);
        EXPECT_EQ(dev->pending(), code);
        EXPECT_EQ(dev->result(), -1);
        host.clear();
        EXPECT_EQ(dev->respond(5), 1);
        EXPECT_EQ(dev->result(), -1);
        EXPECT_TRUE(host.callsOf("Reset").empty());
    }
    // Before any command, too.
    Probe fresh;
    EXPECT_EQ(fresh.respond(0), 1);
    EXPECT_EQ(fresh.result(), -1);
}

// A host that hands over the earlier write's echo late: while the next
// command opens the port (the moment its state is already reset), or from
// inside its own failure report on the caller's thread.
class LateEchoHost : public plortest::RecordingHost {
public:
    Probe* dev = nullptr;
    int echoAtOpen = 0;     // the OpenPort call that delivers it (0: none)
    int retries = 0;        // writes issued from onModbusReply
    uint16_t echo = 0;
    int opens = 0;
    int resultAtEcho = 0;  // what a caller reading the outcome right then sees
    void onOpenPort(const SMDVDevice& d, const std::string& port, bool ok) override {
        RecordingHost::onOpenPort(d, port, ok);
        if (++opens != echoAtOpen) return;
        dev->respond(echo);
        resultAtEcho = dev->result();
    }
    void onModbusReply(const SMDVDevice&, int, int, int, bool) override {
        if (retries <= 0) return;
        const std::vector<unsigned char> in = words({0x101, static_cast<uint16_t>(10 + retries--)});
        int len = 0;
        dev->DeviceIoControl(206, in.data(), static_cast<int>(in.size()), nullptr, 0, len);
    }
};

TEST_F(ControlTest, NoReplyToAnEarlierWriteSetsALaterOutcome) {
    const struct Case {
        const char* what;
        int code;
        std::vector<unsigned char> in;
        int echoAtOpen;
        int result;
    } cases[] = {
        {"same value, refused register", 206, words({0x500, 7}), 2, -1},
        {"several registers", 210, words({0x500, 7}), 2, -1},
        {"port opened", 320, {}, 2, -1},
        {"echo before the next command", 206, words({0x500, 7}), 0, -1},
    };
    for (const Case& c : cases) {
        dev.reset(new Probe);
        LateEchoHost late;
        late.dev = dev.get();
        late.echo = 7;
        late.echoAtOpen = c.echoAtOpen;
        plortest::CoutCapture quiet;
        call(206, words({0x101, 7}), 0);
        if (c.echoAtOpen == 0) {
            dev->respond(7);
            EXPECT_EQ(dev->result(), 1) << c.what;
        }
        call(c.code, c.in, 0);
        // Between the two: the new command is issued, its write not yet sent.
        if (c.echoAtOpen != 0) {
            EXPECT_EQ(late.resultAtEcho, -1) << c.what;
        }
        EXPECT_EQ(dev->result(), c.result) << c.what;
        EXPECT_EQ(dev->pending(), c.code) << c.what;
    }
}

// Without a port every submit fails at once, on the caller's thread; a host
// that retries from that report queues behind the write it is told about.
TEST_F(ControlTest, WriteIssuedFromTheFailureReportGoesOutNextAndOwnsTheOutcome) {
    LateEchoHost retrying;
    retrying.dev = dev.get();
    retrying.retries = 3;
    plortest::CoutCapture quiet;
    call(206, words({0x101, 1}), 0);
    const auto writes = retrying.callsOf("ModbusWrite");
    ASSERT_EQ(writes.size(), 4u);
    for (size_t i = 0; i < writes.size(); ++i) {
        EXPECT_EQ(writes[i].words.at(0), i == 0 ? 1 : 14 - i) << i;
    }
    EXPECT_EQ(retrying.callsOf("OpenPort").size(), 4u);
    EXPECT_EQ(dev->respond(12), 0);
    EXPECT_EQ(dev->result(), 3);
    EXPECT_EQ(dev->respond(11), 0);
    EXPECT_EQ(dev->result(), 1);
}

TEST_F(ControlTest, RefusedInputsChangeNothingButStillPrintTheLine) {
    {
        plortest::CoutCapture quiet;
        call(206, words({1, 9}), 0);
    }
    dev->respond(9);
    ASSERT_EQ(dev->result(), 1);
    ASSERT_EQ(dev->pending(), 206);

    const std::vector<unsigned char> three{1, 2, 3};
    struct Case {
        const char* what;
        int code;
        const void* input;
        int length;
    } cases[] = {
        {"206 short", 206, three.data(), 3},
        {"206 empty", 206, nullptr, 0},
        {"206 null with length", 206, nullptr, 4},
        {"206 negative", 206, three.data(), -4},
        {"210 short", 210, three.data(), 3},
        {"210 null with length", 210, nullptr, 8},
        {"310 null with length", 310, nullptr, 5},
        {"310 negative", 310, three.data(), -1},
        {"320 negative", 320, three.data(), -1},
    };
    std::vector<unsigned char> tooMany(2 * 125, 0);  // address and 124 registers
    host.clear();
    for (const Case& c : cases) {
        plortest::CoutCapture out;
        int len = 0;
        EXPECT_EQ(dev->DeviceIoControl(c.code, c.input, c.length, nullptr, 0, len), -1) << c.what;
        EXPECT_EQ(out.lines(), std::vector<std::string>{"PLOR_SPS::DeviceIoControl " +
                                                        std::to_string(c.code)})
            << c.what;
    }
    {
        plortest::CoutCapture quiet;
        EXPECT_EQ(call(210, tooMany, 0), -1);
    }
    EXPECT_TRUE(host.calls().empty());
    EXPECT_EQ(dev->pending(), 206);
    EXPECT_EQ(dev->result(), 1);
    EXPECT_EQ(dev->expect(), 9);

    // The protocol's limit itself goes out.
    plortest::CoutCapture quiet;
    std::vector<unsigned char> most(2 * 124, 0);
    EXPECT_EQ(call(210, most, 0), 0);
    EXPECT_EQ(dev->expect(), 123);
}

TEST_F(ControlTest, JsonRequestPassesOnlyBoundedObjects) {
    host.ioControlResult = 7;
    std::string deep(33, '[');
    deep += std::string(33, ']');
    std::string deepObject;
    for (int i = 0; i < 31; ++i) deepObject += "{\"a\":";
    deepObject += "1" + std::string(31, '}');
    struct Case {
        std::string body;
        int rc;
    } cases[] = {
        {"{\"signal_id\":\"0401001\"}", 7},
        {"{}", 7},
        {"/* note */ {\"signal_id\": [1, \"[[[\"]}", 7},
        {deepObject, 7},
        {"[1,2]", -1},
        {"42", -1},
        {"\"text\"", -1},
        {"null", -1},
        {"{", -1},
        {"", -1},
        {deep, -1},
        {std::string(200000, '['), -1},
        {std::string(200000, '{'), -1},
    };
    for (const Case& c : cases) {
        plortest::CoutCapture quiet;
        host.clear();
        int rc = 0;
        EXPECT_NO_THROW(
            rc = call(310, std::vector<unsigned char>(c.body.begin(), c.body.end()), 0));
        EXPECT_EQ(rc, c.rc) << c.body.substr(0, 40);
        EXPECT_EQ(host.callsOf("IoControl").size(), c.rc == 7 ? 1u : 0u);
        EXPECT_EQ(host.callsOf("OpenPort").size(), 1u);
        EXPECT_EQ(dev->pending(), 310);
    }
}

// Neither kind of comment may hide brackets from the depth bound: a quote
// inside one used to turn the rest into a string for the scan, and the JSON
// reader then recursed once per level on a small stack.
TEST_F(ControlTest, DepthBoundHoldsAcrossComments) {
    host.ioControlResult = 7;
    const std::string deep(990, '[');
    const std::string bounded = std::string(31, '[') + std::string(31, ']');
    struct Case {
        std::string body;
        int rc;
    } cases[] = {
        {"/*\"*/" + deep, -1},
        {"//\"\n" + deep, -1},
        {"{\"a\":\"/*\",\"b\":" + deep, -1},      // an opener inside a string is text
        {"{\"a\":\"\\\"//\",\"b\":" + deep, -1},  // so after an escaped quote
        {"/*" + std::string(40, '[') + "*/{\"a\":" + bounded + "}", 7},
        {"// [[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[\n{}", 7},
    };
    for (const Case& c : cases) {
        plortest::CoutCapture quiet;
        int rc = 0;
        onSmallStack([&] { rc = call(310, std::vector<unsigned char>(c.body.begin(), c.body.end()), 0); });
        EXPECT_EQ(rc, c.rc) << c.body.substr(0, 24);
    }
}

TEST_F(ControlTest, QueryGivesTheOutcomeOnlyWhenItFits) {
    plortest::CoutCapture quiet;
    host.ioControlResult = 5;
    std::vector<unsigned char> out;
    int len = 0;
    EXPECT_EQ(call(999, {}, 3, &out, &len), 5);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(out, std::vector<unsigned char>(3, 0));
    EXPECT_EQ(host.callsOf("IoControl").size(), 1u);

    EXPECT_EQ(call(999, {}, 4, &out, &len), 5);
    EXPECT_EQ(len, 4);
    int32_t v;
    std::memcpy(&v, out.data(), 4);
    EXPECT_EQ(v, -1);

    // A null output is no room at all.
    int nlen = 9;
    EXPECT_EQ(dev->DeviceIoControl(999, nullptr, 0, nullptr, 64, nlen), 5);
    EXPECT_EQ(nlen, 0);

    call(206, words({2, 3}), 0);
    dev->respond(3);
    EXPECT_EQ(query(), 1);
}

TEST_F(ControlTest, SnapshotBeforeTheFirstRoundIsNull) {
    plortest::CoutCapture quiet;
    std::vector<unsigned char> out;
    int len = 0;
    EXPECT_EQ(call(801, {}, 5, &out, &len), 0);
    EXPECT_EQ(len, 5);
    EXPECT_EQ(std::string(out.begin(), out.end()), "null\n");
}

TEST_F(ControlTest, SnapshotTextFitsExactlyOrReportsItsSize) {
    round(ptime(date(2024, 3, 5), time_duration(7, 4, 9)));
    plortest::CoutCapture quiet;
    const std::string text = snapshotText();
    Json::Value doc;
    ASSERT_TRUE(Json::Reader().parse(text, doc));
    EXPECT_EQ(doc["更新时间"].asString(), "2024-3-5 7:4:9");
    EXPECT_DOUBLE_EQ(doc["温度"].asDouble(), 25.0);
    EXPECT_DOUBLE_EQ(doc["负载电流"].asDouble(), 12.5);
    EXPECT_DOUBLE_EQ(doc["直流电压"].asDouble(), 53.5);
    EXPECT_DOUBLE_EQ(doc["交流电压"].asDouble(), 220.0);
    EXPECT_EQ(doc.size(), 5u);

    const int n = static_cast<int>(text.size());
    std::vector<unsigned char> out;
    int len = 0;
    EXPECT_EQ(call(801, {}, n, &out, &len), 0);
    EXPECT_EQ(len, n);
    EXPECT_EQ(std::string(out.begin(), out.end()), text);

    EXPECT_EQ(call(801, {}, n - 1, &out, &len), -1);
    EXPECT_EQ(len, n);
    EXPECT_EQ(out, std::vector<unsigned char>(static_cast<size_t>(n - 1), 0));

    int nlen = 0;
    EXPECT_EQ(dev->DeviceIoControl(801, nullptr, 0, nullptr, 4096, nlen), -1);
    EXPECT_EQ(nlen, n);
    EXPECT_TRUE(host.callsOf("IoControl").empty());
}

TEST_F(ControlTest, SnapshotIsRebuiltOnlyAfterANewRound) {
    round(ptime(date(2024, 12, 31), time_duration(23, 59, 5)));
    plortest::CoutCapture quiet;
    const std::string first = snapshotText();
    EXPECT_NE(first.find("2024-12-31 23:59:5\""), std::string::npos) << first;
    dev->setTemperature(99.0f);
    EXPECT_EQ(snapshotText(), first);

    round(ptime(date(2025, 1, 1), time_duration(0, 0, 0)), 31.0f);
    const std::string second = snapshotText();
    EXPECT_NE(second.find("2025-1-1 0:0:0"), std::string::npos) << second;
    EXPECT_NE(second.find("31"), std::string::npos) << second;
}

// Two rounds within one second share an update time; the snapshot must still
// follow each of them.
TEST_F(ControlTest, SnapshotFollowsEveryRoundWithinOneSecond) {
    const ptime at(date(2024, 3, 5), time_duration(7, 4, 9));
    plortest::CoutCapture quiet;
    std::vector<unsigned char> out;
    int len = 0;
    for (float t : {25.0f, 31.0f, 40.0f}) {
        round(at, t);
        Json::Value doc;
        ASSERT_TRUE(Json::Reader().parse(snapshotText(), doc));
        EXPECT_EQ(doc["温度"].asDouble(), t);
        round(at, t + 1);
        ASSERT_EQ(call(803, {}, static_cast<int>(sizeof(void*)), &out, &len), 0);
        const Json::Value* byAddress = nullptr;
        std::memcpy(&byAddress, out.data(), sizeof byAddress);
        EXPECT_EQ((*byAddress)["温度"].asDouble(), t + 1);
    }
}

TEST_F(ControlTest, SnapshotAddressHasThePointerWidth) {
    round(ptime(date(2024, 3, 5), time_duration(7, 4, 9)));
    plortest::CoutCapture quiet;
    const int width = static_cast<int>(sizeof(void*));
    std::vector<unsigned char> out;
    int len = 0;
    EXPECT_EQ(call(803, {}, width - 1, &out, &len), -1);
    EXPECT_EQ(len, width);
    EXPECT_EQ(out, std::vector<unsigned char>(static_cast<size_t>(width - 1), 0));

    EXPECT_EQ(call(803, {}, width, &out, &len), 0);
    EXPECT_EQ(len, width);
    const Json::Value* doc = nullptr;
    std::memcpy(&doc, out.data(), sizeof doc);
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ((*doc)["更新时间"].asString(), "2024-3-5 7:4:9");

    int nlen = 0;
    EXPECT_EQ(dev->DeviceIoControl(803, nullptr, 0, nullptr, 64, nlen), -1);
    EXPECT_EQ(nlen, width);
}

TEST_F(ControlTest, GetValueTellsWhyItHasNoValue) {
    auto message = [this] {
        try {
            dev->Get_Value(1, "x");
        } catch (const std::out_of_range& e) {
            return std::string(e.what());
        }
        return std::string("returned");
    };
    EXPECT_EQ(message(), "数据未就绪");
    const ptime at(date(2024, 3, 5), time_duration(7, 4, 9));
    round(at);
    struct Case {
        ptime now;
        const char* text;
    } cases[] = {
        {at, "不支持变量"},
        {at + seconds(60), "不支持变量"},
        {at + seconds(61), "数据已超时"},
        {at - seconds(3600), "不支持变量"},
    };
    for (const Case& c : cases) {
        clock.now = c.now;
        EXPECT_EQ(message(), c.text) << c.now;
    }
}

TEST_F(ControlTest, SnapshotTextStaysWholeWhileRoundsComplete) {
    round(ptime(date(2024, 3, 5), time_duration(7, 4, 9)));
    LockedCapture quiet;
    std::atomic<bool> done{false};
    std::thread rounds([this, &done] {
        PLOR_SPS_Data_t rec{};
        for (int i = 0; i < 200 && !done.load(); ++i) {
            rec.temperature = static_cast<float>(i);
            dev->LoadFromCache(reinterpret_cast<const unsigned char*>(&rec), sizeof rec);
        }
    });
    for (int i = 0; i < 200; ++i) {
        std::vector<unsigned char> out(512);
        int len = 0;
        ASSERT_EQ(dev->DeviceIoControl(801, nullptr, 0, out.data(), 512, len), 0);
        Json::Value doc;
        ASSERT_TRUE(Json::Reader().parse(std::string(out.begin(), out.begin() + len), doc));
        ASSERT_EQ(doc.size(), 5u);
    }
    done.store(true);
    rounds.join();
}

}  // namespace
