#pragma once
// The agent's custom log "Diagnostics" and its gated logging macro.
//
// DALog(level, format, args...) writes one line to the "Diagnostics" log when
// the platform's gate is open for that level (process-wide maximum, and the
// log's console or file level); the arguments are evaluated only then.
// Levels: 3 errors, 4 localization problems, 6 protocol traces, 7 full request
// and response dumps.

#include "platform/foundation/VxExport.h"
#include "platform/linux/VxLog.h"

// Name of the custom log, and the preferences that hold its file level.
DA_EXPORT extern const char* const DALogName;            // "Diagnostics"
DA_EXPORT extern const char* const DAPreferencesDomain;  // "com.tarvo.Diagnostics"
DA_EXPORT extern const char* const DALogLevelKey;        // "DALogLevel"

#define DALog(level, ...) VX_LOG(DALogName, (level), __VA_ARGS__)
