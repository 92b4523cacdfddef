#pragma once
// Translation between file-name extensions and MIME types, and content
// sniffing.
//
// A fixed table built into the library answers the extension look-ups first;
// the platform's uniform type service is asked only when the table has no
// answer. Table values are taken as listed: a value may be one MIME type or
// several joined by commas ("image/jpeg,image/pjpeg"), and such a list is one
// value, returned and compared as a whole. Vendor subtypes are written without
// the dot after "vnd" ("application/vndms-excel").
//
// All operations are class-level and safe from any thread: the table is built
// once, on first use, and never changes afterwards.

#include <cstdint>

#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxValues.h"

class DA_EXPORT NUCMimeTypes {
  public:
    NUCMimeTypes() = delete;

    // The MIME value for the extension (lower-cased, without the leading dot);
    // never nothing: "application/octet-stream" when neither the table nor the
    // uniform type service knows it, or the extension is absent or empty.
    static VxStringPtr mimeTypeForFileExtension(const VxStringPtr& extension);

    // The first table key (in listed order) whose value is exactly the
    // lower-cased MIME type; else the uniform type service's preferred
    // extension; else nothing. Absent or empty input gives nothing.
    static VxStringPtr fileExtensionForMimeType(const VxStringPtr& mimeType);

    // The MIME type named by a signature in the first 11 bytes of the buffer
    // (missing bytes count as 0), or nothing. Never consults the table.
    static VxStringPtr guessMimeTypeFromData(const VxDataPtr& data);

    // The built-in extension table (extension -> MIME value), in listed order.
    static const VxDictionaryPtr& extensionTable();
};
