#pragma once
// What many tests set up around the code under test: a private temporary
// directory, small files, scoped environment variables and shell commands.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

namespace da::test {

// Writes the bytes to the file, making the folders on the way.
inline void writeFile(const std::string& path, std::string_view bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), std::streamsize(bytes.size()));
}

// Whole file, or "" when it cannot be read.
inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline std::size_t countOccurrences(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t pos = text.find(needle); pos != std::string::npos;
         pos = text.find(needle, pos + needle.size()))
        ++n;
    return n;
}

// A private temporary directory, removed with everything in it (its own
// permissions restored first, for tests that take them away).
class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "da-test-XXXXXX").string();
        if (::mkdtemp(pattern.data())) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        if (path_.empty()) return;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Empty when the directory could not be made.
    const std::string& path() const { return path_; }
    std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }
    // Writes a file in the directory and gives its full path.
    std::string write(std::string_view name, std::string_view bytes) const {
        writeFile(*this / name, bytes);
        return *this / name;
    }

  private:
    std::string path_;
};

// Sets (or unsets, with nothing) an environment variable for the scope.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = getenv(name)) old_ = old;
        value ? setenv(name, value->c_str(), 1) : unsetenv(name);
    }
    ~ScopedEnv() { old_ ? setenv(name_.c_str(), old_->c_str(), 1) : unsetenv(name_.c_str()); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

// A TCP socket bound to a free loopback port (and listening, when asked), or
// -1; the port in `port`, 0 when there is none.
inline int loopbackSocket(int* port, bool listening = false) {
    *port = 0;
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        (!listening || ::listen(fd, 16) == 0) &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        *port = ntohs(address.sin_port);
    return fd;
}

// True when the process no longer runs (gone, or a zombie waiting to be reaped).
inline bool processGone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field, name, state;
    return !(stat >> field >> name >> state) || state == "Z" || state == "X";
}

// Runs a shell command; its standard output, and its exit code (-1 when it did
// not exit on its own) in `exitCode`.
inline std::string runCommand(const std::string& command, int* exitCode = nullptr) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (exitCode) *exitCode = -1;
    if (pipe == nullptr) return "popen failed";
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    const int status = ::pclose(pipe);
    if (exitCode) *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

}  // namespace da::test
