#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/foundation/VxDeferred.h"
#include "platform/foundation/VxDispatch.h"
#include "platform/linux/VxURLSession.h"
#include "platformsvc/PlatformTestSupport.h"

namespace {

using namespace std::chrono_literals;

struct Seen {
    std::string method;
    std::string path;
    httplib::Headers headers;  // names as received; looked up without regard to case
    std::string body;
    int remotePort = 0;

    std::optional<std::string> value(const std::string& name) const {
        auto it = headers.find(name);
        return it == headers.end() ? std::nullopt : std::optional(it->second);
    }
};

// A small HTTP server on 127.0.0.1 that records every request.
class TestServer {
  public:
    TestServer() {
        auto record = [this](const httplib::Request& req) {
            std::lock_guard lock(mutex_);
            seen_.push_back({req.method, req.path, req.headers, req.body, req.remote_port});
        };
        auto echo = [record](const httplib::Request& req, httplib::Response& res) {
            record(req);
            res.status = 201;
            res.set_header("X-Reply-Name", "Mixed Case");
            res.set_content("{\"ok\":true,\"len\":" + std::to_string(req.body.size()) + "}",
                            "application/json");
        };
        server_.Post("/echo", echo);
        server_.Put("/echo", echo);
        server_.Get("/echo", echo);
        server_.Get("/slow", [record](const httplib::Request& req, httplib::Response& res) {
            record(req);
            std::this_thread::sleep_for(1500ms);
            res.set_content("late", "text/plain");
        });
        // A 404 whose body a download still stores; a reply that sets a cookie.
        server_.Get("/file", [record](const httplib::Request& req, httplib::Response& res) {
            record(req);
            res.status = 404;
            res.set_content("\"Greeting\" = \"Hello\";\n", "text/plain");
            if (req.has_param("cookie")) res.set_header("Set-Cookie", "sid=abc123; Path=/");
        });
        // "decoded body", gzip-compressed, for requests that accept it.
        server_.Get("/gzip", [](const httplib::Request&, httplib::Response& res) {
            static const unsigned char gz[] = {0x1f, 0x8b, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00,
                                               0x02, 0x03, 0x4b, 0x49, 0x4d, 0xce, 0x4f, 0x49,
                                               0x4d, 0x51, 0x48, 0xca, 0x4f, 0xa9, 0x04, 0x00,
                                               0x81, 0x21, 0x6f, 0xed, 0x0c, 0x00, 0x00, 0x00};
            res.set_header("Content-Encoding", "gzip");
            res.set_content(std::string(reinterpret_cast<const char*>(gz), sizeof gz),
                            "text/plain");
        });
        // ?n=N bytes of "x", one every ?ms=M milliseconds (chunked).
        server_.Get("/trickle", [](const httplib::Request& req, httplib::Response& res) {
            const std::size_t n = std::stoul(req.get_param_value("n"));
            const int ms = std::stoi(req.get_param_value("ms"));
            res.set_chunked_content_provider(
                "text/plain", [n, ms](std::size_t offset, httplib::DataSink& sink) {
                    if (offset >= n) {
                        sink.done();
                        return true;
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
                    return sink.write("x", 1);
                });
        });
        // ?n=N bytes, with their Content-Length or (?chunked=1) without.
        server_.Get("/bytes", [](const httplib::Request& req, httplib::Response& res) {
            const std::size_t n = std::stoul(req.get_param_value("n"));
            if (!req.has_param("chunked"))
                return res.set_content(std::string(n, 'b'), "text/plain");
            res.set_chunked_content_provider(
                "text/plain", [n](std::size_t offset, httplib::DataSink& sink) {
                    static const std::string block(65536, 'b');
                    if (offset < n)
                        return sink.write(block.data(), std::min(block.size(), n - offset));
                    sink.done();
                    return true;
                });
        });
        // Reads the body at ?rate=N bytes a second and answers with its length.
        server_.Post("/slowread", [](const httplib::Request& req, httplib::Response& res,
                                     const httplib::ContentReader& reader) {
            const double rate = std::stod(req.get_param_value("rate"));
            const auto start = std::chrono::steady_clock::now();
            std::size_t total = 0;
            reader([&](const char*, std::size_t n) {
                total += n;
                std::this_thread::sleep_until(start + std::chrono::duration<double>(total / rate));
                return true;
            });
            res.set_content(std::to_string(total), "text/plain");
        });
        // A small receive buffer, so that a slow reader holds the sender back
        // instead of the kernel taking in megabytes on its behalf.
        server_.set_socket_options([](int sock) {
            int yes = 1, size = 64 * 1024;
            setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
            setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        });
        // Idle kept-alive connections end soon, so that stop() does not wait long.
        server_.set_keep_alive_timeout(1);
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        for (int i = 0; i < 200 && !server_.is_running(); ++i) std::this_thread::sleep_for(5ms);
    }
    ~TestServer() {
        server_.stop();
        thread_.join();
    }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::vector<Seen> seen() {
        std::lock_guard lock(mutex_);
        return seen_;
    }

  private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Seen> seen_;
};

VxMutableURLRequestPtr request(const std::string& url) {
    return VxMutableURLRequest::requestWithURL(VxURL::URLWithString(url));
}

// A socket bound to a free loopback port (listening, when asked), and its URL.
int boundSocket(std::string* url, bool listening = false) {
    int port;
    int fd = da::test::loopbackSocket(&port, listening);
    if (port == 0) ADD_FAILURE() << "no loopback port";
    *url = "http://127.0.0.1:" + std::to_string(port) + "/";
    return fd;
}
// Sends a request that must fail, and returns its error.
VxErrorPtr failureOf(const VxURLRequestPtr& req, VxURLResponsePtr* response = nullptr) {
    VxErrorPtr error;
    EXPECT_EQ(VxURLSession::sendSynchronousRequest(req, response, &error), nullptr);
    return error;
}
std::int64_t codeOf(const VxErrorPtr& error) {
    return error ? error->code() : 0;
}

// The URL of a loopback port on which nothing listens.
std::string closedURL() {
    std::string url;
    close(boundSocket(&url));
    return url;
}

// One download as its completion saw it: the file (read there, since it goes
// after the completion), the status and the error.
struct Download {
    std::string path, contents;
    std::int64_t status = 0;
    bool onMain = true;
    VxErrorPtr error;
};
Download download(const std::string& url, const VxURLLoadOptions& options = {}) {
    Download d;
    VxSemaphore done;
    VxURLSession::sharedSession()
        .downloadTaskWithRequest(
            request(url), options,
            [&](const VxURLPtr& location, const VxURLResponsePtr& response, const VxErrorPtr& e) {
                d.error = e;
                d.onMain = VxIsMainThread();
                if (location) d.path = location->path();
                if (location) d.contents = psvc::readFile(d.path);
                if (auto http = vx_cast<VxHTTPURLResponse>(response)) d.status = http->statusCode();
                done.signal();
            })
        ->resume();
    EXPECT_TRUE(done.wait(10.0));
    return d;
}

TEST(URLSession, SendsTheRequestAsSetAndReturnsTheResponseAsReceived) {
    TestServer server;
    auto req = request(server.url("/echo"));
    req->setHTTPMethod("POST");
    req->setValue("application/json; charset=UTF-8", "Content-Type");
    req->setValue("abc-1", "Diagnostic-Session-ID");
    req->setCachePolicy(VxURLRequestReloadIgnoringLocalAndRemoteCacheData);
    req->setHTTPBody(VxData::dataWithString("{\"identifier\":\"x\"}"));

    VxURLResponsePtr response;
    VxErrorPtr error = VxError::errorWithDomain("stale", 1);
    VxDataPtr data = VxURLSession::sendSynchronousRequest(req, &response, &error);
    EXPECT_EQ(error, nullptr);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->view(), "{\"ok\":true,\"len\":18}");
    auto http = vx_cast<VxHTTPURLResponse>(response);
    ASSERT_TRUE(http);
    EXPECT_EQ(http->statusCode(), 201);
    EXPECT_EQ(vx::textOf(http->valueForHTTPHeaderField("x-reply-name")), "Mixed Case");
    bool exactName = false;
    for (const auto& [name, value] : http->headerFields().entries())
        exactName |= name == "X-Reply-Name";
    EXPECT_TRUE(exactName);
    EXPECT_EQ(http->URL()->absoluteString(), server.url("/echo"));

    auto seen = server.seen();
    ASSERT_EQ(seen.size(), 1u);
    const Seen& s = seen[0];
    EXPECT_EQ(s.method, "POST");
    EXPECT_EQ(s.body, "{\"identifier\":\"x\"}");
    EXPECT_EQ(s.value("Content-Type"), "application/json; charset=UTF-8");
    EXPECT_EQ(s.value("Diagnostic-Session-ID"), "abc-1");
    EXPECT_EQ(s.value("Cache-Control"), "no-cache");
    EXPECT_EQ(s.value("Pragma"), "no-cache");
    EXPECT_EQ(s.value("Content-Length"), "18");
    for (const char* absent : {"Accept", "Expect", "User-Agent", "Cookie", "Accept-Encoding"})
        EXPECT_FALSE(s.value(absent)) << absent;

    // Without a cache policy and without a body, nothing but Host goes out.
    auto plain = request(server.url("/echo"));
    data = VxURLSession::sendSynchronousRequest(plain, &response, &error);
    ASSERT_TRUE(data);
    seen = server.seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].method, "GET");
    for (const auto& [name, value] : seen[1].headers)  // (the server adds REMOTE_ and LOCAL_)
        EXPECT_TRUE(name == "Host" || name == "Connection" || name.rfind("REMOTE_", 0) == 0 ||
                    name.rfind("LOCAL_", 0) == 0)
            << name << ": " << value;

    // A header value with a line break is refused instead of being sent.
    plain->setValue("a\r\nInjected: yes", "X-Bad");
    EXPECT_TRUE(failureOf(plain));
    EXPECT_EQ(server.seen().size(), 2u);
}

TEST(URLSession, BodyStreamIsUploadedChunkedOrWithItsDeclaredLength) {
    TestServer server;
    std::string payload(200000, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);

    auto req = request(server.url("/echo"));
    req->setHTTPMethod("POST");
    req->setValue("application/octet-stream", "Content-Type");
    auto stream = VxInputStream::inputStreamWithData(VxData::dataWithString(payload));
    req->setHTTPBodyStream(stream);
    VxURLResponsePtr response;
    VxErrorPtr error;
    ASSERT_TRUE(VxURLSession::sendSynchronousRequest(req, &response, &error))
        << vxDescription(error);
    EXPECT_EQ(stream->streamStatus(), VxStreamStatusClosed);

    auto put = request(server.url("/echo"));
    put->setHTTPMethod("PUT");
    put->setValue(std::to_string(payload.size()), "Content-Length");
    put->setHTTPBodyStream(VxInputStream::inputStreamWithData(VxData::dataWithString(payload)));
    ASSERT_TRUE(VxURLSession::sendSynchronousRequest(put, &response, &error))
        << vxDescription(error);

    auto seen = server.seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].body, payload);
    EXPECT_EQ(seen[0].value("Transfer-Encoding"), "chunked");
    EXPECT_FALSE(seen[0].value("Content-Length"));
    EXPECT_EQ(seen[1].method, "PUT");
    EXPECT_EQ(seen[1].body, payload);
    EXPECT_FALSE(seen[1].value("Transfer-Encoding"));
    EXPECT_EQ(seen[1].value("Content-Length"), std::to_string(payload.size()));

    // A stream on a missing file fails the send with a clear error.
    auto missing = request(server.url("/echo"));
    missing->setHTTPMethod("POST");
    missing->setHTTPBodyStream(VxInputStream::inputStreamWithFileAtPath("/nonexistent/file"));
    error = failureOf(missing);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), VxURLErrorDomain);
}

TEST(URLSession, TransportFailuresHaveTheirURLErrorCodes) {
    TestServer server;
    VxURLResponsePtr response;
    auto slow = request(server.url("/slow"));
    slow->setTimeoutInterval(0.3);
    auto start = std::chrono::steady_clock::now();
    VxErrorPtr error = failureOf(slow, &response);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1200ms);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), VxURLErrorDomain);
    EXPECT_EQ(error->code(), VxURLErrorTimedOut);
    EXPECT_EQ(error->localizedDescription(), "The request timed out.");
    EXPECT_TRUE(error->localizedFailureReason());
    EXPECT_EQ(response, nullptr);

    error = failureOf(request(closedURL()));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), VxURLErrorCannotConnectToHost);
    EXPECT_EQ(error->localizedDescription(), "Could not connect to the server.");
    EXPECT_TRUE(error->userInfo()->objectForKey(VxURLErrorKey));

    // A server that accepts and closes without replying: the connection was lost.
    std::string droppingURL;
    int listener = boundSocket(&droppingURL, true);
    std::thread closer([listener] {
        int c = accept(listener, nullptr, nullptr);
        char buf[4096];
        if (c < 0) return;
        [[maybe_unused]] auto n = recv(c, buf, sizeof buf, 0);
        close(c);
    });
    auto dropped = request(droppingURL);
    dropped->setTimeoutInterval(5);
    EXPECT_EQ(codeOf(failureOf(dropped)), VxURLErrorNetworkConnectionLost);
    closer.join();
    close(listener);

    // TLS spoken to a plain HTTP server fails as a secure-connection failure.
    EXPECT_EQ(codeOf(failureOf(request("https" + server.url("/echo").substr(4)))),
              VxURLErrorSecureConnectionFailed);
    for (const char* url : {"ftp://127.0.0.1/file", "file:///etc/hosts"})
        EXPECT_EQ(codeOf(failureOf(request(url))), VxURLErrorUnsupportedURL) << url;
    EXPECT_TRUE(failureOf(nullptr));
}

TEST(URLSession, ConsecutiveRequestsReuseOneConnection) {
    TestServer server;
    VxURLResponsePtr response;
    VxErrorPtr error;
    auto first = request(server.url("/echo"));
    first->setHTTPShouldHandleCookies(false);
    std::uint64_t before = VxURLSession::connectionsOpened();
    ASSERT_TRUE(VxURLSession::sendSynchronousRequest(first, &response, &error));
    // The second request comes from another thread: the connection is shared.
    std::thread([&] {
        auto second = request(server.url("/echo"));
        second->setHTTPShouldHandleCookies(false);
        second->setHTTPMethod("POST");
        second->setHTTPBody(VxData::dataWithString("x"));
        VxURLSession::sendSynchronousRequest(second, nullptr, nullptr);
    }).join();
    EXPECT_EQ(VxURLSession::connectionsOpened() - before, 1u);
    auto seen = server.seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].remotePort, seen[1].remotePort);
}

// Exchanges that run side by side keep their connections for the next ones: a
// burst of concurrent requests does not close and reopen connections.
TEST(URLSession, ConcurrentExchangesKeepTheirConnections) {
    TestServer server;  // serves eight connections at once
    constexpr int kThreads = 6, kRounds = 4;
    std::barrier round(kThreads);
    std::atomic<int> answered{0};
    const std::uint64_t before = VxURLSession::connectionsOpened();
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            for (int r = 0; r < kRounds; ++r) {
                round.arrive_and_wait();  // the round's requests start together
                auto post = request(server.url("/echo"));
                post->setHTTPShouldHandleCookies(false);
                post->setHTTPMethod("POST");
                post->setHTTPBody(VxData::dataWithString("x"));
                if (VxURLSession::sendSynchronousRequest(post, nullptr, nullptr)) ++answered;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(answered.load(), kThreads * kRounds);
    // At most one connection for each request of a round, opened once.
    EXPECT_LE(VxURLSession::connectionsOpened() - before, static_cast<std::uint64_t>(kThreads));
}

// Transfers reuse libcurl's handles: nothing of one exchange may reach the next,
// including from exchanges running on more threads than the handles kept.
TEST(URLSession, ReusedTransfersStartFromAClearState) {
    TestServer server;
    auto head = request(server.url("/file"));
    head->setHTTPMethod("HEAD");
    VxURLResponsePtr response;
    VxErrorPtr error;
    VxDataPtr data = VxURLSession::sendSynchronousRequest(head, &response, &error);
    ASSERT_TRUE(data) << vxDescription(error);
    EXPECT_EQ(data->length(), 0u);
    data = VxURLSession::sendSynchronousRequest(request(server.url("/file")), &response, &error);
    ASSERT_TRUE(data) << vxDescription(error);
    EXPECT_GT(data->length(), 0u);

    constexpr int kThreads = 10, kEach = 4;  // more than the eight handle pairs kept
    std::atomic<int> answered{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            for (int j = 0; j < kEach; ++j) {
                auto post = request(server.url("/echo"));
                post->setHTTPMethod("POST");
                post->setHTTPBody(VxData::dataWithString(std::string(1 + i + j, 'x')));
                VxDataPtr reply = VxURLSession::sendSynchronousRequest(post, nullptr, nullptr);
                if (reply &&
                    reply->view() == "{\"ok\":true,\"len\":" + std::to_string(1 + i + j) + "}")
                    ++answered;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(answered.load(), kThreads * kEach);
}

// Inside a deferred scope (a service call that has not answered yet) a used
// handle waits for its reset until the scope closes; an exchange that needs a
// handle meanwhile takes a waiting one and resets it itself, on this thread or
// another. Either way nothing of one exchange reaches the next: here, the
// decoding that a request asking for compressed content turns on.
TEST(URLSession, HandlesLeftForTheEndOfACallStartClean) {
    TestServer server;
    constexpr int kThreads = 10, kEach = 3;  // more calls at once than handle pairs kept
    std::atomic<int> answered{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            VxDeferredScope call;
            for (int j = 0; j < kEach; ++j) {
                // Requests that handle cookies get handles of their own: not these.
                auto compressed = request(server.url("/echo"));
                compressed->setHTTPShouldHandleCookies(false);
                compressed->setValue("gzip", "Accept-Encoding");
                if (VxURLSession::sendSynchronousRequest(compressed, nullptr, nullptr)) ++answered;
                auto plain = request(server.url("/echo"));
                plain->setHTTPShouldHandleCookies(false);
                plain->setHTTPMethod("POST");
                plain->setHTTPBody(VxData::dataWithString(std::string(1 + i + j, 'x')));
                VxDataPtr data = VxURLSession::sendSynchronousRequest(plain, nullptr, nullptr);
                if (data &&
                    data->view() == "{\"ok\":true,\"len\":" + std::to_string(1 + i + j) + "}")
                    ++answered;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(answered.load(), kThreads * kEach * 2);
    for (const Seen& seen : server.seen()) {
        if (seen.method == "POST") {
            EXPECT_FALSE(seen.value("Accept-Encoding")) << seen.body;
        }
    }
    // Once the calls have ended, the handles serve plain exchanges again.
    auto plain = request(server.url("/echo"));
    plain->setHTTPShouldHandleCookies(false);
    ASSERT_TRUE(VxURLSession::sendSynchronousRequest(plain, nullptr, nullptr));
    EXPECT_FALSE(server.seen().back().value("Accept-Encoding"));
}

TEST(URLSession, CookiesAreKeptOnlyForRequestsThatHandleThem) {
    TestServer server;
    auto set = request(server.url("/file?cookie=1"));
    ASSERT_TRUE(VxURLSession::sendSynchronousRequest(set, nullptr, nullptr));
    auto with = request(server.url("/echo"));
    auto without = request(server.url("/echo"));
    without->setHTTPShouldHandleCookies(false);
    ASSERT_TRUE(VxURLSession::sendSynchronousRequest(with, nullptr, nullptr));
    ASSERT_TRUE(VxURLSession::sendSynchronousRequest(without, nullptr, nullptr));
    auto seen = server.seen();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].value("Cookie"), "sid=abc123");
    EXPECT_FALSE(seen[2].value("Cookie"));
}

TEST(URLSession, AsynchronousSendCompletesOnTheMainQueueAndCanBeCancelled) {
    TestServer server;
    VxSemaphore done;
    std::atomic<bool> onMain{false};
    VxDataPtr data;
    VxErrorPtr error;
    auto completion = [&](const VxDataPtr& d, const VxURLResponsePtr&, const VxErrorPtr& e) {
        onMain = VxIsMainThread();
        data = d;
        error = e;
        done.signal();
    };
    auto task = VxURLSession::sendAsynchronousRequest(request(server.url("/echo")),
                                                      VxDispatchQueue::mainQueue(), completion);
    ASSERT_TRUE(done.wait(10.0));
    EXPECT_TRUE(onMain);
    EXPECT_EQ(error, nullptr);
    ASSERT_TRUE(data);
    EXPECT_EQ(task->state(), VxURLSessionTask::Completed);

    auto start = std::chrono::steady_clock::now();
    auto slow = VxURLSession::sendAsynchronousRequest(request(server.url("/slow")),
                                                      VxDispatchQueue::mainQueue(), completion);
    std::this_thread::sleep_for(100ms);
    slow->cancel();
    ASSERT_TRUE(done.wait(10.0));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1400ms);
    EXPECT_EQ(data, nullptr);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), VxURLErrorCancelled);

    // A task cancelled before it was resumed completes as cancelled.
    auto suspended =
        VxURLSession::sharedSession().dataTaskWithRequest(request(server.url("/echo")), completion);
    EXPECT_EQ(suspended->state(), VxURLSessionTask::Suspended);
    suspended->cancel();
    ASSERT_TRUE(done.wait(10.0));
    EXPECT_EQ(data, nullptr);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), VxURLErrorCancelled);
}

TEST(URLSession, DownloadLandsInATemporaryFileRemovedAfterTheCompletion) {
    TestServer server;
    Download d = download(server.url("/file"));
    EXPECT_EQ(d.error, nullptr);
    EXPECT_FALSE(d.onMain);
    EXPECT_EQ(d.status, 404);  // the status is reported, the body stored regardless
    EXPECT_EQ(d.contents, "\"Greeting\" = \"Hello\";\n");
    VxURLSession::sharedSession().delegateQueue().sync([] {});
    EXPECT_FALSE(d.path.empty());
    EXPECT_FALSE(std::filesystem::exists(d.path));

    // A failed download gives no location and an error.
    d = download(closedURL());
    EXPECT_EQ(d.path, "");
    EXPECT_EQ(codeOf(d.error), VxURLErrorCannotConnectToHost);
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Progress reports of one transfer, as the observer saw them.
struct ProgressLog {
    std::mutex mutex;
    std::vector<VxURLTransferProgress> reports;
    std::thread::id thread;
    VxURLProgressObserver observer() {
        return [this](const VxURLTransferProgress& p) {
            std::lock_guard lock(mutex);
            reports.push_back(p);
            thread = std::this_thread::get_id();
        };
    }
};

TEST(URLSessionTimeouts, TimeoutLimitsIdlenessNotTheLengthOfATransfer) {
    TestServer server;
    // A reply that keeps coming for about 2 s, well past a 0.5 s timeout.
    auto trickle = request(server.url("/trickle?n=20&ms=100"));
    trickle->setTimeoutInterval(0.5);
    VxErrorPtr error;
    VxDataPtr data = VxURLSession::sendSynchronousRequest(trickle, nullptr, &error);
    ASSERT_TRUE(data) << vxDescription(error);
    EXPECT_EQ(data->view(), std::string(20, 'x'));

    // An upload that the server reads at 2 MB/s for about 2 s, with a 1 s timeout.
    std::string payload(4 * 1000 * 1000, 'u');
    auto upload = request(server.url("/slowread?rate=2000000"));
    upload->setHTTPMethod("POST");
    upload->setTimeoutInterval(1);
    upload->setHTTPBodyStream(VxInputStream::inputStreamWithData(VxData::dataWithString(payload)));
    const auto start = std::chrono::steady_clock::now();
    data = VxURLSession::sendSynchronousRequest(upload, nullptr, &error);
    ASSERT_TRUE(data) << vxDescription(error);
    EXPECT_EQ(data->view(), std::to_string(payload.size()));
    EXPECT_GT(secondsSince(start), 1.5);

    // Silence for longer than the timeout ends the exchange at the timeout.
    auto slow = request(server.url("/slow"));
    slow->setTimeoutInterval(0.4);
    const auto silent = std::chrono::steady_clock::now();
    error = failureOf(slow);
    EXPECT_EQ(codeOf(error), VxURLErrorTimedOut);
    EXPECT_LT(secondsSince(silent), 1.0);
}

TEST(URLSessionTimeouts, DeadlineBoundsTheWholeExchange) {
    TestServer server;
    auto trickle = request(server.url("/trickle?n=50&ms=100"));
    trickle->setTimeoutInterval(0.5);
    VxURLLoadOptions options;
    options.deadline = 1.0;
    VxErrorPtr error;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(VxURLSession::sendSynchronousRequest(trickle, nullptr, options, &error));
    const double elapsed = secondsSince(start);
    EXPECT_GE(elapsed, 0.95);
    EXPECT_LT(elapsed, 1.6);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), VxURLErrorTimedOut);
    EXPECT_EQ(error->localizedDescription(), "The request timed out.");

    // The same deadline applies to an asynchronous send.
    VxSemaphore done;
    VxErrorPtr asyncError;
    VxURLSession::sendAsynchronousRequest(
        trickle, VxDispatchQueue::globalQueue(), options,
        [&](const VxDataPtr&, const VxURLResponsePtr&, const VxErrorPtr& e) {
            asyncError = e;
            done.signal();
        });
    ASSERT_TRUE(done.wait(10.0));
    EXPECT_EQ(codeOf(asyncError), VxURLErrorTimedOut);
}

TEST(URLSessionLimits, ReplyBodiesBeyondTheCapAreRefusedWhileReceiving) {
    TestServer server;
    constexpr std::int64_t kCap = 1 << 20;
    struct Case {
        std::string path;
        bool refused;
    };
    for (const Case& c :
         {Case{"/bytes?n=8388608", true}, Case{"/bytes?n=8388608&chunked=1", true},
          Case{"/bytes?n=1048576&chunked=1", false}, Case{"/bytes?n=1048576", false}}) {
        SCOPED_TRACE(c.path);
        ProgressLog progress;
        VxURLLoadOptions options;
        options.maxBodyLength = kCap;
        options.progress = progress.observer();
        VxErrorPtr error;
        VxDataPtr data = VxURLSession::sendSynchronousRequest(request(server.url(c.path)), nullptr,
                                                              options, &error);
        if (!c.refused) {
            ASSERT_TRUE(data) << vxDescription(error);
            EXPECT_EQ(data->length(), static_cast<std::size_t>(kCap));
            continue;
        }
        EXPECT_FALSE(data);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), VxURLErrorDomain);
        EXPECT_EQ(error->code(), -1103);
        // Stopped near the cap, not after the whole body.
        ASSERT_FALSE(progress.reports.empty());
        EXPECT_LE(progress.reports.back().bytesReceived, 2 * kCap);
    }

    // A download goes to a file and is not capped.
    psvc::TempDir dir;
    VxURLLoadOptions options;
    options.maxBodyLength = kCap;
    options.temporaryDirectory = dir.path();
    Download d = download(server.url("/bytes?n=3000000"), options);
    EXPECT_EQ(d.error, nullptr) << vxDescription(d.error);
    EXPECT_EQ(d.contents.size(), 3000000u);
}

TEST(URLSessionProgress, ObserverSeesBytesAndTotalsOnTheTransfersThread) {
    TestServer server;
    // Upload with a declared length, read at 2 MB/s for about a second.
    const std::string payload(2 * 1000 * 1000, 'p');
    auto upload = request(server.url("/slowread?rate=2000000"));
    upload->setHTTPMethod("POST");
    upload->setValue(std::to_string(payload.size()), "Content-Length");
    upload->setHTTPBodyStream(VxInputStream::inputStreamWithData(VxData::dataWithString(payload)));
    ProgressLog sent;
    VxURLLoadOptions options;
    options.progress = sent.observer();
    VxSemaphore done;
    const auto start = std::chrono::steady_clock::now();
    VxURLSession::sendAsynchronousRequest(
        upload, VxDispatchQueue::globalQueue(), options,
        [&](const VxDataPtr&, const VxURLResponsePtr&, const VxErrorPtr&) { done.signal(); });
    ASSERT_TRUE(done.wait(20.0));
    const double elapsed = secondsSince(start);
    {
        std::lock_guard lock(sent.mutex);
        ASSERT_GE(sent.reports.size(), 3u);  // some while sending, and the final one
        // At most one report per interval, plus the final one.
        EXPECT_LE(static_cast<double>(sent.reports.size()), elapsed / 0.1 + 2);
        EXPECT_NE(sent.thread, std::this_thread::get_id());
        std::int64_t previous = 0;
        for (const auto& p : sent.reports) {
            EXPECT_EQ(p.totalBytesToSend, static_cast<std::int64_t>(payload.size()));
            EXPECT_GE(p.bytesSent, previous);
            previous = p.bytesSent;
        }
        EXPECT_LT(sent.reports.front().bytesSent, sent.reports.back().bytesSent);
        EXPECT_EQ(sent.reports.back().bytesSent, static_cast<std::int64_t>(payload.size()));
        EXPECT_EQ(sent.reports.back().bytesReceived, 7);
        EXPECT_EQ(sent.reports.back().totalBytesToReceive, 7);
    }

    // A reply without a length has no known total.
    ProgressLog received;
    options.progress = received.observer();
    ASSERT_TRUE(VxURLSession::sendSynchronousRequest(
        request(server.url("/bytes?n=500000&chunked=1")), nullptr, options, nullptr));
    ASSERT_FALSE(received.reports.empty());
    EXPECT_EQ(received.reports.back().bytesReceived, 500000);
    EXPECT_EQ(received.reports.back().totalBytesToReceive, -1);
    EXPECT_EQ(received.reports.back().totalBytesToSend, -1);
}

TEST(URLSessionDownloads, TemporaryFilesStayInAPrivateDirectory) {
    TestServer server;
    psvc::TempDir home;
    namespace fs = std::filesystem;
    {
        psvc::ScopedEnv cache("XDG_CACHE_HOME", home / "cache");
        Download d = download(server.url("/file"));
        ASSERT_EQ(d.error, nullptr);
        EXPECT_EQ(fs::path(d.path).parent_path(), home / "cache/diagnostics/downloads");
        EXPECT_EQ(fs::status(home / "cache/diagnostics/downloads").permissions() & fs::perms::all,
                  fs::perms::owner_all);

        // A download cache that another user owns is not used.
        if (::geteuid() == 0 &&
            ::chown((home / "cache/diagnostics/downloads").c_str(), 65534, 65534) == 0) {
            EXPECT_EQ(codeOf(download(server.url("/file")).error), VxURLErrorCannotCreateFile);
        }
    }
    {
        // Neither XDG_CACHE_HOME nor HOME: no fallback to a shared directory.
        psvc::ScopedEnv noCache("XDG_CACHE_HOME", std::nullopt);
        psvc::ScopedEnv noHome("HOME", std::nullopt);
        EXPECT_EQ(codeOf(download(server.url("/file")).error), VxURLErrorCannotCreateFile);
        // A directory named by the caller is used as it is.
        VxURLLoadOptions options;
        options.temporaryDirectory = home / "mine";
        fs::create_directory(options.temporaryDirectory);
        Download d = download(server.url("/file"), options);
        ASSERT_EQ(d.error, nullptr);
        EXPECT_EQ(fs::path(d.path).parent_path(), home / "mine");
    }
}

}  // namespace

TEST(URLSession, CompressedRepliesAreDecodedWhenTheRequestAcceptsThem) {
    TestServer server;
    auto req = request(server.url("/gzip"));
    req->setValue("gzip", "Accept-Encoding");
    VxURLResponsePtr response;
    VxErrorPtr error;
    VxDataPtr data = VxURLSession::sendSynchronousRequest(req, &response, &error);
    ASSERT_TRUE(data) << vxDescription(error);
    EXPECT_EQ(std::string(data->view()), "decoded body");
}
