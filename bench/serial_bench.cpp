// A register write from command to verdict on a pseudo-terminal whose far
// end echoes each request at once, as a healthy supply does: one supply,
// then a burst over N supplies on one line. 9600 bit/s, so each request
// still waits its 3.5 characters of silence after the line's last byte.
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "host_observer.h"
#include "plor_sps.h"

namespace {

using Clock = std::chrono::steady_clock;

// The far end: every 8 bytes that arrive go back as they came (a 06 echo).
class Echoer {
public:
    Echoer() {
        if (::openpty(&far_, &near_, nullptr, nullptr, nullptr) != 0) return;
        termios tio{};
        ::tcgetattr(near_, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(near_, TCSANOW, &tio);
        name_ = ::ttyname(near_);
        if (::pipe(stop_) != 0) return;
        thread_ = std::thread([this] { run(); });
    }
    ~Echoer() {
        (void)!::write(stop_[1], "x", 1);
        if (thread_.joinable()) thread_.join();
        for (int fd : {far_, near_, stop_[0], stop_[1]}) ::close(fd);
    }
    const std::string& name() const { return name_; }

private:
    void run() {
        std::vector<uint8_t> rx;
        for (;;) {
            pollfd p[2] = {{far_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (::poll(p, 2, -1) < 0 || p[1].revents != 0) return;
            uint8_t buf[256];
            const ssize_t n = ::read(far_, buf, sizeof buf);
            if (n <= 0) return;
            rx.insert(rx.end(), buf, buf + n);
            while (rx.size() >= 8) {
                (void)!::write(far_, rx.data(), 8);
                rx.erase(rx.begin(), rx.begin() + 8);
            }
        }
    }
    int far_ = -1, near_ = -1, stop_[2] = {-1, -1};
    std::string name_;
    std::thread thread_;
};

class Verdicts : public smd::HostObserver {
public:
    void onModbusOutcome(const SMDVDevice&, int, int, int status, bool, int echo) override {
        std::lock_guard<std::mutex> lock(m_);
        if (status == 0 && echo == 1) ++confirmed_;
        ++count_;
        cv_.notify_all();
    }
    // Waits for n verdicts in all; false after 5 s.
    bool wait(long n) {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, std::chrono::seconds(5), [&] { return count_ >= n; });
    }
    long confirmed() {
        std::lock_guard<std::mutex> lock(m_);
        return confirmed_;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    long count_ = 0, confirmed_ = 0;
};

std::vector<std::unique_ptr<PLOR_SPS>> supplies(const std::string& port, int n) {
    std::vector<std::unique_ptr<PLOR_SPS>> devs;
    for (int k = 1; k <= n; ++k) {
        Json::Value doc;
        doc["hostSetting"]["serialPort"] = port;
        doc["hostSetting"]["slaveAddress"] = k;
        doc["hostSetting"]["baudRate"] = 9600;
        doc["hostSetting"]["replyTimeoutMs"] = 1000;
        // The far end answers reads with nonsense: no echo probe here.
        doc["hostSetting"]["localEcho"] = "off";
        devs.emplace_back(new PLOR_SPS);
        devs.back()->Init(std::weak_ptr<SMDController>(), static_cast<unsigned>(k), Json::Value());
        devs.back()->InitSetting(doc);
    }
    return devs;
}

// A write to each of N supplies issued at once, until the last verdict; the
// line is left quiet between rounds, as between commands typed by hand.
void BM_CommandToVerdict(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::cout.setstate(std::ios::badbit);  // the driver's log lines
    Echoer line;
    Verdicts verdicts;
    smd::setHostObserver(&verdicts);
    auto devs = supplies(line.name(), n);
    long issued = 0;
    uint16_t in[2] = {40, 0};
    std::vector<double> ms;
    for (auto _ : state) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const auto start = Clock::now();
        for (auto& d : devs) {
            in[1] = static_cast<uint16_t>(issued++);
            int len = 0;
            d->DeviceIoControl(206, in, sizeof in, nullptr, 0, len);
        }
        if (!verdicts.wait(issued)) state.SkipWithError("no verdict within 5 s");
        const std::chrono::duration<double> took = Clock::now() - start;
        state.SetIterationTime(took.count());
        ms.push_back(took.count() * 1000);
    }
    // The figure that matters is the typical write, not the mean.
    std::sort(ms.begin(), ms.end());
    if (!ms.empty()) {
        state.counters["median_ms"] = ms[ms.size() / 2];
        state.counters["p90_ms"] = ms[ms.size() * 9 / 10];
    }
    state.counters["confirmed"] = static_cast<double>(verdicts.confirmed()) /
                                  static_cast<double>(issued > 0 ? issued : 1);
    for (auto& d : devs) d->ClosePort();
    devs.clear();
    smd::setHostObserver(nullptr);
    std::cout.clear();
}
BENCHMARK(BM_CommandToVerdict)
    ->Arg(1)->Arg(4)->Arg(8)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(200);

}  // namespace

BENCHMARK_MAIN();
