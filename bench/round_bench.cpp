// CPU cost of one complete polling round (pauses skipped, real files, output
// to /dev/null) beside the floor no round can beat: the same system calls in
// a plain loop. Likewise the snapshot text (801) with no new round and right
// after one, beside the line every call must print. Prints each ratio.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "plor_sps.h"
#include "test_support.h"

namespace {

class BenchDir {
public:
    BenchDir() {
        const char* texts[] = {"930\n", "535\n", "535\n", "2200\n"};
        for (int i = 0; i < 4; ++i) {
            const std::string name = "ai" + std::to_string(i + 1);
            dir_.write(name, texts[i]);
            inputs_.push_back(dir_.file(name));
        }
    }
    const std::vector<std::string>& inputs() const { return inputs_; }

private:
    plortest::TempDir dir_{"plor-bench"};
    std::vector<std::string> inputs_;
};

BenchDir* g_dir = nullptr;

class BenchSps : public PLOR_SPS {
public:
    BenchSps() {
        std::lock_guard<std::mutex> lock(snapshotMutex_);
        a2_ = 0.1f, a3_ = 0.1f, a4_ = 0.1f;
    }
    // What a completed round leaves for the snapshot, without the host calls.
    void roundCompleted() {
        std::lock_guard<std::mutex> lock(snapshotMutex_);
        record_.dcVoltage += 0.5f;
        ++rounds_;
    }
};

// Standard output goes to /dev/null while alive.
class QuietOut {
public:
    QuietOut() { devNull_.open("/dev/null", std::ios::out); previous_ = std::cout.rdbuf(&devNull_); }
    ~QuietOut() { std::cout.rdbuf(previous_); }

private:
    std::filebuf devNull_;
    std::streambuf* previous_;
};

void BM_Round(benchmark::State& state) {
    BenchSps dev;
    plor::Board board;
    for (size_t i = 0; i < 4; ++i) board.inputs[i] = g_dir->inputs()[i];
    board.sleepUs = [](unsigned int) {};
    dev.setBoard(board);
    {
        QuietOut quiet;
        for (auto _ : state) benchmark::DoNotOptimize(dev.RefreshStatus());
    }
    // Only a round that got through counts.
    if (dev.record().loadCurrent != 53.5f || dev.record().year == 0)
        state.SkipWithError("the round did not complete");
}

void BM_Floor(benchmark::State& state) {
    const int out = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const std::vector<std::string>& inputs = g_dir->inputs();
    static const char line[] = "rAi:53.5 a2_:0.1 b2_:0 iAi:535\n";
    char buffer[4096];
    for (auto _ : state) {
        for (const auto& path : inputs) benchmark::DoNotOptimize(::access(path.c_str(), F_OK));
        for (const auto& path : inputs) {
            for (int read = 0; read < 3; ++read) {
                const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
                struct stat st;
                benchmark::DoNotOptimize(::fstat(fd, &st));
                ::lseek(fd, 0, SEEK_SET);
                benchmark::DoNotOptimize(::read(fd, buffer, sizeof buffer));
                ::close(fd);
            }
        }
        for (int i = 0; i < 4; ++i) benchmark::DoNotOptimize(::write(out, line, sizeof line - 1));
    }
    ::close(out);
}

// 801 with no new round since the last one, and 801 right after a round.
void snapshot(benchmark::State& state, bool newRound) {
    BenchSps dev;
    char out[512];
    int length = 0;
    QuietOut quiet;
    dev.roundCompleted();
    for (auto _ : state) {
        if (newRound) dev.roundCompleted();
        benchmark::DoNotOptimize(dev.DeviceIoControl(801, nullptr, 0, out, sizeof out, length));
    }
    if (length < 50) state.SkipWithError("no snapshot text");
}
void BM_Snapshot(benchmark::State& state) { snapshot(state, false); }
void BM_SnapshotAfterRound(benchmark::State& state) { snapshot(state, true); }

// The floor of any 801: the flushed line the call must print.
void BM_SnapshotLine(benchmark::State& state) {
    QuietOut quiet;
    const int code = 801;
    for (auto _ : state) std::cout << "PLOR_SPS::DeviceIoControl " << code << std::endl;
}

BENCHMARK(BM_Round);
BENCHMARK(BM_Floor);
BENCHMARK(BM_Snapshot);
BENCHMARK(BM_SnapshotAfterRound);
BENCHMARK(BM_SnapshotLine);

// Keeps the CPU time per iteration of each benchmark for the closing ratio:
// the median when repetitions are asked for, else the single run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const std::string& name = run.run_name.function_name;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                medianNs[name] = run.GetAdjustedCPUTime();
            } else if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                lastNs[name] = run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double cpuNs(const std::string& name) const {
        const auto m = medianNs.find(name);
        if (m != medianNs.end()) return m->second;
        const auto l = lastNs.find(name);
        return l != lastNs.end() ? l->second : 0.0;
    }

private:
    std::map<std::string, double> medianNs, lastNs;
};

}  // namespace

int main(int argc, char** argv) {
    BenchDir dir;
    g_dir = &dir;
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto ratio = [&reporter](const char* label, const char* name, const char* floorName,
                                   const char* floorLabel) {
        const double cost = reporter.cpuNs(name);
        const double floor = reporter.cpuNs(floorName);
        if (cost > 0 && floor > 0) {
            std::printf("%s CPU %.0f ns, %s CPU %.0f ns, ratio %.3f\n", label, cost, floorLabel,
                        floor, cost / floor);
        }
    };
    ratio("round", "BM_Round", "BM_Floor", "floor");
    ratio("801 no new round", "BM_Snapshot", "BM_SnapshotLine", "its line");
    ratio("801 after a round", "BM_SnapshotAfterRound", "BM_SnapshotLine", "its line");
    benchmark::Shutdown();
    return 0;
}
