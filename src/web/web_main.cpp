// quorvel-web: serves the call history that quorvel-decode --db writes. It only
// ever reads the file (each request opens it read-only, so writers may come and
// go), and offers one page, the calls as JSON and a stream of new calls
// (Server-Sent Events, found by polling the file for greater ids, whichever
// process wrote them).
#include <CLI/CLI.hpp>

#include "config_option.h"
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "page.h"
#include "store/call_store.h"
#include "tools/version.h"

namespace {

using quorvel::store::CallQuery;
using quorvel::store::CallRow;
using quorvel::store::CallStore;
using json = nlohmann::ordered_json;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// How often a stream looks for new rows, and how often an idle stream says it
// is still there (so that proxies and dead clients show).
constexpr auto kStreamPoll = std::chrono::milliseconds(200);
constexpr auto kKeepAlive = std::chrono::seconds(15);
// Rows a stream sends in one go; the rest follow at once.
constexpr int kStreamBatch = 500;

std::atomic<bool> stopping{false};
// Each open stream holds one of the server's threads: past this many, a new
// one is refused (the browser tries again) so that the page and the API stay
// served.
constexpr int kMaxStreams = 24;
std::atomic<int> streams{0};

std::string Dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

json RowJson(const CallRow& r) {
    json j;
    j["id"] = r.id;
    j["time"] = r.call.time;
    j["offset"] = r.call.offset;
    j["source"] = r.call.source;
    j["protocol"] = r.call.protocol;
    j["address"] = r.call.address;
    j["subaddress"] = r.call.subaddress;
    j["name"] = r.call.name;
    j["text"] = r.call.text;
    json object = json::parse(r.call.json, nullptr, false);
    j["json"] = object.is_discarded() ? json(r.call.json) : std::move(object);
    return j;
}

// A non-negative whole number, all of the text.
bool ParseCount(const std::string& text, std::int64_t& value) {
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && value >= 0;
}

void Error(httplib::Response& res, int status, const std::string& message) {
    res.status = status;
    res.set_content(Dump(json{{"error", message}}) + "\n", "application/json");
}

std::unique_ptr<CallStore> OpenForRequest(const std::string& db, httplib::Response& res) {
    std::string error;
    auto store = CallStore::Open(db, CallStore::Mode::Read, error);
    if (!store) Error(res, 503, error);
    return store;
}

void ServeCalls(const std::string& db, const httplib::Request& req, httplib::Response& res) {
    CallQuery q;
    q.protocol = req.get_param_value("protocol");
    for (char& c : q.protocol) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    q.address = req.get_param_value("address");
    q.q = req.get_param_value("q");
    const struct {
        const char* name;
        std::int64_t* value;
    } numbers[] = {{"since_id", &q.sinceId}, {"before_id", &q.beforeId}};
    for (const auto& n : numbers) {
        if (req.has_param(n.name) && !ParseCount(req.get_param_value(n.name), *n.value))
            return Error(res, 400, std::string(n.name) + " must be a whole number of 0 or more");
    }
    if (req.has_param("limit")) {
        std::int64_t limit = 0;
        if (!ParseCount(req.get_param_value("limit"), limit) || limit < 1)
            return Error(res, 400, "limit must be a whole number of 1 or more (at most " +
                                       std::to_string(CallQuery::kMaxLimit) + " are given)");
        q.limit = static_cast<int>(std::min<std::int64_t>(limit, CallQuery::kMaxLimit));
    }
    auto store = OpenForRequest(db, res);
    if (!store) return;
    std::vector<CallRow> rows;
    std::string error;
    if (!store->Query(q, rows, error)) return Error(res, 503, error);
    std::string body = "[";
    for (std::size_t i = 0; i < rows.size(); ++i) body += (i ? ",\n" : "\n") + Dump(RowJson(rows[i]));
    body += rows.empty() ? "]\n" : "\n]\n";
    res.set_header("Cache-Control", "no-store");
    res.set_content(body, "application/json");
}

// One stream: from the Last-Event-ID the client sends on reconnecting (what it
// missed), else from the newest row now (only what is new).
void ServeStream(const std::string& db, const httplib::Request& req, httplib::Response& res) {
    std::shared_ptr<CallStore> store = OpenForRequest(db, res);
    if (!store) return;
    std::int64_t last = 0;
    std::string error;
    std::int64_t newest = 0;
    if (!store->MaxId(newest, error)) return Error(res, 503, error);
    if (!req.has_header("Last-Event-ID")) {
        last = newest;
    } else if (!ParseCount(req.get_header_value("Last-Event-ID"), last)) {
        return Error(res, 400, "Last-Event-ID must be a call's id");
    } else if (last > newest) {
        last = newest;  // an id from a file since replaced: its new calls must not wait for that id
    }
    res.set_header("Cache-Control", "no-store");
    if (req.method == "HEAD") {
        res.set_content("", "text/event-stream");
        return;
    }
    if (streams.fetch_add(1) >= kMaxStreams) {
        streams.fetch_sub(1);
        return Error(res, 503, "too many streams open");
    }
    std::cerr << "quorvel-web: stream to " << req.remote_addr << " from id " << last << "\n";
    res.set_header("X-Accel-Buffering", "no");  // a proxy in front must not hold events back
    auto started = std::make_shared<bool>(false);
    // Counts the stream until the server lets go of its provider.
    std::shared_ptr<void> slot(nullptr, [](void*) { streams.fetch_sub(1); });
    auto lastWrite = std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::now());
    res.set_chunked_content_provider(
        "text/event-stream", [store, last, started, lastWrite, slot](std::size_t, httplib::DataSink& sink) mutable {
            auto send = [&](const std::string& text) {
                *lastWrite = std::chrono::steady_clock::now();
                return sink.write(text.data(), text.size());
            };
            if (!*started) {
                // The id the stream starts from, before any call: a client
                // that loses the connection before the first call still
                // comes back with Last-Event-ID and misses nothing.
                *started = true;
                if (!send("retry: 2000\nid: " + std::to_string(last) + "\n\n")) return false;
            }
            while (!stopping.load()) {
                CallQuery q;
                q.sinceId = last;
                q.limit = kStreamBatch;
                std::vector<CallRow> rows;
                std::string error;
                // A file busy or briefly unreadable: try again at the next poll.
                if (store->Query(q, rows, error, true) && !rows.empty()) {
                    std::string events;
                    for (const CallRow& r : rows) {
                        events += "id: " + std::to_string(r.id) + "\ndata: " + Dump(RowJson(r)) + "\n\n";
                        last = r.id;
                    }
                    return send(events);
                }
                if (!sink.is_writable()) return false;
                if (std::chrono::steady_clock::now() - *lastWrite > kKeepAlive && !send(": keep-alive\n\n"))
                    return false;
                std::this_thread::sleep_for(kStreamPoll);
            }
            sink.done();
            return true;
        });
}

// "ADDR:PORT", the address of IPv6 in brackets.
bool ParseListen(const std::string& text, std::string& host, int& port) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    std::int64_t p = 0;
    if (!ParseCount(text.substr(colon + 1), p) || p > 65535) return false;
    port = static_cast<int>(p);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string db;
    std::string listen = "127.0.0.1:8080";
    CLI::App app(
        "quorvel-web: serves the calls that quorvel-decode --db keeps: a page with the newest calls, updated live, "
        "with search; GET /api/calls (JSON) and /api/stream (Server-Sent Events). It only reads the file.\n"
        "By default only this machine can connect (127.0.0.1). Another --listen address, such as 0.0.0.0:8080, "
        "exposes the calls to every network that reaches it, without a password.",
        "quorvel-web");
    app.set_version_flag("--version", std::string("quorvel-web ") + QUORVEL_VERSION);
    app.add_option("--db", db, "the SQLite file quorvel-decode --db writes")->required();
    app.add_option("--listen", listen,
                   "ADDR:PORT to serve on (default 127.0.0.1:8080: this machine only; [::1]:8080 for IPv6; port 0: "
                   "any free port)");
    quorvel::tools::AddConfigOption(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return quorvel::tools::ReportParseError(app, e, "quorvel-web", argc, argv);
    }
    std::string host;
    int port = 0;
    if (!ParseListen(listen, host, port)) {
        std::cerr << "quorvel-web: --listen '" << listen << "' is not ADDR:PORT (e.g. 127.0.0.1:8080)\n";
        return kExitUsage;
    }
    {
        std::string error;
        if (!CallStore::Open(db, CallStore::Mode::Read, error)) {
            std::cerr << "quorvel-web: " << error << "\n";
            return kExitFailure;
        }
    }

    // SIGINT and SIGTERM go to one thread that stops the server; every other
    // thread (the server's pool included) has them blocked. A client gone away
    // is a failed write, not the end of the program.
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    httplib::Server server;
    server.new_task_queue = [] { return new httplib::ThreadPool(32); };  // streams hold a thread each
    server.set_keep_alive_timeout(2);
    server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        if (req.method == "GET" || req.method == "HEAD") return httplib::Server::HandlerResponse::Unhandled;
        res.set_header("Allow", "GET, HEAD");
        Error(res, 405, "only GET and HEAD");
        return httplib::Server::HandlerResponse::Handled;
    });
    server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.status == 404 && res.body.empty()) Error(res, 404, "not found");
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Content-Security-Policy",
                       "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'; "
                       "img-src 'self'");
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_content(quorvel::web::kPage, "text/html; charset=utf-8");
    });
    server.Get("/api/calls", [&db](const httplib::Request& req, httplib::Response& res) { ServeCalls(db, req, res); });
    server.Get("/api/stream", [&db](const httplib::Request& req, httplib::Response& res) { ServeStream(db, req, res); });

    if (port == 0) {
        port = server.bind_to_any_port(host);
        if (port < 0) port = 0;
    } else if (!server.bind_to_port(host, port)) {
        port = 0;
    }
    if (port == 0) {
        std::cerr << "quorvel-web: cannot listen on " << listen << "\n";
        return kExitFailure;
    }
    const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    std::cerr << "quorvel-web: serving " << db << " on http://" << shown << ":" << port << "/" << std::endl;

    std::thread waiter([&] {
        int signal = 0;
        sigwait(&signals, &signal);
        stopping.store(true);
        server.stop();
    });
    server.listen_after_bind();
    const bool signalled = stopping.exchange(true);
    if (!signalled) kill(getpid(), SIGTERM);  // wakes the waiter
    waiter.join();
    if (!signalled) {
        std::cerr << "quorvel-web: the server ended on its own\n";
        return kExitFailure;
    }
    std::cerr << "quorvel-web: stopped\n";
    return 0;
}
