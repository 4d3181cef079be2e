#include "http_server.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <httplib.h>

#include "dashboard_assets.h"
#include "history_store.h"
#include "metrics.h"
#include "web_api.h"

namespace smdhost {

namespace {

// httplib's own pool queues every accepted connection; this one makes the
// accepting thread wait instead, so a flood stays in the kernel's backlog
// and never costs threads, memory or descriptors here.
class BoundedPool : public httplib::TaskQueue {
public:
    BoundedPool(std::size_t threads, std::size_t queued) : max_(queued) {
        for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
    }
    void enqueue(std::function<void()> fn) override {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [this] { return jobs_.size() < max_ || shutdown_; });
        jobs_.push_back(std::move(fn));
        ready_.notify_one();
    }
    void shutdown() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            shutdown_ = true;
        }
        ready_.notify_all();
        room_.notify_all();
        for (auto& t : threads_) t.join();
    }

private:
    void work() {
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [this] { return !jobs_.empty() || shutdown_; });
                if (jobs_.empty()) return;
                fn = std::move(jobs_.front());
                jobs_.pop_front();
                room_.notify_one();
            }
            fn();
        }
    }
    std::size_t max_;
    std::mutex mutex_;
    std::condition_variable ready_, room_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    bool shutdown_ = false;
};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::string();
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void send(httplib::Response& res, const Reply& r) {
    res.status = r.status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(r.body, r.type.c_str());
}

class HttpWebServer : public WebServer {
public:
    HttpWebServer(const SiteState& state, HistoryStore* store, const HttpOptions& opt)
        : state_(state), store_(store) {
        chartJs_ = readFile(opt.chartJs.empty() ? PLOR_CHART_JS : opt.chartJs);
        const auto threads = static_cast<std::size_t>(opt.threads);
        const auto queued = static_cast<std::size_t>(opt.queued);
        svr_.new_task_queue = [threads, queued] { return new BoundedPool(threads, queued); };
        svr_.set_read_timeout(opt.timeoutSeconds, 0);
        svr_.set_write_timeout(opt.timeoutSeconds, 0);
        svr_.set_keep_alive_timeout(opt.timeoutSeconds);
        svr_.set_keep_alive_max_count(100);
        svr_.set_payload_max_length(4096);
        // Headers and body go out in two writes: without this, Nagle and the
        // client's delayed ACK add 40 ms to every kept-alive request.
        svr_.set_tcp_nodelay(true);
        svr_.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                                  {"Content-Security-Policy",
                                   "default-src 'self'; style-src 'self' 'unsafe-inline'"}});
        // Read-only: nothing but GET (and HEAD) reaches a handler.
        svr_.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
            if (req.method == "GET" || req.method == "HEAD")
                return httplib::Server::HandlerResponse::Unhandled;
            res.status = 405;
            res.set_header("Allow", "GET, HEAD");
            res.set_content("only GET\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        });
        routes();
        const bool any = opt.port == 0;
        const int port = any ? svr_.bind_to_any_port(opt.host) : opt.port;
        if (port <= 0 || (!any && !svr_.bind_to_port(opt.host, port)))
            throw std::runtime_error("cannot listen on " + opt.host + ":" +
                                     std::to_string(opt.port));
        port_ = port;
        thread_ = std::thread([this] {
            svr_.listen_after_bind();
            ended_ = true;
        });
    }
    ~HttpWebServer() override { stop(); }

    int port() const override { return port_; }
    void stop() override {
        if (!thread_.joinable()) return;
        // A stop before the loop runs would be lost, and the join would wait for ever.
        while (!svr_.is_running() && !ended_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        svr_.stop();
        thread_.join();
    }

private:
    static Params params(const httplib::Request& req) {
        Params p;
        for (const auto& kv : req.params) p[kv.first] = kv.second;
        return p;
    }
    void routes() {
        auto asset = [this](const char* path, const char* body, const char* type) {
            svr_.Get(path, [body, type](const httplib::Request&, httplib::Response& res) {
                res.set_content(body, type);
            });
        };
        asset("/", kDashboardHtml, "text/html; charset=utf-8");
        asset("/dashboard.js", kDashboardJs, "text/javascript; charset=utf-8");
        asset("/dashboard.css", kDashboardCss, "text/css; charset=utf-8");
        svr_.Get("/favicon.ico", [](const httplib::Request&, httplib::Response& res) {
            res.status = 204;
        });
        svr_.Get("/javascript/chart.js/chart.min.js",
                 [this](const httplib::Request&, httplib::Response& res) {
                     if (chartJs_.empty()) {
                         res.status = 404;
                         return res.set_content("charting library not installed\n", "text/plain");
                     }
                     res.set_header("Cache-Control", "max-age=86400");
                     res.set_content(chartJs_, "text/javascript");
                 });
        svr_.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
            res.set_header("Cache-Control", "no-store");
            res.set_content(renderMetrics(state_.view()), "text/plain; version=0.0.4; charset=utf-8");
        });
        svr_.Get("/api/devices", [this](const httplib::Request&, httplib::Response& res) {
            send(res, apiDevices(state_.view()));
        });
        svr_.Get("/api/history", [this](const httplib::Request& req, httplib::Response& res) {
            send(res, apiHistory(state_.view(), store_, params(req)));
        });
        svr_.Get("/api/transitions", [this](const httplib::Request& req, httplib::Response& res) {
            send(res, apiTransitions(state_.view(), store_, params(req)));
        });
        svr_.set_error_handler([](const httplib::Request&, httplib::Response& res) {
            if (res.body.empty()) res.set_content(std::to_string(res.status) + "\n", "text/plain");
        });
    }

    const SiteState& state_;
    HistoryStore* store_;
    std::string chartJs_;
    httplib::Server svr_;
    int port_ = 0;
    std::atomic<bool> ended_{false};
    std::thread thread_;
};

}  // namespace

std::unique_ptr<WebServer> startWebServer(const SiteState& state, HistoryStore* store,
                                          const HttpOptions& options) {
    return std::unique_ptr<WebServer>(new HttpWebServer(state, store, options));
}

}  // namespace smdhost
