#pragma once
// The form-data builder interface that a multipart request's construction
// callback receives. Each append adds one part to the body and returns true, or
// returns false with the error (leaving the body as it was). Texts count as
// given only when present and not empty. A part's Content-Disposition is the
// caller's when given, else built from the name (and file name):
// form-data; name="NAME"; filename="FILE" (names inserted as they are).

#include <cstdint>

#include "platform/foundation/VxError.h"
#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxStream.h"
#include "platform/foundation/VxValues.h"

class DA_EXPORT NUCMultipartFormData {
  public:
    virtual ~NUCMultipartFormData() = default;

    // A local file, after the upload pre-flight; the file name is the URL's last
    // path component and the MIME type comes from its extension.
    virtual bool appendPartWithFileURL(const VxURLPtr& fileURL, const VxStringPtr& nameOrNil,
                                       const VxStringPtr& contentDisposition,
                                       VxErrorPtr* error = nullptr) = 0;
    // A local file with the caller's file name and (required) MIME type.
    virtual bool appendPartWithFileURL(const VxURLPtr& fileURL, const VxStringPtr& nameOrNil,
                                       const VxStringPtr& fileNameOrNil,
                                       const VxStringPtr& contentDisposition,
                                       const VxStringPtr& mimeType,
                                       VxErrorPtr* error = nullptr) = 0;
    // A stream that yields exactly `length` bytes (trusted, not checked).
    virtual bool appendPartWithInputStream(const VxInputStreamPtr& inputStream,
                                           const VxStringPtr& nameOrNil,
                                           const VxStringPtr& fileNameOrNil,
                                           const VxStringPtr& contentDisposition,
                                           std::uint64_t length, const VxStringPtr& mimeType,
                                           VxErrorPtr* error = nullptr) = 0;
    // A byte buffer sent as a file.
    virtual bool appendPartWithFileData(const VxDataPtr& data, const VxStringPtr& nameOrNil,
                                        const VxStringPtr& fileNameOrNil,
                                        const VxStringPtr& contentDisposition,
                                        const VxStringPtr& mimeType,
                                        VxErrorPtr* error = nullptr) = 0;
    // A form value; the content type is optional.
    virtual bool appendPartWithFormData(const VxDataPtr& data, const VxStringPtr& nameOrNil,
                                        const VxStringPtr& contentDisposition,
                                        const VxStringPtr& contentType,
                                        VxErrorPtr* error = nullptr) = 0;
    // Throttling of the body: bytes per packet and the pause after each part read.
    virtual void setPacketSize(std::uint64_t packetSize, double withDelay) = 0;
};
