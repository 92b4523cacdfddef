#pragma once
// The process-wide client of the remote diagnostics server: server selection
// from the preferences, a configured request generator copied for every
// request, the synchronous exchange with its dumps at level 7, the reply
// envelope test, and the protocol calls.
//
// Every protocol call follows one pattern (performProtocolCall): input check,
// body and headers, outgoing trace, preparation on a copy of the generator,
// exchange, result and incoming trace; a failure with an error writes the call's
// "<ERROR>" line. Errors are handed on unchanged from the generator, the HTTP
// loading facility, the response wrapper and the JSON serializer.
//
// Limits of the exchanges: a protocol call's whole exchange may last no longer
// than its request's timeout (30 s from the generator), and its reply body no
// longer than DAMaxReplyBodyLength (a longer one fails with the URL error
// domain's -1103 and the call's "<ERROR>" line). The upload has no limit of its
// own beyond its caller's wait and the loading facility's idle timeout; the
// localization download is written to a file and has no size limit.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/foundation/VxError.h"
#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxValues.h"
#include "platform/linux/VxURLRequest.h"
#include "requests/NUCURLRequestGenerator.h"

// Exported error domain; no operation of the client creates errors in it.
DA_EXPORT extern const char* const DAConnectionErrorDomain;  // "DAConnectionErrorDomain"

// Longest reply body of a protocol call that is read, in bytes.
inline constexpr std::int64_t DAMaxReplyBodyLength = 16 * 1024 * 1024;

// What a long transfer is doing: computing a file's MD5, uploading it, or
// downloading the strings table.
enum class DATransferPhase { Digest, Upload, Download };
// done/total in bytes; total -1 when unknown. Called from the transfer's thread
// (the caller's thread for the digest), rate-limited, with a final call at the
// end of each phase.
using DATransferObserver =
    std::function<void(DATransferPhase phase, std::int64_t done, std::int64_t total)>;

class CDictionaryModel;
class DACommandResponse;
class DADeviceModel;
class DAConnectionManager;
using DAConnectionManagerPtr = std::shared_ptr<DAConnectionManager>;

class DA_EXPORT DAConnectionManager : public VxObject {
    VX_DECLARE_CLASS(DAConnectionManager)
  public:
    // init: picks the server once and configures the generator (cache policy 4,
    // 30 s timeout, no cookies, the server's base URL, JSON content headers).
    DAConnectionManager();

    // The one instance, created on first use (thread-safe).
    static DAConnectionManagerPtr sharedInstance();

    // Identifier of the last session opened; absent until a session call gets
    // an accepted reply.
    VxStringPtr sessionIdStr() const;
    void setSessionIdStr(const VxStringPtr& value);
    NUCURLRequestGeneratorPtr dacRequestGenerator() const { return dacRequestGenerator_; }
    void setDacRequestGenerator(const NUCURLRequestGeneratorPtr& generator) {
        dacRequestGenerator_ = generator;
    }

    // Progress of the upload (Digest, then Upload) and of the localization
    // download (Download). No observer by default.
    void setTransferObserver(DATransferObserver observer);
    DATransferObserver transferObserver() const;

    // Server selection; each call synchronizes the preferences domain first.
    std::uint64_t getServerSelection() const;
    VxStringPtr getCustomServerURL() const;
    VxStringPtr getServerBaseURL() const;

    // Builds a request on a copy of the generator, with "Host" set from its base
    // URL, a JSON body when one is given (else a form-less request), and the
    // extra text headers applied over the built ones. The data body, file URL
    // and length slot are accepted for callers that have them; the protocol
    // calls pass none, and the request is built from the JSON object alone.
    VxMutableURLRequestPtr prepareURLRequestForMethod(
        const VxStringPtr& method, const VxStringPtr& atURLString, const Id& withJSONObject,
        const VxDataPtr& orData, const VxURLPtr& orFileURL, std::uint64_t* outLength,
        const Id& andAdditionalHeaders, VxErrorPtr* forError = nullptr) const;

    // One synchronous exchange: the accepted reply dictionary, or nothing with
    // the transport, status or JSON error (or with no error for an absent request,
    // no response, no data, a non-object reply or a rejected envelope). The
    // request's timeout bounds the whole exchange, and a reply body beyond
    // DAMaxReplyBodyLength is refused with the URL error -1103.
    VxDictionaryPtr responseDictionaryFromRequest(const VxURLRequestPtr& request,
                                                  VxErrorPtr* error = nullptr) const;

    // The reply envelope test: a "response" of "SessionSuccess", "EnrollSuccess"
    // or "ProfileSuccess", or a non-empty "status" object whose "code" is
    // "NoError". Always writes nothing into the error slot.
    bool validateResponse(const Id& response, VxErrorPtr* error = nullptr) const;
    bool validResponseString(const Id& text) const;

    // Opens a session for the serial number and stores the server's identifier
    // in sessionIdStr; true when a non-empty identifier came back.
    bool sessionForSerialNumber(const VxStringPtr& serialNumber, VxErrorPtr* error = nullptr);
    // The same session call, giving the non-empty identifier that this call
    // obtained (nothing where sessionForSerialNumber gives false). It still
    // stores the reply's identifier in sessionIdStr; callers that run at the
    // same time use the result, since the shared slot may already hold another
    // call's identifier.
    VxStringPtr openSessionForSerialNumber(const VxStringPtr& serialNumber,
                                           VxErrorPtr* error = nullptr);

    // Device calls. Each sends sessionIdStr as "Diagnostic-Session-ID" and is
    // refused (failure value, no error, nothing sent) while no session is held.
    // Enrols the serial numbers (POST "enroll"); the reply's "devices" object.
    VxDictionaryPtr enrollArrayOfDeviceSNs(const VxArrayPtr& serialNumbers,
                                           VxErrorPtr* error = nullptr);
    // Sends the non-empty dictionaries of the device records (POST "profile");
    // the reply's "devices" object.
    VxDictionaryPtr sendProfilesForDevices(const VxArrayPtr& devices, VxErrorPtr* error = nullptr);
    // Sends the record's stored properties (POST "clientstatus"); the command
    // response built from the reply's "statusResponse".
    std::shared_ptr<DACommandResponse> sendClientStatus(
        const std::shared_ptr<DADeviceModel>& device, VxErrorPtr* error = nullptr);
    // Polls the next command for the device (GET "command" with
    // "Diagnostic-Device-ID"); the command response built from the whole reply.
    std::shared_ptr<DACommandResponse> getCommandForDeviceId(const VxStringPtr& deviceId,
                                                             VxErrorPtr* error = nullptr);
    // Sends the record's dictionary (POST "results"); true when accepted.
    bool sendResultsObject(const std::shared_ptr<CDictionaryModel>& results,
                           VxErrorPtr* error = nullptr);

    // Test data upload and digests.
    // Uploads the file at the path as the raw body of a POST to
    // "results/<testIdentifier>/data/<dataIdentifier>" below the current base URL,
    // with the session and device identifiers and the ZET-* headers (sequence,
    // total, MD5, size). Waits up to uploadTimeoutInterval() for the reply; true
    // when the server accepted it, and the local file is then deleted. When the
    // wait runs out the transfer is cancelled, so no late reply can count. The
    // transfer itself may last as long as bytes keep moving (the request's idle
    // timeout applies). The error slot is always written with nothing.
    bool sendFilenamed(const VxStringPtr& filename, const VxStringPtr& fileSequence,
                       const VxStringPtr& totalFiles, const VxStringPtr& testIdentifier,
                       const VxStringPtr& dataIdentifier, const VxStringPtr& forDeviceId,
                       VxErrorPtr* error = nullptr);
    // Longest wait for an upload's reply, in seconds: 1200. A reply that comes
    // later is ignored and leaves the file in place.
    virtual double uploadTimeoutInterval() const;
    // MD5 of the file, read in 64 KiB blocks, as 32 lower-case hex digits;
    // nothing when the file cannot be opened or read. Reports its progress to the
    // transfer observer as the Digest phase.
    VxStringPtr getFileMD5(const VxStringPtr& path) const;
    // MD5 of the buffer as 32 lower-case hex digits; nothing for an absent or
    // empty buffer, or one of 4294967295 bytes or more.
    VxStringPtr MD5ForVxData(const VxDataPtr& data) const;

    // Localization bundle.
    // Downloads "assets/strings" below the current base URL and, once the
    // download has succeeded, replaces <bundleURL>/Base.lproj with a directory
    // holding it as "Localizable.strings". Waits at most 5 seconds; a later
    // download still lands. Problems are only logged, with the system's cause.
    // The download's temporary file lives in a private (0700) staging directory
    // inside <bundleURL>, which then becomes the new Base.lproj.
    void saveLocalizationToBundleURL(const VxURLPtr& bundleURL) const;

  protected:
    // The shared protocol call pattern: prepares and exchanges one request and
    // gives the accepted reply, or nothing. On a failure that carries an error it
    // writes "<tag> <ERROR> <localized description>" at level 3 and puts the
    // error into `error`.
    VxDictionaryPtr performProtocolCall(const char* tag, const char* method,
                                        const VxStringPtr& path, const Id& jsonBody,
                                        const VxDictionaryPtr& headers, VxErrorPtr* error) const;

  private:
    mutable std::mutex mutex_;
    VxStringPtr sessionIdStr_;
    DATransferObserver transferObserver_;
    NUCURLRequestGeneratorPtr dacRequestGenerator_;
};
