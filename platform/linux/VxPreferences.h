#pragma once
// Preferences store: named domains of key -> value settings shared between
// processes.
//
// Each domain is one JSON object file named after the domain
// ("com.tarvo.Diagnostics.json") in the preferences directory that
// VxDirectories::preferencesDirectory() names ($DA_PREFERENCES_DIR, so tests
// can point the process-wide store at a temporary directory; the system
// service's state directory; else the user's configuration directory). The
// directories are resolved again whenever the environment has changed since
// the last call (see VxDirectories::EnvironmentStamp).
//
// Administrator defaults: the environment-resolved store also reads the same
// domain file in VxDirectories::preferencesDefaultsDirectory() (normally
// /etc/diagnostics); a key missing from the preferences file is answered from
// there. Writes never go to the defaults.
//
// Readers: synchronize(domain) re-reads the domain's file when it changed since
// the last read. An inotify watch on the directory tells whether anything
// happened there at all, so an unchanged file normally costs one read() that
// finds no event; after an event, at least once a second, and wherever the
// directory cannot be watched, a stat() of the file decides.
// copyValue() answers from the last synchronized state. A missing file
// reads as an empty domain. An unreadable or corrupt file (not JSON, or not a
// JSON object) also reads as empty and writes one line to the system log per
// distinct state of the file, never one per read.
//
// Writers: setValue() does a read-modify-write under an exclusive flock(2) on
// "<domain>.json.lock" in the same directory, writes a temporary file, fsyncs it
// and renames it over the domain file, so readers in other processes see either
// the old or the new file and concurrent writers do not lose each other's
// updates. The lock file is removed again before it is unlocked, so none is
// left behind. Files are 0600, or 0660 in a set-group-ID, group-writable
// directory (the system service's shared preferences).
//
// Values keep their JSON kinds: texts, numbers (booleans included), arrays,
// dictionaries and the null marker.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/VxError.h"
#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxValues.h"
#include "platform/linux/VxDirectories.h"

class VxDirectoryWatch;

// Error domain of failed writes; the codes are errno values.
DA_EXPORT extern const char* const VxPreferencesErrorDomain;  // "VxPreferencesErrorDomain"

class DA_EXPORT VxPreferences {
  public:
    // A store whose directory is resolved from the environment on every call
    // (see above).
    VxPreferences();
    // A store fixed to one directory.
    explicit VxPreferences(std::string directory);
    ~VxPreferences();
    VxPreferences(const VxPreferences&) = delete;
    VxPreferences& operator=(const VxPreferences&) = delete;

    // The process-wide store (environment-resolved directory).
    static VxPreferences& standard();

    // The directory in use now, and the file of a domain in it. A domain name
    // that cannot be a file name (empty, ".", "..", or containing "/" or a NUL
    // character) has no file: "" is returned.
    std::string directory() const;
    std::string pathForDomain(std::string_view domain) const;

    // Re-reads the domain's file. True when the file was read or is missing;
    // false when it could not be read or parsed (the domain then reads as
    // empty).
    bool synchronize(std::string_view domain);

    // The value stored under the key, or nothing. Answers from the last
    // synchronize of the domain (a domain never synchronized is synchronized
    // first).
    Id copyValue(std::string_view key, std::string_view domain);

    // The value read as an unsigned integer: a non-negative integral number, a
    // non-negative floating number (truncated), a boolean (0 or 1) or a text of
    // decimal digits (surrounding blanks allowed). Absent or anything else: 0.
    std::uint64_t unsignedIntegerValue(std::string_view key, std::string_view domain);
    // The value read as a signed integer (numbers, or decimal text with an
    // optional sign), or nothing.
    std::optional<std::int64_t> integerValue(std::string_view key, std::string_view domain);
    // The same after synchronizing the domain, in one step: for readers that
    // want the current value every time (a log level checked on every line).
    // A domain synchronized less than kLineFreshness ago answers as it stands:
    // a call writes several lines, before and after an exchange that takes a
    // few hundred microseconds on a fast link, and each look at the directory
    // watch is a system call. A change shows in every line that starts
    // kLineFreshness after it, and at once after an explicit synchronize;
    // this store's own writes show at once.
    //
    // `freshness`, when given, says how long the same question would get the
    // same answer: until the store's changeCount() moves, the environment
    // changes (see VxDirectories::EnvironmentStamp) or `until` passes,
    // whichever comes first. A reader may keep the answer that long instead
    // of asking again.
    struct Freshness {
        std::uint64_t changeCount = 0;
        std::chrono::steady_clock::time_point until;
    };
    std::optional<std::int64_t> synchronizedIntegerValue(std::string_view key,
                                                         std::string_view domain,
                                                         Freshness* freshness = nullptr);
    static constexpr std::chrono::microseconds kLineFreshness{1000};

    // Moves whenever an answer of this store may have changed: a file re-read,
    // a value written, the directories resolved again.
    std::uint64_t changeCount() const noexcept {
        return changeCount_.load(std::memory_order_acquire);
    }

    // The whole domain as last synchronized (never absent).
    VxDictionaryPtr dictionaryForDomain(std::string_view domain);

    // Stores the value under the key (an absent value removes the key) with an
    // atomic, locked read-modify-write of the domain's file; the directory is
    // created when missing. False with an error when the value cannot be
    // written as JSON or the file cannot be written. A corrupt file is replaced.
    bool setValue(const Id& value, std::string_view key, std::string_view domain,
                  VxErrorPtr* error = nullptr);

  private:
    struct FileState {
        bool exists = false;
        std::uint64_t dev = 0, ino = 0, size = 0;
        std::int64_t mtimeNs = 0, ctimeNs = 0;
        bool operator==(const FileState&) const = default;
    };
    struct Domain {
        std::string directory;            // the file's directory, as watched
        std::optional<FileState> state;   // state of the file last read
        std::uint64_t directoryMark = 0;  // mark of its directory before that stat()
        std::chrono::steady_clock::time_point statAt;
        std::chrono::steady_clock::time_point lookedAt;  // last synchronize
        VxDictionaryPtr values;
        std::optional<FileState> reported;  // state last reported as unreadable
    };

    // A domain's preferences file and its administrator defaults file ("" when
    // there is none), with their cached states (null for no file).
    struct DomainFiles {
        std::string path, defaults;
        Domain* pathDomain = nullptr;
        Domain* defaultsDomain = nullptr;
    };
    DomainFiles filesForDomain(std::string_view domain) const;
    // The same, kept until the environment changes (a fixed store keeps them
    // for good): resolving the directories reads several environment
    // variables, and log lines ask for the same domain on every line.
    const DomainFiles& resolvedFilesLocked(std::string_view domain);
    // The cached state of a file; and its values, read first if never read.
    Domain& domainLocked(const std::string& path);
    VxDictionaryPtr valuesLocked(const std::string& path);
    Id copyValueLocked(std::string_view key, const DomainFiles& files);
    static std::optional<std::int64_t> integerFrom(const Id& value);
    static FileState statFile(const std::string& path);
    // Reads and parses the file; nothing plus a problem text on failure.
    static VxDictionaryPtr readFile(const std::string& path, std::string* problem, bool* missing);
    bool synchronizeLocked(const std::string& domainName, Domain& domain);

    std::optional<std::string> fixedDirectory_;
    std::mutex mutex_;
    std::unique_ptr<VxDirectoryWatch> watch_;                   // guarded by mutex_
    std::map<std::string, Domain, std::less<>> domains_;        // keyed by file path; never erased
    VxDirectories::EnvironmentStamp resolvedStamp_;             // guarded by mutex_
    std::map<std::string, DomainFiles, std::less<>> resolved_;  // by domain; guarded by mutex_
    std::atomic<std::uint64_t> changeCount_{0};                 // moved under mutex_
};
