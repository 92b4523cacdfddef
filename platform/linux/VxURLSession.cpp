#include "platform/linux/VxURLSession.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/linux/VxURLTransfer.h"

using vx::transfer::fileError;
using vx::transfer::kErrorRequestBodyStreamExhausted;
using vx::transfer::kErrorTooManyRedirects;
using vx::transfer::perform;
using vx::transfer::Result;
using vx::transfer::urlError;

// ---------------------------------------------------------------------------
// Tasks

struct VxURLSessionTask::Impl {
    std::uint64_t identifier = 0;
    VxURLRequestPtr request;
    std::atomic<int> state{Suspended};
    std::atomic<bool> cancelled{false};
    std::once_flag started;
    // Runs on the task's own thread; performs the exchange and delivers the result.
    std::function<void(Impl&)> run;
};

std::uint64_t VxURLSessionTask::taskIdentifier() const {
    return impl_->identifier;
}
VxURLRequestPtr VxURLSessionTask::originalRequest() const {
    return impl_->request;
}
VxURLSessionTask::State VxURLSessionTask::state() const {
    return static_cast<State>(impl_->state.load());
}

void VxURLSessionTask::resume() {
    std::shared_ptr<Impl> impl = impl_;
    std::call_once(impl->started, [impl] {
        int expected = Suspended;
        impl->state.compare_exchange_strong(expected, Running);
        std::thread([impl] { impl->run(*impl); }).detach();
    });
}

void VxURLSessionTask::cancel() {
    int s = impl_->state.load();
    if (s == Completed) return;
    impl_->cancelled = true;
    impl_->state.compare_exchange_strong(s, Canceling);
    resume();  // a suspended task completes as cancelled
}

// ---------------------------------------------------------------------------
// Session

VxURLSession::VxURLSession() : delegateQueue_(VxDispatchQueue::serialQueue("VxURLSession")) {}

VxURLSession& VxURLSession::sharedSession() {
    static VxURLSession* session = new VxURLSession();
    return *session;
}

VxDispatchQueue& VxURLSession::delegateQueue() {
    return *delegateQueue_;
}

std::uint64_t VxURLSession::connectionsOpened() {
    return vx::transfer::connectionsOpened();
}

std::string VxURLSession::localizedDescriptionForErrorCode(std::int64_t code) {
    switch (code) {
        case VxURLErrorCancelled:
            return "The request was cancelled.";
        case VxURLErrorBadURL:
            return "The URL is not valid.";
        case VxURLErrorTimedOut:
            return "The request timed out.";
        case VxURLErrorUnsupportedURL:
            return "The URL is not supported.";
        case VxURLErrorCannotFindHost:
            return "A server with the specified hostname could not be found.";
        case VxURLErrorCannotConnectToHost:
            return "Could not connect to the server.";
        case VxURLErrorNetworkConnectionLost:
            return "The network connection was lost.";
        case kErrorTooManyRedirects:
            return "There were too many redirects.";
        case VxURLErrorBadServerResponse:
            return "The server returned an invalid response.";
        case kErrorRequestBodyStreamExhausted:
            return "The request body could not be read.";
        case VxURLErrorSecureConnectionFailed:
            return "A secure connection to the server could not be made.";
        case VxURLErrorCannotCreateFile:
            return "The downloaded file could not be created.";
        case VxURLErrorCannotWriteToFile:
            return "The downloaded file could not be written.";
        case VxURLErrorDataLengthExceedsMaximum:
            return "The reply is larger than the maximum allowed.";
        default:
            return "An unknown error occurred.";
    }
}

VxDataPtr VxURLSession::sendSynchronousRequest(const VxURLRequestPtr& request,
                                               VxURLResponsePtr* response, VxErrorPtr* error) {
    return sendSynchronousRequest(request, response, VxURLLoadOptions(), error);
}

VxDataPtr VxURLSession::sendSynchronousRequest(const VxURLRequestPtr& request,
                                               VxURLResponsePtr* response,
                                               const VxURLLoadOptions& options, VxErrorPtr* error) {
    Result r = perform(request, nullptr, -1, options);
    if (response) *response = r.response;
    vxSetError(error, r.error);
    return r.data;
}

namespace {

std::shared_ptr<VxURLSessionTask::Impl> newTaskImpl(const VxURLRequestPtr& request) {
    auto impl = std::make_shared<VxURLSessionTask::Impl>();
    impl->identifier = vx::transfer::nextTaskIdentifier();
    impl->request = request ? std::static_pointer_cast<VxURLRequest>(request->copy()) : nullptr;
    return impl;
}

VxURLSessionTaskPtr makeDataTask(const VxURLRequestPtr& request, VxDispatchQueue& queue,
                                 const VxURLLoadOptions& options,
                                 VxURLSession::DataCompletion completion) {
    auto impl = newTaskImpl(request);
    VxDispatchQueue* target = &queue;
    impl->run = [target, options,
                 completion = std::move(completion)](VxURLSessionTask::Impl& self) {
        Result r = perform(self.request, &self.cancelled, -1, options);
        self.state = VxURLSessionTask::Completed;
        if (completion) target->async([completion, r] { completion(r.data, r.response, r.error); });
    };
    return std::make_shared<VxURLSessionTask>(impl);
}

// Makes `path` a directory of this user that no one else can enter.
bool makePrivateDirectory(const std::string& path, std::string& reason) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    ::chmod(path.c_str(), 0700);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        reason = path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
        reason = path + ": not a private directory of this user";
        return false;
    }
    return true;
}

// Creates the temporary file of a download in `directory`: its descriptor and
// path, or an error.
int createDownloadFile(const std::string& directory, std::string& path, VxErrorPtr& error,
                       const VxURLPtr& url) {
    std::string dir = directory;
    std::string reason;
    if (dir.empty()) dir = VxURLSession::privateDownloadDirectory(&reason);
    if (dir.empty()) {
        error = urlError(VxURLErrorCannotCreateFile, reason, url);
        return -1;
    }
    path = dir + "/VxDownload-XXXXXX";
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        error = fileError(VxURLErrorCannotCreateFile, errno, path, url);
        return -1;
    }
    path = name.data();
    return fd;
}

}  // namespace

std::string VxURLSession::privateDownloadDirectory(std::string* reason) {
    std::string base;
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && *cache == '/') {
        base = cache;
    } else if (const char* home = std::getenv("HOME"); home && *home == '/') {
        base = std::string(home) + "/.cache";
    } else {
        if (reason)
            *reason = "There is no private cache directory (neither XDG_CACHE_HOME nor HOME).";
        return {};
    }
    const std::string dir = base + "/diagnostics/downloads";
    std::string why;
    if (!makePrivateDirectory(dir, why)) {
        if (reason) *reason = why;
        return {};
    }
    return dir;
}

VxURLSessionTaskPtr VxURLSession::sendAsynchronousRequest(const VxURLRequestPtr& request,
                                                          VxDispatchQueue& queue,
                                                          DataCompletion completionHandler) {
    return sendAsynchronousRequest(request, queue, VxURLLoadOptions(),
                                   std::move(completionHandler));
}

VxURLSessionTaskPtr VxURLSession::sendAsynchronousRequest(const VxURLRequestPtr& request,
                                                          VxDispatchQueue& queue,
                                                          const VxURLLoadOptions& options,
                                                          DataCompletion completionHandler) {
    VxURLSessionTaskPtr task = makeDataTask(request, queue, options, std::move(completionHandler));
    task->resume();
    return task;
}

VxURLSessionTaskPtr VxURLSession::dataTaskWithRequest(const VxURLRequestPtr& request,
                                                      DataCompletion completionHandler) {
    return makeDataTask(request, delegateQueue(), VxURLLoadOptions(), std::move(completionHandler));
}

VxURLSessionTaskPtr VxURLSession::downloadTaskWithURL(const VxURLPtr& url,
                                                      DownloadCompletion completionHandler) {
    return downloadTaskWithRequest(url ? VxURLRequest::requestWithURL(url) : nullptr,
                                   std::move(completionHandler));
}

VxURLSessionTaskPtr VxURLSession::downloadTaskWithRequest(const VxURLRequestPtr& request,
                                                          DownloadCompletion completionHandler) {
    return downloadTaskWithRequest(request, VxURLLoadOptions(), std::move(completionHandler));
}

VxURLSessionTaskPtr VxURLSession::downloadTaskWithRequest(const VxURLRequestPtr& request,
                                                          const VxURLLoadOptions& options,
                                                          DownloadCompletion completionHandler) {
    auto impl = newTaskImpl(request);
    VxDispatchQueue* target = &delegateQueue();
    // A download goes to a file: the in-memory body limit does not apply.
    VxURLLoadOptions fileOptions = options;
    fileOptions.maxBodyLength = 0;
    impl->run = [target, fileOptions,
                 completion = std::move(completionHandler)](VxURLSessionTask::Impl& self) {
        const VxURLPtr url = self.request ? self.request->URL() : nullptr;
        std::string path;
        Result r;
        int fd = createDownloadFile(fileOptions.temporaryDirectory, path, r.error, url);
        if (fd >= 0) {
            r = perform(self.request, &self.cancelled, fd, fileOptions);
            if (::close(fd) != 0 && !r.error)
                r.error = fileError(VxURLErrorCannotWriteToFile, errno, path, url);
        }
        self.state = VxURLSessionTask::Completed;
        VxURLPtr location = (!r.error && fd >= 0) ? VxURL::fileURLWithPath(path) : nullptr;
        bool haveFile = fd >= 0;
        target->async([completion, r, location, path, haveFile] {
            if (completion) completion(location, r.error ? nullptr : r.response, r.error);
            if (haveFile) ::unlink(path.c_str());
        });
    };
    return std::make_shared<VxURLSessionTask>(impl);
}
