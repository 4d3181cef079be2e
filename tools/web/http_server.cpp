#include "http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <chrono>
#include <memory>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "dashboard_assets.h"
#include "history_store.h"
#include "http_listen.h"
#include "metrics.h"
#include "connection_watch.h"
#include "reply_workers.h"
#include "web_api.h"

namespace smdhost {

namespace {

// A request's header block, request line included, must fit in this; one
// over it is answered 431 and closed. Browsers send one or two KiB.
constexpr std::size_t kConnectionMemory = 32 * 1024;
// Header lines per request.
constexpr unsigned kMaxHeaders = 64;
// Query keys per request; the API takes a handful. Past this the library
// would run out of a connection's memory and stall without an answer.
constexpr std::size_t kMaxQueryKeys = 32;
// History answers built at once, and waiting, off the event loops.
constexpr std::size_t kHistoryThreads = 2, kHistoryQueue = 64;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::string();
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// What a request is answered: a body of its own, or one that outlives the server.
struct Answer {
    int status = 200;
    std::string type;
    std::string body;
    const char* fixed = nullptr;  // used instead of body when set
    std::size_t fixedSize = 0;
    const char* cache = nullptr;  // Cache-Control, when set
    bool close = false;           // Connection: close
};

Answer text(int status, const std::string& body) {
    Answer a;
    a.status = status;
    a.type = "text/plain";
    a.body = body;
    return a;
}

Answer fixed(const char* body, std::size_t size, const char* type) {
    Answer a;
    a.type = type;
    a.fixed = body;
    a.fixedSize = size;
    return a;
}

Answer json(const Reply& r) {
    Answer a;
    a.status = r.status;
    a.type = r.type;
    a.body = r.body;
    a.cache = "no-store";
    return a;
}

// What a request is known to be before its handler runs: plain, or odd in
// a way its decoded form would hide; and, once its headers are in, its answer
// when that is built off the event loop.
struct RequestState {
    explicit RequestState(const char* why = nullptr, bool mine = false)
        : refusal(why), owned(mine) {}
    const char* const refusal;  // why it is answered 400
    const bool owned;           // made for this request, deleted when it ends
    std::mutex mutex;
    bool waiting = false, ready = false;
    Answer answer;
};
RequestState kPlainRequest;
RequestState kNulRequest("%00 in the request\n");
RequestState kManyKeysRequest("too many query keys\n");

RequestState* judgeUri(const char* uri) {
    std::size_t keys = 0;
    bool query = false;
    for (const char* p = uri; *p != '\0'; ++p) {
        // Decoded, a NUL would cut the path or a value short: /metrics%00.html
        if (p[0] == '%' && p[1] == '0' && p[2] == '0') return &kNulRequest;
        if (*p == '?' && !query) query = true, keys = 1;
        else if (query && *p == '&') ++keys;
    }
    return keys > kMaxQueryKeys ? &kManyKeysRequest : &kPlainRequest;
}

std::string addressOf(MHD_Connection* c) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    char text[INET6_ADDRSTRLEN] = "?";
    if (info == nullptr || info->client_addr == nullptr) return text;
    const sockaddr* a = info->client_addr;
    if (a->sa_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, text, sizeof text);
    else if (a->sa_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr, text, sizeof text);
    return text;
}

MHD_Result addParam(void* params, MHD_ValueKind, const char* key, const char* value) {
    (*static_cast<Params*>(params))[key] = value != nullptr ? value : "";
    return MHD_YES;
}

void freeBody(void* body) { delete static_cast<std::string*>(body); }

MHD_Result queue(MHD_Connection* c, Answer a) {
    MHD_Response* res = nullptr;
    if (a.fixed != nullptr) {
        res = MHD_create_response_from_buffer(a.fixedSize, const_cast<char*>(a.fixed),
                                              MHD_RESPMEM_PERSISTENT);
    } else {
        auto* body = new std::string(std::move(a.body));
        res = MHD_create_response_from_buffer_with_free_callback_cls(body->size(), &(*body)[0],
                                                                     freeBody, body);
        if (res == nullptr) delete body;
    }
    if (res == nullptr) return MHD_NO;
    if (!a.type.empty()) MHD_add_response_header(res, "Content-Type", a.type.c_str());
    if (a.cache != nullptr) MHD_add_response_header(res, "Cache-Control", a.cache);
    if (a.status == 405) MHD_add_response_header(res, "Allow", "GET, HEAD");
    if (a.close) MHD_add_response_header(res, "Connection", "close");
    MHD_add_response_header(res, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(res, "Content-Security-Policy",
                            "default-src 'self'; style-src 'self' 'unsafe-inline'");
    const MHD_Result r = MHD_queue_response(c, static_cast<unsigned>(a.status), res);
    MHD_destroy_response(res);
    return r;
}

class MhdWebServer : public WebServer {
public:
    MhdWebServer(const SiteState& state, HistoryStore* store, const HttpOptions& opt)
        : state_(state),
          store_(store),
          chartJs_(readFile(opt.chartJs.empty() ? PLOR_CHART_JS : opt.chartJs)),
          watch_(limits(opt)),
          workers_(kHistoryThreads, kHistoryQueue) {
        listenFd_ = listenOn(opt.host, opt.port);
        port_ = boundPort(listenFd_);
        // Event loops (epoll) rather than a thread per connection: an idle
        // keep-alive or a slow client costs a descriptor, not a worker. The
        // watch keeps the limits of connections; the library's only as a
        // ceiling while pushed-out connections close.
        daemon_ = MHD_start_daemon(
            MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ITC | MHD_USE_TURBO |
                MHD_ALLOW_SUSPEND_RESUME,
            0, nullptr, nullptr, &MhdWebServer::onRequest, this,
            MHD_OPTION_LISTEN_SOCKET, listenFd_,
            MHD_OPTION_THREAD_POOL_SIZE, static_cast<unsigned>(opt.threads),
            MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(opt.connections) * 2,
            MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
            MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(opt.timeoutSeconds),
            MHD_OPTION_NOTIFY_CONNECTION, &MhdWebServer::onConnection, this,
            MHD_OPTION_NOTIFY_COMPLETED, &MhdWebServer::onCompleted, this,
            MHD_OPTION_URI_LOG_CALLBACK, &MhdWebServer::onUri, this,
            MHD_OPTION_END);
        // The daemon owns the listening socket from here and closes it itself
        // (on a failed start too, in some versions): never closed twice here.
        if (daemon_ == nullptr) {
            workers_.stop();
            watch_.stop();
            throw std::runtime_error("cannot start the HTTP server on port " + std::to_string(port_));
        }
    }
    ~MhdWebServer() override { stop(); }

    int port() const override { return port_; }
    void stop() override {
        if (daemon_ == nullptr) return;
        workers_.stop();  // every suspended connection resumed, with its answer or a 503
        watch_.stop();    // the closes that follow are no refusals, and nothing drains
        MHD_stop_daemon(daemon_);  // closes every connection, then joins its threads
        daemon_ = nullptr;
    }

private:
    static ConnectionWatch::Limits limits(const HttpOptions& opt) {
        ConnectionWatch::Limits l;
        l.request = std::chrono::seconds(opt.requestSeconds);
        l.drain = std::chrono::seconds(opt.requestSeconds);
        l.total = static_cast<std::size_t>(opt.connections);
        l.perAddress = static_cast<std::size_t>(opt.perAddress);
        l.idle = std::chrono::seconds(opt.timeoutSeconds);
        return l;
    }
    static void onConnection(void* self, MHD_Connection* c, void**,
                             MHD_ConnectionNotificationCode code) {
        auto& watch = static_cast<MhdWebServer*>(self)->watch_;
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            const MHD_ConnectionInfo* info =
                MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
            if (info != nullptr) watch.opened(c, info->connect_fd, addressOf(c));
        } else {
            watch.closed(c);
        }
    }
    // The request line is in: its raw form, before the library decodes it.
    static void* onUri(void* self, const char* uri, MHD_Connection* c) {
        auto& watch = static_cast<MhdWebServer*>(self)->watch_;
        watch.started(c);
        RequestState* state = judgeUri(uri);
        // The library would run out of the connection's memory decoding these and stall.
        if (state == &kManyKeysRequest) watch.refuse(c, state->refusal);
        return state;
    }
    static void onCompleted(void* self, MHD_Connection* c, void** cls, MHD_RequestTerminationCode) {
        static_cast<MhdWebServer*>(self)->watch_.answered(c);
        auto* state = static_cast<RequestState*>(*cls);
        if (state != nullptr && state->owned) delete state;
        *cls = nullptr;
    }
    // Called once the request's headers are in, then again when it is
    // complete (at once for a GET) and after a resume. A request that must
    // be refused is answered at the first call, before any body (which a
    // read-only server never wants) is read, and closes its connection; the
    // others at a later call, which keeps the connection alive.
    static MHD_Result onRequest(void* cls, MHD_Connection* c, const char* url, const char* method,
                                const char*, const char*, size_t* uploadSize, void** reqCls) {
        auto* self = static_cast<MhdWebServer*>(cls);
        auto* state = static_cast<RequestState*>(*reqCls);
        if (state == nullptr) state = &kPlainRequest;
        if (state == &kManyKeysRequest) return MHD_NO;  // answered by the watch already
        if (!state->owned) {
            Answer a;
            const bool read = std::strcmp(method, "GET") == 0 || std::strcmp(method, "HEAD") == 0;
            const bool body =
                MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Content-Length") != nullptr ||
                MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Transfer-Encoding") != nullptr;
            if (MHD_get_connection_values(c, MHD_HEADER_KIND, nullptr, nullptr) >
                static_cast<int>(kMaxHeaders)) {
                a = text(431, "too many header lines\n");
            } else if (!read) {
                a = text(405, "only GET\n");
            } else if (state->refusal != nullptr) {
                a = text(400, state->refusal);
            } else if (!body) {
                *reqCls = new RequestState(nullptr, true);
                self->watch_.received(c);
                return MHD_YES;
            } else {
                // A body it did not read would be taken for the next request.
                Params params;
                MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, addParam, &params);
                a = self->route(url, params, c, nullptr);
            }
            a.close = true;
            return queue(c, std::move(a));
        }
        *uploadSize = 0;
        std::unique_lock<std::mutex> lock(state->mutex);
        if (state->waiting) {
            if (!state->ready) return MHD_YES;
            return queue(c, std::move(state->answer));
        }
        lock.unlock();
        Params params;
        MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, addParam, &params);
        Answer a = self->route(url, params, c, state);
        if (state->waiting) return MHD_YES;
        return queue(c, std::move(a));
    }

    // Reads of the history are built by a worker while the connection
    // sleeps; the others at once. Without a state (a refused request) a read
    // of the history is not made at all.
    Answer route(const std::string& path, const Params& params, MHD_Connection* c,
                 RequestState* state) {
        if (path == "/") return fixed(kDashboardHtml, std::strlen(kDashboardHtml), "text/html; charset=utf-8");
        if (path == "/dashboard.js")
            return fixed(kDashboardJs, std::strlen(kDashboardJs), "text/javascript; charset=utf-8");
        if (path == "/dashboard.css")
            return fixed(kDashboardCss, std::strlen(kDashboardCss), "text/css; charset=utf-8");
        if (path == "/favicon.ico") return text(204, "");
        if (path == "/javascript/chart.js/chart.min.js") {
            if (chartJs_.empty()) return text(404, "charting library not installed\n");
            Answer a = fixed(chartJs_.data(), chartJs_.size(), "text/javascript");
            a.cache = "max-age=86400";
            return a;
        }
        if (path == "/metrics") {
            Answer a = text(200, renderMetrics(state_.view()));
            a.type = "text/plain; version=0.0.4; charset=utf-8";
            a.cache = "no-store";
            return a;
        }
        if (path == "/api/devices") return json(apiDevices(state_.view()));
        const bool history = path == "/api/history";
        if (!history && path != "/api/transitions") return text(404, "404\n");
        if (state == nullptr) return text(400, "a request with a body\n");
        auto view = std::make_shared<SiteView>(state_.view());
        HistoryStore* store = store_;
        ReplyWorkers::Job job;
        job.work = [=] {
            const Reply r = history ? apiHistory(*view, store, params)
                                    : apiTransitions(*view, store, params);
            std::lock_guard<std::mutex> lock(state->mutex);
            state->answer = json(r);
        };
        job.done = [state, c](bool ran) {
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                if (!ran) state->answer = text(503, "shutting down\n");
                state->ready = true;
            }
            MHD_resume_connection(c);
        };
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->waiting = true;
        }
        MHD_suspend_connection(c);
        if (workers_.submit(std::move(job))) return Answer();
        MHD_resume_connection(c);
        std::lock_guard<std::mutex> lock(state->mutex);
        state->waiting = false;
        return text(503, "busy: too many history reads waiting\n");
    }

    const SiteState& state_;
    HistoryStore* store_;
    const std::string chartJs_;
    ConnectionWatch watch_;
    ReplyWorkers workers_;
    int listenFd_ = -1;
    int port_ = 0;
    MHD_Daemon* daemon_ = nullptr;
};

}  // namespace

std::unique_ptr<WebServer> startWebServer(const SiteState& state, HistoryStore* store,
                                          const HttpOptions& options) {
    return std::unique_ptr<WebServer>(new MhdWebServer(state, store, options));
}

}  // namespace smdhost
