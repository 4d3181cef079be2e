// The simulated power supply: answers Modbus RTU writes on a pseudo-terminal.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace smdhost {

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
