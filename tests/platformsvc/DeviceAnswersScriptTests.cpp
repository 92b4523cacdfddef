// The root-only device facts step of the system unit: a shell script that
// copies the DMI serial numbers into the service's answers file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/foundation/VxJSON.h"
#include "platform/foundation/VxValues.h"
#include "platformsvc/PlatformTestSupport.h"

namespace {

const std::string kScript = DA_BINARY_DIR "/packaging/system/diagnosticsd-device-answers";

// Runs the script against a fake sysfs root; the answers file as an object.
VxDictionaryPtr runScript(const psvc::TempDir& dir) {
    std::string out = dir / "run/device-answers.json";
    std::filesystem::create_directories(dir / "run");
    std::string command = "env -i PATH=/usr/bin:/bin DA_SYSFS_ROOT='" + dir.path() +
                          "/root' DA_DEVICE_ANSWERS='" + out + "' /bin/sh '" + kScript + "'";
    if (std::system(command.c_str()) != 0) return nullptr;
    struct stat st {};
    if (stat(out.c_str(), &st) != 0 || (st.st_mode & 077) != 0) return nullptr;
    std::string text = psvc::readFile(out);
    return vx_cast<VxDictionary>(VxJSONSerialization::JSONObjectWithData(
        VxData::dataWithVector(std::vector<std::uint8_t>(text.begin(), text.end())), 0));
}

TEST(DeviceAnswersScript, CopiesSerialNumbersAsPrivateJsonAndLeavesOutWhatIsMissing) {
    struct Case {
        const char* product;  // nullptr: no file
        const char* deviceTree;
        const char* board;
        const char* serial;  // expected "SerialNumber", nullptr: absent
        const char* boardSerial;
    };
    const Case cases[] = {
        {"C39ABC123\n", nullptr, "MLB-77\n", "C39ABC123", "MLB-77"},
        // Device tree serial numbers end with a NUL byte; quotes and blanks never
        // reach the JSON text.
        {nullptr, "DT9", nullptr, "DT9", nullptr},
        {"\"; rm -rf / \"x", nullptr, nullptr, "rm-rfx", nullptr},
        {"   \n", nullptr, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        psvc::TempDir dir;
        if (c.product) psvc::writeFile(dir / "root/sys/class/dmi/id/product_serial", c.product);
        if (c.deviceTree)
            psvc::writeFile(dir / "root/proc/device-tree/serial-number",
                            std::string(c.deviceTree, std::strlen(c.deviceTree) + 1));
        if (c.board) psvc::writeFile(dir / "root/sys/class/dmi/id/board_serial", c.board);
        VxDictionaryPtr answers = runScript(dir);
        ASSERT_TRUE(answers) << (c.product ? c.product : "-");
        auto text = [&](const char* key) {
            auto value = vx_cast<VxString>(answers->objectForKey(key));
            return value ? value->str() : std::string();
        };
        EXPECT_EQ(text("SerialNumber"), c.serial ? c.serial : "");
        EXPECT_EQ(text("MLBSerialNumber"), c.boardSerial ? c.boardSerial : "");
        EXPECT_EQ(answers->count(), (c.serial ? 1u : 0u) + (c.boardSerial ? 1u : 0u));
    }
}

}  // namespace
