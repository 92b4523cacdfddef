// Test data upload and the MD5 digests of the connection manager.
//
// The upload is one POST of the file's raw bytes, streamed from the file, to
// "results/<test>/data/<data>" below the server's base URL as read at call time.
// The ZET-* headers give the file's place in its series, its size and its MD5
// digest. The reply is judged like every other exchange (status, JSON object,
// envelope); an accepted reply deletes the local file.

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Managers/DAConnectionManager.h"
#include "Managers/DALogging.h"
#include "platform/foundation/VxCrypto.h"
#include "platform/foundation/VxDispatch.h"
#include "platform/foundation/VxJSON.h"
#include "platform/foundation/VxStream.h"
#include "platform/linux/VxURLSession.h"
#include "requests/NUCRestResponse.h"

namespace {

constexpr std::size_t kDigestBlockSize = 65536;

VxStringPtr utf8Text(const VxDataPtr& data) {
    if (!data) return nullptr;
    return VxString::stringWithUTF8Bytes(data->bytes(), data->length());
}

// Judges one reply the way the synchronous exchange does: the response dumps at
// level 7, then transport error, response wrapper, status, JSON object and
// envelope. The accepted reply dictionary, or nothing.
VxDictionaryPtr acceptedReply(const DAConnectionManager& manager, const VxDataPtr& data,
                              const VxURLResponsePtr& response, const VxErrorPtr& error) {
    auto http = vx_cast<VxHTTPURLResponse>(response);
    DALog(7, "Response Headers: %@", http ? http->allHeaderFields() : VxDictionaryPtr());
    DALog(7, "Response body: %@", utf8Text(data));

    if (error) return nullptr;
    NUCRestResponsePtr wrapper = NUCRestResponse::initWithResponse(response);
    if (!wrapper || !wrapper->isStatusOK()) return nullptr;
    if (!data || data->length() == 0) return nullptr;
    VxErrorPtr parseError;
    Id parsed =
        VxJSONSerialization::JSONObjectWithData(data, VxJSONReadingFragmentsAllowed, &parseError);
    if (parseError) return nullptr;
    auto reply = vx_cast<VxDictionary>(parsed);
    if (!reply || !manager.validateResponse(reply)) return nullptr;
    return reply;
}

// What one upload shares with its completion. The completion may run after the
// caller has stopped waiting, so it holds its own reference.
struct UploadState {
    VxSemaphore done;
    std::mutex mutex;
    bool finished = false;   // the completion has judged the reply
    bool abandoned = false;  // the caller stopped waiting; the reply no longer counts
    bool accepted = false;
};

}  // namespace

VxStringPtr DAConnectionManager::MD5ForVxData(const VxDataPtr& data) const {
    if (!data || data->length() == 0) return nullptr;
    // The length is taken as a 32-bit quantity: data of 4 GiB or more has no digest.
    if (data->length() >= std::numeric_limits<std::uint32_t>::max()) return nullptr;
    return vxstr(VxMD5::hexString(VxMD5::digest(data->bytes(), data->length())));
}

VxStringPtr DAConnectionManager::getFileMD5(const VxStringPtr& path) const {
    if (!path) return nullptr;
    VxInputStreamPtr stream = VxInputStream::inputStreamWithFileAtPath(path->str());
    if (!stream) return nullptr;
    const DATransferObserver observer = transferObserver();
    std::int64_t total = -1;
    struct stat st {};
    if (observer && ::stat(path->UTF8String(), &st) == 0 && S_ISREG(st.st_mode)) total = st.st_size;
    std::int64_t done = 0;
    auto lastReport = std::chrono::steady_clock::now();

    stream->open();
    VxMD5 md5;
    std::vector<std::uint8_t> buffer(kDigestBlockSize);
    bool failed = false;
    while (stream->hasBytesAvailable()) {
        std::int64_t n = stream->read(buffer.data(), buffer.size());
        if (n < 0) {
            failed = true;
            break;
        }
        if (n == 0) break;
        md5.update(buffer.data(), static_cast<std::size_t>(n));
        done += n;
        if (observer && std::chrono::steady_clock::now() - lastReport >= kVxURLProgressInterval) {
            lastReport = std::chrono::steady_clock::now();
            observer(DATransferPhase::Digest, done, total);
        }
    }
    // A file that cannot be opened or read has no digest.
    if (stream->streamStatus() == VxStreamStatusError) failed = true;
    stream->close();
    if (observer) observer(DATransferPhase::Digest, done, total);
    if (failed) return nullptr;
    return vxstr(VxMD5::hexString(md5.finish()));
}

double DAConnectionManager::uploadTimeoutInterval() const {
    return 1200.0;
}

bool DAConnectionManager::sendFilenamed(const VxStringPtr& filename,
                                        const VxStringPtr& fileSequence,
                                        const VxStringPtr& totalFiles,
                                        const VxStringPtr& testIdentifier,
                                        const VxStringPtr& dataIdentifier,
                                        const VxStringPtr& forDeviceId, VxErrorPtr* error) {
    vxSetError(error, nullptr);
    const VxStringPtr& path = filename;
    if (!path) return false;
    if (!vx::nonEmptyString(fileSequence) || !vx::nonEmptyString(totalFiles)) return false;
    if (!testIdentifier) return false;
    if (!vx::nonEmptyString(dataIdentifier) || !vx::nonEmptyString(forDeviceId)) return false;

    // The identifiers go into the path unchanged; one that is not valid in a URL
    // makes the URL unparseable and refuses the upload.
    VxStringPtr base = getServerBaseURL();
    std::string urlText = base ? base->str() : std::string();
    if (urlText.empty() || urlText.back() != '/') urlText += "/";
    urlText += "results/" + testIdentifier->str() + "/data/" + dataIdentifier->str();

    VxStringPtr md5 = getFileMD5(path);
    if (!vx::nonEmptyString(md5)) return false;

    VxURLPtr url = VxURL::URLWithString(urlText);
    VxMutableURLRequestPtr request = url ? VxMutableURLRequest::requestWithURL(url) : nullptr;
    if (!request) return false;

    unsigned long long size = 0;
    struct stat st {};
    if (::stat(path->UTF8String(), &st) == 0) size = static_cast<unsigned long long>(st.st_size);

    request->setValue(sessionIdStr(), "Diagnostic-Session-ID");  // left out when absent
    request->setValue(forDeviceId, "Diagnostic-Device-ID");
    request->setValue(fileSequence, "ZET-file-sequence");
    request->setValue(totalFiles, "ZET-total-files");
    request->setValue(md5, "ZET-file-MD5");
    request->setValue(vx::format("%llu", size), "ZET-file-size");
    request->setHTTPMethod("POST");
    request->setValue("application/octet-stream", "Content-Type");
    request->setHTTPBodyStream(VxInputStream::inputStreamWithFileAtPath(path->str()));

    DALog(7, "Request Headers: %@", request->allHTTPHeaderFields());
    DALog(7, "Request body: %@", utf8Text(request->HTTPBody()));

    // The completion is delivered on the main queue. A caller that is itself on
    // the main queue's thread would block the very queue it waits for, so its
    // completion goes to the global queue instead.
    VxDispatchQueue& queue = VxDispatchQueue::mainQueue().isCurrent()
                                 ? VxDispatchQueue::globalQueue()
                                 : VxDispatchQueue::mainQueue();
    // No deadline: a large file on a slow link may take long while bytes keep
    // moving; the wait below bounds the call.
    VxURLLoadOptions options;
    if (DATransferObserver observer = transferObserver()) {
        // The body goes out chunked; its total is the file's size.
        const auto total = static_cast<std::int64_t>(size);
        options.progress = [observer, total](const VxURLTransferProgress& p) {
            observer(DATransferPhase::Upload, p.bytesSent, total);
        };
    }
    auto state = std::make_shared<UploadState>();
    VxURLSessionTaskPtr task = VxURLSession::sendAsynchronousRequest(
        request, queue, options,
        // `this` is used only while the caller still waits (not abandoned), so the
        // manager is alive whenever it is touched.
        [state, this, path](const VxDataPtr& data, const VxURLResponsePtr& response,
                            const VxErrorPtr& transportError) {
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                // A reply that arrives after the caller gave up must not delete
                // the file: the caller reported the upload as failed and keeps the
                // file for a later attempt.
                if (!state->abandoned) {
                    VxDictionaryPtr reply = acceptedReply(*this, data, response, transportError);
                    if (reply) {
                        // remove(3) rather than std::filesystem: the same
                        // unlink, without the path parsing that would make
                        // the process fault in 128 KiB of libstdc++ code for
                        // it. A failure is ignored as before.
                        ::remove(path->UTF8String());
                        DALog(6, "[File] < %@", reply);
                        state->accepted = true;
                    }
                    state->finished = true;
                }
            }
            state->done.signal();
        });

    bool arrived = state->done.wait(uploadTimeoutInterval());
    std::lock_guard<std::mutex> lock(state->mutex);
    if (!arrived && !state->finished) {
        state->abandoned = true;
        if (task) task->cancel();
        return false;
    }
    return state->accepted;
}
