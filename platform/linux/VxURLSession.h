#pragma once
// HTTP loading facility over libcurl: synchronous and asynchronous sends of a
// request record, and downloads to a temporary file.
//
// What goes on the wire:
//   - the request's URL (http and https only; other schemes fail with
//     VxURLErrorUnsupportedURL), method and header fields exactly as set, in
//     their order. Nothing else is added except what HTTP/1.1 needs: Host (unless
//     the request sets one), and Content-Length or "Transfer-Encoding: chunked"
//     for a body. No default Accept, Expect, Content-Type or User-Agent. A header
//     set to the empty text is sent with an empty value.
//   - cache policies 1 and 4 add "Cache-Control: no-cache" and "Pragma: no-cache"
//     unless the request sets those fields itself; other policies add nothing
//     (there is no local cache).
//   - the body, or the body stream: the stream is opened, read to its end while
//     sending and closed. Its length is the request's "Content-Length" when set;
//     otherwise the body is sent chunked.
//   - the request's timeout is an idle timeout: the exchange fails with
//     VxURLErrorTimedOut when no byte has been sent or received for that long,
//     and connecting may take no longer either (bytes still draining from the
//     connection's send queue count as sent). A transfer that keeps moving
//     bytes may last any time. 0 or less means 60 seconds. A limit on the whole
//     exchange is a separate, optional setting (VxURLLoadOptions::deadline).
//   - cookie handling on: cookies are stored in and sent from one in-memory
//     cookie store shared by every request of the process; off: no cookie is
//     sent or stored (a "Cookie" field set on the request is still sent).
//   - redirects are followed (at most 16, http and https only); the response
//     and its URL are those of the final reply.
//   - TLS peers are verified against the system's trust store; HTTP/1.1 is used.
// Connections, DNS answers and TLS sessions are shared between all requests of
// the process (across threads), so consecutive requests to one server reuse a
// kept-alive connection.
//
// Results: the body data (empty data for an empty body), the HTTP response
// (status, header fields with names as received, final URL) and the transport
// error. On a transport error there is no data and no response. Transport
// errors are in VxURLErrorDomain with a localized description and, as failure
// reason, the transport's own detail; the request's URL is under VxURLErrorKey.
// Failures to create or write a downloaded file name the system's cause in the
// localized description and carry it as a VxPOSIXErrorDomain underlying error.
//
// Load options (VxURLLoadOptions), all optional:
//   - deadline: the whole exchange, connection included, fails with
//     VxURLErrorTimedOut once it has lasted that many seconds;
//   - maxBodyLength: a reply body longer than this fails with
//     VxURLErrorDataLengthExceedsMaximum (-1103): a "Content-Length" above it
//     is refused before the body is read, a body without one is stopped as it
//     crosses the limit. Only replies held in memory; downloads go to a file;
//   - progress: an observer called on the transfer's thread with the bytes
//     sent and received so far and the totals when known, at most every
//     kVxURLProgressInterval while bytes move, and once more when the transfer
//     has ended (successfully or not);
//   - temporaryDirectory: where a download's temporary file is created.
//
// Downloads land in a temporary file created with mode 0600 in the options'
// temporaryDirectory when one is given (the caller's own private directory),
// otherwise in the user's private download cache,
// $XDG_CACHE_HOME/diagnostics/downloads (or ~/.cache/diagnostics/downloads),
// created with mode 0700 and refused when another user owns it. There is no
// fallback to a shared directory such as /tmp.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/VxDispatch.h"
#include "platform/foundation/VxExport.h"
#include "platform/linux/VxURLRequest.h"

// A reply body longer than the caller's limit (VxURLLoadOptions::maxBodyLength).
inline constexpr std::int64_t VxURLErrorDataLengthExceedsMaximum = -1103;

// How often, at most, a progress observer is called while bytes move.
inline constexpr std::chrono::milliseconds kVxURLProgressInterval{100};

// Bytes moved so far by one transfer; totals are -1 while unknown.
struct VxURLTransferProgress {
    std::int64_t bytesSent = 0;
    std::int64_t totalBytesToSend = -1;
    std::int64_t bytesReceived = 0;
    std::int64_t totalBytesToReceive = -1;
};
using VxURLProgressObserver = std::function<void(const VxURLTransferProgress&)>;

struct VxURLLoadOptions {
    double deadline = 0;             // whole-exchange limit in seconds; 0 = none
    std::int64_t maxBodyLength = 0;  // reply body cap in bytes; 0 = unlimited; beyond it: -1103
    VxURLProgressObserver progress;  // optional; transfer's thread, rate-limited, plus a final call
    std::string temporaryDirectory;  // downloads only; empty = the private download cache
};

class VxURLSessionTask;
using VxURLSessionTaskPtr = std::shared_ptr<VxURLSessionTask>;

class DA_EXPORT VxURLSessionTask {
  public:
    enum State : int { Running = 0, Suspended = 1, Canceling = 2, Completed = 3 };

    std::uint64_t taskIdentifier() const;
    VxURLRequestPtr originalRequest() const;
    State state() const;
    // Starts a suspended task; does nothing otherwise.
    void resume();
    // Stops the task: its completion receives VxURLErrorCancelled (-999) unless it
    // has finished already. A suspended task is completed as cancelled.
    void cancel();

    struct Impl;
    explicit VxURLSessionTask(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

  private:
    std::shared_ptr<Impl> impl_;
};

class DA_EXPORT VxURLSession {
  public:
    using DataCompletion =
        std::function<void(const VxDataPtr&, const VxURLResponsePtr&, const VxErrorPtr&)>;
    // The location is the temporary file holding the body; it is removed after the
    // completion returns (the completion may move it away instead). Nothing on
    // error.
    using DownloadCompletion =
        std::function<void(const VxURLPtr&, const VxURLResponsePtr&, const VxErrorPtr&)>;

    static VxURLSession& sharedSession();
    // The serial queue on which task completions are delivered.
    VxDispatchQueue& delegateQueue();

    // Sends the request on the calling thread and waits for the whole reply.
    static VxDataPtr sendSynchronousRequest(const VxURLRequestPtr& request,
                                            VxURLResponsePtr* response,
                                            VxErrorPtr* error = nullptr);
    static VxDataPtr sendSynchronousRequest(const VxURLRequestPtr& request,
                                            VxURLResponsePtr* response,
                                            const VxURLLoadOptions& options,
                                            VxErrorPtr* error = nullptr);
    // Sends the request in the background and calls the completion once on the
    // given queue. The returned task is running; it can be cancelled.
    static VxURLSessionTaskPtr sendAsynchronousRequest(const VxURLRequestPtr& request,
                                                       VxDispatchQueue& queue,
                                                       DataCompletion completionHandler);
    static VxURLSessionTaskPtr sendAsynchronousRequest(const VxURLRequestPtr& request,
                                                       VxDispatchQueue& queue,
                                                       const VxURLLoadOptions& options,
                                                       DataCompletion completionHandler);

    // Tasks start suspended (call resume()); completions run on delegateQueue().
    VxURLSessionTaskPtr dataTaskWithRequest(const VxURLRequestPtr& request,
                                            DataCompletion completionHandler);
    VxURLSessionTaskPtr downloadTaskWithURL(const VxURLPtr& url,
                                            DownloadCompletion completionHandler);
    VxURLSessionTaskPtr downloadTaskWithRequest(const VxURLRequestPtr& request,
                                                DownloadCompletion completionHandler);
    VxURLSessionTaskPtr downloadTaskWithRequest(const VxURLRequestPtr& request,
                                                const VxURLLoadOptions& options,
                                                DownloadCompletion completionHandler);

    // The directory in which downloads without a temporaryDirectory option put
    // their temporary files, created (mode 0700) when missing; empty when it
    // cannot be made private, with the reason in `reason`.
    static std::string privateDownloadDirectory(std::string* reason = nullptr);

    // Number of new network connections opened so far by the process's requests
    // (a reused connection does not count).
    static std::uint64_t connectionsOpened();

    // The localized description of a URL error code.
    static std::string localizedDescriptionForErrorCode(std::int64_t code);

  private:
    VxURLSession();
    std::unique_ptr<VxDispatchQueue> delegateQueue_;
};
