// CPU cost of one complete polling round (pauses skipped, real files, output
// to /dev/null) beside the floor no round can beat: the same system calls in
// a plain loop. Prints both and their ratio.
#include <fcntl.h>
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
};

void BM_Round(benchmark::State& state) {
    BenchSps dev;
    plor::Board board;
    for (size_t i = 0; i < 4; ++i) board.inputs[i] = g_dir->inputs()[i];
    board.sleepUs = [](unsigned int) {};
    dev.setBoard(board);
    std::filebuf devNull;
    devNull.open("/dev/null", std::ios::out);
    std::streambuf* previous = std::cout.rdbuf(&devNull);
    for (auto _ : state) benchmark::DoNotOptimize(dev.RefreshStatus());
    std::cout.rdbuf(previous);
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
                const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
                ::lseek(fd, 0, SEEK_SET);
                benchmark::DoNotOptimize(::read(fd, buffer, sizeof buffer));
                ::close(fd);
            }
        }
        for (int i = 0; i < 4; ++i) benchmark::DoNotOptimize(::write(out, line, sizeof line - 1));
    }
    ::close(out);
}

BENCHMARK(BM_Round);
BENCHMARK(BM_Floor);

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
    const double round = reporter.cpuNs("BM_Round");
    const double floor = reporter.cpuNs("BM_Floor");
    if (round > 0 && floor > 0) {
        std::printf("round CPU %.0f ns, floor CPU %.0f ns, ratio %.3f\n", round, floor,
                    round / floor);
    }
    benchmark::Shutdown();
    return 0;
}
