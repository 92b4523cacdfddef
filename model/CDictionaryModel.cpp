#include "model/CDictionaryModel.h"

#include <utility>

#include "platform/foundation/VxFormat.h"

const char* const CDictionaryModelErrorDomain = "CDictionaryModelErrorDomain";
const char* const CJsonModelErrorDomain = "CJsonModelErrorDomain";
const char* const CDictionaryModelArchiveKey = "com.tarvo.CDictionaryModel.internalDictionary";

CPM_DEFINE_MODEL(CDictionaryModel, CPropertyModel);
CPM_DEFINE_MODEL(CJsonModel, CDictionaryModel);

namespace {

// Stamps name a storage reference of one record: every replacement of any
// record's storage takes a new one, so a stamp never comes back.
std::atomic<std::uint64_t> gNextStamp{1};

// The storage this thread last reached through the property hooks, by stamp.
// The hooks run for every typed get and set, and taking the lock and a
// reference each time would cost them about as much as the dictionary lookup
// itself. A record whose stamp still matches hands out the remembered storage
// instead: it is the record's current one, and the reference kept here keeps
// it alive even while another thread replaces it. At most one storage per
// thread is kept beyond its record's life, and none when the record ends on
// the thread that used it last.
// (One plain record, so that a hook finds both with one thread-local access.)
struct RememberedStorage {
    std::uint64_t stamp;
    VxMutableDictionary* storage;
};
thread_local RememberedStorage tRemembered;
thread_local VxMutableDictionaryPtr tKept;

}  // namespace

CDictionaryModel::CDictionaryModel() {
    replaceStorage(VxMutableDictionary::dictionaryWithCapacity(1));
}

CDictionaryModel::~CDictionaryModel() {
    RememberedStorage& remembered = tRemembered;
    if (remembered.stamp != stamp_.load(std::memory_order_relaxed)) return;
    remembered = {0, nullptr};
    // Released after the thread's slot is clear: releasing may run destructors
    // of the stored values, which may use records themselves.
    VxMutableDictionaryPtr released = std::move(tKept);
}

void CDictionaryModel::replaceStorage(VxMutableDictionaryPtr storage) {
    VxMutableDictionaryPtr replaced;
    {
        std::lock_guard lock(storageLock_);
        replaced = std::exchange(storage_, std::move(storage));
        stamp_.store(gNextStamp.fetch_add(1, std::memory_order_relaxed), std::memory_order_release);
    }
    // `replaced` goes here, outside the lock: its values' destructors may use records.
}

VxMutableDictionaryPtr CDictionaryModel::currentStorage() const {
    std::lock_guard lock(storageLock_);
    return storage_;
}

VxMutableDictionary* CDictionaryModel::storageForHooks(VxMutableDictionaryPtr& hold) const {
    RememberedStorage& remembered = tRemembered;
    if (stamp_.load(std::memory_order_acquire) == remembered.stamp) return remembered.storage;
    std::uint64_t stamp = 0;
    {
        std::lock_guard lock(storageLock_);
        hold = storage_;
        stamp = stamp_.load(std::memory_order_relaxed);
    }
    // The storage remembered before goes last, once the slot names this one:
    // releasing it may run record code that takes the slot over, and `hold`
    // keeps this storage alive for the caller all the same.
    VxMutableDictionaryPtr previous = std::move(tKept);
    tKept = hold;
    tRemembered = {stamp, hold.get()};
    return hold.get();
}

std::shared_ptr<CPropertyModel> CDictionaryModel::init() {
    return initWithDictionary(nullptr);
}

std::shared_ptr<CDictionaryModel> CDictionaryModel::initWithDictionary(const Id& dictionary) {
    CPropertyModel::init();
    const VxClass& cls = isa();
    // Room for every key the record can hold: its property names and the
    // storage keys of its translation dictionary.
    std::size_t expected = 0;
    if (VxArrayPtr names = CPropertyModel::propertyNames(cls)) expected += names->count();
    if (VxDictionaryPtr translation = CPropertyModel::getTranslationDictionary(cls))
        expected += translation->count();
    VxMutableDictionaryPtr storage =
        VxMutableDictionary::dictionaryWithCapacity(expected > 0 ? expected : 1);
    if (!storage) return nullptr;
    replaceStorage(storage);
    auto input = vx_cast<VxDictionary>(dictionary);
    if (input && !input->empty()) setPropertyValuesFromDictionary(input);
    return std::static_pointer_cast<CDictionaryModel>(shared_from_this());
}

VxMutableDictionaryPtr CDictionaryModel::internalDictionary() const {
    return currentStorage();
}

void CDictionaryModel::setInternalDictionary(const VxMutableDictionaryPtr& storage) {
    replaceStorage(storage);
}

VxDictionaryPtr CDictionaryModel::dictionary() const {
    VxMutableDictionaryPtr storage = currentStorage();
    if (!storage) return VxDictionary::dictionary();
    return vx_cast<VxDictionary>(storage->copy());
}

Id CDictionaryModel::cpm_subclass_priv_getValueForProperty(std::string_view key) const {
    VxMutableDictionaryPtr hold;
    VxMutableDictionary* storage = storageForHooks(hold);
    return storage ? storage->objectForKey(key) : nullptr;
}

void CDictionaryModel::cpm_subclass_priv_setValue(const Id& value, std::string_view key) {
    VxMutableDictionaryPtr hold;
    VxMutableDictionary* storage = storageForHooks(hold);
    if (!storage) return;
    if (value)
        storage->setObject(value, key);
    else
        storage->removeObjectForKey(key);
}

Id CDictionaryModel::copyWithZone(void*) const {
    Id fresh = isa().createInstance();
    auto copy = vx_cast<CDictionaryModel>(fresh);
    if (!copy) return fresh;
    VxMutableDictionaryPtr storage = currentStorage();
    copy->initWithDictionary(storage);
    return copy;
}

void CDictionaryModel::encodeWithCoder(VxKeyedArchiver& coder) const {
    coder.encodeObject(currentStorage(), CDictionaryModelArchiveKey);
}

bool CDictionaryModel::initWithCoder(VxKeyedUnarchiver& coder) {
    initWithDictionary(nullptr);
    if (!coder.containsValueForKey(CDictionaryModelArchiveKey)) {
        replaceStorage(nullptr);
        return true;
    }
    Id stored = supportsSecureCoding()
                    ? coder.decodeObjectOfClass(VxMutableDictionary::classObject(),
                                                CDictionaryModelArchiveKey)
                    : coder.decodeObjectForKey(CDictionaryModelArchiveKey);
    auto dictionary = vx_cast<VxDictionary>(stored);
    if (!dictionary) {
        replaceStorage(nullptr);
        return false;
    }
    replaceStorage(vx_cast<VxMutableDictionary>(dictionary->mutableCopy()));
    return true;
}

std::string CDictionaryModel::description() const {
    VxMutableDictionaryPtr storage = currentStorage();
    return vx::format("<%@: %p> %@", className(), static_cast<const void*>(this), storage);
}
