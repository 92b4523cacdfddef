#pragma once
// Credential records of the HTTP loading facility: a user name and password
// that a loading session offers when a server asks for authentication, with
// the time for which the credential is kept.

#include <cstdint>
#include <memory>

#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxValues.h"

enum VxURLCredentialPersistence : std::uint64_t {
    VxURLCredentialPersistenceNone = 0,        // used for one request only
    VxURLCredentialPersistenceForSession = 1,  // kept for the life of the loading session
    VxURLCredentialPersistencePermanent = 2,   // kept in the user's credential store
};

class VxURLCredential;
using VxURLCredentialPtr = std::shared_ptr<VxURLCredential>;

class DA_EXPORT VxURLCredential : public VxObject {
    VX_DECLARE_CLASS(VxURLCredential)
  public:
    VxURLCredential(VxStringPtr user, VxStringPtr password, VxURLCredentialPersistence persistence);
    // Nothing when the user or the password is absent; empty texts are accepted.
    static VxURLCredentialPtr credentialWithUser(const VxStringPtr& user,
                                                 const VxStringPtr& password,
                                                 VxURLCredentialPersistence persistence);

    const VxStringPtr& user() const { return user_; }
    const VxStringPtr& password() const { return password_; }
    bool hasPassword() const { return password_ != nullptr; }
    VxURLCredentialPersistence persistence() const { return persistence_; }

    bool isEqual(const VxObject& other) const override;
    std::size_t hash() const override;
    // "<VxURLCredential: 0x...>: user" (the password is never shown).
    std::string description() const override;

  private:
    VxStringPtr user_;
    VxStringPtr password_;
    VxURLCredentialPersistence persistence_;
};
