#pragma once
// The platform's system log: lines that reach the administrator whatever the
// levels of the custom logs (VxLog.h), such as a configuration file that could
// not be read. It needs nothing of the custom logs or of the preferences, so
// the preferences can report through it while the custom logs read their
// levels from the preferences.

#include <string_view>

#include "platform/foundation/VxExport.h"

// One line for the platform's system log: syslog(3) with LOG_USER|LOG_WARNING,
// and the same line on stderr.
DA_EXPORT void VxSystemLog(std::string_view text);
