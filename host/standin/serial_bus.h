// One serial port as the stand-in's devices share it: a multi-drop RS-485
// line with several supplies on it is one bus, opened once, with one port
// thread that puts the requests of all its devices on the line one at a
// time and hands each reply to the device whose request was in flight.
//
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial_link.h"

class SerialBus {
public:
    // One request of one device.
    struct Job {
        SerialLink* link = nullptr;
        uint64_t seq = 0;
        SerialLink::Request req;
        int slave = 1;
        int timeoutMs = 1000;
    };
    enum class Opened { ok, failed, conflict };

    // The bus of a port path, shared by every device naming it.
    static std::shared_ptr<SerialBus> forPath(const std::string& path);
    // The bus whose port thread this is, if any.
    static const SerialBus* current();

    explicit SerialBus(std::string path) : path_(std::move(path)) {}
    SerialBus(const SerialBus&) = delete;
    SerialBus& operator=(const SerialBus&) = delete;
    ~SerialBus();

    const std::string& path() const { return path_; }

    // Opens the port for link unless it is open, healthy and set alike.
    // Another device holding the port with other settings, or at the same
    // slave address, is a conflict; other gets that device's link. error
    // gets why the port could not be set up, when the system said.
    Opened open(SerialLink* link, const SerialLink::Use& use, const SerialLink** other,
                std::string* error);
    // Another device that cannot share the line with this use, or nullptr;
    // why gets the refusal's " at 19200 bit/s, but device N has it at ..." part.
    const SerialLink* conflicting(const SerialLink* link, const SerialLink::Use& use,
                                  std::string* why);
    // The link's requests are dropped (reported to the host as port lost)
    // and its reply in flight abandoned; returns once the port thread no
    // longer calls into the link. The last device closes the port.
    void detach(SerialLink* link);
    // Queues a request; false if it cannot go out (port not open, failed,
    // or the device's queue is full).
    bool submit(Job job);

private:
    struct Line;

    bool start(const SerialLink::Use& use, std::string* error);
    void stop();
    // The port thread, and the parts of its loop.
    void run(int port, int wake, SerialLink::Use use);
    bool probeEcho(Line& line, int slave, int timeoutMs);
    bool takeNext(Line& line);
    void sendWhenQuiet(Line& line);
    bool readLine(Line& line);
    void endReply(Line& line);
    // Ends the request in flight, if its device is still there: hands its
    // outcome on, with the device kept from leaving meanwhile.
    void finishCurrent(int status, const std::vector<uint8_t>& reply, bool toDevice);
    void stray(unsigned int bytes);
    void sentCurrent();
    void note(const std::string& text);
    void release();

    const std::string path_;
    std::mutex portMutex_;  // opening and closing; held while joining
    std::mutex mutex_;      // everything below
    std::condition_variable released_;
    std::map<const SerialLink*, SerialLink::Use> users_;
    std::deque<Job> queue_;
    const SerialLink* busyWith_ = nullptr;  // the link the port thread is calling
    const SerialLink* lastLink_ = nullptr;  // whose request went out last
    Job current_;  // the request on the line, taken by the port thread
    bool hasCurrent_ = false;
    int fd_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    SerialLink::Use openUse_;  // the settings the port is open with
    bool failed_ = false;
    bool stopping_ = false;
    std::thread thread_;
    static thread_local const SerialBus* busOfThread_;
};
