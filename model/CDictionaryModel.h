#pragma once
// Records whose dynamic property values live in one mutable dictionary keyed
// by storage key: built from a dictionary (a decoded JSON object) and handed
// back as one (to be encoded as JSON).
//
// The storage is not locked: a record may be read from several threads, but a
// write must not overlap other use of the same record. Replacing the whole
// storage reference (setInternalDictionary) is atomic.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "model/CPropertyModel.h"
#include "platform/foundation/VxExport.h"

// "CDictionaryModelErrorDomain" and "CJsonModelErrorDomain". No operation
// produces errors in them.
DA_EXPORT extern const char* const CDictionaryModelErrorDomain;
DA_EXPORT extern const char* const CJsonModelErrorDomain;
// "com.tarvo.CDictionaryModel.internalDictionary"
DA_EXPORT extern const char* const CDictionaryModelArchiveKey;

class DA_EXPORT CDictionaryModel : public CPropertyModel {
    CPM_DECLARE_MODEL(CDictionaryModel)
  public:
    CDictionaryModel();
    ~CDictionaryModel() override;

    // initWithDictionary with nothing.
    std::shared_ptr<CPropertyModel> init() override;
    // Makes fresh storage and imports the dictionary's entries that belong to
    // dynamic properties (values of the wrong class are dropped). Returns the
    // record.
    virtual std::shared_ptr<CDictionaryModel> initWithDictionary(const Id& dictionary);

    // The storage reference itself (shared, not copied); nothing when the
    // record has no storage (read back from an archive without one).
    VxMutableDictionaryPtr internalDictionary() const;
    void setInternalDictionary(const VxMutableDictionaryPtr& storage);

    // An immutable copy of the storage, keyed by storage key (empty when the
    // record has no storage).
    VxDictionaryPtr dictionary() const;

    Id cpm_subclass_priv_getValueForProperty(std::string_view key) const override;
    void cpm_subclass_priv_setValue(const Id& value, std::string_view key) override;

    // A new record of the same class imported from this record's storage: the
    // values are shared and validated again.
    Id copyWithZone(void* zone = nullptr) const override;
    // Writes the storage under CDictionaryModelArchiveKey.
    void encodeWithCoder(VxKeyedArchiver& coder) const override;
    // Reads the storage back (only a dictionary is accepted); without the
    // entry the record has no storage. False refuses an entry of another class.
    bool initWithCoder(VxKeyedUnarchiver& coder) override;
    bool supportsSecureCoding() const override { return true; }

    // "<ClassName: 0x...> " followed by the storage's description.
    std::string description() const override;

  private:
    // Every change of the storage reference goes through here: it takes a new stamp.
    void replaceStorage(VxMutableDictionaryPtr storage);
    // The storage for the property hooks, without taking a reference when this
    // thread reached the same storage of this record last time; otherwise the
    // reference is taken into `hold`, which the caller keeps while it uses the
    // storage.
    VxMutableDictionary* storageForHooks(VxMutableDictionaryPtr& hold) const;
    VxMutableDictionaryPtr currentStorage() const;

    // The reference and its stamp change together under the lock; the stamp is
    // also read without it, by the hooks' quick check.
    mutable std::mutex storageLock_;
    VxMutableDictionaryPtr storage_;
    std::atomic<std::uint64_t> stamp_{0};
};

// A dictionary-backed record that adds nothing.
class DA_EXPORT CJsonModel : public CDictionaryModel {
    CPM_DECLARE_MODEL(CJsonModel)
  public:
    CJsonModel() = default;
};

using CDictionaryModelPtr = std::shared_ptr<CDictionaryModel>;
using CJsonModelPtr = std::shared_ptr<CJsonModel>;
