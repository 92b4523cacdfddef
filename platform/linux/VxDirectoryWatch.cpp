#include "platform/linux/VxDirectoryWatchPrivate.h"

#include <pthread.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace {

// Bumped in every child of fork(); a watch made in another epoch belongs to
// the parent's event queue.
std::atomic<std::uint64_t> gForkEpoch{0};

void noteFork() {
    gForkEpoch.fetch_add(1, std::memory_order_relaxed);
}

// Every change that can make a file in the directory read differently:
// writes in place, replacement by rename, creation, removal, mode changes, and
// the directory itself going away.
constexpr std::uint32_t kEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_FROM |
                                  IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_DELETE_SELF |
                                  IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

VxDirectoryWatch::VxDirectoryWatch() {
    static std::once_flag registered;
    std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, noteFork); });
    forkEpoch_ = gForkEpoch.load(std::memory_order_relaxed);
}

VxDirectoryWatch::~VxDirectoryWatch() {
    if (fd_ >= 0) ::close(fd_);
}

void VxDirectoryWatch::restart() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    byDirectory_.clear();
    byDescriptor_.clear();
    forkEpoch_ = gForkEpoch.load(std::memory_order_relaxed);
}

void VxDirectoryWatch::forget(int descriptor) {
    auto it = byDescriptor_.find(descriptor);
    if (it == byDescriptor_.end()) return;
    byDirectory_.erase(it->second);
    byDescriptor_.erase(it);
}

void VxDirectoryWatch::drain() {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // EAGAIN: nothing queued
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                for (auto& [dir, entry] : byDirectory_) entry.mark = ++lastMark_;
                continue;
            }
            auto it = byDescriptor_.find(event->wd);
            if (it == byDescriptor_.end()) continue;
            byDirectory_[it->second].mark = ++lastMark_;
            if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
                // The watch no longer follows the path: drop it (the kernel has
                // or will, IN_IGNORED follows) and watch the path afresh later.
                if (!(event->mask & IN_IGNORED)) inotify_rm_watch(fd_, event->wd);
                forget(event->wd);
            }
        }
    }
}

std::optional<std::uint64_t> VxDirectoryWatch::look(const std::string& directory) {
    if (unavailable_ || directory.empty()) return std::nullopt;
    if (forkEpoch_ != gForkEpoch.load(std::memory_order_relaxed)) restart();
    if (fd_ < 0) {
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0) {
            // EMFILE (the user's instance limit) may pass; anything else will not.
            unavailable_ = errno != EMFILE;
            return std::nullopt;
        }
    }
    drain();
    if (auto it = byDirectory_.find(directory); it != byDirectory_.end()) return it->second.mark;
    const int descriptor = inotify_add_watch(fd_, directory.c_str(), kEvents);
    if (descriptor < 0) return std::nullopt;
    // The same directory under another spelling shares the kernel's watch.
    if (auto other = byDescriptor_.find(descriptor); other != byDescriptor_.end())
        byDirectory_.erase(other->second);
    const std::uint64_t mark = ++lastMark_;
    byDirectory_[directory] = {descriptor, mark};
    byDescriptor_[descriptor] = directory;
    return mark;
}
