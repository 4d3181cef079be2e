// The stand-in's serial link of one device: its port settings, the
// requests it has in flight on the shared bus of its port path, and the
// hand-over of each outcome to the device.
//
// Every request supersedes the earlier ones, and so does supersede() (each
// command starts by opening the port): only the latest request's reply is
// handed on, and the check that it is the latest and the hand-over happen
// as one step, which supersede() waits for - unless the hand-over is the
// waiting thread's own (a host that issues a command from its reply
// callback). No lock is held while the device runs, so the device may call
// the host, queue a request or read the settings from inside process().
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class SMDSPDevice;
class SPModbus;
class SerialBus;

class SerialLink {
public:
    struct Request {
        int function = 0;
        int address = 0;
        std::vector<uint8_t> frame;  // empty: refused before any I/O
    };
    // What the reply being handed on must answer.
    struct Expected {
        int function = 0;
        int address = -1;
    };
    // What every device on one line must agree on, beside the speed.
    struct LineSettings {
        char parity = 'N';  // 'N', 'E' or 'O'
        int stopBits = 1;
        enum class Echo { detect, on, off } echo = Echo::detect;
        bool rs485 = false;  // set the kernel's RS-485 mode; absent: leave the driver alone
        bool rs485Enabled = true, rtsOnSend = true, rtsAfterSend = false;
        int delayBeforeSendMs = 0, delayAfterSendMs = 0;
        bool operator==(const LineSettings& o) const {
            return parity == o.parity && stopBits == o.stopBits && echo == o.echo &&
                   rs485 == o.rs485 && rs485Enabled == o.rs485Enabled &&
                   rtsOnSend == o.rtsOnSend && rtsAfterSend == o.rtsAfterSend &&
                   delayBeforeSendMs == o.delayBeforeSendMs &&
                   delayAfterSendMs == o.delayAfterSendMs;
        }
    };
    // How one device uses its line.
    struct Use {
        int baud = 9600;
        int slave = 1;
        int replyTimeoutMs = 1000;
        LineSettings line;
    };
    struct Settings {
        std::string path;
        int slave = 1;
        int replyTimeoutMs = 1000;
        LineSettings line;
    };

    explicit SerialLink(SMDSPDevice& owner) : owner_(owner) {}
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;
    ~SerialLink() { close(); }

    SMDSPDevice& owner() const { return owner_; }
    // The Modbus part of the device, or nullptr once it is gone.
    void attach(SPModbus* modbus);
    Settings settings();
    void configure(const Settings& s);
    int slave() const { return slave_.load(); }
    Expected expected();
    // The state lock, for the device's own port fields (baudRate_).
    std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(mutex_); }

    // On the port thread of this link's bus, which cannot open or close it.
    bool onPortThread();

    void supersede();
    // Asked by process() before it hands a reply to the driver: false once a
    // newer command has begun (its OpenPort() waits), so that the driver's
    // fresh state is not overwritten by the old reply.
    bool claim();
    // Opens the configured port at baud unless it is open, healthy and set
    // alike; path gets the configured path. A port another device holds at
    // another speed is refused with one line naming both devices.
    bool open(int baud, std::string& path);
    void close();
    // Another device on path that cannot share the line with this use: at
    // another speed or setting, or at the same slave address; nullptr if
    // none. why gets " at B bit/s, but device N has it at ..." for the refusal line.
    static const SerialLink* conflicting(const SerialLink* link, const std::string& path,
                                         const Use& use, std::string* why);
    // Queues a request after superseding the earlier ones; one that cannot go
    // out is reported at once and gives false.
    bool submit(Request request);

    // The one way a request ends: status 0 hands the reply to process(),
    // anything else is an error for the device; either only if toDevice and
    // the request is still the latest. Called by the bus.
    void finish(uint64_t seq, const Request& req, int status, const std::vector<uint8_t>& reply,
                bool toDevice);

private:
    uint64_t supersedeLocked(std::unique_lock<std::mutex>& lock);
    std::shared_ptr<SerialBus> bus();

    SMDSPDevice& owner_;
    std::atomic<int> slave_{1};

    std::mutex portMutex_;  // opening and closing
    std::mutex mutex_;      // everything below
    std::condition_variable handedOver_;
    SPModbus* modbus_ = nullptr;
    Settings settings_;
    Expected expected_;
    std::shared_ptr<SerialBus> bus_;  // while open
    bool closing_ = false;
    uint64_t seq_ = 0;
    int handing_ = 0;      // hand-overs in progress
    int superseding_ = 0;  // supersedes waiting for them
    bool declined_ = false;
};
