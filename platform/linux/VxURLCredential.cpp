#include "platform/linux/VxURLCredential.h"

#include "platform/foundation/VxFormat.h"

VX_DEFINE_CLASS(VxURLCredential, VxObject, {});

VxURLCredential::VxURLCredential(VxStringPtr user, VxStringPtr password,
                                 VxURLCredentialPersistence persistence)
    : user_(std::move(user)), password_(std::move(password)), persistence_(persistence) {}

VxURLCredentialPtr VxURLCredential::credentialWithUser(const VxStringPtr& user,
                                                       const VxStringPtr& password,
                                                       VxURLCredentialPersistence persistence) {
    if (!user || !password) return nullptr;
    return std::make_shared<VxURLCredential>(user, password, persistence);
}

bool VxURLCredential::isEqual(const VxObject& other) const {
    auto* o = dynamic_cast<const VxURLCredential*>(&other);
    return o && vxEqual(user_, o->user_) && vxEqual(password_, o->password_) &&
           persistence_ == o->persistence_;
}

std::size_t VxURLCredential::hash() const {
    return user_ ? user_->hash() : 0;
}

std::string VxURLCredential::description() const {
    return vx::format("<VxURLCredential: %p>: %@", static_cast<const void*>(this), user_);
}
