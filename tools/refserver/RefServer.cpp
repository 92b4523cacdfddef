#include "RefServer.h"

#include "Delivery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace refserver {

namespace {

using json = nlohmann::json;
using ojson = nlohmann::ordered_json;

constexpr const char* kControlPrefix = "/_control/";
// Longest part of an upload's body that the request log keeps.
constexpr std::size_t kLoggedUploadBytes = 1024 * 1024;

// Header entries that the HTTP library adds to every request for the peer's
// and its own address; they are not part of what the client sent.
bool isInjectedHeader(const std::string& name) {
    return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
           name == "LOCAL_PORT";
}

std::string regexEscape(const std::string& text) {
    static const std::string kSpecial = R"(\^$.|?*+()[]{}/)";
    std::string out;
    for (char c : text) {
        if (kSpecial.find(c) != std::string::npos) out += '\\';
        out += c;
    }
    return out;
}

void sendJson(httplib::Response& res, int status, const ojson& body) {
    res.status = status;
    res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void sendError(httplib::Response& res, int status, const std::string& message) {
    sendJson(res, status, ojson{{"error", message}});
}

// Address and port of a socket end, in the text form the HTTP library uses.
bool socketEnd(int fd, bool peer, std::string& addr, int& port) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    auto* sa = reinterpret_cast<sockaddr*>(&ss);
    if ((peer ? getpeername(fd, sa, &len) : getsockname(fd, sa, &len)) != 0) return false;
    char buf[INET6_ADDRSTRLEN] = {};
    if (ss.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&ss);
        inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf);
        port = ntohs(in->sin_port);
    } else if (ss.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&ss);
        inet_ntop(AF_INET6, &in6->sin6_addr, buf, sizeof buf);
        port = ntohs(in6->sin6_port);
    } else {
        return false;
    }
    addr = buf;
    return true;
}

}  // namespace

bool dropConnection(const httplib::Request& req) {
    // The HTTP library does not hand the connection's socket to handlers, but
    // it does give both ends' addresses; the pair identifies one connected
    // socket of this process.
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        int fd = -1;
        try {
            fd = std::stoi(entry.path().filename().string());
        } catch (...) {
            continue;
        }
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
        std::string localAddr, peerAddr;
        int localPort = -1, peerPort = -1;
        if (!socketEnd(fd, false, localAddr, localPort) || localPort != req.local_port) continue;
        if (!socketEnd(fd, true, peerAddr, peerPort) || peerPort != req.remote_port ||
            peerAddr != req.remote_addr)
            continue;
        // Stop both directions now: the client sees the connection end before
        // any response, and the library's own reply write fails harmlessly.
        // With zero linger its later close resets rather than lingers.
        linger lin{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
        shutdown(fd, SHUT_RDWR);
        return true;
    }
    return false;
}

RefServer::RefServer(ServerOptions options)
    : options_(std::move(options)),
      config_(options_.startKnobs),
      sessions_(options_.defaultSessionId) {
    if (!options_.storeDirectory.empty()) store_ = std::make_unique<Store>(options_.storeDirectory);
    std::string prefix = "^(?:.*/)?";
    if (!options_.basePath.empty()) {
        std::string base = options_.basePath;
        if (base.front() != '/') base.insert(base.begin(), '/');
        if (base.back() != '/') base += '/';
        prefix = "^" + regexEscape(base);
    }
    for (const auto& spec : callTable())
        routes_.push_back({&spec, std::regex(prefix + spec.pathPattern + "$")});

    auto handler = [this](const httplib::Request& req, httplib::Response& res) {
        dispatch(req, res);
    };
    // Bodies are read by the server itself, so that knobs can pace them.
    auto reading = [this](const httplib::Request& req, httplib::Response& res,
                          const httplib::ContentReader& reader) {
        readAndDispatch(req, res, reader);
    };
    server_.Get(".*", handler);
    server_.Post(".*", reading);
    server_.Put(".*", reading);
    server_.Patch(".*", handler);
    server_.Delete(".*", handler);
    server_.Options(".*", handler);
    // Replies are written in more than one piece; without this, every reply on a
    // reused connection waits for the client's delayed acknowledgement (~40 ms).
    server_.set_tcp_nodelay(true);
    // A kept-alive connection serves many calls (the library's default closes
    // it after 5, so clients and benchmarks would reconnect every 5th call); an
    // idle one is still closed after a few seconds.
    server_.set_keep_alive_max_count(1000);
    server_.set_keep_alive_timeout(5);
    if (options_.verbose) {
        server_.set_logger([](const httplib::Request& req, const httplib::Response& res) {
            std::fprintf(stderr, "refserver: %s %s -> %d\n", req.method.c_str(), req.path.c_str(),
                         res.status);
        });
    }
}

RefServer::~RefServer() {
    stop();
}

int RefServer::bind() {
    if (options_.port == 0) return server_.bind_to_any_port(options_.host);
    return server_.bind_to_port(options_.host, options_.port) ? options_.port : -1;
}

bool RefServer::serve() {
    return server_.listen_after_bind();
}

void RefServer::stop() {
    stopping_ = true;
    server_.stop();
}

void RefServer::sleepFor(int ms) const {
    // Sleep in short slices so that a stop is not held up by a long delay.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stopping_ && std::chrono::steady_clock::now() < until) {
        const auto left = until - std::chrono::steady_clock::now();
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(20)));
    }
}

void RefServer::dispatch(const httplib::Request& req, httplib::Response& res) {
    if (req.path.rfind(kControlPrefix, 0) == 0)
        handleControl(req, res);
    else
        handleCall(req, res);
}

void RefServer::handleControl(const httplib::Request& req, httplib::Response& res) {
    const std::string what = req.path.substr(std::string(kControlPrefix).size());
    if (what == "health" && req.method == "GET") {
        ojson calls = ojson::array();
        for (const auto& c : callTable()) calls.push_back(c.name);
        sendJson(res, 200, {{"status", "ok"}, {"requests", log_.size()}, {"calls", calls}});
    } else if (what == "config" && req.method == "GET") {
        std::lock_guard lock(configMutex_);
        sendJson(res, 200, ojson(config_.toJson()));
    } else if (what == "config" && req.method == "POST") {
        json j = json::parse(req.body, nullptr, false);
        if (j.is_discarded()) return sendError(res, 400, "configuration is not JSON");
        std::string error;
        std::lock_guard lock(configMutex_);
        if (!config_.merge(j, callNames(), error)) return sendError(res, 400, error);
        sendJson(res, 200, ojson(config_.toJson()));
    } else if (what == "reset" && req.method == "POST") {
        {
            std::lock_guard lock(configMutex_);
            config_ = options_.startKnobs;
        }
        log_.clear();
        sessions_.forget();
        sendJson(res, 200, {{"status", "ok"}});
    } else if (what == "requests" && req.method == "GET") {
        sendJson(res, 200, log_.toJson());
    } else if (what == "store" && req.method == "GET") {
        if (!store_) return sendError(res, 404, "no store is kept: start with --store DIR");
        sendJson(res, 200, ojson(store_->listing()));
    } else {
        sendError(res, 404, "unknown control request " + req.method + " " + req.path);
    }
}

const CallSpec* RefServer::route(const httplib::Request& req, std::vector<std::string>& params,
                                 bool& pathKnown) const {
    pathKnown = false;
    for (const auto& route : routes_) {
        std::smatch m;
        if (!std::regex_match(req.path, m, route.pattern)) continue;
        pathKnown = true;
        // HEAD is answered like GET by the HTTP library.
        const std::string method = req.method == "HEAD" ? "GET" : req.method;
        if (method != route.spec->method) continue;
        for (std::size_t i = 1; i < m.size(); ++i) params.push_back(m[i].str());
        return route.spec;
    }
    return nullptr;
}

void RefServer::readAndDispatch(const httplib::Request& req, httplib::Response& res,
                                const httplib::ContentReader& reader) {
    std::optional<long long> rate;
    std::vector<std::string> params;
    bool pathKnown = false;
    if (const CallSpec* spec = route(req, params, pathKnown)) {
        // Upload bodies may be larger than memory: they are streamed.
        if (spec->name == "upload") return handleCall(req, res, &reader);
        std::lock_guard lock(configMutex_);
        rate = config_.effective(spec->name).readBytesPerSecond;
    }
    httplib::Request full = req;
    if (!readRequestBody(req, reader, rate, stopping_, full.body, full.files)) {
        res.status = 400;
        return;
    }
    dispatch(full, res);
}

void RefServer::handleCall(const httplib::Request& req, httplib::Response& res,
                           const httplib::ContentReader* reader) {
    bool pathKnown = false;
    std::vector<std::string> params;
    const CallSpec* spec = route(req, params, pathKnown);

    RecordedRequest rec;
    rec.method = req.method;
    rec.path = req.path;
    if (auto q = req.target.find('?'); q != std::string::npos) rec.query = req.target.substr(q + 1);
    for (const auto& [name, value] : req.headers)
        if (!isInjectedHeader(name)) rec.headers.emplace_back(name, value);
    rec.body = req.body;
    rec.bodySize = req.body.size();
    rec.call = spec ? spec->name : "";

    Knobs knobs;
    if (spec) {
        std::lock_guard lock(configMutex_);
        knobs = config_.effective(spec->name);
    }
    std::unique_ptr<UploadReceiver> received;
    if (reader) {
        received = std::make_unique<UploadReceiver>(store_ && spec ? store_->partialUploadPath()
                                                                   : std::string());
        const bool complete = receiveUpload(*reader, knobs, *received, rec.body);
        rec.bodySize = received->size();
        if (!complete) {
            // The connection failed or the server is stopping: no reply is read.
            log_.add(std::move(rec));
            res.status = 400;
            return;
        }
    }
    log_.add(std::move(rec));

    if (!spec) {
        const int status = pathKnown ? 405 : 404;
        sendJson(res, status,
                 {{"status",
                   {{"code", pathKnown ? "MethodNotAllowed" : "NotFound"},
                    {"reason", "no call for " + req.method + " " + req.path}}}});
        return;
    }

    if (knobs.delayMs) sleepFor(*knobs.delayMs);
    if (knobs.drop.value_or(false)) {
        if (!dropConnection(req))
            std::fprintf(stderr, "refserver: could not find the connection to drop\n");
        res.status = 500;
        return;
    }

    CallOutput out;
    const CallInput in{req, params, knobs, sessions_, received.get()};
    if (spec->name == "session" || spec->name == "strings" || checkSession(in, out))
        spec->handler(in, out);
    if (!out.rejectReason) keep(spec, req, received.get(), out);
    writeReply(spec, knobs, out, res);
}

bool RefServer::receiveUpload(const httplib::ContentReader& reader, const Knobs& knobs,
                              UploadReceiver& body, std::string& logged) {
    bool corrupt = knobs.corruptUpload.value_or(false);
    bool writable = true;
    ReadPacer pacer(knobs.readBytesPerSecond, stopping_);
    const bool complete = reader([&](const char* data, std::size_t length) {
        if (length == 0) return true;
        if (!pacer.take(length)) return false;
        if (logged.size() < kLoggedUploadBytes)
            logged.append(data, std::min(length, kLoggedUploadBytes - logged.size()));
        if (corrupt) {
            // Damage in transit: the first byte arrives with every bit flipped.
            std::string damaged(data, length);
            damaged[0] = static_cast<char>(~damaged[0]);
            corrupt = false;
            writable = body.add(damaged.data(), damaged.size()) && writable;
            return true;
        }
        writable = body.add(data, length) && writable;
        return true;
    });
    if (corrupt) body.add("\0", 1);  // an empty body gains a stray byte
    body.finish();
    if (!writable) {
        std::fprintf(stderr, "refserver: cannot write the upload to %s\n",
                     body.partialPath().c_str());
        body.discard();
    }
    if (!complete) body.discard();
    return complete;
}

void RefServer::keep(const CallSpec* spec, const httplib::Request& req, UploadReceiver* body,
                     CallOutput& out) {
    if (!store_) return;
    if (spec->name == "upload" && body) {
        const json description = {
            {"testId", out.members.value("testId", "")},
            {"dataId", out.members.value("dataId", "")},
            {"size", body->size()},
            {"md5", body->md5()},
            {"sequence", req.get_header_value("ZET-file-sequence")},
            {"total", req.get_header_value("ZET-total-files")},
            {"deviceId", req.get_header_value("Diagnostic-Device-ID")},
            {"sessionId", req.get_header_value("Diagnostic-Session-ID")},
        };
        if (body->partialPath().empty() || !store_->keepUpload(*body, description)) {
            out.rejectStatus = 500;
            out.rejectCode = "StoreFailed";
            out.rejectReason = "the upload could not be stored";
        }
    } else if (spec->name == "enroll") {
        store_->keepEnrolled(out.members.value("devices", json::object()));
    } else if (spec->name == "results" || spec->name == "profile" || spec->name == "clientstatus") {
        store_->keepBody(spec->name, req.body);
    }
}

void RefServer::writeReply(const CallSpec* spec, const Knobs& knobs, CallOutput& out,
                           httplib::Response& res) {
    const BodyMode mode = knobs.body.value_or(BodyMode::Envelope);
    std::string body;
    std::string contentType = "application/json";

    if (mode == BodyMode::Envelope && out.plainBody && !out.rejectReason) {
        body = *out.plainBody;
        contentType = out.plainContentType;
    } else if (mode == BodyMode::Envelope) {
        ojson reply = ojson::object();
        if (out.rejectReason) {
            reply["status"] = {{"code", out.rejectCode}, {"reason", *out.rejectReason}};
        } else {
            const std::string word = knobs.responseWord.value_or(spec->successWord);
            // A call without a success word answers with the status form unless
            // a word is given.
            Envelope form = knobs.envelope.value_or(Envelope::Response);
            if (word.empty() && (form == Envelope::Response || form == Envelope::Both))
                form = Envelope::Status;
            const ojson status = {{"code", knobs.statusCode.value_or("NoError")},
                                  {"reason", knobs.statusReason.value_or("")}};
            switch (form) {
                case Envelope::Response:
                    reply["response"] = word;
                    break;
                case Envelope::Status:
                    reply["status"] = status;
                    break;
                case Envelope::Both:
                    reply["response"] = word;
                    reply["status"] = status;
                    break;
                case Envelope::None:
                    break;
                case Envelope::StatusEmpty:
                    reply["status"] = ojson::object();
                    break;
            }
            for (const auto& [k, v] : out.members.items()) reply[k] = v;
        }
        if (knobs.members)
            for (const auto& [k, v] : knobs.members->items()) reply[k] = v;
        body = reply.dump(-1, ' ', false, json::error_handler_t::replace);
    } else {
        switch (mode) {
            case BodyMode::Array:
                body = "[]";
                break;
            case BodyMode::Null:
                body = "null";
                break;
            case BodyMode::Invalid:
                body = "{\"response\": \"SessionSucc";
                break;
            case BodyMode::Empty:
                body.clear();
                break;
            case BodyMode::Raw:
                body = knobs.rawBody.value_or("");
                break;
            case BodyMode::Envelope:
                break;
        }
    }
    if (knobs.contentType) contentType = *knobs.contentType;
    res.status = knobs.status.value_or(out.rejectReason ? out.rejectStatus : 200);
    setReplyBody(res, std::move(body), contentType, knobs, stopping_);
}

}  // namespace refserver
