#pragma once
// Tells cheaply whether anything changed in a directory since the last look.
//
// Readers of small shared files (the preferences) would otherwise stat() the
// file on every read to notice another process's write; a stat() walks the
// whole path and costs several times a failed read(). This keeps one inotify
// instance and one watch per directory. look() drains the queued events
// without blocking (one read() that normally finds nothing) and gives the
// directory a new mark whenever it had any; a caller remembers the mark it saw
// before it last stat()ed a file there and may skip the next stat() while the
// mark is unchanged. Marks are never reused, not even after a restart of the
// instance, so a remembered mark cannot match by accident.
//
// Where a directory cannot be watched (it does not exist yet, the user's watch
// or instance limit is reached, inotify is missing) look() answers nothing and
// the caller stats as before. Events the kernel drops (queue overflow) count as
// a change everywhere; a watch the kernel removes (the directory was deleted,
// moved or unmounted) is forgotten, so the next look adds one again. A child
// of fork() would share the parent's event queue, so it starts over with its
// own instance.
//
// Not thread-safe: the owner serialises the calls.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

class VxDirectoryWatch {
  public:
    // A file in a watched directory still gets a stat() this often: it bounds
    // how long a change the watch cannot see (a parent directory renamed, a
    // link's target rewritten elsewhere, a file changed on another machine of
    // a network file system) goes unnoticed.
    static constexpr std::chrono::seconds kRestatInterval{1};

    VxDirectoryWatch();
    ~VxDirectoryWatch();
    VxDirectoryWatch(const VxDirectoryWatch&) = delete;
    VxDirectoryWatch& operator=(const VxDirectoryWatch&) = delete;

    // The directory's current mark, after taking in every event queued so far;
    // nothing when it cannot be watched.
    std::optional<std::uint64_t> look(const std::string& directory);

  private:
    struct Entry {
        int descriptor = -1;
        std::uint64_t mark = 0;
    };
    void drain();
    void forget(int descriptor);
    void restart();

    int fd_ = -1;
    bool unavailable_ = false;  // inotify_init1 failed; not retried
    std::uint64_t forkEpoch_ = 0;
    std::uint64_t lastMark_ = 0;
    std::unordered_map<std::string, Entry> byDirectory_;
    std::unordered_map<int, std::string> byDescriptor_;
};
