#pragma once
// Where the agent keeps its files: preferences, administrator defaults and log
// files. One place decides, so the service, the tools and the tests agree.
//
// A process is a *system service* when it was started for the system bus
// (DA_BUS=system, or DBUS_STARTER_BUS_TYPE=system set by the bus's launch
// helper) or when systemd gave it a state directory ($STATE_DIRECTORY). A
// system service never uses a home directory: its files live under its own
// state and log directories (the system unit sets StateDirectory= and
// LogsDirectory=; without systemd the build's /var paths are used).
//
// No rule falls back to /tmp or to any directory other users can write: when
// nothing names a directory, the answer is "" and the caller does without.

#include <string>
#include <vector>

#include "platform/foundation/VxExport.h"

namespace VxDirectories {

// True when the process runs as the system service (see above).
DA_EXPORT bool isSystemService();

// The preferences directory:
//   $DA_PREFERENCES_DIR; else, for the system service,
//   $STATE_DIRECTORY/preferences (first entry) or <localstatedir>/lib/diagnostics/preferences;
//   else $XDG_CONFIG_HOME/diagnostics (absolute); else $HOME/.config/diagnostics
//   (HOME from the environment, else the password database); else "".
DA_EXPORT std::string preferencesDirectory();

// The directory of administrator defaults that back every preferences domain
// (read only): $DA_PREFERENCES_DEFAULTS_DIR; else "" when DA_PREFERENCES_DIR
// is set (an explicit store stands alone); else <sysconfdir>/diagnostics.
DA_EXPORT std::string preferencesDefaultsDirectory();

// The log-file directory:
//   $DA_LOG_DIR; else $LOGS_DIRECTORY (first entry, set by systemd); else, for
//   the system service, <localstatedir>/log/diagnostics; else
//   $XDG_STATE_HOME/diagnostics (absolute); else $HOME/.local/state/diagnostics
//   when HOME is an absolute path; else "" (no log file).
DA_EXPORT std::string logDirectory();

// The first entry of a colon-separated list such as $STATE_DIRECTORY; "" when
// it is empty or not absolute.
DA_EXPORT std::string firstAbsoluteEntry(const char* list);

// Tells cheaply whether the environment may have changed since it was taken,
// so that answers derived from it can be kept until then. It keeps the
// environment's entry pointers: setenv, unsetenv and putenv replace, add or
// remove entries and never rewrite an entry's text in place, so the same
// pointers in the same table mean the same variables. One pass over the
// pointers costs less than one getenv(), which compares names. (A program that
// rewrites the text of a string it gave to putenv() is not noticed.) Not
// thread-safe, like the environment itself: the owner serialises the calls.
class DA_EXPORT EnvironmentStamp {
  public:
    // True when the environment holds the entries it held at the last take().
    bool current() const;
    void take();

  private:
    bool taken_ = false;
    char** table_ = nullptr;
    std::vector<const char*> entries_;  // ends with the table's null entry
};

}  // namespace VxDirectories
