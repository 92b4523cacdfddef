#include "Managers/DALoggingInit.h"

#include <mutex>

#include "Managers/DALogging.h"

void DALoggingInit() {
    static std::once_flag once;
    std::call_once(once, [] {
        VxLogSettings settings{DALogName, DAPreferencesDomain, DALogLevelKey};
        VxLogRegisterCustomConfiguration({DALogName}, settings);
    });
}
