#pragma once
// Platform logging service: custom logs with per-log console and file levels,
// a process-wide maximum level, and the system log.
//
// Levels follow syslog numbering, higher is more verbose: 3 errors, 4 warnings,
// 6 traces, 7 full dumps.
//
// A line at level L of log N is written
//   - to the console when VxLogProcessMaximumLevel() >= L and
//     VxLogCustomConsoleLevel(N) >= L: the systemd journal when the process
//     runs under systemd with stderr connected to the journal (JOURNAL_STREAM)
//     or DA_LOG_JOURNAL=1, else stderr. The journal is written through
//     libsystemd, loaded when the first line goes there; when it cannot be
//     loaded, the lines go to stderr (one line there says why);
//   - to the file <log dir>/<N>.log when VxLogProcessMaximumLevel() >= L and
//     VxLogCustomFileLevel(N) >= L.
// VxLogShouldLog(N, L) is true when either holds; the three levels are queried
// for every line.
//
// Configuration, from the environment (read once at first use; see
// VxLogReloadEnvironment):
//   DA_LOG_MAX_LEVEL      process-wide maximum level, default 7
//   DA_LOG_CONSOLE_LEVEL  console level of every custom log, default 3
//   DA_LOG_DIR            directory of the log files; the default is
//                         VxDirectories::logDirectory() (LOGS_DIRECTORY under
//                         systemd, else the user's state directory, never /tmp)
//   DA_LOG_ROTATE_BYTES   size at which a log file is rotated, default 4 MiB
//   DA_LOG_ROTATE_FILES   rotated files kept (<N>.1.log ...), default 4
//   DA_LOG_JOURNAL        1 or 0: force the journal on or off
// Log files are 0600; their directory is created 0700 and must belong to this
// user and be writable by nobody else, or no file is written (one line on
// stderr says why). Without any directory there is no log file.
// The file level of a registered log is the integer preference named by its
// settings (defaults domain and key), read from the shared preferences store;
// the preference file is re-read when it changes (one stat() per query
// otherwise). When the preference is unset or not an integer, or the log is not
// registered, the file level is 3 (errors).
//
// Line formats (the message itself is written unchanged, embedded line breaks
// included):
//   journal: the fields of VxLogJournalFields()
//   stderr:  "<name>[<pid>] <L> <message>"
//   file:    "YYYY-MM-DD HH:MM:SS.mmm [<pid>:<tid>] <L> <message>"
// where <L> is the level digit in angle brackets, e.g. "<3>".

#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxFormat.h"
#include "platform/linux/VxSystemLog.h"

// Settings of one custom log.
struct DA_EXPORT VxLogSettings {
    std::string logName;         // e.g. "Diagnostics"
    std::string defaultsDomain;  // preferences domain that holds the file level
    std::string defaultsKey;     // preference key of the file level
};

// Registers the settings for every name in `names` (a name registered before
// keeps its first settings). False when nothing new was registered.
DA_EXPORT bool VxLogRegisterCustomConfiguration(const std::vector<std::string>& names,
                                                const VxLogSettings& settings);
// True when the name has been registered.
DA_EXPORT bool VxLogIsRegistered(std::string_view logName);

DA_EXPORT int VxLogProcessMaximumLevel();
DA_EXPORT int VxLogCustomConsoleLevel(std::string_view logName);
DA_EXPORT int VxLogCustomFileLevel(std::string_view logName);

// The gate: true when a line at `level` of the log would be written somewhere.
DA_EXPORT bool VxLogShouldLog(std::string_view logName, int level);
// Writes one message to the outputs whose levels allow it.
DA_EXPORT void VxLogWrite(std::string_view logName, int level, std::string_view message);

// Formats and writes a message only when the gate is open: the arguments are not
// evaluated otherwise. VX_LOG(name, level, "format %@", args...).
#define VX_LOG(logName, level, ...)                                    \
    do {                                                               \
        if (VxLogShouldLog((logName), (level)))                        \
            VxLogWrite((logName), (level), ::vx::format(__VA_ARGS__)); \
    } while (0)

// The directory the log files go to now ("" when there is none).
DA_EXPORT std::string VxLogDirectory();

// The journal entry of a console line: MESSAGE, PRIORITY (the level, 0-7),
// SYSLOG_IDENTIFIER (the program), DA_LOG (the log name) and, for protocol
// trace lines that start with a bracketed tag, DA_PROTOCOL_TAG (the tag
// without brackets). Each entry is "FIELD=value".
DA_EXPORT std::vector<std::string> VxLogJournalFields(std::string_view logName, int level,
                                                      std::string_view message);
// True when console lines are meant for the journal (they go to stderr instead
// when libsystemd cannot be loaded).
DA_EXPORT bool VxLogJournalActive();

// Test hooks: re-read the environment variables above (closing open log files so
// that a new DA_LOG_DIR takes effect), forget every registration, and load the
// journal's writer from another library on the next journal line ("" for the
// real one).
DA_EXPORT void VxLogReloadEnvironment();
DA_EXPORT void VxLogResetRegistrationsForTesting();
DA_EXPORT void VxLogSetJournalLibraryForTesting(const std::string& library);
