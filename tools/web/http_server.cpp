#include "http_server.h"

#include <microhttpd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "dashboard_assets.h"
#include "history_store.h"
#include "http_listen.h"
#include "metrics.h"
#include "request_deadline.h"
#include "web_api.h"

namespace smdhost {

namespace {

// A request's header block, request line included, must fit in this; one
// over it is answered 431 and closed. Browsers send one or two KiB.
constexpr std::size_t kConnectionMemory = 32 * 1024;
// Header lines per request.
constexpr unsigned kMaxHeaders = 64;

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
          deadlines_(std::chrono::seconds(opt.requestSeconds)) {
        listenFd_ = listenOn(opt.host, opt.port);
        port_ = boundPort(listenFd_);
        // Event loops (epoll) rather than a thread per connection: an idle
        // keep-alive or a slow client costs a descriptor, not a worker.
        daemon_ = MHD_start_daemon(
            MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ITC, 0, nullptr, nullptr,
            &MhdWebServer::onRequest, this,
            MHD_OPTION_LISTEN_SOCKET, listenFd_,
            MHD_OPTION_THREAD_POOL_SIZE, static_cast<unsigned>(opt.threads),
            MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(opt.connections),
            MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<unsigned>(opt.perAddress),
            MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
            MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(opt.timeoutSeconds),
            MHD_OPTION_NOTIFY_CONNECTION, &MhdWebServer::onConnection, this,
            MHD_OPTION_NOTIFY_COMPLETED, &MhdWebServer::onCompleted, this,
            MHD_OPTION_END);
        // The daemon owns the listening socket from here and closes it itself
        // (on a failed start too, in some versions): never closed twice here.
        if (daemon_ == nullptr) {
            deadlines_.stop();
            throw std::runtime_error("cannot start the HTTP server on port " + std::to_string(port_));
        }
    }
    ~MhdWebServer() override { stop(); }

    int port() const override { return port_; }
    void stop() override {
        if (daemon_ == nullptr) return;
        MHD_stop_daemon(daemon_);  // closes every connection, then joins its threads
        daemon_ = nullptr;
        deadlines_.stop();
    }

private:
    static void onConnection(void* self, MHD_Connection* c, void**,
                             MHD_ConnectionNotificationCode code) {
        auto& deadlines = static_cast<MhdWebServer*>(self)->deadlines_;
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            const MHD_ConnectionInfo* info =
                MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
            if (info != nullptr) deadlines.opened(c, info->connect_fd);
        } else {
            deadlines.closed(c);
        }
    }
    static void onCompleted(void* self, MHD_Connection* c, void**, MHD_RequestTerminationCode) {
        static_cast<MhdWebServer*>(self)->deadlines_.answered(c);
    }
    // Called once the request's headers are in; answered at once, before
    // any body (which a read-only server never wants) is read.
    static MHD_Result onRequest(void* self, MHD_Connection* c, const char* url, const char* method,
                                const char*, const char*, size_t*, void**) {
        Answer a;
        const bool read = std::strcmp(method, "GET") == 0 || std::strcmp(method, "HEAD") == 0;
        if (MHD_get_connection_values(c, MHD_HEADER_KIND, nullptr, nullptr) >
            static_cast<int>(kMaxHeaders)) {
            a = text(431, "too many header lines\n");
        } else if (!read) {
            a = text(405, "only GET\n");
        } else {
            Params params;
            MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, addParam, &params);
            a = static_cast<MhdWebServer*>(self)->route(url, params);
        }
        // A body it did not read would be taken for the next request.
        a.close = a.close || !read ||
                  MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Content-Length") != nullptr ||
                  MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Transfer-Encoding") != nullptr;
        return queue(c, std::move(a));
    }

    Answer route(const std::string& path, const Params& params) const {
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
        if (path == "/api/history") return json(apiHistory(state_.view(), store_, params));
        if (path == "/api/transitions") return json(apiTransitions(state_.view(), store_, params));
        return text(404, "404\n");
    }

    const SiteState& state_;
    HistoryStore* store_;
    const std::string chartJs_;
    RequestDeadlines deadlines_;
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
