// The simulated site: a board process that keeps the four input files
// current from a scenario, and a power supply answering Modbus RTU writes on
// a pseudo-terminal.
#pragma once

#include <array>
#include <atomic>
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

class SupplySimulator {
public:
    enum Mode { echo, wrong, silent };
    using Log = std::function<void(const std::string&)>;

    SupplySimulator(std::string device, int slaveAddress, Log log);
    ~SupplySimulator();
    SupplySimulator(const SupplySimulator&) = delete;
    SupplySimulator& operator=(const SupplySimulator&) = delete;

    // Opens the pseudo-terminal pair; portPath() is then the device's end.
    void start();
    void stop();
    const std::string& portPath() const { return portPath_; }
    void setMode(Mode m) { mode_.store(m); }
    static bool parseMode(const std::string& text, Mode& mode);

    // Register values the supply holds (for tests).
    int registerValue(int address) const;

private:
    void run();
    void answer(const unsigned char* query, int length);
    void store(const unsigned char* query, int length);

    std::string device_;
    int slave_;
    Log log_;
    std::atomic<Mode> mode_{echo};
    int masterFd_ = -1;
    int slaveFd_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::string portPath_;
    struct Impl;
    Impl* impl_ = nullptr;
    mutable std::mutex mapMutex_;
    std::thread thread_;
};

}  // namespace smdhost
