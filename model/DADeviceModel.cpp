#include "model/DADeviceModel.h"

#include "model/ModelConstants.h"

CPM_DEFINE_MODEL(DADeviceModel, CDictionaryModel);

DADeviceModel::DADeviceModel() {
    resetTestFields();
}

std::shared_ptr<CDictionaryModel> DADeviceModel::initWithDictionary(const Id& dictionary) {
    auto self = CDictionaryModel::initWithDictionary(dictionary);
    hashedSNString_ = nullptr;
    primaryDevice_ = false;
    resetTestFields();
    return self;
}

void DADeviceModel::dropData() {
    resetTestFields();
}

void DADeviceModel::resetTestFields() {
    std::lock_guard lock(fieldsLock_);
    clientStatus_ = vxstr(kDMIdleState);
    currentTest_ = vx::null();
    progress_ = VxNumber::numberWithInt(0);
    testResults_ = nullptr;
    testFileName_ = nullptr;
}

namespace {
// Strings are copied on set; an immutable string's copy is itself.
VxStringPtr copied(const VxStringPtr& v) {
    return v ? vx_cast<VxString>(v->copy()) : nullptr;
}
}  // namespace

VxStringPtr DADeviceModel::clientStatus() const {
    std::lock_guard lock(fieldsLock_);
    return clientStatus_;
}
void DADeviceModel::setClientStatus(const VxStringPtr& v) {
    auto c = copied(v);
    std::lock_guard lock(fieldsLock_);
    clientStatus_ = std::move(c);
}
Id DADeviceModel::currentTest() const {
    std::lock_guard lock(fieldsLock_);
    return currentTest_;
}
void DADeviceModel::setCurrentTest(const Id& v) {
    Id c = v ? v->copy() : nullptr;
    std::lock_guard lock(fieldsLock_);
    currentTest_ = std::move(c);
}
VxNumberPtr DADeviceModel::progress() const {
    std::lock_guard lock(fieldsLock_);
    return progress_;
}
void DADeviceModel::setProgress(const VxNumberPtr& v) {
    std::lock_guard lock(fieldsLock_);
    progress_ = v;
}
Id DADeviceModel::testResults() const {
    std::lock_guard lock(fieldsLock_);
    return testResults_;
}
void DADeviceModel::setTestResults(const Id& v) {
    std::lock_guard lock(fieldsLock_);
    testResults_ = v;
}
VxStringPtr DADeviceModel::testFileName() const {
    std::lock_guard lock(fieldsLock_);
    return testFileName_;
}
void DADeviceModel::setTestFileName(const VxStringPtr& v) {
    auto c = copied(v);
    std::lock_guard lock(fieldsLock_);
    testFileName_ = std::move(c);
}

namespace {

const DADeviceModel& device(const CPropertyModel& m) {
    return static_cast<const DADeviceModel&>(m);
}
DADeviceModel& device(CPropertyModel& m) {
    return static_cast<DADeviceModel&>(m);
}

template <class T>
std::shared_ptr<T> objectArg(const CPropertyValue& v, bool& ok) {
    ok = false;
    const Id* obj = std::get_if<Id>(&v);
    if (!obj) return nullptr;
    if (!*obj) {
        ok = true;
        return nullptr;
    }
    auto typed = vx_cast<T>(*obj);
    ok = typed != nullptr;
    return typed;
}

}  // namespace

void DADeviceModel::registerAccessors(CPropertyAccessorTable& table) {
    table.addGetter("isPrimaryDevice", "B@:", [](const CPropertyModel& m) -> CPropertyValue {
        return device(m).isPrimaryDevice();
    });
    table.addSetter("setPrimaryDevice:", "v@:B", [](CPropertyModel& m, const CPropertyValue& v) {
        const bool* b = std::get_if<bool>(&v);
        if (!b) return false;
        device(m).setPrimaryDevice(*b);
        return true;
    });
    auto stringField = [&table](const char* getter, const char* setter,
                                VxStringPtr (DADeviceModel::*get)() const,
                                void (DADeviceModel::*set)(const VxStringPtr&)) {
        table.addGetter(getter, "@@:", [get](const CPropertyModel& m) -> CPropertyValue {
            return Id((device(m).*get)());
        });
        table.addSetter(setter, "v@:@", [set](CPropertyModel& m, const CPropertyValue& v) {
            bool ok = false;
            auto s = objectArg<VxString>(v, ok);
            if (ok) (device(m).*set)(s);
            return ok;
        });
    };
    stringField("hashedSNString", "setHashedSNString:", &DADeviceModel::hashedSNString,
                &DADeviceModel::setHashedSNString);
    stringField("clientStatus", "setClientStatus:", &DADeviceModel::clientStatus,
                &DADeviceModel::setClientStatus);
    stringField("testFileName", "setTestFileName:", &DADeviceModel::testFileName,
                &DADeviceModel::setTestFileName);
    table.addGetter("currentTest", "@@:", [](const CPropertyModel& m) -> CPropertyValue {
        return device(m).currentTest();
    });
    table.addSetter("setCurrentTest:", "v@:@", [](CPropertyModel& m, const CPropertyValue& v) {
        const Id* obj = std::get_if<Id>(&v);
        if (!obj) return false;
        device(m).setCurrentTest(*obj);
        return true;
    });
    table.addGetter("progress", "@@:", [](const CPropertyModel& m) -> CPropertyValue {
        return Id(device(m).progress());
    });
    table.addSetter("setProgress:", "v@:@", [](CPropertyModel& m, const CPropertyValue& v) {
        bool ok = false;
        auto n = objectArg<VxNumber>(v, ok);
        if (ok) device(m).setProgress(n);
        return ok;
    });
    table.addGetter("testResults", "@@:", [](const CPropertyModel& m) -> CPropertyValue {
        return device(m).testResults();
    });
    table.addSetter("setTestResults:", "v@:@", [](CPropertyModel& m, const CPropertyValue& v) {
        const Id* obj = std::get_if<Id>(&v);
        if (!obj) return false;
        device(m).setTestResults(*obj);
        return true;
    });
}
