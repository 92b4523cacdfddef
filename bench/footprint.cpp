// Resident size of a process that has set up the connection manager, against a
// plain libcurl + OpenSSL process doing the same POST, both started as fresh
// child processes in the same run (three of each; medians): the library side is
// bench_footprint_library, which links nothing but the library. Stages: "loaded"
// (after the dynamic loader and static initialisers), "setup" (connection
// manager made / libcurl initialised), "call" (one session POST to the
// reference server) and, when asked, "upload" (one file upload of the given
// size through the connection manager). The child reports VmHWM and VmRSS
// after each stage; the parent prints them and the ratios. The library child
// also lists the mappings that grew most after loading.
//
// Usage: bench_footprint [upload MiB] (default 0: no upload).

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/linux/VxPreferences.h"
#include "support/Footprint.h"
#include "support/ReferenceServer.h"

extern char** environ;

namespace {

constexpr const char* kDomain = "com.tarvo.Diagnostics";
constexpr int kRuns = 3;

struct ChildResult {
    std::map<std::string, std::pair<long, long>> stages;  // stage -> (VmHWM, VmRSS)
    std::vector<std::string> mappings;
    bool ok = false;
};

ChildResult spawnChild(const std::vector<std::string>& args,
                       const std::vector<std::string>& extraEnvironment) {
    ChildResult result;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::vector<char*> argv, envp;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (char** e = environ; *e; ++e) envp.push_back(*e);
    for (const auto& e : extraEnvironment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, n);
    ::close(fds[0]);
    int status = 0;
    if (rc != 0 || ::waitpid(pid, &status, 0) != pid) return result;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("map ", 0) == 0) {
            result.mappings.push_back(line.substr(4));
            continue;
        }
        std::istringstream f(line);
        std::string stage;
        long hwm = -1, rss = -1;
        if (f >> stage >> hwm >> rss) result.stages[stage] = {hwm, rss};
    }
    result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return result;
}

// A file of `mib` MiB of one repeated byte at `path`.
bool writeUploadFile(const std::string& path, long mib) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::string block(1 << 20, 'u');
    for (long i = 0; i < mib && out; ++i) out.write(block.data(), block.size());
    out.close();
    return !out.fail();
}

long medianOf(std::vector<long> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const long uploadMiB = argc > 1 ? std::clamp(std::atol(argv[1]), 0L, 1024L) : 0;

    const std::string work =
        (std::filesystem::temp_directory_path() / ("da-footprint-" + std::to_string(::getpid())))
            .string();
    std::filesystem::create_directories(work + "/prefs");
    std::filesystem::create_directories(work + "/logs");
    int rc = 0;
    {
        da::test::ReferenceServer server;
        server.configure(R"({"sessionId":"bench-session"})");
        VxPreferences prefs(work + "/prefs");
        prefs.setValue(VxNumber::numberWithUnsignedLongLong(5), "Server", kDomain);
        prefs.setValue(vxstr(server.baseURL()), "CustomServerURL", kDomain);
        std::ofstream(work + "/answers.json") << "{\"SerialNumber\": \"BENCH0000042\"}\n";
        const std::vector<std::string> environment = {
            "DA_PREFERENCES_DIR=" + work + "/prefs", "DA_LOG_DIR=" + work + "/logs",
            "DA_DEVICE_ANSWERS=" + work + "/answers.json", "DA_LOG_CONSOLE_LEVEL=0"};
        // Words put before the library child's command (an absolute program path
        // first): scripts/hot-layout.sh runs it under callgrind this way.
        std::vector<std::string> libraryCommand;
        if (const char* prefix = std::getenv("DA_FOOTPRINT_LIBRARY_PREFIX")) {
            std::istringstream words(prefix);
            for (std::string word; words >> word;) libraryCommand.push_back(word);
        }
        libraryCommand.insert(libraryCommand.end(),
                              {DA_FOOTPRINT_LIBRARY, work, std::to_string(uploadMiB)});

        std::map<std::string, std::vector<long>> ours, plain;
        std::vector<std::string> mappings;
        for (int run = 0; run < kRuns && rc == 0; ++run) {
            // The file to upload is written here, not in the child: writing it
            // would count the writer's buffer in the child's peak. An accepted
            // upload deletes it, so each run gets a new one.
            if (uploadMiB > 0 && !writeUploadFile(work + "/upload.bin", uploadMiB)) {
                std::fprintf(stderr, "bench_footprint: cannot write the upload file\n");
                rc = 1;
                break;
            }
            ChildResult a = spawnChild(libraryCommand, environment);
            ChildResult b = spawnChild({DA_FOOTPRINT_PLAIN, server.baseURL() + "session"}, {});
            if (!a.ok || !b.ok) {
                std::fprintf(stderr, "bench_footprint: a child failed (%s)\n",
                             a.ok ? "plain libcurl" : "library");
                rc = 1;
            }
            for (auto& [stage, v] : a.stages) ours[stage].push_back(v.first);
            for (auto& [stage, v] : b.stages) plain[stage].push_back(v.first);
            mappings = a.mappings;
        }
        if (rc == 0) {
            std::printf("peak resident size (VmHWM, median of %d processes each)\n", kRuns);
            for (const char* stage : {"loaded", "setup", "call", "upload"}) {
                if (!ours.count(stage)) continue;
                const long a = medianOf(ours[stage]);
                const long b = medianOf(plain.count(stage) ? plain[stage] : plain["call"]);
                std::printf("  %-7s library %8.1f MiB   plain libcurl %8.1f MiB   ratio %.3f\n",
                            stage, a / 1024.0, b / 1024.0, b > 0 ? double(a) / b : 0.0);
            }
            if (uploadMiB > 0)
                std::printf(
                    "  (upload of %ld MiB compared with the plain process after its call)\n",
                    uploadMiB);
            std::printf(
                "library process: mappings that grew most after loading (resident KiB at the "
                "end, growth):\n");
            for (const auto& m : mappings) std::printf("  %s\n", m.c_str());
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(work, ec);
    return rc;
}
