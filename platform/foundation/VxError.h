#pragma once
// The error record: a domain, a signed 64-bit code and a user-information
// dictionary that may carry a localized description and a failure reason.
//
// Operations that can fail take an optional last out-parameter
// `VxErrorPtr* error = nullptr`; when one is given it is always written before
// the operation returns (the error on failure, nothing otherwise). The helper
// vxSetError does exactly that.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxValues.h"

class VxError;
using VxErrorPtr = std::shared_ptr<VxError>;

// User-information keys.
DA_EXPORT extern const char* const VxLocalizedDescriptionKey;         // "VxLocalizedDescription"
DA_EXPORT extern const char* const VxLocalizedFailureReasonErrorKey;  // "VxLocalizedFailureReason"
DA_EXPORT extern const char* const VxUnderlyingErrorKey;              // "VxUnderlyingError"
DA_EXPORT extern const char* const VxFilePathErrorKey;                // "VxFilePath"
DA_EXPORT extern const char* const VxURLErrorKey;                     // "VxURL"

class DA_EXPORT VxError : public VxObject {
    VX_DECLARE_CLASS(VxError)
  public:
    VxError(std::string domain, std::int64_t code, VxDictionaryPtr userInfo);
    static VxErrorPtr errorWithDomain(std::string domain, std::int64_t code,
                                      VxDictionaryPtr userInfo = nullptr);
    // An error whose user information holds only the given localized description
    // and/or failure reason (an empty text leaves the entry out).
    static VxErrorPtr errorWithDomain(std::string domain, std::int64_t code,
                                      std::string_view localizedDescription,
                                      std::string_view failureReason);

    const std::string& domain() const { return domain_; }
    std::int64_t code() const { return code_; }
    // Never absent: an empty dictionary when none was given.
    const VxDictionaryPtr& userInfo() const { return userInfo_; }

    // The user information's localized description, or
    // "The operation couldn't be completed. (DOMAIN error CODE.)".
    std::string localizedDescription() const;
    // The user information's failure reason, or nothing.
    VxStringPtr localizedFailureReason() const;

    bool isEqual(const VxObject& other) const override;
    std::size_t hash() const override;
    // One line: Error Domain=D Code=C "LOCALIZED DESCRIPTION" UserInfo={...}
    std::string description() const override;

  private:
    std::string domain_;
    std::int64_t code_;
    VxDictionaryPtr userInfo_;
};

// Writes `value` into the out-parameter when one was given.
inline void vxSetError(VxErrorPtr* out, VxErrorPtr value) {
    if (out) *out = std::move(value);
}
