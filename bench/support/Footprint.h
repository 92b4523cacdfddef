#pragma once
// Resident-size readings of the calling process, shared by the footprint
// check's two child programs.

#include <cstdio>
#include <fstream>
#include <string>

namespace bench {

// A field of /proc/self/status in KiB ("VmHWM", "VmRSS"); -1 when missing.
inline long statusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size()));
    return -1;
}

// One line the parent reads: "<stage> <VmHWM KiB> <VmRSS KiB>".
inline void reportStage(const char* stage) {
    std::printf("%s %ld %ld\n", stage, statusKiB("VmHWM"), statusKiB("VmRSS"));
    std::fflush(stdout);
}

}  // namespace bench
