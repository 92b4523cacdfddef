#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "model/DACommandResponse.h"
#include "model/DADeviceModel.h"
#include "model/DAStatusObject.h"
#include "model/ModelConstants.h"
#include "model/TestRecords.h"

namespace {

template <class T>
std::shared_ptr<T> roundTrip(const std::shared_ptr<T>& record, VxErrorPtr* error = nullptr) {
    VxDataPtr data = VxKeyedArchiver::archivedDataWithRootObject(record, true, error);
    if (!data) return nullptr;
    return vx_cast<T>(VxKeyedUnarchiver::unarchivedObjectOfClass(T::classObject(), data, error));
}

}  // namespace

TEST(DictionaryModel, DeviceModelPropertiesFieldsAndDropData) {
    // Registry order is the profile's and the CSV columns' order.
    std::string names;
    VxArrayPtr registry = DADeviceModel::propertyNames();
    for (const Id& name : *registry) names += vx::textOf(name) + " ";
    EXPECT_EQ(names,
              "deviceId deviceName nandCapacity meid imei wifiAddress bluetoothAddress iccid "
              "basebandVersion modelNumber deviceColor deviceType cpuArchitecture hasBaseband "
              "mlbSerialNumber currentBatteryLevel isBatteryCharging systemVersion systemBuild "
              "diagnosticsVersion diagnosticsBuild carrierBundleVersion systemUptime "
              "currentStandbyTime currentUsageTime ");

    auto device = DADeviceModel::create();
    EXPECT_EQ(device->clientStatus()->str(), "Idle");
    EXPECT_TRUE(vx::isNull(device->currentTest()));
    EXPECT_EQ(device->progress()->intValue(), 0);
    EXPECT_FALSE(device->isPrimaryDevice());
    EXPECT_FALSE(device->hashedSNString());

    EXPECT_TRUE(device->setDeviceId(vxstr("SER123")));
    EXPECT_TRUE(device->setImei(vx::null()));
    EXPECT_TRUE(device->setHasBaseband(true));
    EXPECT_TRUE(device->setIsBatteryCharging(false));
    // A number reached through Id is refused when stored, and says so (a
    // VxNumberPtr itself does not compile).
    EXPECT_FALSE(device->setDeviceName(Id(VxNumber::numberWithInt(5))));
    EXPECT_FALSE(device->deviceName());
    EXPECT_EQ(vx::textOf(std::get<Id>(device->performGetter("deviceId"))), "SER123");
    EXPECT_TRUE(device->performSetter("setHasBaseband:", false));
    EXPECT_FALSE(device->hasBaseband());

    device->setPrimaryDevice(true);
    device->setHashedSNString(vxstr("hash"));
    device->setClientStatus(vxstr(kDMTestInProgressState));
    device->setCurrentTest(vxstr("Battery"));
    device->setProgress(VxNumber::numberWithInt(50));
    device->setTestResults(VxArray::array());
    device->setTestFileName(vxstr("f.zip"));
    // The fields are reachable by accessor name and never reach the profile.
    EXPECT_TRUE(std::get<bool>(device->performGetter("isPrimaryDevice")));
    EXPECT_EQ(vx::textOf(std::get<Id>(device->performGetter("clientStatus"))), "TestInProgress");
    EXPECT_TRUE(device->performSetter("setTestFileName:", Id(vxstr("g.zip"))));
    EXPECT_FALSE(device->performSetter("setTestFileName:", Id(VxNumber::numberWithInt(1))));
    EXPECT_EQ(device->testFileName()->str(), "g.zip");
    auto profile = device->dictionary();
    EXPECT_EQ(profile->count(), 4u);
    EXPECT_FALSE(profile->objectForKey("clientStatus"));
    EXPECT_TRUE(vx::isNull(profile->objectForKey("imei")));

    device->dropData();
    EXPECT_EQ(device->clientStatus()->str(), "Idle");
    EXPECT_TRUE(vx::isNull(device->currentTest()));
    EXPECT_EQ(device->progress()->intValue(), 0);
    EXPECT_FALSE(device->testResults());
    EXPECT_FALSE(device->testFileName());
    EXPECT_TRUE(device->isPrimaryDevice());
    EXPECT_EQ(device->hashedSNString()->str(), "hash");
    EXPECT_EQ(vx::textOf(device->deviceId()), "SER123");

    // A copy re-imports the stored values but starts with fresh fields.
    auto copy = vx_cast<DADeviceModel>(device->copy());
    ASSERT_TRUE(copy);
    EXPECT_NE(copy, device);
    EXPECT_TRUE(copy->dictionary()->isEqual(*device->dictionary()));
    EXPECT_FALSE(copy->isPrimaryDevice());
    EXPECT_FALSE(copy->hashedSNString());
}

TEST(DictionaryModel, RecordsFromServerReplies) {
    auto reply = DACommandResponse::modelWithDictionary(VxDictionary::dictionaryWithPairs(
        {{"deviceId", vxstr("D1")},
         {"command", vxstr("start")},
         {"testId", vxstr("17")},
         {"data", VxDictionary::dictionaryWithPairs({{"k", vxstr("v")}})},
         {"progress", VxNumber::numberWithInt(3)},
         {"extra", vxstr("ignored")}}));
    EXPECT_FALSE(reply->testId());
    EXPECT_EQ(vx::textOf(reply->command()), "start");
    EXPECT_TRUE(vx_cast<VxDictionary>(reply->data()));
    EXPECT_EQ(reply->dictionary()->count(), 4u);
    EXPECT_FALSE(reply->dictionary()->objectForKey("extra"));

    auto make = [](const Id& code) {
        return DAStatusObject::modelWithDictionary(
            code ? VxDictionary::dictionaryWithPairs({{"code", code}}) : nullptr);
    };
    EXPECT_TRUE(make(vxstr("NoError"))->statusSuccess());
    for (const Id& code : {Id(vxstr("noerror")), Id(vxstr("")), vx::null(), Id()})
        EXPECT_FALSE(make(code)->statusSuccess()) << vx::textOf(code);
    EXPECT_EQ(make(nullptr)->dictionary()->count(), 0u);

    auto status = make(vxstr("NoError"));
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(status.get()));
    std::string description = status->description();
    std::string prefix = std::string("<DAStatusObject: ") + address + "> ";
    EXPECT_EQ(description.substr(0, prefix.size()), prefix);
    EXPECT_EQ(description.substr(prefix.size()), status->internalDictionary()->description());

    EXPECT_EQ(CJsonModel::propertyNames()->count(), 0u);
}

TEST(DictionaryModel, CopiesValidateStoredValuesAgain) {
    auto r = DACommandResponse::create();
    r->setDeviceId(vxstr("D1"));
    // Storage written around the routing: a value of the wrong class and an
    // entry that belongs to no property.
    r->internalDictionary()->setObject(vxstr("not a number"), "testId");
    r->internalDictionary()->setObject(vxstr("x"), "stray");
    auto copy = vx_cast<DACommandResponse>(r->copy());
    ASSERT_TRUE(copy);
    EXPECT_EQ(vx::textOf(copy->deviceId()), "D1");
    EXPECT_FALSE(copy->testId());
    EXPECT_EQ(copy->dictionary()->count(), 1u);
    // The copy has storage of its own.
    copy->setCommand(vxstr("stop"));
    EXPECT_FALSE(r->command());
    // The base class copies no values.
    auto base = std::make_shared<CPropertyModel>();
    EXPECT_TRUE(vx_cast<CPropertyModel>(base->copy()));
}

TEST(DictionaryModel, ArchiveRoundTripAndCorruptArchives) {
    auto device = DADeviceModel::create();
    device->setDeviceId(vxstr("SER"));
    device->setImei(vx::null());
    device->setHasBaseband(true);
    VxErrorPtr error;
    auto back = roundTrip(device, &error);
    ASSERT_TRUE(back) << vxDescription(error);
    EXPECT_FALSE(error);
    EXPECT_TRUE(back->dictionary()->isEqual(*device->dictionary()));
    EXPECT_TRUE(back->hasBaseband());
    back->setDeviceName(vxstr("new"));  // the read-back record accepts new values
    EXPECT_EQ(vx::textOf(back->deviceName()), "new");
    EXPECT_FALSE(device->deviceName());

    // An archive of a record without storage reads back without storage.
    auto bare = DAStatusObject::create();
    bare->setInternalDictionary(nullptr);
    auto bareBack = roundTrip(bare);
    ASSERT_TRUE(bareBack);
    EXPECT_FALSE(bareBack->internalDictionary());
    bareBack->setCode(vxstr("NoError"));
    EXPECT_FALSE(bareBack->code());
    EXPECT_EQ(bareBack->dictionary()->count(), 0u);

    // Damaged archives fail with an error, never a crash (a cut one never reaches
    // the record: the archive tests cover those).
    VxDataPtr data = VxKeyedArchiver::archivedDataWithRootObject(device, true);
    ASSERT_TRUE(data && data->length() > 8);
    for (std::size_t i = 0; i < data->length(); i += 7) {
        auto bytes = data->vector();
        bytes[i] ^= 0x5a;
        VxErrorPtr e;
        Id obj = VxKeyedUnarchiver::unarchivedObjectOfClass(DADeviceModel::classObject(),
                                                            VxData::dataWithVector(bytes), &e);
        EXPECT_TRUE(obj || e) << i;
    }
    // An archive whose storage entry is not a dictionary is refused.
    VxKeyedArchiver forged(true);
    forged.encodeObject(vxstr("not a dictionary"), CDictionaryModelArchiveKey);
    VxDataPtr forgedData = forged.encodedData();
    ASSERT_TRUE(forgedData);
    auto unarchiver = VxKeyedUnarchiver::unarchiverForReadingFromData(forgedData);
    ASSERT_TRUE(unarchiver);
    auto victim = std::make_shared<DAStatusObject>();
    EXPECT_FALSE(victim->initWithCoder(*unarchiver));
    EXPECT_FALSE(victim->internalDictionary());
}

TEST(DictionaryModel, StorageReplacedWhileOtherThreadsReadAndWrite) {
    // Readers see a value of the old storage or of the new one, never a freed
    // one, while another thread keeps replacing the storage reference.
    auto device = DADeviceModel::create();
    auto first = VxMutableDictionary::dictionary();
    first->setObject(vxstr("first"), "deviceId");
    auto second = VxMutableDictionary::dictionary();
    second->setObject(vxstr("second"), "deviceId");
    device->setInternalDictionary(first);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                const std::string id = vx::textOf(device->deviceId());
                if (id != "first" && id != "second") ++bad;
            }
        });
    }
    for (int i = 0; i < 20000; ++i) {
        // Fresh dictionaries too, so that replaced ones are really released.
        auto fresh = VxMutableDictionary::dictionary();
        fresh->setObject(vxstr(i % 2 ? "first" : "second"), "deviceId");
        device->setInternalDictionary(i % 3 == 0 ? fresh : (i % 2 ? first : second));
    }
    stop = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(bad.load(), 0);

    // A write after a replacement lands in the new storage, not the one this
    // thread read last.
    device->setInternalDictionary(first);
    EXPECT_EQ(vx::textOf(device->deviceId()), "first");
    device->setInternalDictionary(second);
    device->setDeviceName(vxstr("written"));
    EXPECT_EQ(vx::textOf(second->objectForKey("deviceName")), "written");
    EXPECT_FALSE(first->objectForKey("deviceName"));
}

TEST(DictionaryModel, EndedRecordsLeaveNoStorageBehind) {
    // Records made one after the other (often at the same address) never see
    // each other's values, and a record's storage goes with the record on the
    // thread that used it.
    std::weak_ptr<VxMutableDictionary> storage;
    for (int i = 0; i < 100; ++i) {
        auto device = DADeviceModel::create();
        EXPECT_FALSE(device->deviceId()) << i;
        device->setDeviceId(vxstr("SER-" + std::to_string(i)));
        EXPECT_EQ(vx::textOf(device->deviceId()), "SER-" + std::to_string(i));
        storage = device->internalDictionary();
    }
    EXPECT_TRUE(storage.expired());
    // Read on another thread and ended here: at most that thread keeps it, and
    // only until it reads another record or ends.
    auto device = DADeviceModel::create();
    device->setDeviceId(vxstr("other thread"));
    std::thread([&] { EXPECT_EQ(vx::textOf(device->deviceId()), "other thread"); }).join();
    storage = device->internalDictionary();
    device.reset();
    EXPECT_TRUE(storage.expired());
}

TEST(DictionaryModel, CsvRowsQuoteFieldsThatWouldBreakTheDocument) {
    auto row = TMRow::create();
    EXPECT_EQ(row->propertyNamesToCSV()->str(), "alpha,beta,gamma\n");
    EXPECT_EQ(row->propertyValuesToCSV()->str(), " , , \n");

    row->setAlpha(vxstr("plain"));
    row->setBeta(VxNumber::numberWithBool(true));
    row->setGamma(vx::null());
    EXPECT_EQ(row->propertyValuesToCSV()->str(), "plain,1, \n");

    row->setAlpha(vxstr("a,b"));
    row->setGamma(vxstr("say \"hi\"\nbye"));
    EXPECT_EQ(row->propertyValuesToCSV()->str(), "\"a,b\",1,\"say \"\"hi\"\"\nbye\"\n");
    row->setGamma(VxArray::arrayWithObjects({vxstr("x"), vxstr("y")}));
    std::string values = row->propertyValuesToCSV()->str();
    EXPECT_EQ(values.substr(0, 9), "\"a,b\",1,\"");  // an array's text holds a comma

    // Ordered names pick and order the columns; print names only the header.
    TMRow::setOrderedPropertyNames(VxArray::arrayWithObjects({vxstr("beta"), vxstr("alpha")}));
    EXPECT_EQ(row->propertyNamesToCSV()->str(), "beta,alpha\n");
    EXPECT_EQ(row->propertyValuesToCSV()->str(), "1,\"a,b\"\n");
    TMRow::setOrderedPrintNames(
        VxArray::arrayWithObjects({vxstr("Beta, the second"), vxstr("Alpha"), vx::null()}));
    EXPECT_EQ(row->propertyNamesToCSV()->str(), "\"Beta, the second\",Alpha,\n");
    TMRow::setOrderedPrintNames(nullptr);
    TMRow::setOrderedPropertyNames(nullptr);
    EXPECT_EQ(row->propertyNamesToCSV()->str(), "alpha,beta,gamma\n");

    EXPECT_EQ(TMEmpty::create()->propertyNamesToCSV()->str(), "\n");
    EXPECT_FALSE(std::make_shared<CPropertyModel>()->propertyValuesToCSV());
}
