// Device identity: the serial identifier round trip and its shape, the
// singleton's values and the serial number answer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <thread>
#include <vector>

#include "VxBuildInfo.h"
#include "device/DAUtilities.h"
#include "support/TestEnv.h"

namespace {

VxStringPtr identify(const char* serial) {
    return DAUtilities::sharedInstance()->uuidHashFromString(vxstr(serial));
}

}  // namespace

TEST(DAUtilities, IdentifierCarriesTheFirstTwelveCharactersInScrambledOrder) {
    auto id = identify("ABCDEFGHIJKL");
    ASSERT_TRUE(id);
    EXPECT_EQ(id->length(), 52u);
    // U0-S2-U1-S0-U2-S3-U3-S1-U4 with upper-case hexadecimal UUID groups.
    std::regex shape(
        "[0-9A-F]{8}-GHI-[0-9A-F]{4}-ABC-[0-9A-F]{4}-JKL-[0-9A-F]{4}-DEF-[0-9A-F]{12}");
    EXPECT_TRUE(std::regex_match(id->str(), shape)) << id->str();
    EXPECT_EQ(DAUtilities::sharedInstance()->serialNumberFromHash(id)->str(), "ABCDEFGHIJKL");

    // Characters after the twelfth are not carried.
    auto longer = identify("ABCDEFGHIJKLMNO");
    ASSERT_TRUE(longer);
    EXPECT_EQ(longer->length(), 52u);
    EXPECT_EQ(DAUtilities::sharedInstance()->serialNumberFromHash(longer)->str(), "ABCDEFGHIJKL");

    // A fresh UUID every time: two identifiers differ, but only in the UUID groups.
    auto again = identify("ABCDEFGHIJKL");
    EXPECT_NE(again->str(), id->str());
    EXPECT_EQ(again->str().substr(8, 5), id->str().substr(8, 5));

    // Multi-byte characters are never cut in half.
    auto accented = identify(
        "\xC3\xA9\xC3\xA9\xC3\xA9"
        "DEFGHIJKL");
    ASSERT_TRUE(accented);
    EXPECT_EQ(DAUtilities::sharedInstance()->serialNumberFromHash(accented)->str(),
              "\xC3\xA9\xC3\xA9\xC3\xA9"
              "DEFGHIJKL");
}

TEST(DAUtilities, UnusableInputGivesNothingOrTheEmptyText) {
    auto utils = DAUtilities::sharedInstance();
    EXPECT_EQ(utils->uuidHashFromString(nullptr), nullptr);
    EXPECT_EQ(utils->uuidHashFromString(vxstr("")), nullptr);
    EXPECT_EQ(utils->uuidHashFromString(vxstr("ABCDEFGHIJK")), nullptr);  // 11 characters
    for (std::string bad : {std::string(51, 'A'), std::string(53, 'A'), std::string(52, 'A')}) {
        EXPECT_EQ(utils->serialNumberFromHash(vxstr(bad))->str(), "") << bad.size();
    }
    EXPECT_EQ(utils->serialNumberFromHash(nullptr)->str(), "");
}

TEST(DAUtilities, SingletonValuesComeFromTheBuild) {
    std::vector<DAUtilitiesPtr> seen(8);
    std::vector<std::thread> threads;
    for (auto& slot : seen) threads.emplace_back([&slot] { slot = DAUtilities::sharedInstance(); });
    for (auto& t : threads) t.join();
    for (const auto& s : seen) EXPECT_EQ(s, seen.front());

    auto utils = DAUtilities::sharedInstance();
    EXPECT_EQ(utils->appPlatform()->str(), "Kelo");
    EXPECT_EQ(utils->applicationVersion()->str(), DA_APPLICATION_VERSION);
    EXPECT_EQ(utils->applicationBuild()->str(), DA_APPLICATION_BUILD);
    EXPECT_EQ(utils->osVersion(), nullptr);
    ASSERT_TRUE(utils->dateFormatter());  // its pattern: the device facts tests
    EXPECT_EQ(utils->dateFormatter()->localeIdentifier(), "en_US_POSIX");
    EXPECT_EQ(utils->dateFormatter()->secondsFromGMT(), 0);
    EXPECT_EQ(utils->dateFormatter()->formatterBehavior(), 1040u);
}

TEST(DAUtilities, SerialNumberComesFromTheDeviceAnswers) {
    da::test::TempDir dir;
    const std::string answers =
        dir.write("answers.json",
                  R"({"SerialNumber": "C02XYZ123456", "UserAssignedDeviceName": "Bench unit"})");
    da::test::ScopedEnv env("DA_DEVICE_ANSWERS", answers);
    auto utils = DAUtilities::sharedInstance();
    ASSERT_TRUE(utils->getSerialNumberForPrimaryDevice());
    EXPECT_EQ(utils->getSerialNumberForPrimaryDevice()->str(), "C02XYZ123456");
    EXPECT_EQ(vx::textOf(utils->getDeviceName()), "Bench unit");

    std::ofstream(answers) << R"({"SerialNumber": ""})";
    EXPECT_EQ(utils->getSerialNumberForPrimaryDevice(), nullptr);
}
