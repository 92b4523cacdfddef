#include "platform/linux/VxSystemLog.h"

#include <syslog.h>

#include <cstdio>
#include <string>

void VxSystemLog(std::string_view text) {
    std::string line(text);
    syslog(LOG_USER | LOG_WARNING, "%s", line.c_str());
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}
