#pragma once
// A request generator that builds multipart/form-data requests with streamed
// bodies. The caller names method, URL and parameters and passes a callback
// that appends the parts through a form-data builder; the finished request
// carries the multipart body stream, "Content-Type: multipart/form-data;
// boundary=..." and the body's "Content-Length". A request's body can also be
// copied into a file in the background so that it can be sent from there.
//
// Like its base, a generator has no lock: use it from one thread at a time.

#include <functional>
#include <memory>

#include "multipart/NUCMultipartFormData.h"
#include "platform/foundation/VxExport.h"
#include "requests/NUCURLRequestGenerator.h"

class NUCURLRequestMultipartGenerator;
using NUCURLRequestMultipartGeneratorPtr = std::shared_ptr<NUCURLRequestMultipartGenerator>;

// Receives the form-data builder once, synchronously, while the request is built.
using NUCMultipartConstructingBlock =
    std::function<void(const std::shared_ptr<NUCMultipartFormData>& formData)>;
// Receives the outcome of a body copy: nothing on success, else the error.
using NUCMultipartCompletionHandler = std::function<void(const VxErrorPtr& error)>;

class DA_EXPORT NUCURLRequestMultipartGenerator : public NUCURLRequestGenerator {
    VX_DECLARE_CLASS(NUCURLRequestMultipartGenerator)
  public:
    // init: the base defaults and a boundary of its own
    // ("NUC_Streaming_XXXXXXXX_Multipart_Form_Data_Boundary_XXXXXXXX" with two
    // random 8-digit upper-case hexadecimal numbers).
    NUCURLRequestMultipartGenerator();
    static NUCURLRequestMultipartGeneratorPtr generator();

    // The path resolved against baseURL, then as the URL form. Nothing, with
    // the error left untouched, for an unusable path.
    VxMutableURLRequestPtr multipartFormRequestWithMethod(
        const VxStringPtr& method, const VxStringPtr& forURLString, const Id& uriParameters,
        VxErrorPtr* error, const NUCMultipartConstructingBlock& constructingBodyWithBlock);
    // Nothing for a missing method or for GET, HEAD and DELETE (which carry no
    // body; the error is set to nothing), or with the base builder's error.
    // A callback that appends nothing leaves the request as the base builder
    // made it.
    VxMutableURLRequestPtr multipartFormRequestWithMethod(
        const VxStringPtr& method, const VxURLPtr& forURL, const Id& uriParameters,
        VxErrorPtr* error, const NUCMultipartConstructingBlock& constructingBodyWithBlock);

    // Copies the request's body stream into the file (replacing it) on a
    // background worker and returns at once a copy of the request without body
    // stream; the handler then runs on the main queue with the outcome. A
    // request without body stream comes back as a copy and the handler is not
    // called. The main queue must stay responsive until the handler has run.
    VxMutableURLRequestPtr requestWithMultipartFormRequest(
        const VxURLRequestPtr& request, const VxURLPtr& writingStreamContentsToFile,
        const NUCMultipartCompletionHandler& completionHandler) const;

    // The base copy with this generator's boundary.
    Id copyWithZone(void* zone = nullptr) const override;

    const VxStringPtr& partBoundary() const { return partBoundary_; }
    void setPartBoundary(const VxStringPtr& boundary) {
        partBoundary_ = boundary ? std::static_pointer_cast<VxString>(boundary->copy()) : nullptr;
    }

  private:
    VxStringPtr partBoundary_;
};
