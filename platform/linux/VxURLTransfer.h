#pragma once
// One HTTP exchange through libcurl, performed on the calling thread, and the
// process-wide transport it uses (shared connections, DNS and TLS sessions, a
// small pool of reusable handles). Private to the loading session
// (VxURLSession.cpp); not part of the library's API.

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/linux/VxURLSession.h"

namespace vx::transfer {

inline constexpr std::int64_t kErrorTooManyRedirects = -1007;
inline constexpr std::int64_t kErrorRequestBodyStreamExhausted = -1021;

struct Result {
    VxDataPtr data;
    VxURLResponsePtr response;
    VxErrorPtr error;
};

// Performs one exchange on the calling thread. `fileFd` >= 0 sends the body to
// that file instead of memory.
Result perform(const VxURLRequestPtr& request, const std::atomic<bool>* cancelled, int fileFd,
               const VxURLLoadOptions& options);

// Connections opened by all exchanges so far.
std::uint64_t connectionsOpened();
// A task identifier not handed out before in this process.
std::uint64_t nextTaskIdentifier();

// An error in VxURLErrorDomain with the code's description, the reason, the URL
// and the underlying error when there is one.
VxErrorPtr urlError(std::int64_t code, const std::string& reason, const VxURLPtr& url,
                    const VxErrorPtr& underlying = nullptr);
// A failure to create or write a downloaded file: the system's cause is part of
// the description, and the underlying POSIX error.
VxErrorPtr fileError(std::int64_t code, int errnum, const std::string& detail, const VxURLPtr& url);

}  // namespace vx::transfer
