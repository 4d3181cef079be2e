// The serial link of one device: settings, supersede and hand-over; the
// port itself is the shared SerialBus of the configured path.
#include "serial_link.h"

#include <algorithm>
#include <iostream>

#include "host_observer.h"
#include "serial_bus.h"
#include "smd_host.h"

namespace {

// The links whose hand-over this thread is inside, innermost last: a
// command issued from a reply callback must not wait for its own.
thread_local std::vector<const SerialLink*> handingHere;

int ownHandOvers(const SerialLink* link) {
    return static_cast<int>(std::count(handingHere.begin(), handingHere.end(), link));
}

}  // namespace

void SerialLink::attach(SPModbus* modbus) {
    std::lock_guard<std::mutex> lock(mutex_);
    modbus_ = modbus;
}

SerialLink::Settings SerialLink::settings() {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_;
}

void SerialLink::configure(const Settings& s) {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_ = s;
    slave_.store(s.slave);
}

SerialLink::Expected SerialLink::expected() {
    std::lock_guard<std::mutex> lock(mutex_);
    return expected_;
}

std::shared_ptr<SerialBus> SerialLink::bus() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bus_;
}

bool SerialLink::onPortThread() {
    const SerialBus* here = SerialBus::current();
    if (here == nullptr) return false;
    const std::shared_ptr<SerialBus> mine = bus();
    return mine ? mine.get() == here : here->path() == settings().path;
}

uint64_t SerialLink::supersedeLocked(std::unique_lock<std::mutex>& lock) {
    const int own = ownHandOvers(this);
    if (handing_ > own) {
        ++superseding_;
        handedOver_.wait(lock, [this, own] { return handing_ <= own; });
        --superseding_;
    }
    return ++seq_;
}

bool SerialLink::claim() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (superseding_ > 0) declined_ = true;
    return superseding_ == 0;
}

void SerialLink::supersede() {
    std::unique_lock<std::mutex> lock(mutex_);
    supersedeLocked(lock);
}

const SerialLink* SerialLink::conflicting(const SerialLink* link, const std::string& path,
                                          const Use& use, std::string* why) {
    if (path.empty()) return nullptr;
    return SerialBus::forPath(path)->conflicting(link, use, why);
}

bool SerialLink::open(int baud, std::string& path) {
    std::lock_guard<std::mutex> port(portMutex_);
    std::shared_ptr<SerialBus> was;
    Use use;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        path = settings_.path;
        was = bus_;
        use.baud = baud;
        use.slave = settings_.slave;
        use.replyTimeoutMs = settings_.replyTimeoutMs;
        use.line = settings_.line;
    }
    std::shared_ptr<SerialBus> bus = path.empty() ? nullptr : SerialBus::forPath(path);
    // Another port now: the old bus is left first.
    if (was && was != bus) {
        was->detach(this);
        std::lock_guard<std::mutex> lock(mutex_);
        bus_.reset();
    }
    if (!bus) return false;
    const SerialLink* other = nullptr;
    std::string error;
    const SerialBus::Opened opened = bus->open(this, use, &other, &error);
    if (opened == SerialBus::Opened::conflict && other != nullptr) {
        std::string why;
        if (bus->conflicting(this, use, &why) != nullptr)
            std::cout << "SPModbus::OpenPort refused: device " << owner_.DataId() << " wants "
                      << path << why << std::endl;
    } else if (opened == SerialBus::Opened::failed && !error.empty()) {
        std::cout << "SPModbus::OpenPort refused: " << path << ": " << error << std::endl;
        smd::hostObserver()->onSerialNote(owner_, "cannot open " + path + ": " + error);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    bus_ = opened == SerialBus::Opened::ok ? bus : nullptr;
    return opened == SerialBus::Opened::ok;
}

void SerialLink::close() {
    std::lock_guard<std::mutex> port(portMutex_);
    std::shared_ptr<SerialBus> was;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        was.swap(bus_);
        closing_ = true;
    }
    if (was) was->detach(this);
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = false;
}

bool SerialLink::submit(Request request) {
    SerialBus::Job job;
    std::shared_ptr<SerialBus> bus;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        job.seq = supersedeLocked(lock);
        expected_ = Expected{request.function, request.address};
        job.link = this;
        job.req = std::move(request);
        job.slave = settings_.slave;
        job.timeoutMs = settings_.replyTimeoutMs;
        bus = bus_;
    }
    const uint64_t seq = job.seq;
    if (!job.req.frame.empty() && bus) {
        Request copy = job.req;
        if (bus->submit(std::move(job))) return true;
        finish(seq, copy, smd::kModbusSendFailed, {}, true);
        return false;
    }
    finish(seq, job.req, smd::kModbusSendFailed, {}, true);
    return false;
}

void SerialLink::finish(uint64_t seq, const Request& req, int status,
                        const std::vector<uint8_t>& reply, bool toDevice) {
    SPModbus* m;
    bool handing;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        m = modbus_;
        handing = toDevice && m != nullptr && seq == seq_ && !closing_;
        if (handing) ++handing_;
        declined_ = false;
    }
    if (handing) handingHere.push_back(this);
    bool delivered = handing;
    if (handing && status == 0) {
        std::vector<uint8_t> copy(reply);
        owner_.process(copy.data(), static_cast<unsigned int>(copy.size()));
        std::lock_guard<std::mutex> lock(mutex_);
        delivered = !declined_;
    } else if (handing) {
        m->on_error();
    }
    // Inside the hand-over, so that what the host reads back is this outcome.
    int echo = -1;
    if (status == 0 && reply.size() >= 6 && req.frame.size() >= 6)
        echo = std::equal(reply.begin() + 2, reply.begin() + 6, req.frame.begin() + 2) ? 1 : 0;
    smd::hostObserver()->onModbusOutcome(owner_, req.function, req.address, status, delivered,
                                         echo);
    if (!handing) return;
    handingHere.pop_back();
    std::lock_guard<std::mutex> lock(mutex_);
    --handing_;
    handedOver_.notify_all();
}
