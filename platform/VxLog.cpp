#include "platform/VxLog.h"

#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

#include <spdlog/logger.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include "platform/VxPreferences.h"

namespace {

constexpr int kDefaultMaximumLevel = 7;
constexpr int kDefaultConsoleLevel = 3;
constexpr int kDefaultFileLevel = 3;

int envLevel(const char* name, int fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text) return fallback;
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0') return fallback;
    if (v < -1) v = -1;
    if (v > 100) v = 100;
    return static_cast<int>(v);
}

std::string defaultLogDirectory() {
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && xdg[0] == '/')
        return std::string(xdg) + "/diagnostics";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.local/state/diagnostics";
}

struct LogState {
    std::mutex mutex;
    std::map<std::string, VxLogSettings, std::less<>> registrations;
    std::string directory;
    std::atomic<int> maximumLevel{kDefaultMaximumLevel};
    std::atomic<int> consoleLevel{kDefaultConsoleLevel};
    std::shared_ptr<spdlog::logger> console;
    std::map<std::string, std::shared_ptr<spdlog::logger>, std::less<>> files;
    std::map<std::string, bool, std::less<>> fileFailed;  // reported once per log

    void readEnvironment() {
        maximumLevel = envLevel("DA_LOG_MAX_LEVEL", kDefaultMaximumLevel);
        consoleLevel = envLevel("DA_LOG_CONSOLE_LEVEL", kDefaultConsoleLevel);
        const char* dir = std::getenv("DA_LOG_DIR");
        directory = dir && *dir ? dir : defaultLogDirectory();
        for (auto& [name, logger] : files) logger->flush();
        files.clear();
        fileFailed.clear();
    }
};

// Never destroyed: lines may be written from static destructors of other units.
LogState& state() {
    static LogState* s = [] {
        auto* st = new LogState();
        st->readEnvironment();
        auto sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
        st->console = std::make_shared<spdlog::logger>("vx-console", sink);
        st->console->set_pattern("%v");
        st->console->set_level(spdlog::level::trace);
        st->console->flush_on(spdlog::level::trace);
        return st;
    }();
    return *s;
}

// The file logger of a log, opened on first use; nothing when it cannot be opened.
std::shared_ptr<spdlog::logger> fileLogger(LogState& s, std::string_view logName) {
    if (auto it = s.files.find(logName); it != s.files.end()) return it->second;
    if (s.fileFailed.count(logName)) return nullptr;
    std::string path = s.directory + "/" + std::string(logName) + ".log";
    try {
        auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, false);
        auto logger = std::make_shared<spdlog::logger>("vx-file-" + std::string(logName), sink);
        logger->set_pattern("%Y-%m-%d %H:%M:%S.%e [%P:%t] %v");
        logger->set_level(spdlog::level::trace);
        logger->flush_on(spdlog::level::trace);
        s.files.emplace(std::string(logName), logger);
        return logger;
    } catch (const std::exception& e) {
        s.fileFailed.emplace(std::string(logName), true);
        std::fprintf(stderr, "%s[%d] <3> Cannot open log file %s: %s\n",
                     std::string(logName).c_str(), static_cast<int>(getpid()), path.c_str(),
                     e.what());
        return nullptr;
    }
}

spdlog::level::level_enum spdlogLevel(int level) {
    if (level <= 3) return spdlog::level::err;
    if (level == 4) return spdlog::level::warn;
    if (level == 5) return spdlog::level::info;
    if (level == 6) return spdlog::level::debug;
    return spdlog::level::trace;
}

}  // namespace

bool VxLogRegisterCustomConfiguration(const std::vector<std::string>& names,
                                      const VxLogSettings& settings) {
    LogState& s = state();
    std::lock_guard lock(s.mutex);
    bool added = false;
    for (const std::string& name : names) {
        if (name.empty()) continue;
        VxLogSettings entry = settings;
        entry.logName = name;
        added |= s.registrations.emplace(name, std::move(entry)).second;
    }
    return added;
}

bool VxLogIsRegistered(std::string_view logName) {
    LogState& s = state();
    std::lock_guard lock(s.mutex);
    return s.registrations.find(logName) != s.registrations.end();
}

int VxLogProcessMaximumLevel() {
    return state().maximumLevel.load();
}

int VxLogCustomConsoleLevel(std::string_view) {
    return state().consoleLevel.load();
}

int VxLogCustomFileLevel(std::string_view logName) {
    LogState& s = state();
    VxLogSettings settings;
    {
        std::lock_guard lock(s.mutex);
        auto it = s.registrations.find(logName);
        if (it == s.registrations.end()) return kDefaultFileLevel;
        settings = it->second;
    }
    if (settings.defaultsDomain.empty() || settings.defaultsKey.empty()) return kDefaultFileLevel;
    VxPreferences& prefs = VxPreferences::standard();
    prefs.synchronize(settings.defaultsDomain);  // one stat() when the file is unchanged
    auto level = prefs.integerValue(settings.defaultsKey, settings.defaultsDomain);
    if (!level) return kDefaultFileLevel;
    if (*level < -1) return -1;
    if (*level > 100) return 100;
    return static_cast<int>(*level);
}

bool VxLogShouldLog(std::string_view logName, int level) {
    if (VxLogProcessMaximumLevel() < level) return false;
    return VxLogCustomConsoleLevel(logName) >= level || VxLogCustomFileLevel(logName) >= level;
}

void VxLogWrite(std::string_view logName, int level, std::string_view message) {
    if (VxLogProcessMaximumLevel() < level) return;
    bool toConsole = VxLogCustomConsoleLevel(logName) >= level;
    bool toFile = VxLogCustomFileLevel(logName) >= level;
    if (!toConsole && !toFile) return;
    LogState& s = state();
    std::string prefix = "<" + std::to_string(level) + "> ";
    if (toConsole) {
        s.console->log(spdlogLevel(level), "{}[{}] {}{}", logName, static_cast<int>(getpid()),
                       prefix, message);
    }
    if (toFile) {
        std::shared_ptr<spdlog::logger> file;
        {
            std::lock_guard lock(s.mutex);
            file = fileLogger(s, logName);
        }
        if (file) file->log(spdlogLevel(level), "{}{}", prefix, message);
    }
}

void VxSystemLog(std::string_view text) {
    std::string line(text);
    syslog(LOG_USER | LOG_WARNING, "%s", line.c_str());
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

std::string VxLogDirectory() {
    LogState& s = state();
    std::lock_guard lock(s.mutex);
    return s.directory;
}

void VxLogReloadEnvironment() {
    LogState& s = state();
    std::lock_guard lock(s.mutex);
    s.readEnvironment();
}

void VxLogResetRegistrationsForTesting() {
    LogState& s = state();
    std::lock_guard lock(s.mutex);
    s.registrations.clear();
}
