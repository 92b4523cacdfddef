#include "platform/linux/VxDirectories.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

#include "VxInstallDirs.h"

namespace {

std::string envText(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

// An absolute directory named by the variable, with a subdirectory appended.
std::string absoluteEnvDirectory(const char* name, std::string_view sub) {
    std::string value = envText(name);
    if (value.empty() || value.front() != '/') return {};
    return value + "/" + std::string(sub);
}

// The home directory for reading the user's own files: $HOME, else the password
// database; "" when neither gives an absolute path.
std::string homeDirectory() {
    std::string home = envText("HOME");
    if (!home.empty() && home.front() == '/') return home;
    struct passwd pw {};
    struct passwd* result = nullptr;
    char buf[4096];
    if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &result) == 0 && result && result->pw_dir &&
        result->pw_dir[0] == '/')
        return result->pw_dir;
    return {};
}

}  // namespace

namespace VxDirectories {

std::string firstAbsoluteEntry(const char* list) {
    if (!list) return {};
    std::string_view text(list);
    text = text.substr(0, text.find(':'));
    if (text.empty() || text.front() != '/') return {};
    return std::string(text);
}

bool isSystemService() {
    return envText("DA_BUS") == "system" || envText("DBUS_STARTER_BUS_TYPE") == "system" ||
           !firstAbsoluteEntry(std::getenv("STATE_DIRECTORY")).empty();
}

std::string preferencesDirectory() {
    if (std::string dir = envText("DA_PREFERENCES_DIR"); !dir.empty()) return dir;
    if (isSystemService()) {
        std::string state = firstAbsoluteEntry(std::getenv("STATE_DIRECTORY"));
        if (state.empty()) state = DA_INSTALL_FULL_LOCALSTATEDIR "/lib/diagnostics";
        return state + "/preferences";
    }
    if (std::string dir = absoluteEnvDirectory("XDG_CONFIG_HOME", "diagnostics"); !dir.empty())
        return dir;
    std::string home = homeDirectory();
    return home.empty() ? std::string() : home + "/.config/diagnostics";
}

std::string preferencesDefaultsDirectory() {
    if (std::string dir = envText("DA_PREFERENCES_DEFAULTS_DIR"); !dir.empty()) return dir;
    if (!envText("DA_PREFERENCES_DIR").empty()) return {};
    return DA_INSTALL_FULL_SYSCONFDIR "/diagnostics";
}

std::string logDirectory() {
    if (std::string dir = envText("DA_LOG_DIR"); !dir.empty()) return dir;
    if (std::string dir = firstAbsoluteEntry(std::getenv("LOGS_DIRECTORY")); !dir.empty())
        return dir;
    if (isSystemService()) return DA_INSTALL_FULL_LOCALSTATEDIR "/log/diagnostics";
    if (std::string dir = absoluteEnvDirectory("XDG_STATE_HOME", "diagnostics"); !dir.empty())
        return dir;
    // Only an explicit HOME: the password database's entry of a system user is
    // often "/" or a shared directory, never a place for our files.
    return absoluteEnvDirectory("HOME", ".local/state/diagnostics");
}

bool EnvironmentStamp::current() const {
    if (!taken_ || environ != table_) return false;
    if (!table_) return true;
    for (std::size_t i = 0;; ++i) {
        if (environ[i] != entries_[i]) return false;
        if (!entries_[i]) return true;
    }
}

void EnvironmentStamp::take() {
    table_ = environ;
    entries_.clear();
    if (table_)
        for (char** e = table_; *e; ++e) entries_.push_back(*e);
    entries_.push_back(nullptr);
    taken_ = true;
}

}  // namespace VxDirectories
