#include "platform/linux/VxLog.h"

#include <dlfcn.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

#include <spdlog/logger.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
// Only for the type of sd_journal_sendv (without the location-adding macro):
// the function comes from libsystemd, loaded at run time.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include <cstring>

#include "platform/linux/VxDirectories.h"
#include "platform/linux/VxPreferences.h"

namespace {

constexpr int kDefaultMaximumLevel = 7;
constexpr int kDefaultConsoleLevel = 3;
constexpr int kDefaultFileLevel = 3;
constexpr long kDefaultRotateBytes = 4L * 1024 * 1024;
constexpr long kDefaultRotateFiles = 4;
// The journal's client library. Loaded the first time a line goes to the
// journal, so that a process that never writes there does not map it.
constexpr const char* kJournalLibrary = "libsystemd.so.0";

using JournalSend = decltype(&sd_journal_sendv);

// sd_journal_sendv of `library`, or nothing with the reason in `why`. A loaded
// library stays loaded for the rest of the process.
JournalSend loadJournalSend(const std::string& library, std::string& why) {
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* error = dlerror();
        why = error ? error : "cannot load " + library;
        return nullptr;
    }
    auto* send = reinterpret_cast<JournalSend>(dlsym(handle, "sd_journal_sendv"));
    if (!send) {
        why = library + " has no sd_journal_sendv";
        dlclose(handle);
    }
    return send;
}

long envNumber(const char* name, long fallback, long low, long high) {
    const char* text = std::getenv(name);
    if (!text || !*text) return fallback;
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0') return fallback;
    return v < low ? low : v > high ? high : v;
}

int envLevel(const char* name, int fallback) {
    return static_cast<int>(envNumber(name, fallback, -1, 100));
}

// True when stderr is the journal stream that systemd set up for the service
// (JOURNAL_STREAM holds "<device>:<inode>" of that stream), or when
// DA_LOG_JOURNAL forces the choice ("1" on, "0" off).
bool journalWanted() {
    if (const char* force = std::getenv("DA_LOG_JOURNAL"); force && *force)
        return std::strcmp(force, "0") != 0;
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (!stream || !*stream) return false;
    unsigned long long dev = 0, ino = 0;
    if (std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2) return false;
    struct stat st {};
    return fstat(STDERR_FILENO, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}

// Makes the log directory (missing parts 0700) and checks that only this user
// can write it, so that nobody else can plant a link under a log file's name.
// "" when usable, else the problem.
std::string prepareDirectory(const std::string& dir) {
    if (dir.empty()) return "no log directory (set DA_LOG_DIR, LOGS_DIRECTORY or HOME)";
    if (dir.front() != '/') return "the log directory " + dir + " is not an absolute path";
    for (std::size_t pos = dir.find('/', 1);; pos = dir.find('/', pos + 1)) {
        std::string partial = dir.substr(0, pos);
        if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
            return "cannot create " + partial + ": " + std::strerror(errno);
        if (pos == std::string::npos) break;
    }
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return dir + " is not a directory";
    if (st.st_uid != geteuid()) return dir + " belongs to another user";
    if (st.st_mode & (S_IWGRP | S_IWOTH)) return dir + " is writable by other users";
    return {};
}

struct LogState {
    std::mutex mutex;
    // Shared, so that a line's level check takes a reference rather than
    // copying the texts.
    std::map<std::string, std::shared_ptr<const VxLogSettings>, std::less<>> registrations;
    // Moves whenever the registrations change (under the mutex).
    std::atomic<std::uint64_t> registrationCount{0};
    std::string directory;
    std::atomic<int> maximumLevel{kDefaultMaximumLevel};
    std::atomic<int> consoleLevel{kDefaultConsoleLevel};
    std::atomic<bool> journal{false};
    std::size_t rotateBytes = kDefaultRotateBytes;
    std::size_t rotateFiles = kDefaultRotateFiles;
    std::shared_ptr<spdlog::logger> console;
    std::map<std::string, std::shared_ptr<spdlog::logger>, std::less<>> files;
    std::map<std::string, bool, std::less<>> fileFailed;  // reported once per log
    std::string journalLibrary = kJournalLibrary;
    bool journalLoaded = false;  // loading was tried (once, under the mutex)
    JournalSend journalSend = nullptr;

    void readEnvironment() {
        maximumLevel = envLevel("DA_LOG_MAX_LEVEL", kDefaultMaximumLevel);
        consoleLevel = envLevel("DA_LOG_CONSOLE_LEVEL", kDefaultConsoleLevel);
        journal = journalWanted();
        rotateBytes = static_cast<std::size_t>(
            envNumber("DA_LOG_ROTATE_BYTES", kDefaultRotateBytes, 1024, 1L << 30));
        rotateFiles =
            static_cast<std::size_t>(envNumber("DA_LOG_ROTATE_FILES", kDefaultRotateFiles, 1, 20));
        directory = VxDirectories::logDirectory();
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
    auto refuse = [&](const std::string& why) -> std::shared_ptr<spdlog::logger> {
        s.fileFailed.emplace(std::string(logName), true);
        std::fprintf(stderr, "%s[%d] <3> Cannot open log file %s: %s\n",
                     std::string(logName).c_str(), static_cast<int>(getpid()), path.c_str(),
                     why.c_str());
        return nullptr;
    };
    if (std::string problem = prepareDirectory(s.directory); !problem.empty())
        return refuse(problem);
    try {
        spdlog::file_event_handlers events;
        // Log lines may carry serial numbers: the files are the user's alone.
        events.after_open = [](const spdlog::filename_t&, std::FILE* file) {
            fchmod(fileno(file), 0600);
        };
        auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
            path, s.rotateBytes, s.rotateFiles, false, events);
        auto logger = std::make_shared<spdlog::logger>("vx-file-" + std::string(logName), sink);
        logger->set_pattern("%Y-%m-%d %H:%M:%S.%e [%P:%t] %v");
        logger->set_level(spdlog::level::trace);
        logger->flush_on(spdlog::level::trace);
        s.files.emplace(std::string(logName), logger);
        return logger;
    } catch (const std::exception& e) {
        return refuse(e.what());
    }
}

// The journal's writer, loaded on first use; nothing when it cannot be loaded
// (one line on stderr says why when that is found out).
JournalSend journalSend(LogState& s, std::string_view logName) {
    std::lock_guard lock(s.mutex);
    if (!s.journalLoaded) {
        s.journalLoaded = true;
        std::string why;
        s.journalSend = loadJournalSend(s.journalLibrary, why);
        if (!s.journalSend)
            std::fprintf(stderr,
                         "%s[%d] <4> Cannot write to the journal: %s; console lines go to stderr\n",
                         std::string(logName).c_str(), static_cast<int>(getpid()), why.c_str());
    }
    return s.journalSend;
}

// False when the journal cannot be reached through libsystemd.
bool sendToJournal(LogState& s, std::string_view logName, int level, std::string_view message) {
    JournalSend send = journalSend(s, logName);
    if (!send) return false;
    std::vector<std::string> fields = VxLogJournalFields(logName, level, message);
    std::vector<iovec> iov;
    iov.reserve(fields.size());
    for (std::string& f : fields) iov.push_back({f.data(), f.size()});
    send(iov.data(), static_cast<int>(iov.size()));
    return true;
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
        added |=
            s.registrations.emplace(name, std::make_shared<const VxLogSettings>(std::move(entry)))
                .second;
    }
    if (added) s.registrationCount.fetch_add(1, std::memory_order_release);
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

namespace {

int clampedFileLevel(std::optional<std::int64_t> level) {
    if (!level) return kDefaultFileLevel;
    if (*level < -1) return -1;
    if (*level > 100) return 100;
    return static_cast<int>(*level);
}

// The file level this thread last learned for one log, and what it rests on.
// The lines of one call ask within microseconds of each other; while nothing it
// rests on has moved, the answer is the one the preferences would give again,
// without taking the log's or the store's lock.
struct FileLevelMemo {
    std::string logName;
    int level = kDefaultFileLevel;
    bool known = false;
    std::uint64_t registrationCount = 0;
    std::uint64_t preferencesCount = 0;
    std::chrono::steady_clock::time_point until;
    VxDirectories::EnvironmentStamp environment;
};

// Lines written from destructors after the thread's memo is gone (at thread or
// process exit) take the long way.
thread_local bool tFileLevelGone = false;
struct FileLevelSlot {
    FileLevelMemo memo;
    ~FileLevelSlot() { tFileLevelGone = true; }
};
thread_local FileLevelSlot tFileLevel;

}  // namespace

int VxLogCustomFileLevel(std::string_view logName) {
    LogState& s = state();
    VxPreferences& prefs = VxPreferences::standard();
    FileLevelMemo* memo = tFileLevelGone ? nullptr : &tFileLevel.memo;
    const std::uint64_t registrations = s.registrationCount.load(std::memory_order_acquire);
    if (memo && memo->known && memo->logName == logName &&
        memo->registrationCount == registrations && memo->preferencesCount == prefs.changeCount() &&
        std::chrono::steady_clock::now() < memo->until && memo->environment.current())
        return memo->level;

    std::shared_ptr<const VxLogSettings> settings;
    {
        std::lock_guard lock(s.mutex);
        auto it = s.registrations.find(logName);
        if (it != s.registrations.end()) settings = it->second;
    }
    VxPreferences::Freshness freshness{prefs.changeCount(),
                                       std::chrono::steady_clock::time_point::max()};
    int level = kDefaultFileLevel;
    if (settings && !settings->defaultsDomain.empty() && !settings->defaultsKey.empty()) {
        // Asked on every line: an administrator's change shows in the lines
        // that start a millisecond after it
        // (VxPreferences::kLineFreshness) and in every line after an explicit
        // synchronize of the domain.
        level = clampedFileLevel(prefs.synchronizedIntegerValue(
            settings->defaultsKey, settings->defaultsDomain, &freshness));
    }
    if (memo) {
        memo->logName.assign(logName);
        memo->level = level;
        memo->registrationCount = registrations;
        memo->preferencesCount = freshness.changeCount;
        memo->until = freshness.until;
        if (!memo->environment.current()) memo->environment.take();
        memo->known = true;
    }
    return level;
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
    if (toConsole && !(s.journal && sendToJournal(s, logName, level, message))) {
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

std::vector<std::string> VxLogJournalFields(std::string_view logName, int level,
                                            std::string_view message) {
    int priority = level < 0 ? 0 : level > 7 ? 7 : level;
    std::vector<std::string> fields{
        "MESSAGE=" + std::string(message),
        "PRIORITY=" + std::to_string(priority),
        std::string("SYSLOG_IDENTIFIER=") + program_invocation_short_name,
        "DA_LOG=" + std::string(logName),
    };
    // Protocol trace lines start with their bracketed tag: "[Session] > ...".
    if (message.size() > 2 && message.front() == '[') {
        std::size_t close = message.find(']');
        if (close != std::string_view::npos && close > 1 &&
            message.substr(1, close - 1).find_first_of(" \n") == std::string_view::npos)
            fields.push_back("DA_PROTOCOL_TAG=" + std::string(message.substr(1, close - 1)));
    }
    return fields;
}

bool VxLogJournalActive() {
    return state().journal.load();
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

void VxLogSetJournalLibraryForTesting(const std::string& library) {
    LogState& s = state();
    std::lock_guard lock(s.mutex);
    s.journalLibrary = library.empty() ? kJournalLibrary : library;
    s.journalLoaded = false;
    s.journalSend = nullptr;
}

void VxLogResetRegistrationsForTesting() {
    LogState& s = state();
    std::lock_guard lock(s.mutex);
    s.registrations.clear();
    s.registrationCount.fetch_add(1, std::memory_order_release);
}
