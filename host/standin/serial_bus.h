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

    // Opens the port at baud for link unless it is open, healthy and at that
    // speed. Another device holding the port at another speed is a
    // conflict; other gets that device's link.
    Opened open(SerialLink* link, int baud, const SerialLink** other);
    // Another device using the port at a speed other than baud, or nullptr;
    // its speed in otherBaud.
    const SerialLink* conflicting(const SerialLink* link, int baud, int* otherBaud);
    // The link's requests are dropped (reported to the host as port lost)
    // and its reply in flight abandoned; returns once the port thread no
    // longer calls into the link. The last device closes the port.
    void detach(SerialLink* link);
    // Queues a request; false if it cannot go out (port not open, failed,
    // or the device's queue is full).
    bool submit(Job job);

private:
    struct Line;

    bool start(int baud);
    void stop();
    // The port thread, and the parts of its loop.
    void run(int port, int wake, int baud);
    bool takeNext(Line& line);
    void sendWhenQuiet(Line& line);
    bool readLine(Line& line);
    void endReply(Line& line);
    // Ends the request in flight, if its device is still there: hands its
    // outcome on, with the device kept from leaving meanwhile.
    void finishCurrent(int status, const std::vector<uint8_t>& reply, bool toDevice);
    void stray(unsigned int bytes);
    void release();

    const std::string path_;
    std::mutex portMutex_;  // opening and closing; held while joining
    std::mutex mutex_;      // everything below
    std::condition_variable released_;
    std::map<const SerialLink*, int> users_;  // link -> speed it opened at
    std::deque<Job> queue_;
    const SerialLink* busyWith_ = nullptr;  // the link the port thread is calling
    const SerialLink* lastLink_ = nullptr;  // whose request went out last
    Job current_;  // the request on the line, taken by the port thread
    bool hasCurrent_ = false;
    int fd_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    int openBaud_ = 0;
    bool failed_ = false;
    bool stopping_ = false;
    std::thread thread_;
    static thread_local const SerialBus* busOfThread_;
};
