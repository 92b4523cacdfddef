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
//   - the timeout bounds the whole exchange (connection included); 0 or less
//     means 60 seconds.
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

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/VxDispatch.h"
#include "platform/VxExport.h"
#include "platform/VxURLRequest.h"

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
    // completion returns. Nothing on error.
    using DownloadCompletion =
        std::function<void(const VxURLPtr&, const VxURLResponsePtr&, const VxErrorPtr&)>;

    static VxURLSession& sharedSession();
    // The serial queue on which task completions are delivered.
    VxDispatchQueue& delegateQueue();

    // Sends the request on the calling thread and waits for the whole reply.
    static VxDataPtr sendSynchronousRequest(const VxURLRequestPtr& request,
                                            VxURLResponsePtr* response,
                                            VxErrorPtr* error = nullptr);
    // Sends the request in the background and calls the completion once on the
    // given queue. The returned task is running; it can be cancelled.
    static VxURLSessionTaskPtr sendAsynchronousRequest(const VxURLRequestPtr& request,
                                                       VxDispatchQueue& queue,
                                                       DataCompletion completionHandler);

    // Tasks start suspended (call resume()); completions run on delegateQueue().
    VxURLSessionTaskPtr dataTaskWithRequest(const VxURLRequestPtr& request,
                                            DataCompletion completionHandler);
    VxURLSessionTaskPtr downloadTaskWithURL(const VxURLPtr& url,
                                            DownloadCompletion completionHandler);
    VxURLSessionTaskPtr downloadTaskWithRequest(const VxURLRequestPtr& request,
                                                DownloadCompletion completionHandler);

    // Number of new network connections opened so far by the process's requests
    // (a reused connection does not count).
    static std::uint64_t connectionsOpened();

    // The localized description of a URL error code.
    static std::string localizedDescriptionForErrorCode(std::int64_t code);

  private:
    VxURLSession();
    std::unique_ptr<VxDispatchQueue> delegateQueue_;
};
