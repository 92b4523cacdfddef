#include "model/CDictionaryModel.h"

#include "platform/foundation/VxFormat.h"

const char* const CDictionaryModelErrorDomain = "CDictionaryModelErrorDomain";
const char* const CJsonModelErrorDomain = "CJsonModelErrorDomain";
const char* const CDictionaryModelArchiveKey = "com.tarvo.CDictionaryModel.internalDictionary";

CPM_DEFINE_MODEL(CDictionaryModel, CPropertyModel);
CPM_DEFINE_MODEL(CJsonModel, CDictionaryModel);

CDictionaryModel::CDictionaryModel() : storage_(VxMutableDictionary::dictionaryWithCapacity(1)) {}

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
    storage_.store(storage);
    auto input = vx_cast<VxDictionary>(dictionary);
    if (input && !input->empty()) setPropertyValuesFromDictionary(input);
    return std::static_pointer_cast<CDictionaryModel>(shared_from_this());
}

VxMutableDictionaryPtr CDictionaryModel::internalDictionary() const {
    return storage_.load();
}

void CDictionaryModel::setInternalDictionary(const VxMutableDictionaryPtr& storage) {
    storage_.store(storage);
}

VxDictionaryPtr CDictionaryModel::dictionary() const {
    VxMutableDictionaryPtr storage = storage_.load();
    if (!storage) return VxDictionary::dictionary();
    return vx_cast<VxDictionary>(storage->copy());
}

Id CDictionaryModel::cpm_subclass_priv_getValueForProperty(std::string_view key) const {
    VxMutableDictionaryPtr storage = storage_.load();
    return storage ? storage->objectForKey(key) : nullptr;
}

void CDictionaryModel::cpm_subclass_priv_setValue(const Id& value, std::string_view key) {
    VxMutableDictionaryPtr storage = storage_.load();
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
    VxMutableDictionaryPtr storage = storage_.load();
    copy->initWithDictionary(storage);
    return copy;
}

void CDictionaryModel::encodeWithCoder(VxKeyedArchiver& coder) const {
    coder.encodeObject(storage_.load(), CDictionaryModelArchiveKey);
}

bool CDictionaryModel::initWithCoder(VxKeyedUnarchiver& coder) {
    initWithDictionary(nullptr);
    if (!coder.containsValueForKey(CDictionaryModelArchiveKey)) {
        storage_.store(nullptr);
        return true;
    }
    Id stored = supportsSecureCoding()
                    ? coder.decodeObjectOfClass(VxMutableDictionary::classObject(),
                                                CDictionaryModelArchiveKey)
                    : coder.decodeObjectForKey(CDictionaryModelArchiveKey);
    auto dictionary = vx_cast<VxDictionary>(stored);
    if (!dictionary) {
        storage_.store(nullptr);
        return false;
    }
    storage_.store(vx_cast<VxMutableDictionary>(dictionary->mutableCopy()));
    return true;
}

std::string CDictionaryModel::description() const {
    VxMutableDictionaryPtr storage = storage_.load();
    return vx::format("<%@: %p> %@", className(), static_cast<const void*>(this), storage);
}
