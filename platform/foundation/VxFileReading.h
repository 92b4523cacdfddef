#pragma once
// Reading a small file whole, safely.
//
// Every file the system reads in one piece (preferences, device answers,
// release and sysfs files, bundle information) goes through VxReadWholeFile:
// the file is opened without blocking (a FIFO cannot stall the caller), only a
// regular file is read (a FIFO, a device or a directory is refused, also
// behind a symbolic link), and at most `limit` bytes are accepted (a larger
// file is refused, not truncated). The result says why a file was not read,
// in words fit for one log line.

#include <cstddef>
#include <string>

#include "platform/foundation/VxExport.h"

// Large enough for every configuration or answer file the system reads.
inline constexpr std::size_t kVxWholeFileLimit = 1 << 20;

enum class VxFileReadStatus {
    ok,
    missing,         // no file at the path (or a path component is not a directory)
    notRegularFile,  // a FIFO, socket, device or directory
    tooLarge,        // more than the limit
    unreadable,      // permission or I/O failure
};

struct VxFileReadResult {
    VxFileReadStatus status = VxFileReadStatus::missing;
    std::string bytes;    // the file's contents when status is ok
    std::string problem;  // what went wrong, e.g. "is not a regular file"
    explicit operator bool() const { return status == VxFileReadStatus::ok; }
};

struct VxFileReadOptions {
    std::size_t limit = kVxWholeFileLimit;
    bool followLinks = true;  // false: a symbolic link at the path itself is refused
};

// Opens a file for reading under the same rule, for callers that read it
// piece by piece: no blocking on open, close-on-exec, only a regular file. The
// descriptor returned is in blocking mode. On failure gives -1 with errno set:
// ENOENT/ENOTDIR (missing), ELOOP (a link refused by followLinks = false),
// EISDIR (a directory), EINVAL (a FIFO, socket or device), or open's own error.
DA_EXPORT int VxOpenRegularFile(const std::string& path, bool followLinks = true);

DA_EXPORT VxFileReadResult VxReadWholeFile(const std::string& path,
                                           const VxFileReadOptions& options = {});
