#pragma once
// Registers the "Diagnostics" log with the platform logging service: its file
// level is the preference "DALogLevel" of "com.tarvo.Diagnostics". Runs at most
// once per process; later calls do nothing.

#include "platform/foundation/VxExport.h"
DA_EXPORT void DALoggingInit();
