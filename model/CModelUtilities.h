#pragma once
// Small class operations around the record layer: the operating system's
// version, the declared value class of a property, hexadecimal text for bytes
// and numbers, and CSV documents made of records.

#include <cstdint>
#include <string>
#include <vector>

#include "model/CPropertyAttributes.h"
#include "platform/foundation/VxError.h"
#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxValues.h"

class DA_EXPORT CModelUtilities {
  public:
    CModelUtilities() = delete;

    // Version reported when the operating system's release information has none.
    static constexpr const char* kDefaultSystemVersion = "1.0.0";

    // Codes of the file-writing errors of writeModelArray, in VxCocoaErrorDomain.
    static constexpr std::int64_t kFileNoSuchFileError = 4;
    static constexpr std::int64_t kFileWriteUnknownError = 512;
    static constexpr std::int64_t kFileWriteNoPermissionError = 513;
    static constexpr std::int64_t kFileWriteInvalidFileNameError = 514;
    static constexpr std::int64_t kFileWriteUnsupportedSchemeError = 518;
    static constexpr std::int64_t kFileWriteOutOfSpaceError = 640;

    // The operating system's version: VERSION_ID of the release information
    // (/etc/os-release, or /usr/lib/os-release when the former does not exist),
    // or "1.0.0" when there is none. Read once per process; never nothing.
    static VxStringPtr getSystemVersion();

    // The release-information files read by getSystemVersion, in order.
    static const std::vector<std::string>& defaultReleaseFilePaths();
    // VERSION_ID of the first of `paths` that exists, or "1.0.0" when none
    // exists or that file has no non-empty VERSION_ID. Not cached.
    static VxStringPtr systemVersionFromReleaseFiles(const std::vector<std::string>& paths);

    // The registered class named in the declaration's object type
    // (T@"ClassName" or T@"ClassName<Protocol>"); nothing for scalar types, a bare
    // "@", an unregistered name or no declaration.
    static const VxClass* classFromProperty(const CPropertyDeclaration* property);

    // "0x" and two hexadecimal digits per byte ("0x01ab", or "0x01AB" with
    // capitals); nothing for absent or empty bytes.
    static VxStringPtr hexStringFromVxData(const VxDataPtr& data, bool useCapitals);
    // "0x" and the number's value as an unsigned 64-bit integer in hexadecimal
    // without leading zeros ("0x0", "0xff"); negative values give their two's
    // complement pattern. Nothing for an absent number.
    static VxStringPtr hexStringFromVxNumber(const VxNumberPtr& number, bool useCapitals);

    // A CSV document: the header row of the first record, then one value row
    // per record. Nothing for an absent or empty array, or when an element is
    // not a record.
    static VxStringPtr csvStringFromModelArray(const VxArrayPtr& modelArray);
    // Writes csvStringFromModelArray of the records to the file URL as UTF-8.
    // The file is replaced atomically: it holds either its old content or the
    // whole new document, never a part. False without an error for an array
    // that gives no document; false with the error when the file cannot be
    // written.
    static bool writeModelArray(const VxArrayPtr& modelArray, const VxURLPtr& toCSVFile,
                                VxErrorPtr* error = nullptr);
};

// The operating system's version, as CModelUtilities::getSystemVersion()
// (with its own once-per-process cache).
DA_EXPORT VxStringPtr getSystemVersion();
