// Rounds on one thread while others query the device: no torn record, and a
// host that calls back into the device from inside its services does not
// deadlock. Run under ThreadSanitizer in CI.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "acquisition_rig.h"
#include "test_support.h"

namespace {

using plortest::Rig;

// Sends standard output to /dev/null for a while: the device prints from
// several threads, which a capture buffer could not take.
class QuietStdout {
public:
    QuietStdout() {
        std::cout.flush();
        saved_ = ::dup(1);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::close(null);
    }
    ~QuietStdout() {
        std::cout.flush();
        ::dup2(saved_, 1);
        ::close(saved_);
    }

private:
    int saved_;
};

bool consistent(const PLOR_SPS_Data_t& r) {
    const float a[] = {r.loadCurrent, r.dcVoltage, r.acVoltage};
    return (a[0] == 0 && a[1] == 0 && a[2] == 0) || (a[0] == 1 && a[1] == 2 && a[2] == 3) ||
           (a[0] == 10 && a[1] == 20 && a[2] == 30);
}

TEST(RoundConcurrency, QueriesDuringRoundsSeeWholeRounds) {
    Rig rig;
    rig.dev.calibrate(1, 0, 1, 0, 1, 0);
    QuietStdout quiet;
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&, t] {
            std::vector<char> out(4096);
            while (!done.load()) {
                int length = 0;
                const int code = t == 0 ? 801 : 803;
                rig.dev.DeviceIoControl(code, nullptr, 0, out.data(),
                                        static_cast<int>(out.size()), length);
                try {
                    rig.dev.Get_Value(0, "直流电压");
                } catch (const std::out_of_range&) {
                }
                if (!consistent(rig.dev.record())) ++torn;
            }
        });
    }
    for (int round = 0; round < 300; ++round) {
        if (round % 2 == 0) {
            rig.inputs("930", "1", "2", "3");
        } else {
            rig.inputs("931", "10", "20", "30");
        }
        rig.dev.RefreshStatus();
    }
    done = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(rig.host.callsOf("History").size(), 300u);
}

// The document 803 hands out changes only inside an 803 call: a reader
// holding its address copies it while other threads ask for 801 during
// rounds.
TEST(RoundConcurrency, Document803StaysPutWhile801FollowsRounds) {
    Rig rig;
    rig.dev.calibrate(1, 0, 1, 0, 1, 0);
    QuietStdout quiet;
    rig.inputs("930", "1", "2", "3");
    rig.dev.RefreshStatus();
    const Json::Value* doc = nullptr;
    int length = 0;
    ASSERT_EQ(rig.dev.DeviceIoControl(803, nullptr, 0, &doc, sizeof doc, length), 0);
    const Json::Value first = *doc;
    ASSERT_EQ(first["直流电压"].asDouble(), 2.0);

    std::atomic<bool> done{false};
    std::atomic<int> changed{0}, texts{0};
    std::thread reader([&] {
        while (!done.load()) {
            const Json::Value copy = *doc;
            if (copy != first) ++changed;
        }
    });
    std::vector<std::thread> askers;
    for (int t = 0; t < 2; ++t) {
        askers.emplace_back([&] {
            std::vector<char> out(4096);
            while (!done.load()) {
                int n = 0;
                if (rig.dev.DeviceIoControl(801, nullptr, 0, out.data(),
                                            static_cast<int>(out.size()), n) == 0) {
                    ++texts;
                }
            }
        });
    }
    // On a loaded machine the rounds could all end before an asker runs.
    while (texts.load() == 0) std::this_thread::yield();
    for (int round = 0; round < 201; ++round) {
        if (round % 2 == 0) {
            rig.inputs("931", "10", "20", "30");
        } else {
            rig.inputs("930", "1", "2", "3");
        }
        rig.dev.RefreshStatus();
    }
    done = true;
    reader.join();
    for (auto& t : askers) t.join();
    EXPECT_EQ(changed.load(), 0);
    EXPECT_GT(texts.load(), 0);
    // The next 803 brings it up to date.
    ASSERT_EQ(rig.dev.DeviceIoControl(803, nullptr, 0, &doc, sizeof doc, length), 0);
    EXPECT_EQ((*doc)["直流电压"].asDouble(), 20.0);
}

// A host that reads the device back from inside every service it offers.
class ReentrantHost : public plortest::RecordingHost {
public:
    PLOR_SPS* dev = nullptr;
    int reads = 0;
    void peek() {
        dev->record();
        int length = 0;
        char out[1024];
        dev->DeviceIoControl(801, nullptr, 0, out, sizeof out, length);
        ++reads;
    }
    void onSendSP(const SMDVDevice& d, int code, const unsigned char* data, unsigned int length,
                  bool urgent) override {
        peek();
        RecordingHost::onSendSP(d, code, data, length, urgent);
    }
    void onCheckThresholdBool(const SMDVDevice& d, int kind, const std::string& signalId,
                              const std::string& alarmId, const std::string& name,
                              const std::string& valueText, bool active,
                              unsigned short level) override {
        peek();
        RecordingHost::onCheckThresholdBool(d, kind, signalId, alarmId, name, valueText, active,
                                            level);
    }
    bool onBatchCheckThreshold(const SMDVDevice& d, const std::vector<rule_value>& r) override {
        peek();
        return RecordingHost::onBatchCheckThreshold(d, r);
    }
    void onSaveDeviceHistory(const SMDVDevice& d, const unsigned char* data,
                             unsigned int length) override {
        peek();
        RecordingHost::onSaveDeviceHistory(d, data, length);
    }
};

TEST(RoundConcurrency, HostMayQueryTheDeviceFromItsCallbacks) {
    Rig rig;
    ReentrantHost host;  // replaces the rig's recorder while alive
    host.dev = &rig.dev;
    rig.dev.calibrate(1, 0, 1, 0, 1, 0);
    rig.inputs("930", "1", "30", "80");
    plortest::CoutCapture out;
    rig.dev.RefreshStatus();
    EXPECT_EQ(host.reads, 9);  // SendSP, six checks, batch, history
    EXPECT_EQ(host.callsOf("History").size(), 1u);
}

}  // namespace
