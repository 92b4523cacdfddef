#pragma once
// The form-data builder of one multipart request: collects the parts that the
// construction callback appends in a multipart body stream and finally puts
// that stream and its headers into the request. Lives for one request and is
// used on one thread.

#include <memory>

#include "multipart/NUCMultipartBodyStream.h"
#include "multipart/NUCMultipartFormData.h"
#include "multipart/NUCURLRequestMultipartGenerator.h"
#include "platform/foundation/VxExport.h"
#include "platform/linux/VxURLRequest.h"

class NUCStreamingMultipartFormData;
using NUCStreamingMultipartFormDataPtr = std::shared_ptr<NUCStreamingMultipartFormData>;

class DA_EXPORT NUCStreamingMultipartFormData : public VxObject, public NUCMultipartFormData {
    VX_DECLARE_CLASS(NUCStreamingMultipartFormData)
  public:
    NUCStreamingMultipartFormData(VxMutableURLRequestPtr request,
                                  NUCURLRequestMultipartGeneratorPtr generator);
    // Keeps the request itself (not a copy) and makes an empty body stream in
    // the generator's string encoding; nothing when either is absent.
    static NUCStreamingMultipartFormDataPtr initWithURLRequest(
        const VxMutableURLRequestPtr& request,
        const NUCURLRequestMultipartGeneratorPtr& forGenerator);

    bool appendPartWithFileURL(const VxURLPtr& fileURL, const VxStringPtr& nameOrNil,
                               const VxStringPtr& contentDisposition,
                               VxErrorPtr* error = nullptr) override;
    bool appendPartWithFileURL(const VxURLPtr& fileURL, const VxStringPtr& nameOrNil,
                               const VxStringPtr& fileNameOrNil,
                               const VxStringPtr& contentDisposition, const VxStringPtr& mimeType,
                               VxErrorPtr* error = nullptr) override;
    bool appendPartWithInputStream(const VxInputStreamPtr& inputStream,
                                   const VxStringPtr& nameOrNil, const VxStringPtr& fileNameOrNil,
                                   const VxStringPtr& contentDisposition, std::uint64_t length,
                                   const VxStringPtr& mimeType,
                                   VxErrorPtr* error = nullptr) override;
    bool appendPartWithFileData(const VxDataPtr& data, const VxStringPtr& nameOrNil,
                                const VxStringPtr& fileNameOrNil,
                                const VxStringPtr& contentDisposition, const VxStringPtr& mimeType,
                                VxErrorPtr* error = nullptr) override;
    bool appendPartWithFormData(const VxDataPtr& data, const VxStringPtr& nameOrNil,
                                const VxStringPtr& contentDisposition,
                                const VxStringPtr& contentType,
                                VxErrorPtr* error = nullptr) override;
    void setPacketSize(std::uint64_t packetSize, double withDelay) override;

    // The common step of every append: one part with "Content-Disposition"
    // and, when given, "Content-Type", added to the body.
    bool appendPartWithBody(const Id& body, const VxStringPtr& contentDisposition,
                            const VxStringPtr& contentType, std::uint64_t contentLength,
                            VxErrorPtr* error = nullptr);

    // The request with the body stream and its multipart "Content-Type" and
    // "Content-Length"; untouched when nothing was appended.
    VxMutableURLRequestPtr requestByFinalizingMultipartFormData();

    const VxMutableURLRequestPtr& request() const { return request_; }
    void setRequest(const VxURLRequestPtr& request);
    const NUCURLRequestMultipartGeneratorPtr& generator() const { return generator_; }
    void setGenerator(const NUCURLRequestMultipartGeneratorPtr& generator) {
        generator_ = generator;
    }
    const NUCMultipartBodyStreamPtr& bodyStream() const { return bodyStream_; }
    void setBodyStream(const NUCMultipartBodyStreamPtr& stream) { bodyStream_ = stream; }

  private:
    VxMutableURLRequestPtr request_;
    NUCURLRequestMultipartGeneratorPtr generator_;
    NUCMultipartBodyStreamPtr bodyStream_;
};
