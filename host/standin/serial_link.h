// The stand-in's serial link: one port opened raw 8N1, the queue of
// requests for it, and the port thread that puts them on the line one at a
// time and hands each outcome to the device.
//
// Every request supersedes the earlier ones, and so does supersede() (each
// command starts by opening the port): only the latest request's reply is
// handed on, and the check that it is the latest and the hand-over happen
// as one step, which supersede() waits for. No lock is held while the
// device runs, so the device may call the host, queue a request or read the
// settings from inside process(); it must not wait there for a thread that
// is opening the port.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class SMDSPDevice;
class SPModbus;

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
    struct Settings {
        std::string path;
        int slave = 1;
        int replyTimeoutMs = 1000;
    };

    explicit SerialLink(SMDSPDevice& owner) : owner_(owner) {}
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;
    ~SerialLink() { close(); }

    // The Modbus part of the device, or nullptr once it is gone.
    void attach(SPModbus* modbus);
    Settings settings();
    void configure(const Settings& s);
    int slave() const { return slave_.load(); }
    Expected expected();
    // The state lock, for the device's own port fields (baudRate_).
    std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(mutex_); }

    bool onPortThread() const { return portThreadOf_ == this; }

    void supersede();
    // Asked by process() before it hands a reply to the driver: false once a
    // newer command has begun (its OpenPort() waits), so that the driver's
    // fresh state is not overwritten by the old reply.
    bool claim();
    // Opens the configured port at baud unless it is open, healthy and set
    // alike; path gets the configured path.
    bool open(int baud, std::string& path);
    void close();
    // Queues a request after superseding the earlier ones; one that cannot go
    // out is reported at once and gives false.
    bool submit(Request request);

private:
    struct Queued {
        uint64_t seq = 0;
        Request req;
    };

    uint64_t supersedeLocked(std::unique_lock<std::mutex>& lock);
    bool start(const std::string& path, int baud);
    void stop();
    void run(int port, int wake, int baud);
    // The one way a request ends: status 0 hands the reply to process(),
    // anything else is an error for the device; either only if the request
    // is still the latest.
    void finish(const Queued& q, int status, const std::vector<uint8_t>& reply);

    SMDSPDevice& owner_;
    std::atomic<int> slave_{1};

    std::mutex portMutex_;  // opening and closing; held while joining
    std::mutex mutex_;      // everything below
    std::condition_variable handedOver_;
    SPModbus* modbus_ = nullptr;
    Settings settings_;
    Expected expected_;
    int fd_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::string openPath_;
    int openBaud_ = 0;
    bool failed_ = false;
    bool stopping_ = false;
    std::deque<Queued> queue_;
    uint64_t seq_ = 0;
    int handing_ = 0;      // hand-overs in progress
    int superseding_ = 0;  // supersedes waiting for them
    bool declined_ = false;

    std::thread thread_;
    static thread_local const SerialLink* portThreadOf_;
};
