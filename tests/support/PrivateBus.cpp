#include "support/PrivateBus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

namespace {

constexpr const char* kDaemonPath = "/usr/bin/dbus-daemon";

std::string makeTempDirectory() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/da-bus-XXXXXX";
    return ::mkdtemp(pattern.data()) == nullptr ? std::string() : pattern;
}

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    out.close();
    return static_cast<bool>(out);
}

std::string busConfig(const std::string& directory) {
    return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>session</type>\n"
           "  <listen>unix:path=" +
           directory +
           "/bus</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <servicedir>" +
           directory +
           "/services</servicedir>\n"
           "  <limit name=\"service_start_timeout\">10000</limit>\n"
           "  <limit name=\"reply_timeout\">60000</limit>\n"
           "  <policy context=\"default\">\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n"
           "    <allow own=\"*\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
}

// Waits for a child to end, at most `timeout`; true when it was reaped.
bool reapWithin(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

PrivateBus::PrivateBus(std::chrono::milliseconds startTimeout) {
    directory_ = makeTempDirectory();
    if (directory_.empty()) {
        error_ = std::string("cannot create a temporary directory: ") + std::strerror(errno);
        return;
    }
    std::error_code ec;
    std::filesystem::create_directories(directory_ + "/services", ec);
    const std::string configPath = directory_ + "/bus.conf";
    if (ec || !writeFile(configPath, busConfig(directory_))) {
        error_ = "cannot write the bus configuration in " + directory_;
        return;
    }

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return;
    }
    // Everything the child needs is prepared before fork: only exec-safe calls after it.
    const int childFd = 3;
    std::vector<std::string> args = {kDaemonPath, "--config-file=" + configPath, "--nofork",
                                     "--nopidfile", "--print-address=" + std::to_string(childFd)};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) {
        error_ = std::string("fork: ") + std::strerror(errno);
        ::close(fds[0]);
        ::close(fds[1]);
        return;
    }
    if (pid_ == 0) {
        // The daemon ends with this process, also when this one is killed (a test
        // that timed out, an interrupted benchmark): no bus is left behind, and
        // the services on it see it go and end too.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        // Own process group, so that the daemon and the services it starts end together.
        ::setpgid(0, 0);
        if (fds[1] == childFd) {
            ::fcntl(childFd, F_SETFD, 0);
        } else {
            ::dup2(fds[1], childFd);
        }
        int devNull = ::open("/dev/null", O_RDWR);
        if (devNull >= 0) {
            ::dup2(devNull, STDIN_FILENO);
            ::dup2(devNull, STDOUT_FILENO);
        }
        ::execv(kDaemonPath, argv.data());
        ::_exit(127);
    }
    ::setpgid(pid_, pid_);  // also from here, so the group exists whoever runs first
    ::close(fds[1]);

    // Read the address line, bounded in time.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + startTimeout;
    while (line.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fds[0], POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        char buffer[512];
        ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        line.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    auto newline = line.find('\n');
    if (newline == std::string::npos || newline == 0) {
        error_ = "dbus-daemon did not print its address in time (got \"" + line + "\")";
        shutdown();
        return;
    }
    address_ = line.substr(0, newline);
}

PrivateBus::~PrivateBus() {
    shutdown();
}

void PrivateBus::shutdown() {
    if (pid_ > 0) {
        ::kill(-pid_, SIGTERM);
        if (!reapWithin(pid_, std::chrono::seconds(3))) {
            ::kill(-pid_, SIGKILL);
            reapWithin(pid_, std::chrono::seconds(3));
        }
        // The services got the same SIGTERM. They are not our children: within
        // the grace set, wait for the group to empty, then stop what is left
        // the hard way.
        const auto deadline = std::chrono::steady_clock::now() + serviceGrace_;
        while (std::chrono::steady_clock::now() < deadline && ::kill(-pid_, 0) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ::kill(-pid_, SIGKILL);
        pid_ = -1;
    }
    address_.clear();
    if (!directory_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(directory_, ec);
        directory_.clear();
    }
}

std::string PrivateBus::commandWithEnvironment(const std::map<std::string, std::string>& variables,
                                               const std::string& commandLine) {
    std::string command = "/usr/bin/env";
    for (const auto& [name, value] : variables) command += " " + name + "=" + value;
    return command + " " + commandLine;
}

bool PrivateBus::installService(const std::string& name, const std::string& execCommandLine,
                                std::string* error) {
    std::string why;
    if (!ok()) {
        why = "the bus is not running";
    } else if (execCommandLine.empty() || execCommandLine[0] != '/') {
        why = "the service command must start with an absolute path: " + execCommandLine;
    } else if (name.empty() || name.find('/') != std::string::npos) {
        why = "invalid service name: " + name;
    } else if (!writeFile(directory_ + "/services/" + name + ".service",
                          "[D-BUS Service]\nName=" + name + "\nExec=" + execCommandLine + "\n")) {
        why = "cannot write the service file for " + name;
    }
    if (why.empty()) return reloadConfig(error);
    if (error != nullptr) *error = why;
    return false;
}

bool PrivateBus::reloadConfig(std::string* error) {
    std::string why;
    try {
        auto connection = sdbus::createSessionBusConnectionWithAddress(address_);
        auto proxy =
            sdbus::createProxy(*connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
        auto call = proxy->createMethodCall("org.freedesktop.DBus", "ReloadConfig");
        proxy->callMethod(call, std::chrono::seconds(5));
    } catch (const sdbus::Error& e) {
        why = std::string("ReloadConfig failed: ") + e.what();
    }
    if (error != nullptr) *error = why;
    return why.empty();
}
