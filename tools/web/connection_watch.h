// Watches the web front's connections from their opening until the peer
// has read the last answer:
// - a deadline for each request (the HTTP library's timeout restarts with
//   every byte, so a client sending one byte a second would hold its
//   connection for ever): complete within a fixed time of the connection's
//   opening or of the previous answer, or the socket is shut down;
// - room: past the limit of one address, or of all, a new connection pushes
//   out an older one of the most crowded address (its closed connections
//   whose answer is unread first, then those that had their chance: idle,
//   stuck in a request or with an answer unread; then the ones just opened;
//   the ones being served last), so no client can lock the others of its
//   address (a scraper, a dashboard behind the same NAT) out;
// - requests the server cannot parse get a 400 rather than a bare close;
// - answers nobody reads: each socket's kernel buffers are small, and a
//   connection closed before its peer took the whole answer stays counted
//   (its socket held open) until the peer reads it or a time passes, then is
//   reset, so closed-but-unread answers cannot pile up in the kernel.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace smdhost {

class ConnectionWatch {
public:
    using Clock = std::chrono::steady_clock;
    struct Limits {
        std::chrono::milliseconds request{10000};  // for a request, from opening or the last answer
        std::chrono::milliseconds drain{10000};    // for the peer to read a closed connection's answer
        std::size_t total = 256;
        std::size_t perAddress = 64;
        std::chrono::milliseconds idle{5000};  // the server's own timeout of a quiet connection
    };
    // Each socket's kernel send and receive buffers are set to these.
    static constexpr int kSendBuffer = 32 * 1024;
    static constexpr int kReceiveBuffer = 16 * 1024;

    explicit ConnectionWatch(Limits limits);
    ~ConnectionWatch();
    ConnectionWatch(const ConnectionWatch&) = delete;
    ConnectionWatch& operator=(const ConnectionWatch&) = delete;

    // A connection opened on fd from address; key identifies it until
    // closed(). Makes room by shutting down others when a limit is passed.
    void opened(const void* key, int fd, const std::string& address);
    // Its request line came in: no longer idle.
    void started(const void* key);
    // Its request is all in: the server's own time to answer is no client's
    // fault, so no deadline until answered.
    void received(const void* key);
    // Its request was answered: idle, and the next one gets the whole time again.
    void answered(const void* key);
    // Called before its socket is closed, so no late shutdown hits a reused fd.
    // A close soon after opening or a request's start, with no request line seen and
    // the peer still there, is the server refusing a request line it could
    // not parse: the peer is told so with a 400 rather than left guessing.
    void closed(const void* key);
    // Answers 400 with why, ahead of the server, and ends the connection's
    // sending: for a request the server would stall on rather than answer.
    void refuse(const void* key, const std::string& why);
    // Connections counted now (draining ones too), and those of one address.
    std::size_t count() const;
    std::size_t count(const std::string& address) const;
    // Ends the watching thread and resets every draining socket; the closes
    // that follow neither drain nor refuse (idempotent).
    void stop();

private:
    struct Entry {
        int fd = -1;
        std::string address;
        Clock::time_point opened, due, last;  // last: opened, started or answered
        bool busy = false;      // between a request line and its answer
        bool answered = false;  // nothing since an answer
        bool evicted = false;   // shut down to make room; closes soon
        bool draining = false;  // closed by the server; fd is our own duplicate
    };
    void makeRoom(const void* newcomer, const std::string& address);
    bool evictOne(const void* newcomer, const std::string& address);
    void uncount(const Entry& e);
    static void badRequest(int fd, const std::string& why);
    void watch();

    Limits limits_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::map<const void*, Entry> open_;
    std::vector<Entry> draining_;  // closed by the server, answer not read yet
    std::map<std::string, std::size_t> perAddress_;  // counted entries (not evicted)
    std::size_t counted_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace smdhost
