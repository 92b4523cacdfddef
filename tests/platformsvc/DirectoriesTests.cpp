#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <vector>

#include "VxInstallDirs.h"
#include "platform/linux/VxDirectories.h"
#include "platform/linux/VxPreferences.h"
#include "platformsvc/PlatformTestSupport.h"

namespace {

constexpr const char* kDomain = "com.tarvo.Diagnostics";

// Every variable that takes part in choosing a directory; each case starts with
// all of them unset and sets its own.
const char* const kVariables[] = {"DA_PREFERENCES_DIR",
                                  "DA_PREFERENCES_DEFAULTS_DIR",
                                  "DA_LOG_DIR",
                                  "LOGS_DIRECTORY",
                                  "STATE_DIRECTORY",
                                  "DA_BUS",
                                  "DBUS_STARTER_BUS_TYPE",
                                  "XDG_CONFIG_HOME",
                                  "XDG_STATE_HOME",
                                  "HOME"};

struct Env {
    std::vector<std::pair<const char*, const char*>> values;
};

class CleanEnvironment {
  public:
    explicit CleanEnvironment(const Env& env) {
        for (const char* name : kVariables) {
            const char* value = nullptr;
            for (const auto& [n, v] : env.values)
                if (std::string_view(n) == name) value = v;
            scoped_.push_back(std::make_unique<psvc::ScopedEnv>(
                name, value ? std::optional<std::string>(value) : std::nullopt));
        }
    }

  private:
    std::vector<std::unique_ptr<psvc::ScopedEnv>> scoped_;
};

const std::string kSystemLogs = DA_INSTALL_FULL_LOCALSTATEDIR "/log/diagnostics";
const std::string kSystemPrefs = DA_INSTALL_FULL_LOCALSTATEDIR "/lib/diagnostics/preferences";

TEST(Directories, LogDirectoryNeverFallsBackToASharedPlace) {
    struct Case {
        Env env;
        std::string expected;
    };
    const Case cases[] = {
        {{{{"DA_LOG_DIR", "/x/logs"}, {"LOGS_DIRECTORY", "/var/log/d"}}}, "/x/logs"},
        {{{{"LOGS_DIRECTORY", "/var/log/d:/var/log/e"}, {"HOME", "/home/u"}}}, "/var/log/d"},
        {{{{"DA_BUS", "system"}, {"HOME", "/root"}}}, kSystemLogs},
        {{{{"DBUS_STARTER_BUS_TYPE", "system"}}}, kSystemLogs},
        {{{{"STATE_DIRECTORY", "/var/lib/diagnostics"}}}, kSystemLogs},
        {{{{"XDG_STATE_HOME", "/home/u/st"}, {"HOME", "/home/u"}}}, "/home/u/st/diagnostics"},
        {{{{"XDG_STATE_HOME", "relative"}, {"HOME", "/home/u"}}},
         "/home/u/.local/state/diagnostics"},
        // No HOME (the bus's launch helper clears the environment), an empty or
        // a relative one: no log directory at all.
        {{}, ""},
        {{{{"HOME", ""}}}, ""},
        {{{{"HOME", "relative"}, {"LOGS_DIRECTORY", "also-relative"}}}, ""},
    };
    for (const Case& c : cases) {
        CleanEnvironment env(c.env);
        EXPECT_EQ(VxDirectories::logDirectory(), c.expected)
            << (c.env.values.empty() ? "(empty)" : c.env.values.front().first);
    }
}

TEST(Directories, PreferencesOfTheSystemServiceLiveInItsStateDirectory) {
    struct Case {
        Env env;
        std::string preferences;
        std::string defaults;
    };
    const std::string etc = DA_INSTALL_FULL_SYSCONFDIR "/diagnostics";
    const Case cases[] = {
        {{{{"DA_PREFERENCES_DIR", "/p"}, {"DA_BUS", "system"}}}, "/p", ""},
        {{{{"DA_PREFERENCES_DIR", "/p"}, {"DA_PREFERENCES_DEFAULTS_DIR", "/d"}}}, "/p", "/d"},
        {{{{"STATE_DIRECTORY", "/var/lib/x:/var/lib/y"}}}, "/var/lib/x/preferences", etc},
        {{{{"DBUS_STARTER_BUS_TYPE", "system"}, {"HOME", "/root"}}}, kSystemPrefs, etc},
        {{{{"XDG_CONFIG_HOME", "/home/u/cfg"}, {"HOME", "/home/u"}}},
         "/home/u/cfg/diagnostics",
         etc},
        {{{{"HOME", "/home/u"}}}, "/home/u/.config/diagnostics", etc},
    };
    for (const Case& c : cases) {
        CleanEnvironment env(c.env);
        EXPECT_EQ(VxDirectories::preferencesDirectory(), c.preferences);
        EXPECT_EQ(VxDirectories::preferencesDefaultsDirectory(), c.defaults);
    }
    // Without HOME the user's directory comes from the password database, never /tmp.
    CleanEnvironment none({});
    EXPECT_EQ(VxDirectories::preferencesDirectory().rfind("/tmp", 0), std::string::npos);
}

TEST(Directories, AdministratorDefaultsBackMissingKeysAndAreNeverWritten) {
    psvc::TempDir dir;
    psvc::writeFile(dir / "etc/com.tarvo.Diagnostics.json",
                    R"({"Server": 5, "CustomServerURL": "http://a/", "DALogLevel": 6})");
    CleanEnvironment env({{{"DA_PREFERENCES_DIR", nullptr}}});
    psvc::ScopedEnv prefs("DA_PREFERENCES_DIR", dir / "state");
    psvc::ScopedEnv defaults("DA_PREFERENCES_DEFAULTS_DIR", dir / "etc");

    VxPreferences store;
    ASSERT_TRUE(store.synchronize(kDomain));
    EXPECT_EQ(store.unsignedIntegerValue("Server", kDomain), 5u);
    EXPECT_EQ(store.integerValue("DALogLevel", kDomain), 6);

    // The store's own file wins; removing its key shows the default again.
    ASSERT_TRUE(store.setValue(VxNumber::numberWithInt(1), "Server", kDomain));
    ASSERT_TRUE(store.setValue(vxstr("S-1"), "currentSessionID", kDomain));
    store.synchronize(kDomain);
    EXPECT_EQ(store.unsignedIntegerValue("Server", kDomain), 1u);
    EXPECT_EQ(vx::textOf(store.copyValue("CustomServerURL", kDomain)), "http://a/");
    ASSERT_TRUE(store.setValue(nullptr, "Server", kDomain));
    store.synchronize(kDomain);
    EXPECT_EQ(store.unsignedIntegerValue("Server", kDomain), 5u);
    EXPECT_EQ(psvc::readFile(dir / "etc/com.tarvo.Diagnostics.json").find("currentSessionID"),
              std::string::npos);

    // A store fixed to one directory stands alone.
    VxPreferences fixed(dir / "state");
    EXPECT_EQ(fixed.copyValue("CustomServerURL", kDomain), nullptr);
}

TEST(Directories, TheProcessStoreFollowsEveryChangeOfTheEnvironment) {
    psvc::TempDir dir;
    for (const char* name : {"a", "b", "cfg/diagnostics"})
        psvc::writeFile(dir / (std::string(name) + "/com.tarvo.Diagnostics.json"),
                        std::string(R"({"Where": ")") + name + "\"}");
    psvc::writeFile(dir / "etc/com.tarvo.Diagnostics.json", R"({"Default": "etc"})");
    CleanEnvironment clean({{{"DA_PREFERENCES_DIR", nullptr}}});
    VxPreferences store;
    auto where = [&] { return vx::textOf(store.copyValue("Where", kDomain)); };

    // A variable set, overwritten (the environment's table keeps its place)
    // and set back to an earlier text.
    setenv("DA_PREFERENCES_DIR", (dir / "a").c_str(), 1);
    EXPECT_EQ(where(), "a");
    setenv("DA_PREFERENCES_DIR", (dir / "b").c_str(), 1);
    EXPECT_EQ(where(), "b");
    setenv("DA_PREFERENCES_DIR", (dir / "a").c_str(), 1);
    EXPECT_EQ(where(), "a");
    // A variable added, then removed again.
    EXPECT_EQ(store.copyValue("Default", kDomain), nullptr);
    setenv("DA_PREFERENCES_DEFAULTS_DIR", (dir / "etc").c_str(), 1);
    EXPECT_EQ(vx::textOf(store.copyValue("Default", kDomain)), "etc");
    unsetenv("DA_PREFERENCES_DEFAULTS_DIR");
    EXPECT_EQ(store.copyValue("Default", kDomain), nullptr);
    // The explicit directory removed: the next rule in line answers.
    setenv("XDG_CONFIG_HOME", (dir / "cfg").c_str(), 1);
    unsetenv("DA_PREFERENCES_DIR");
    EXPECT_EQ(where(), "cfg/diagnostics");
    EXPECT_EQ(store.directory(), dir / "cfg/diagnostics");
}

TEST(Directories, EnvironmentStampNoticesEveryKindOfChange) {
    CleanEnvironment clean({});
    VxDirectories::EnvironmentStamp stamp;
    EXPECT_FALSE(stamp.current());  // never taken
    stamp.take();
    EXPECT_TRUE(stamp.current());
    setenv("DA_PREFERENCES_DIR", "/one", 1);  // added
    EXPECT_FALSE(stamp.current());
    stamp.take();
    setenv("DA_PREFERENCES_DIR", "/two", 1);  // overwritten in place
    EXPECT_FALSE(stamp.current());
    stamp.take();
    setenv("HOME", "/home/u", 1);
    stamp.take();
    unsetenv("DA_PREFERENCES_DIR");  // removed from before another entry
    EXPECT_FALSE(stamp.current());
    stamp.take();
    EXPECT_TRUE(stamp.current());
}

TEST(Directories, PreferenceFilesAreGroupSharedOnlyInASetGroupIdDirectory) {
    psvc::TempDir dir;
    struct Case {
        const char* name;
        mode_t directoryMode;
        mode_t fileMode;
    };
    for (const Case& c : {Case{"private", 0700, 0600}, Case{"shared", 02770, 0660},
                          Case{"group-writable, no set-group-id", 0770, 0600}}) {
        std::string path = dir / c.name;
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        ASSERT_EQ(chmod(path.c_str(), c.directoryMode), 0);
        VxPreferences store(path);
        ASSERT_TRUE(store.setValue(vxstr("S-1"), "currentSessionID", kDomain));
        struct stat st {};
        ASSERT_EQ(stat(store.pathForDomain(kDomain).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.fileMode) << c.name;
    }
}

}  // namespace
