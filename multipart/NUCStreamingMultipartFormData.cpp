#include "multipart/NUCStreamingMultipartFormData.h"

#include <new>

#include "mime/NUCMimeTypes.h"
#include "platform/foundation/VxFormat.h"
#include "requests/NUCRestKit.h"

VX_DEFINE_CLASS(NUCStreamingMultipartFormData, VxObject, {});

namespace {

bool given(const VxStringPtr& text) {
    return text && !text->empty();
}

bool refuse(VxErrorPtr* error, std::int64_t code, std::string_view failureReason) {
    vxSetError(error, VxError::errorWithDomain(NUCURLRequestErrorDomain, code, "", failureReason));
    return false;
}

// A header value that would end its header line early (and start another).
bool breaksHeaderLine(const VxStringPtr& value) {
    return value && value->str().find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos;
}

// The caller's disposition, else one built from name and file name (both needed).
VxStringPtr fileDisposition(const VxStringPtr& disposition, const VxStringPtr& name,
                            const VxStringPtr& fileName) {
    if (given(disposition)) return disposition;
    if (given(name) && given(fileName)) {
        return vxstr(vx::format("form-data; name=\"%@\"; filename=\"%@\"", name, fileName));
    }
    return nullptr;
}

}  // namespace

NUCStreamingMultipartFormData::NUCStreamingMultipartFormData(
    VxMutableURLRequestPtr request, NUCURLRequestMultipartGeneratorPtr generator)
    : request_(std::move(request)), generator_(std::move(generator)) {
    bodyStream_ = std::make_shared<NUCMultipartBodyStream>(generator_ ? generator_->stringEncoding()
                                                                      : NUCStringEncodingUTF8);
}

NUCStreamingMultipartFormDataPtr NUCStreamingMultipartFormData::initWithURLRequest(
    const VxMutableURLRequestPtr& request, const NUCURLRequestMultipartGeneratorPtr& forGenerator) {
    if (!request || !forGenerator) return nullptr;
    return std::make_shared<NUCStreamingMultipartFormData>(request, forGenerator);
}

void NUCStreamingMultipartFormData::setRequest(const VxURLRequestPtr& request) {
    request_ =
        request ? std::static_pointer_cast<VxMutableURLRequest>(request->mutableCopy()) : nullptr;
}

bool NUCStreamingMultipartFormData::appendPartWithFileURL(const VxURLPtr& fileURL,
                                                          const VxStringPtr& nameOrNil,
                                                          const VxStringPtr& contentDisposition,
                                                          VxErrorPtr* error) {
    std::uint64_t length = 0;
    VxErrorPtr fileError;
    if (!NUCRestKit::canUploadFileAtURL(fileURL, &length, &fileError)) {
        vxSetError(error, fileError);
        return false;
    }
    VxStringPtr disposition =
        fileDisposition(contentDisposition, nameOrNil, vxstr(fileURL->lastPathComponent()));
    VxStringPtr mimeType = NUCMimeTypes::mimeTypeForFileExtension(vxstr(fileURL->pathExtension()));
    return appendPartWithBody(fileURL, disposition, mimeType, length, error);
}

bool NUCStreamingMultipartFormData::appendPartWithFileURL(
    const VxURLPtr& fileURL, const VxStringPtr& nameOrNil, const VxStringPtr& fileNameOrNil,
    const VxStringPtr& contentDisposition, const VxStringPtr& mimeType, VxErrorPtr* error) {
    std::uint64_t length = 0;
    VxErrorPtr fileError;
    if (!NUCRestKit::canUploadFileAtURL(fileURL, &length, &fileError)) {
        vxSetError(error, fileError);
        return false;
    }
    if (!given(mimeType)) {
        return refuse(error, NUCURLRequestErrorBadInput, "mimeType must be non-nil");
    }
    return appendPartWithBody(fileURL,
                              fileDisposition(contentDisposition, nameOrNil, fileNameOrNil),
                              mimeType, length, error);
}

bool NUCStreamingMultipartFormData::appendPartWithInputStream(
    const VxInputStreamPtr& inputStream, const VxStringPtr& nameOrNil,
    const VxStringPtr& fileNameOrNil, const VxStringPtr& contentDisposition, std::uint64_t length,
    const VxStringPtr& mimeType, VxErrorPtr* error) {
    if (!inputStream) {
        return refuse(error, NUCURLRequestErrorBadInput, "InputStream must be non-nil");
    }
    if (!given(mimeType)) {
        return refuse(error, NUCURLRequestErrorBadInput, "mimeType must be non-nil");
    }
    return appendPartWithBody(inputStream,
                              fileDisposition(contentDisposition, nameOrNil, fileNameOrNil),
                              mimeType, length, error);
}

bool NUCStreamingMultipartFormData::appendPartWithFileData(
    const VxDataPtr& data, const VxStringPtr& nameOrNil, const VxStringPtr& fileNameOrNil,
    const VxStringPtr& contentDisposition, const VxStringPtr& mimeType, VxErrorPtr* error) {
    if (!data) return refuse(error, NUCURLRequestErrorBadInput, "Data must be non-nil");
    if (!given(mimeType)) {
        return refuse(error, NUCURLRequestErrorBadInput, "mimeType must be non-nil");
    }
    return appendPartWithBody(data, fileDisposition(contentDisposition, nameOrNil, fileNameOrNil),
                              mimeType, data->length(), error);
}

bool NUCStreamingMultipartFormData::appendPartWithFormData(const VxDataPtr& data,
                                                           const VxStringPtr& nameOrNil,
                                                           const VxStringPtr& contentDisposition,
                                                           const VxStringPtr& contentType,
                                                           VxErrorPtr* error) {
    if (!data) return refuse(error, NUCURLRequestErrorBadInput, "Data must be non-nil");
    VxStringPtr disposition = contentDisposition;
    if (!given(disposition) && given(nameOrNil)) {
        disposition = vxstr(vx::format("form-data; name=\"%@\"", nameOrNil));
    }
    return appendPartWithBody(data, disposition, contentType, data->length(), error);
}

void NUCStreamingMultipartFormData::setPacketSize(std::uint64_t packetSize, double withDelay) {
    bodyStream_->setNumberOfBytesInPacket(packetSize);
    bodyStream_->setDelay(withDelay);
}

bool NUCStreamingMultipartFormData::appendPartWithBody(const Id& body,
                                                       const VxStringPtr& contentDisposition,
                                                       const VxStringPtr& contentType,
                                                       std::uint64_t contentLength,
                                                       VxErrorPtr* error) {
    if (!given(contentDisposition)) {
        return refuse(error, NUCURLRequestErrorBadInput,
                      "Either name or contentDisposition must be non-nil");
    }
    // Names, file names and types go into the part's header lines as they are.
    if (breaksHeaderLine(contentDisposition) || breaksHeaderLine(contentType)) {
        return refuse(error, NUCURLRequestErrorBadInput,
                      "Part headers must not contain CR, LF or NUL characters");
    }
    // Without a generator there is no boundary, so no part can be made.
    if (!generator_ || !bodyStream_) {
        return refuse(error, NUCURLRequestErrorObjectCreation, "Out of memory");
    }
    NUCMultiPartPtr part;
    try {
        auto headers = VxMutableDictionary::dictionaryWithCapacity(2);
        headers->setObject(contentDisposition, "Content-Disposition");
        if (given(contentType)) headers->setObject(contentType, "Content-Type");
        part = std::make_shared<NUCMultiPart>(generator_->stringEncoding(), headers, body,
                                              contentLength, generator_->partBoundary());
    } catch (const std::bad_alloc&) {
        return refuse(error, NUCURLRequestErrorObjectCreation, "Out of memory");
    }
    bodyStream_->appendHTTPBodyPart(part);
    vxSetError(error, nullptr);
    return true;
}

VxMutableURLRequestPtr NUCStreamingMultipartFormData::requestByFinalizingMultipartFormData() {
    if (!request_ || !generator_ || !bodyStream_ || bodyStream_->isEmpty()) return request_;
    bodyStream_->setInitialAndFinalBoundaries();
    request_->setHTTPBodyStream(bodyStream_);
    request_->setValue(vx::format("multipart/form-data; boundary=%@", generator_->partBoundary()),
                       "Content-Type");
    request_->setValue(vx::format("%lu", bodyStream_->contentLength()), "Content-Length");
    return request_;
}
