#pragma once
// The diagnostics servers the agent can talk to, selected by the preference
// "Server" (see DAConnectionManager::getServerBaseURL). This is the one place
// that names their hosts.

#include "platform/foundation/VxExport.h"

// "Server" = 1, 2, 3: internal test servers (HTTP).
DA_EXPORT extern const char* const
    DAServerURLInternalUAT;  // http://uat.diagnostics.tarvo.com/kelo/v1.01/
DA_EXPORT extern const char* const
    DAServerURLInternalIT;  // http://it.diagnostics.tarvo.com/kelo/v1.01/
DA_EXPORT extern const char* const
    DAServerURLInternalQA;  // http://qa.diagnostics.tarvo.com/kelo/v1.01/
// "Server" = 4: development server (HTTPS).
DA_EXPORT extern const char* const
    DAServerURLDevelopment;  // https://dev.diagnostics.tarvo.com/r2-zet/services/devices/v1/
// Any other value: production (HTTPS).
DA_EXPORT extern const char* const
    DAServerURLProduction;  // https://diagnostics.tarvo.com/kelo/v1.01/
