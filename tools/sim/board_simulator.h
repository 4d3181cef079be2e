// The simulated board: keeps the four input files current from a scenario.
#pragma once

#include <array>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "scenario.h"

namespace smdhost {

class BoardSimulator {
public:
    using Hook = std::function<void(const ScenarioStep&)>;

    // paths: ai1..ai4. The hook receives command and supply steps when due.
    // lockPath: the lock that keeps two simulated boards from writing the
    // same files.
    BoardSimulator(Scenario scenario, std::array<std::string, 4> paths, Hook hook,
                   std::string lockPath = "/tmp/plor_ai.lock");
    ~BoardSimulator();
    BoardSimulator(const BoardSimulator&) = delete;
    BoardSimulator& operator=(const BoardSimulator&) = delete;

    // Takes the board lock (one simulated board per machine), writes the
    // values of time 0, then keeps going on its own thread.
    void start();
    // Stops and removes the input files it wrote.
    void stop();

    // Writes `text` so that a reader sees the old or the new text, never
    // a part of one: a temporary file renamed over the path.
    static void writeAtomically(const std::string& path, const std::string& text);

    // Applies what is due at `seconds` and moves every never-still input
    // on by one value; the thread calls it, tests may step it by hand.
    void advanceTo(double seconds);

private:
    void run();
    void writeChannel(std::size_t i);

    Scenario scenario_;
    std::array<std::string, 4> paths_;
    Hook hook_;
    std::string lockPath_;
    std::array<InputValue, 4> current_{};
    std::array<long, 4> jitterStep_{};
    std::size_t next_ = 0;
    int lockFd_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool started_ = false;
};

}  // namespace smdhost
