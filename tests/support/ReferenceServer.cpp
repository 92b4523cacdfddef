#include "support/ReferenceServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

extern char** environ;

namespace da::test {

namespace {

constexpr const char* kReadyPrefix = "listening on ";

std::string base64Decode(const std::string& text) {
    std::string out;
    unsigned buffer = 0;
    int bits = 0;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+')
            v = 62;
        else if (c == '/')
            v = 63;
        else
            continue;  // padding
        buffer = (buffer << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    return out;
}

std::string describeExit(int status) {
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "ended";
}

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (key.size() != name.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < key.size() && same; ++i)
            same = std::tolower(static_cast<unsigned char>(key[i])) ==
                   std::tolower(static_cast<unsigned char>(name[i]));
        if (same) return value;
    }
    return std::nullopt;
}

std::string ReferenceServer::defaultBinary() {
#ifdef DA_BINARY_DIR
    return DA_BINARY_DIR "/tools/refserver/diagnostics-refserver";
#else
    return "diagnostics-refserver";
#endif
}

ReferenceServer& ReferenceServer::shared() {
    static ReferenceServer server;
    return server;
}

ReferenceServer::ReferenceServer() : ReferenceServer(Options{}) {}

ReferenceServer::ReferenceServer(std::vector<std::string> args) {
    Options options;
    options.args = std::move(args);
    start(options);
}

ReferenceServer::ReferenceServer(Options options) {
    start(options);
}

ReferenceServer::~ReferenceServer() {
    stop();
}

void ReferenceServer::start(const Options& options) {
    const std::string binary = options.binary.empty() ? defaultBinary() : options.binary;
    if (access(binary.c_str(), X_OK) != 0)
        throw std::runtime_error("reference server binary not found or not executable: " + binary);

    int out[2], in[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (pipe2(in, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        throw std::runtime_error("pipe failed");
    }

    // Host and port default to 127.0.0.1 and a free port.
    std::vector<std::string> args{binary, "--exit-on-stdin-eof"};
    args.insert(args.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const int rc = posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    if (rc != 0) {
        pid_ = -1;
        close(in[1]);
        close(out[0]);
        throw std::runtime_error("cannot start " + binary + ": " + std::strerror(rc));
    }
    stdinFd_ = in[1];

    // Wait for the one ready line, bounded by the start timeout.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + options.startTimeout;
    std::string failure;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            failure = "no \"listening on\" line within " +
                      std::to_string(options.startTimeout.count()) + " ms";
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) continue;
        char c;
        const ssize_t n = read(out[0], &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int status = 0;
            failure = "server closed its output before it was ready";
            if (waitpid(pid_, &status, 0) == pid_) {
                failure += " (" + describeExit(status) + ")";
                pid_ = -1;
            }
            break;
        }
        if (c == '\n') break;
        line += c;
    }
    close(out[0]);

    if (failure.empty()) {
        const auto colon = line.rfind(':');
        if (line.rfind(kReadyPrefix, 0) != 0 || colon == std::string::npos) {
            failure = "unexpected first line from server: \"" + line + "\"";
        } else {
            try {
                port_ = std::stoi(line.substr(colon + 1));
            } catch (...) {
                failure = "no port in \"" + line + "\"";
            }
        }
    }
    if (!failure.empty()) {
        stop();
        throw std::runtime_error("reference server " + binary + ": " + failure);
    }
}

void ReferenceServer::stop(std::chrono::milliseconds grace) {
    if (stdinFd_ >= 0) {
        close(stdinFd_);
        stdinFd_ = -1;
    }
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (true) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || (r < 0 && errno != EINTR)) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
}

std::string ReferenceServer::baseURL(const std::string& basePath) const {
    std::string url = "http://127.0.0.1:" + std::to_string(port_);
    if (basePath.empty() || basePath.front() != '/') url += '/';
    return url + basePath;
}

std::string ReferenceServer::control(const std::string& method, const std::string& what,
                                     const std::string& body) const {
    if (pid_ <= 0) throw std::runtime_error("reference server is not running");
    httplib::Client client("127.0.0.1", port_);
    client.set_connection_timeout(5, 0);
    client.set_read_timeout(10, 0);
    client.set_write_timeout(10, 0);
    const std::string path = "/_control/" + what;
    auto res = method == "GET" ? client.Get(path) : client.Post(path, body, "application/json");
    if (!res)
        throw std::runtime_error("reference server control " + path + ": " +
                                 httplib::to_string(res.error()));
    if (res->status != 200)
        throw std::runtime_error("reference server control " + path + ": HTTP " +
                                 std::to_string(res->status) + " " + res->body);
    return res->body;
}

void ReferenceServer::configure(const std::string& jsonKnobs) {
    control("POST", "config", jsonKnobs);
}

void ReferenceServer::reset() {
    control("POST", "reset", "");
}

std::vector<RecordedRequest> ReferenceServer::requests() const {
    const auto j = nlohmann::json::parse(control("GET", "requests", ""), nullptr, false);
    if (!j.is_array()) throw std::runtime_error("reference server: request log is not an array");
    std::vector<RecordedRequest> out;
    for (const auto& e : j) {
        RecordedRequest r;
        r.method = e.value("method", "");
        r.path = e.value("path", "");
        r.query = e.value("query", "");
        r.call = e.value("call", "");
        if (e.contains("headers") && e["headers"].is_object())
            for (const auto& [k, v] : e["headers"].items())
                if (v.is_string()) r.headers[k] = v.get<std::string>();
        r.body = e.contains("bodyBase64") ? base64Decode(e.value("bodyBase64", ""))
                                          : e.value("body", "");
        out.push_back(std::move(r));
    }
    return out;
}

}  // namespace da::test
