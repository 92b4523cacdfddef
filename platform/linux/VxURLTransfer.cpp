#include "platform/linux/VxURLTransfer.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/foundation/VxDeferred.h"

namespace vx::transfer {

namespace {

// Process-wide transport state: two shares (requests that handle cookies use the
// one with a cookie store), each sharing connections, DNS and TLS sessions.
// Never destroyed, so that transfers on detached threads never outlive it.
struct Share {
    CURLSH* handle = nullptr;
    std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;

    explicit Share(bool cookies) {
        handle = curl_share_init();
        curl_share_setopt(handle, CURLSHOPT_LOCKFUNC, &Share::lock);
        curl_share_setopt(handle, CURLSHOPT_UNLOCKFUNC, &Share::unlock);
        curl_share_setopt(handle, CURLSHOPT_USERDATA, this);
        curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
        curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        if (cookies) curl_share_setopt(handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    }
    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
        static_cast<Share*>(user)->locks.at(static_cast<std::size_t>(data)).lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* user) {
        static_cast<Share*>(user)->locks.at(static_cast<std::size_t>(data)).unlock();
    }
};

// An easy handle with the multi handle that drives it. Both are kept for later
// exchanges: setting up a fresh pair costs more than the exchange itself on a
// kept-alive loopback connection (libcurl's per-handle state, and the multi
// handle's wake-up socket pair). Connections live in the shares, not here.
struct Handles {
    CURL* easy = nullptr;
    CURLM* multi = nullptr;
};

// Idle connections kept for later exchanges, per share: one for each exchange
// that usually runs at once.
constexpr std::size_t kConnectionsKept = 8;

class HandlePool {
  public:
    // A ready pair, or one with null members when libcurl cannot make one.
    Handles acquire() {
        {
            std::unique_lock lock(mutex_);
            if (!idle_.empty()) {
                Handles h = idle_.back();
                idle_.pop_back();
                return h;
            }
            if (!parked_.empty()) {
                // Its owner has not tidied it up yet: this exchange does.
                Handles h = parked_.back();
                parked_.pop_back();
                lock.unlock();
                curl_easy_reset(h.easy);
                return h;
            }
        }
        Handles h{curl_easy_init(), curl_multi_init()};
        if (!h.easy || !h.multi) {
            destroy(h);
            return {};
        }
        // An exchange that ends puts its connection back in the share's cache,
        // which closes the oldest idle one beyond the limit of the multi handle
        // it ran in; libcurl's default limit, four per easy handle in that
        // multi handle, would have concurrent exchanges close and reopen
        // connections all the time.
        curl_multi_setopt(h.multi, CURLMOPT_MAXCONNECTS, static_cast<long>(kConnectionsKept));
        return h;
    }

    // Takes back a pair whose easy handle is in no multi handle. Its options go
    // back to libcurl's defaults; beyond the few kept, or when it is not
    // reusable, it is freed.
    void release(Handles h, bool reusable) {
        if (!h.easy) return;
        if (!reusable) {
            destroy(h);
            return;
        }
        curl_easy_reset(h.easy);
        {
            std::lock_guard lock(mutex_);
            if (idle_.size() < kKept) {
                idle_.push_back(h);
                return;
            }
        }
        destroy(h);
    }

    // Takes back a pair after its exchange, with the header list it was given.
    // Inside a deferred scope (a service call that has yet to answer) the reset
    // waits until the scope closes; meanwhile the pair is parked, and an
    // exchange that finds no idle pair takes a parked one and resets it itself.
    void giveBack(Handles h, bool reusable, curl_slist* headers) {
        if (!h.easy || !reusable || !vx::deferring()) {
            release(h, reusable);
            curl_slist_free_all(headers);
            return;
        }
        {
            std::lock_guard lock(mutex_);
            parked_.push_back(h);
        }
        // The list is freed only after the reset: until then the handle points to it.
        vx::runLater([this, h, headers] {
            if (unpark(h)) release(h, true);
            curl_slist_free_all(headers);
        });
    }

  private:
    // False when another exchange has taken the pair meanwhile.
    bool unpark(Handles h) {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(parked_.begin(), parked_.end(),
                               [&](const Handles& p) { return p.easy == h.easy; });
        if (it == parked_.end()) return false;
        parked_.erase(it);
        return true;
    }

    static void destroy(Handles h) {
        if (h.easy) curl_easy_cleanup(h.easy);
        if (h.multi) curl_multi_cleanup(h.multi);
    }

    // As many as exchanges usually run at once (the service runs up to eight
    // calls side by side); more are made when needed.
    static constexpr std::size_t kKept = 8;
    std::mutex mutex_;
    std::vector<Handles> idle_;
    std::vector<Handles> parked_;  // used, not yet reset
};

struct Transport {
    Share withCookies{true};
    Share withoutCookies{false};
    HandlePool handles;
    std::atomic<std::uint64_t> connections{0};
    std::atomic<std::uint64_t> nextTaskId{1};
};

Transport& transport() {
    static Transport* t = [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        return new Transport();
    }();
    return *t;
}

using Clock = std::chrono::steady_clock;

// Granularity of the idle and deadline checks while a transfer waits.
constexpr std::chrono::milliseconds kPollInterval{20};

// State of one transfer, seen by the libcurl callbacks.
struct Transfer {
    const std::atomic<bool>* cancelled = nullptr;
    const VxURLLoadOptions* options = nullptr;
    VxInputStreamPtr stream;
    VxErrorPtr streamError;
    bool streamFailed = false;
    std::uint64_t streamBytesRead = 0;
    int fileFd = -1;  // download target, or -1 to collect in memory
    int writeErrno = 0;
    bool headOnly = false;      // a HEAD reply's Content-Length announces no body
    bool bodyTooLarge = false;  // the reply body crossed options->maxBodyLength
    std::vector<std::uint8_t> body;
    std::uint64_t bodyBytes = 0;
    std::int64_t contentLength = -1;  // of the current reply, -1 when not given
    VxHTTPHeaderFields headers;
    std::string lastHeaderName;

    // Activity and progress.
    Clock::time_point lastActivity = Clock::now();
    curl_off_t lastSent = 0;
    curl_off_t lastReceived = 0;
    int lastUnsent = 0;  // bytes in the socket's send queue at the last look
    std::int64_t totalToSend = -1;
    Clock::time_point lastReport{};

    std::int64_t maxBody() const { return options ? options->maxBodyLength : 0; }
    void report(curl_off_t sent, curl_off_t received, bool final) {
        if (!options || !options->progress) return;
        const Clock::time_point now = Clock::now();
        if (!final && now - lastReport < kVxURLProgressInterval) return;
        lastReport = now;
        VxURLTransferProgress p;
        // A chunked body's count includes the chunk framing; the body's own bytes
        // are at most those read from its stream.
        p.bytesSent = stream
                          ? std::min<std::int64_t>(sent, static_cast<std::int64_t>(streamBytesRead))
                          : sent;
        p.totalBytesToSend = totalToSend;
        p.bytesReceived = received;
        p.totalBytesToReceive = contentLength;
        options->progress(p);
    }
};

// The value of a Content-Length field, or -1 when it is not a plain number.
std::int64_t parseLength(std::string_view text) {
    if (text.empty() || text.size() > 18) return -1;
    std::int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b);

std::size_t onHeader(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    std::size_t length = size * count;
    std::string_view line(buffer, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.rfind("HTTP/", 0) == 0) {
        // A new response (after a redirect or an interim 1xx reply) starts afresh.
        t->headers.clear();
        t->lastHeaderName.clear();
        t->contentLength = -1;
        return length;
    }
    if (line.empty()) return length;
    if ((line.front() == ' ' || line.front() == '\t') && !t->lastHeaderName.empty()) {
        // Obsolete line folding: continues the previous field.
        std::size_t start = line.find_first_not_of(" \t");
        if (start != std::string_view::npos) {
            const std::string* previous = t->headers.find(t->lastHeaderName);
            std::string value = previous ? *previous : std::string();
            value += ' ';
            value += line.substr(start);
            t->headers.set(t->lastHeaderName, std::move(value));
        }
        return length;
    }
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return length;
    std::string_view name = line.substr(0, colon);
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    t->headers.add(name, value);
    t->lastHeaderName = std::string(name);
    if (equalsIgnoringCase(name, "Content-Length") && !t->headOnly) {
        t->contentLength = parseLength(value);
        // A body announced beyond the limit is refused before it is read.
        if (t->maxBody() > 0 && t->contentLength > t->maxBody()) {
            t->bodyTooLarge = true;
            return 0;
        }
    }
    return length;
}

std::size_t onBody(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    std::size_t length = size * count;
    t->lastActivity = Clock::now();
    if (t->fileFd < 0) {
        if (t->maxBody() > 0 && t->bodyBytes + length > static_cast<std::uint64_t>(t->maxBody())) {
            t->bodyTooLarge = true;
            return 0;
        }
        // A body of announced length is held in one allocation.
        if (t->body.empty() && t->contentLength > 0 &&
            (t->maxBody() <= 0 || t->contentLength <= t->maxBody()))
            t->body.reserve(static_cast<std::size_t>(t->contentLength));
        t->body.insert(t->body.end(), buffer, buffer + length);
        t->bodyBytes += length;
        return length;
    }
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::write(t->fileFd, buffer + done, length - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            t->writeErrno = errno;
            return 0;
        }
        done += static_cast<std::size_t>(n);
    }
    return length;
}

std::size_t onRead(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    if (t->cancelled && t->cancelled->load()) return CURL_READFUNC_ABORT;
    std::int64_t n = t->stream->read(reinterpret_cast<std::uint8_t*>(buffer), size * count);
    if (n < 0) {
        t->streamFailed = true;
        t->streamError = t->stream->streamError();
        return CURL_READFUNC_ABORT;
    }
    t->streamBytesRead += static_cast<std::uint64_t>(n);
    return static_cast<std::size_t>(n);
}

// libcurl rewinds the body when it resends a request (a kept-alive connection
// that the server closed meanwhile, a redirect that keeps the method). A stream
// can only be "rewound" before anything has been read from it.
int onSeek(void* user, curl_off_t offset, int origin) {
    auto* t = static_cast<Transfer*>(user);
    if (origin == SEEK_SET && offset == 0 && t->streamBytesRead == 0) return CURL_SEEKFUNC_OK;
    return CURL_SEEKFUNC_CANTSEEK;
}

int onProgress(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t sent) {
    auto* t = static_cast<Transfer*>(user);
    if (sent != t->lastSent || received != t->lastReceived) {
        t->lastActivity = Clock::now();
        t->lastSent = sent;
        t->lastReceived = received;
        t->report(sent, received, false);
    }
    return t->cancelled && t->cancelled->load() ? 1 : 0;
}

bool isToken(std::string_view text) {
    if (text.empty()) return false;
    for (unsigned char c : text) {
        if (c <= 32 || c >= 127 || std::strchr("()<>@,;:\\\"/[]?={}", c)) return false;
    }
    return true;
}

bool isFieldValue(std::string_view text) {
    for (unsigned char c : text)
        if (c == '\r' || c == '\n' || c == '\0') return false;
    return true;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

}  // namespace

VxErrorPtr urlError(std::int64_t code, const std::string& reason, const VxURLPtr& url,
                    const VxErrorPtr& underlying) {
    auto info = VxMutableDictionary::dictionary();
    info->setObject(vxstr(VxURLSession::localizedDescriptionForErrorCode(code)),
                    VxLocalizedDescriptionKey);
    if (!reason.empty()) info->setObject(vxstr(reason), VxLocalizedFailureReasonErrorKey);
    if (url) info->setObject(url, VxURLErrorKey);
    if (underlying) info->setObject(underlying, VxUnderlyingErrorKey);
    return VxError::errorWithDomain(VxURLErrorDomain, code,
                                    std::static_pointer_cast<VxDictionary>(info->copy()));
}

VxErrorPtr fileError(std::int64_t code, int errnum, const std::string& detail,
                     const VxURLPtr& url) {
    std::string description = VxURLSession::localizedDescriptionForErrorCode(code);
    if (!description.empty() && description.back() == '.') description.pop_back();
    description += std::string(": ") + std::strerror(errnum) + ".";
    auto info = VxMutableDictionary::dictionary();
    info->setObject(vxstr(description), VxLocalizedDescriptionKey);
    if (!detail.empty()) info->setObject(vxstr(detail), VxLocalizedFailureReasonErrorKey);
    if (url) info->setObject(url, VxURLErrorKey);
    info->setObject(VxError::errorWithDomain(VxPOSIXErrorDomain, errnum, std::strerror(errnum), ""),
                    VxUnderlyingErrorKey);
    return VxError::errorWithDomain(VxURLErrorDomain, code,
                                    std::static_pointer_cast<VxDictionary>(info->copy()));
}

namespace {

std::int64_t codeForCurlError(CURLcode code) {
    switch (code) {
        case CURLE_UNSUPPORTED_PROTOCOL:
            return VxURLErrorUnsupportedURL;
        case CURLE_URL_MALFORMAT:
            return VxURLErrorBadURL;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return VxURLErrorCannotFindHost;
        case CURLE_COULDNT_CONNECT:
            return VxURLErrorCannotConnectToHost;
        case CURLE_OPERATION_TIMEDOUT:
            return VxURLErrorTimedOut;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return VxURLErrorNetworkConnectionLost;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING:
        case CURLE_HTTP_RETURNED_ERROR:
            return VxURLErrorBadServerResponse;
        case CURLE_TOO_MANY_REDIRECTS:
            return kErrorTooManyRedirects;
        case CURLE_SEND_FAIL_REWIND:
        case CURLE_READ_ERROR:
            return kErrorRequestBodyStreamExhausted;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_USE_SSL_FAILED:
            return VxURLErrorSecureConnectionFailed;
        case CURLE_ABORTED_BY_CALLBACK:
            return VxURLErrorCancelled;
        case CURLE_WRITE_ERROR:
            return VxURLErrorCannotWriteToFile;
        default:
            return VxURLErrorUnknown;
    }
}

struct SList {
    curl_slist* list = nullptr;
    ~SList() { curl_slist_free_all(list); }
    bool append(const std::string& line) {
        curl_slist* next = curl_slist_append(list, line.c_str());
        if (!next) return false;
        list = next;
        return true;
    }
};

// A pair of handles borrowed from the pool for one exchange.
struct Lease {
    HandlePool& pool;
    Handles handles = pool.acquire();
    // A handle whose cookie engine was started keeps a list that a reset does
    // not free; such a handle is freed instead of going back to the pool.
    bool reusable = true;
    // The exchange's header list, once handed over: freed with the lease.
    curl_slist* headers = nullptr;
    ~Lease() { pool.giveBack(handles, reusable, headers); }
};

// Why the waiting loop ended a transfer before libcurl did.
enum class Stop { None, Cancelled, Idle, Deadline };

// Bytes that libcurl has handed to the socket still leave it at the peer's pace:
// a shrinking send queue is activity too, or a server reading a large body
// slowly would seem idle while it drains what the connection has buffered.
void noteUnsentBytes(CURLM* multi, Transfer& t) {
    // The multi handle drives this one transfer: the descriptor it waits on is
    // the transfer's connection.
    fd_set readable, writable, failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    int highest = -1;
    if (curl_multi_fdset(multi, &readable, &writable, &failed, &highest) != CURLM_OK || highest < 0)
        return;
    int unsent = 0;
    if (::ioctl(highest, TIOCOUTQ, &unsent) != 0) return;
    if (unsent < t.lastUnsent) t.lastActivity = Clock::now();
    t.lastUnsent = unsent;
}

// Drives the transfer on the calling thread, checking between libcurl's steps
// for cancellation, idleness and the deadline. libcurl's own result, or
// CURLE_OK when `stop` says why the loop ended it.
CURLcode drive(CURLM* multi, CURL* h, Transfer& t, double idleSeconds, double deadlineSeconds,
               Stop& stop) {
    if (curl_multi_add_handle(multi, h) != CURLM_OK) return CURLE_OUT_OF_MEMORY;
    const auto idle = std::chrono::duration<double>(idleSeconds);
    const Clock::time_point start = Clock::now();
    const auto deadline = std::chrono::duration<double>(deadlineSeconds);
    CURLcode code = CURLE_OK;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            code = CURLE_OUT_OF_MEMORY;
            break;
        }
        if (!running) {
            int left = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi, &left))
                if (msg->msg == CURLMSG_DONE) code = msg->data.result;
            break;
        }
        // The send queue only matters once the transfer has been quiet for a
        // while; a quick exchange skips the two calls it takes to read it.
        Clock::time_point now = Clock::now();
        if (now - t.lastActivity >= kPollInterval) {
            noteUnsentBytes(multi, t);
            now = Clock::now();
        }
        if (t.cancelled && t.cancelled->load()) {
            stop = Stop::Cancelled;
        } else if (deadlineSeconds > 0 && now - start >= deadline) {
            stop = Stop::Deadline;
        } else if (now - t.lastActivity >= idle) {
            stop = Stop::Idle;
        }
        if (stop != Stop::None) break;
        // Returns as soon as the connection is ready or libcurl's own timer is
        // due, so the interval bounds only how late a stop is noticed.
        curl_multi_poll(multi, nullptr, 0, static_cast<int>(kPollInterval.count()), nullptr);
    }
    curl_multi_remove_handle(multi, h);
    return code;
}

// The error of a transfer that libcurl or the waiting loop ended early.
VxErrorPtr transferError(CURLcode code, Stop stop, const Transfer& t, const char* errorBuffer,
                         double idleSeconds, double deadlineSeconds, const VxURLPtr& url) {
    char seconds[64];
    if (stop == Stop::Cancelled || (t.cancelled && t.cancelled->load()))
        return urlError(VxURLErrorCancelled, "The transfer was cancelled.", url);
    if (stop == Stop::Deadline) {
        std::snprintf(seconds, sizeof seconds, "%g", deadlineSeconds);
        return urlError(VxURLErrorTimedOut,
                        std::string("The exchange took longer than ") + seconds + " seconds.", url);
    }
    if (stop == Stop::Idle) {
        std::snprintf(seconds, sizeof seconds, "%g", idleSeconds);
        return urlError(VxURLErrorTimedOut,
                        std::string("No data was sent or received for ") + seconds + " seconds.",
                        url);
    }
    if (t.bodyTooLarge) {
        return urlError(VxURLErrorDataLengthExceedsMaximum,
                        "The reply body is longer than " + std::to_string(t.maxBody()) + " bytes.",
                        url);
    }
    std::int64_t errorCode = codeForCurlError(code);
    std::string detail = errorBuffer[0] ? errorBuffer : curl_easy_strerror(code);
    VxErrorPtr underlying;
    if (t.streamFailed) {
        errorCode = kErrorRequestBodyStreamExhausted;
        underlying = t.streamError;
        if (underlying) detail += " (" + underlying->localizedDescription() + ")";
    } else if (code == CURLE_WRITE_ERROR && t.writeErrno) {
        return fileError(VxURLErrorCannotWriteToFile, t.writeErrno, detail, url);
    }
    return urlError(errorCode, detail, url, underlying);
}

// Refuses a request that cannot be sent: cancelled before it started, without
// a URL, of a scheme other than http and https, without a host, or with a
// method that is not a token. Gives the method to send otherwise.
VxErrorPtr checkRequest(const VxURLRequestPtr& request, const VxURLPtr& url,
                        const std::atomic<bool>* cancelled, std::string& method) {
    if (cancelled && cancelled->load())
        return urlError(VxURLErrorCancelled, "The task was cancelled before it started.", url);
    if (!url) return urlError(VxURLErrorUnsupportedURL, "The request has no URL.", nullptr);
    VxStringPtr scheme = url->scheme();
    if (!scheme ||
        !(equalsIgnoringCase(scheme->str(), "http") || equalsIgnoringCase(scheme->str(), "https")))
        return urlError(VxURLErrorUnsupportedURL, "Only http and https URLs can be loaded.", url);
    if (VxStringPtr host = url->host(); !host || host->empty())
        return urlError(VxURLErrorBadURL, "The URL has no host.", url);
    method = request->HTTPMethod().empty() ? "GET" : request->HTTPMethod();
    if (!isToken(method))
        return urlError(VxURLErrorBadURL, "The request method is not valid.", url);
    return nullptr;
}

// The header lines to send: the request's fields exactly as set, plus empty
// entries that suppress libcurl's own defaults. An error for a field that is
// not valid.
VxErrorPtr buildHeaders(const VxURLRequest& request, bool hasBody, const VxURLPtr& url,
                        SList& headers) {
    const VxHTTPHeaderFields& fields = request.headerFields();
    for (const auto& [name, value] : fields.entries()) {
        if (!isToken(name) || !isFieldValue(value))
            return urlError(VxURLErrorBadURL, "The header field \"" + name + "\" is not valid.",
                            url);
        headers.append(value.empty() ? name + ";" : name + ": " + value);
    }
    if (!fields.contains("Accept")) headers.append("Accept:");
    if (!fields.contains("Expect")) headers.append("Expect:");
    if (hasBody && !fields.contains("Content-Type")) headers.append("Content-Type:");
    if (request.cachePolicy() == VxURLRequestReloadIgnoringLocalCacheData ||
        request.cachePolicy() == VxURLRequestReloadIgnoringLocalAndRemoteCacheData) {
        if (!fields.contains("Cache-Control")) headers.append("Cache-Control: no-cache");
        if (!fields.contains("Pragma")) headers.append("Pragma: no-cache");
    }
    return nullptr;
}

// The options every exchange sets: URL and share, protocols and redirects,
// TLS verification, the connect limit (the idle time) and the callbacks that
// fill `t`.
void prepareHandle(CURL* h, const VxURLPtr& url, Share& share, Transfer& t, char* errorBuffer,
                   double idle) {
    curl_easy_setopt(h, CURLOPT_SHARE, share.handle);
    curl_easy_setopt(h, CURLOPT_URL, url->absoluteString().c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 16L);
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, std::max(1L, static_cast<long>(idle * 1000.0)));
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &onHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &onBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &onProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &t);
}

// The method and the body: a body in memory, a body stream that libcurl reads
// as it sends, or none. An error when the body stream cannot be opened.
VxErrorPtr prepareBody(CURL* h, const std::string& method, const VxHTTPHeaderFields& fields,
                       const VxDataPtr& body, const VxInputStreamPtr& stream, Transfer& t,
                       const VxURLPtr& url) {
    if (body) {
        t.totalToSend = static_cast<std::int64_t>(body->length());
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->length()));
        curl_easy_setopt(h, CURLOPT_POSTFIELDS,
                         body->length() ? static_cast<const void*>(body->bytes())
                                        : static_cast<const void*>(""));
        if (method != "POST") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
    } else if (stream) {
        curl_off_t size = -1;
        if (const std::string* length = fields.find("Content-Length")) {
            char* end = nullptr;
            long long v = std::strtoll(length->c_str(), &end, 10);
            if (end != length->c_str() && *end == '\0' && v >= 0) size = v;
        }
        t.totalToSend = size;
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, size);
        curl_easy_setopt(h, CURLOPT_READFUNCTION, &onRead);
        curl_easy_setopt(h, CURLOPT_READDATA, &t);
        curl_easy_setopt(h, CURLOPT_SEEKFUNCTION, &onSeek);
        curl_easy_setopt(h, CURLOPT_SEEKDATA, &t);
        if (method != "POST") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
        t.stream = stream;
        if (stream->streamStatus() == VxStreamStatusNotOpen) stream->open();
        if (stream->streamStatus() == VxStreamStatusError) {
            return urlError(kErrorRequestBodyStreamExhausted,
                            "The request body stream could not be opened.", url,
                            stream->streamError());
        }
    } else if (method == "GET") {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    } else if (method == "HEAD") {
        curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else if (method == "POST") {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, "");
    } else {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
    return nullptr;
}

// Drives the prepared exchange to its end, then counts what it moved: the
// connections it opened and the final progress report.
CURLcode runTransfer(Transport& tp, Lease& lease, Transfer& t, const VxInputStreamPtr& stream,
                     double idle, double deadline, Stop& stop) {
    CURL* h = lease.handles.easy;
    t.lastActivity = Clock::now();
    CURLcode code = drive(lease.handles.multi, h, t, idle, deadline, stop);
    if (stream) stream->close();

    long connects = 0;
    if (curl_easy_getinfo(h, CURLINFO_NUM_CONNECTS, &connects) == CURLE_OK && connects > 0)
        tp.connections += static_cast<std::uint64_t>(connects);
    curl_off_t sent = 0, received = 0;
    curl_easy_getinfo(h, CURLINFO_SIZE_UPLOAD_T, &sent);
    curl_easy_getinfo(h, CURLINFO_SIZE_DOWNLOAD_T, &received);
    t.report(sent, received, true);
    return code;
}

// The reply of a finished exchange: status, the URL after redirects, header
// fields and body.
Result collectResponse(CURL* h, Transfer& t, const VxURLPtr& url) {
    Result result;
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    char* effective = nullptr;
    curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &effective);
    // Without a redirect the final URL is the request's own (without its base).
    VxURLPtr finalURL;
    if (effective && url->absoluteString() == effective)
        finalURL = url->absoluteURL();
    else if (effective)
        finalURL = VxURL::URLWithString(effective);
    if (!finalURL) finalURL = url;
    result.response = std::make_shared<VxHTTPURLResponse>(finalURL, status, t.headers);
    result.data = VxData::dataWithVector(std::move(t.body));
    return result;
}

}  // namespace

Result perform(const VxURLRequestPtr& request, const std::atomic<bool>* cancelled, int fileFd,
               const VxURLLoadOptions& options) {
    Transport& tp = transport();
    Result result;
    const VxURLPtr url = request ? request->URL() : nullptr;
    std::string method;
    if ((result.error = checkRequest(request, url, cancelled, method))) return result;

    const VxDataPtr& body = request->HTTPBody();
    const VxInputStreamPtr& stream = body ? nullptr : request->HTTPBodyStream();
    SList headers;
    if ((result.error = buildHeaders(*request, body || stream, url, headers))) return result;

    Lease lease{tp.handles};
    if (!lease.handles.easy) {
        result.error = urlError(VxURLErrorUnknown, "The transfer could not be set up.", url);
        return result;
    }
    CURL* h = lease.handles.easy;
    Transfer t;
    t.cancelled = cancelled;
    t.options = &options;
    t.fileFd = fileFd;
    t.headOnly = method == "HEAD";
    char errorBuffer[CURL_ERROR_SIZE] = {};
    // The request's timeout limits idleness (checked while driving) and connecting.
    const double idle = request->timeoutInterval() > 0 ? request->timeoutInterval() : 60.0;
    const bool cookies = request->HTTPShouldHandleCookies();
    prepareHandle(h, url, cookies ? tp.withCookies : tp.withoutCookies, t, errorBuffer, idle);
    if (cookies) {
        lease.reusable = false;
        curl_easy_setopt(h, CURLOPT_COOKIEFILE, "");
    }
    const VxHTTPHeaderFields& fields = request->headerFields();
    if ((result.error = prepareBody(h, method, fields, body, stream, t, url))) return result;
    lease.headers = std::exchange(headers.list, nullptr);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, lease.headers);
    // A request that asks for compressed content gets it decoded, as callers
    // expect the body itself; the request's own Accept-Encoding header is sent.
    if (fields.contains("Accept-Encoding")) curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");

    Stop stop = Stop::None;
    CURLcode code = runTransfer(tp, lease, t, stream, idle, options.deadline, stop);
    if (code != CURLE_OK || stop != Stop::None) {
        result.error = transferError(code, stop, t, errorBuffer, idle, options.deadline, url);
        return result;
    }
    return collectResponse(h, t, url);
}

std::uint64_t connectionsOpened() {
    return transport().connections.load();
}

std::uint64_t nextTaskIdentifier() {
    return transport().nextTaskId++;
}

}  // namespace vx::transfer
