// The library side of the footprint check: a process that links only the
// library, sets up the connection manager, makes one session call to the
// server the preferences name and, when asked, one file upload (of the file
// "upload.bin" the parent put in WORK-DIR); it reports its resident size after
// each stage and lists the mappings that grew most. Kept apart from the parent,
// which runs the reference server, so that the server's libraries are not
// counted.
//
// The serial number comes from the device answers the parent wrote (as the
// service reads it).
//
// Usage: bench_footprint_library WORK-DIR UPLOAD-MiB

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "Managers/DAConnectionManager.h"
#include "platform/linux/VxDeviceAnswers.h"
#include "platform/linux/VxPreferences.h"
#include "support/Footprint.h"

namespace {

// Resident KiB of this process's mappings by file name ("[anonymous]" and the
// like for the others).
std::map<std::string, long> residentByMapping() {
    std::ifstream in("/proc/self/smaps");
    std::map<std::string, long> byName;
    std::string line, name;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        if (std::isxdigit(static_cast<unsigned char>(line[0])) && line.find('-') < 17) {
            std::istringstream fields(line);
            std::string range, perms, offset, dev, inode;
            fields >> range >> perms >> offset >> dev >> inode;
            std::getline(fields, name);
            name.erase(0, name.find_first_not_of(' '));
            if (name.empty()) name = "[anonymous]";
        } else if (line.rfind("Rss:", 0) == 0) {
            byName[name] += std::stol(line.substr(4));
        }
    }
    return byName;
}

// The mappings that grew most since `before`, one "map" line each: resident
// KiB now, growth.
void reportMappings(const std::map<std::string, long>& before, std::size_t count) {
    std::vector<std::pair<long, std::string>> sorted;
    const auto now = residentByMapping();
    for (const auto& [n, kib] : now) {
        auto b = before.find(n);
        sorted.emplace_back(kib - (b == before.end() ? 0 : b->second), n);
    }
    std::sort(sorted.rbegin(), sorted.rend());
    for (std::size_t i = 0; i < std::min(count, sorted.size()); ++i)
        std::printf("map %8ld %+8ld %s\n", now.at(sorted[i].second), sorted[i].first,
                    sorted[i].second.c_str());
    std::fflush(stdout);
}

int runChild(const std::string& workDir, long uploadMiB) {
    bench::reportStage("loaded");
    const auto atStart = residentByMapping();
    auto manager = DAConnectionManager::sharedInstance();
    bench::reportStage("setup");
    // The call as the service makes it: the serial number from the device
    // answers, the stored identifier from the preferences, then the session.
    auto serial = vx_cast<VxString>(VxDeviceAnswers::shared().copyAnswer("SerialNumber"));
    VxPreferences& prefs = VxPreferences::standard();
    prefs.synchronize("com.tarvo.Diagnostics");
    [[maybe_unused]] const auto stored =
        prefs.copyValue("currentSessionID", "com.tarvo.Diagnostics");
    const bool session = serial && manager->sessionForSerialNumber(serial);
    bench::reportStage("call");
    bool uploaded = true;
    if (uploadMiB > 0) {
        // The parent wrote the file: its buffer is not this process's.
        const std::string path = workDir + "/upload.bin";
        uploaded = manager->sendFilenamed(vxstr(path), vxstr("1"), vxstr("1"), vxstr("bench"),
                                          vxstr("upload.bin"), vxstr("BENCH-DEVICE"));
        bench::reportStage("upload");
    }
    reportMappings(atStart, 12);
    return session && uploaded ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    return runChild(argv[1], std::atol(argv[2]));
}
