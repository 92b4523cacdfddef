#include "platform/foundation/VxFileReading.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

VxFileReadResult failure(VxFileReadStatus status, std::string problem) {
    VxFileReadResult result;
    result.status = status;
    result.problem = std::move(problem);
    return result;
}

VxFileReadResult errnoFailure(int err) {
    if (err == ENOENT || err == ENOTDIR)
        return failure(VxFileReadStatus::missing, "does not exist");
    if (err == ELOOP) return failure(VxFileReadStatus::notRegularFile, "is a symbolic link");
    return failure(VxFileReadStatus::unreadable,
                   std::string("cannot be read: ") + std::strerror(err));
}

VxFileReadResult notRegular() {
    return failure(VxFileReadStatus::notRegularFile, "is not a regular file");
}

VxFileReadResult tooLarge(std::size_t limit) {
    return failure(VxFileReadStatus::tooLarge,
                   "is larger than " + std::to_string(limit) + " bytes");
}

// Reads up to limit + 1 bytes: sizes reported by /proc and sysfs are not the
// real ones, so the limit is checked on what the reads deliver.
VxFileReadResult readOpenFile(int fd, std::size_t limit) {
    VxFileReadResult result;
    char buffer[16384];
    for (;;) {
        const std::size_t room = limit + 1 - result.bytes.size();
        ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, room));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errnoFailure(errno);
        }
        if (n == 0) break;
        result.bytes.append(buffer, static_cast<std::size_t>(n));
        if (result.bytes.size() > limit) return tooLarge(limit);
    }
    result.status = VxFileReadStatus::ok;
    return result;
}

}  // namespace

int VxOpenRegularFile(const std::string& path, bool followLinks) {
    const auto refuse = [](int err) {
        errno = err;
        return -1;
    };
    if (path.empty() || path.find('\0') != std::string::npos) return refuse(ENOENT);
    const auto notRegularErrno = [](mode_t mode) { return S_ISDIR(mode) ? EISDIR : EINVAL; };
    // Looking first keeps devices from being opened at all (opening some of
    // them has effects); the check after opening is the one that counts.
    struct stat st {};
    const int looked = followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
    if (looked != 0) return -1;
    if (S_ISLNK(st.st_mode)) return refuse(ELOOP);
    if (!S_ISREG(st.st_mode)) return refuse(notRegularErrno(st.st_mode));

    int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    if (!followLinks) flags |= O_NOFOLLOW;
    int fd;
    do {
        fd = ::open(path.c_str(), flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    int err = 0;
    if (::fstat(fd, &st) != 0)
        err = errno;
    else if (!S_ISREG(st.st_mode))
        err = notRegularErrno(st.st_mode);
    else if (const int fl = ::fcntl(fd, F_GETFL);
             fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) < 0)
        err = errno;
    if (err != 0) {
        ::close(fd);
        return refuse(err);
    }
    return fd;
}

VxFileReadResult VxReadWholeFile(const std::string& path, const VxFileReadOptions& options) {
    const int fd = VxOpenRegularFile(path, options.followLinks);
    if (fd < 0) return errno == EISDIR || errno == EINVAL ? notRegular() : errnoFailure(errno);
    VxFileReadResult result;
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        result = errnoFailure(errno);
    else if (st.st_size > 0 && static_cast<std::uint64_t>(st.st_size) > options.limit)
        result = tooLarge(options.limit);
    else
        result = readOpenFile(fd, options.limit);
    ::close(fd);
    return result;
}
