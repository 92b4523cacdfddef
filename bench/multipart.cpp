// A multipart body of 10,000 parts of 100 bytes, sent as one POST to a local
// HTTP sink: the body read from NUCMultipartBodyStream through a libcurl read
// callback, against libcurl's own multipart encoder (curl_mime) sending parts
// with the same names and bytes. Both transfers use the same handle options
// and the same sink, so the difference is the cost of producing the body;
// the figures are microseconds per part and their ratio, medians of
// alternating runs. A further line reads the body stream alone (no transfer)
// on a thread other than the main queue's, which is where the read callback
// runs.
//
// Usage: bench_multipart [runs] (default 5) [parts] (default 10000).

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "multipart/NUCMultipartBodyStream.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kPartBytes = 100;
constexpr const char* kBoundary = "bench-boundary-0123456789";

// Accepts connections on 127.0.0.1 and answers every request with an empty 200
// after reading its Content-Length bytes (keep-alive), one thread per connection.
class HttpSink {
  public:
    HttpSink() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            return;
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~HttpSink() {
        stop_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        ::close(listener_);
        for (int c : connections_) ::shutdown(c, SHUT_RDWR);
        for (auto& t : workers_) t.join();
        for (int c : connections_) ::close(c);
    }
    int port() const { return port_; }

  private:
    void serve() {
        while (!stop_) {
            const int c = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0 || connections_.size() >= 16) return;
            connections_.push_back(c);
            workers_.emplace_back([this, c] { serveConnection(c); });
        }
    }
    void serveConnection(int c) {
        std::string pending;
        char buf[65536];
        for (;;) {
            std::size_t headerEnd;
            while ((headerEnd = pending.find("\r\n\r\n")) == std::string::npos) {
                const ssize_t n = ::recv(c, buf, sizeof buf, 0);
                if (n <= 0) return;
                pending.append(buf, static_cast<std::size_t>(n));
            }
            std::string head = pending.substr(0, headerEnd);
            std::transform(head.begin(), head.end(), head.begin(), ::tolower);
            std::size_t length = 0;
            if (auto p = head.find("content-length:"); p != std::string::npos)
                length = std::strtoull(head.c_str() + p + 15, nullptr, 10);
            std::size_t have = pending.size() - headerEnd - 4;
            pending.clear();
            while (have < length) {
                const ssize_t n = ::recv(c, buf, sizeof buf, 0);
                if (n <= 0) return;
                have += static_cast<std::size_t>(n);
            }
            static const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
            if (::send(c, reply, sizeof reply - 1, MSG_NOSIGNAL) < 0) return;
        }
    }
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<int> connections_;  // touched by thread_ only until it has ended
    std::vector<std::thread> workers_;
};

std::string partName(std::size_t i) {
    return "part" + std::to_string(i);
}

std::string partBytes(std::size_t i) {
    std::string s(kPartBytes, 'a');
    for (std::size_t k = 0; k < s.size(); ++k) s[k] = static_cast<char>('a' + (i + k) % 26);
    return s;
}

NUCMultipartBodyStreamPtr makeStream(std::size_t parts) {
    auto stream = std::make_shared<NUCMultipartBodyStream>();
    for (std::size_t i = 0; i < parts; ++i) {
        auto headers = VxDictionary::dictionaryWithPairs(
            {{"Content-Disposition", vxstr("form-data; name=\"" + partName(i) + "\"")}});
        stream->appendHTTPBodyPart(std::make_shared<NUCMultiPart>(
            4, headers, VxData::dataWithString(partBytes(i)), kPartBytes, vxstr(kBoundary)));
    }
    stream->setInitialAndFinalBoundaries();
    return stream;
}

size_t discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

// The read callback's source: the stream and the bytes it has delivered.
struct StreamSource {
    NUCMultipartBodyStreamPtr stream;
    std::uint64_t delivered = 0;
};

size_t readStream(char* buffer, size_t size, size_t count, void* user) {
    auto* source = static_cast<StreamSource*>(user);
    const std::int64_t n =
        source->stream->read(reinterpret_cast<std::uint8_t*>(buffer), size * count);
    if (n < 0) return CURL_READFUNC_ABORT;
    source->delivered += static_cast<std::uint64_t>(n);
    return static_cast<size_t>(n);
}

// One handle per kind of transfer, reused (keep-alive to the sink).
CURL* makeHandle(const std::string& url) {
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 120000L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    return curl;
}

bool performOK(CURL* curl) {
    long status = 0;
    const CURLcode code = curl_easy_perform(curl);
    if (code != CURLE_OK) {
        std::fprintf(stderr, "bench_multipart: %s\n", curl_easy_strerror(code));
        return false;
    }
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    return status == 200;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::clamp(std::atoi(argv[1]), 1, 50) : 5;
    const std::size_t parts =
        argc > 2 ? static_cast<std::size_t>(std::clamp(std::atoi(argv[2]), 10, 100000)) : 10000;
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int rc = 0;
    {
        HttpSink sink;
        if (sink.port() == 0) {
            std::fprintf(stderr, "bench_multipart: no sink\n");
            return 1;
        }
        const std::string url = "http://127.0.0.1:" + std::to_string(sink.port()) + "/upload";
        CURL* ours = makeHandle(url);
        CURL* mimeHandle = makeHandle(url);
        curl_slist* headers = curl_slist_append(
            nullptr,
            (std::string("Content-Type: multipart/form-data; boundary=") + kBoundary).c_str());
        headers = curl_slist_append(headers, "Expect:");
        curl_slist* mimeHeaders = curl_slist_append(nullptr, "Expect:");
        curl_easy_setopt(ours, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(ours, CURLOPT_POST, 1L);
        curl_easy_setopt(ours, CURLOPT_READFUNCTION, readStream);
        curl_easy_setopt(mimeHandle, CURLOPT_HTTPHEADER, mimeHeaders);

        std::vector<std::string> names, bytes;
        for (std::size_t i = 0; i < parts; ++i) {
            names.push_back(partName(i));
            bytes.push_back(partBytes(i));
        }
        std::vector<double> viaStream, viaMime, streamAlone;
        for (int run = 0; run < runs && rc == 0; ++run) {
            // The body stream through libcurl.
            StreamSource source{makeStream(parts)};
            source.stream->open();
            const std::uint64_t length = source.stream->contentLength();
            curl_easy_setopt(ours, CURLOPT_READDATA, &source);
            curl_easy_setopt(ours, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length));
            auto start = Clock::now();
            const bool okOurs = performOK(ours);
            viaStream.push_back(secondsSince(start));

            // libcurl's own encoder with the same parts.
            curl_mime* mime = curl_mime_init(mimeHandle);
            for (std::size_t i = 0; i < parts; ++i) {
                curl_mimepart* part = curl_mime_addpart(mime);
                curl_mime_name(part, names[i].c_str());
                curl_mime_data(part, bytes[i].data(), bytes[i].size());
            }
            curl_easy_setopt(mimeHandle, CURLOPT_MIMEPOST, mime);
            start = Clock::now();
            const bool okMime = performOK(mimeHandle);
            viaMime.push_back(secondsSince(start));
            curl_easy_setopt(mimeHandle, CURLOPT_MIMEPOST, nullptr);
            curl_mime_free(mime);

            // The stream alone, drained in 64 KiB reads (libcurl's upload buffer size).
            auto alone = makeStream(parts);
            alone->open();
            std::vector<std::uint8_t> buffer(64 * 1024);
            std::uint64_t total = 0;
            start = Clock::now();
            for (std::int64_t n; (n = alone->read(buffer.data(), buffer.size())) > 0;)
                total += static_cast<std::uint64_t>(n);
            streamAlone.push_back(secondsSince(start));
            if (!okOurs || !okMime || total != alone->contentLength()) {
                std::fprintf(stderr,
                             "bench_multipart: run %d failed (stream %d: %llu of %llu bytes "
                             "delivered, mime %d, stream alone %llu bytes)\n",
                             run, okOurs, static_cast<unsigned long long>(source.delivered),
                             static_cast<unsigned long long>(length), okMime,
                             static_cast<unsigned long long>(total));
                rc = 1;
            }
        }
        if (rc == 0) {
            const double perPart = 1e6 / static_cast<double>(parts);
            const double a = median(viaStream) * perPart, b = median(viaMime) * perPart;
            std::printf("multipart body of %zu parts x %zu bytes, median of %d runs\n", parts,
                        kPartBytes, runs);
            std::printf("  body stream via libcurl read callback %8.2f us per part\n", a);
            std::printf("  libcurl curl_mime                     %8.2f us per part\n", b);
            std::printf("  body stream read alone                %8.2f us per part\n",
                        median(streamAlone) * perPart);
            std::printf("  ratio body stream / curl_mime         %8.2f\n", a / b);
        }
        curl_slist_free_all(headers);
        curl_slist_free_all(mimeHeaders);
        curl_easy_cleanup(ours);
        curl_easy_cleanup(mimeHandle);
    }
    curl_global_cleanup();
    return rc;
}
