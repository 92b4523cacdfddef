#include "platform/foundation/VxError.h"

#include "platform/foundation/VxFormat.h"

const char* const VxLocalizedDescriptionKey = "VxLocalizedDescription";
const char* const VxLocalizedFailureReasonErrorKey = "VxLocalizedFailureReason";
const char* const VxUnderlyingErrorKey = "VxUnderlyingError";
const char* const VxFilePathErrorKey = "VxFilePath";
const char* const VxURLErrorKey = "VxURL";

VX_DEFINE_CLASS(VxError, VxObject, {});

VxError::VxError(std::string domain, std::int64_t code, VxDictionaryPtr userInfo)
    : domain_(std::move(domain)), code_(code) {
    // Errors are values: keep an immutable copy of the information.
    userInfo_ = userInfo ? vx_cast<VxDictionary>(userInfo->copy()) : VxDictionary::dictionary();
}

VxErrorPtr VxError::errorWithDomain(std::string domain, std::int64_t code,
                                    VxDictionaryPtr userInfo) {
    return std::make_shared<VxError>(std::move(domain), code, std::move(userInfo));
}

VxErrorPtr VxError::errorWithDomain(std::string domain, std::int64_t code,
                                    std::string_view localizedDescription,
                                    std::string_view failureReason) {
    auto info = VxMutableDictionary::dictionary();
    if (!localizedDescription.empty())
        info->setObject(vxstr(std::string(localizedDescription)), VxLocalizedDescriptionKey);
    if (!failureReason.empty())
        info->setObject(vxstr(std::string(failureReason)), VxLocalizedFailureReasonErrorKey);
    return errorWithDomain(std::move(domain), code, info);
}

std::string VxError::localizedDescription() const {
    if (auto text = vx::nonEmptyString(userInfo_->objectForKey(VxLocalizedDescriptionKey)))
        return text->str();
    return vx::format("The operation couldn't be completed. (%@ error %lld.)", domain_, code_);
}

VxStringPtr VxError::localizedFailureReason() const {
    return vx_cast<VxString>(userInfo_->objectForKey(VxLocalizedFailureReasonErrorKey));
}

bool VxError::isEqual(const VxObject& other) const {
    auto* e = dynamic_cast<const VxError*>(&other);
    return e && e->domain_ == domain_ && e->code_ == code_ && e->userInfo_->isEqual(*userInfo_);
}

std::size_t VxError::hash() const {
    return std::hash<std::string>()(domain_) ^ static_cast<std::size_t>(code_);
}

std::string VxError::description() const {
    return vx::format("Error Domain=%@ Code=%lld \"%@\" UserInfo=%@", domain_, code_,
                      localizedDescription(), userInfo_->descriptionInline());
}
