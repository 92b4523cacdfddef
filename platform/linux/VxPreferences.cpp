#include "platform/linux/VxPreferences.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/foundation/VxFileReading.h"
#include "platform/foundation/VxJSON.h"
#include "platform/linux/VxDirectories.h"
#include "platform/linux/VxDirectoryWatchPrivate.h"
#include "platform/linux/VxSystemLog.h"

const char* const VxPreferencesErrorDomain = "VxPreferencesErrorDomain";

namespace {

bool validDomainName(std::string_view domain) {
    return !domain.empty() && domain != "." && domain != ".." &&
           domain.find('/') == std::string_view::npos &&
           domain.find('\0') == std::string_view::npos;
}

// mkdir -p with mode 0700 for the directories created here.
bool makeDirectories(const std::string& path) {
    if (path.empty()) return false;
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty()) continue;
        if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

VxErrorPtr posixError(int code, const std::string& what, const std::string& path) {
    auto info = VxMutableDictionary::dictionary();
    info->setObject(vxstr("The preferences could not be saved."), VxLocalizedDescriptionKey);
    info->setObject(vxstr(what + ": " + std::strerror(code)), VxLocalizedFailureReasonErrorKey);
    info->setObject(vxstr(path), VxFilePathErrorKey);
    return VxError::errorWithDomain(VxPreferencesErrorDomain, code,
                                    std::static_pointer_cast<VxDictionary>(info->copy()));
}

// Opens and exclusively locks the domain's lock file; -1 with an error on
// failure. Writers unlink the lock file before they unlock it, so a lock taken
// on a file that is no longer the one at the path is dropped and taken again.
int lockDomainFile(const std::string& lockPath, mode_t mode, VxErrorPtr* error) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, mode);
        if (fd < 0) {
            vxSetError(error, posixError(errno, "Cannot open lock file", lockPath));
            return -1;
        }
        (void)fchmod(fd, mode);  // past the umask; fails harmlessly on another user's file
        while (flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                int e = errno;
                ::close(fd);
                vxSetError(error, posixError(e, "Cannot lock", lockPath));
                return -1;
            }
        }
        struct stat held {
        }, current{};
        if (fstat(fd, &held) == 0 && stat(lockPath.c_str(), &current) == 0 &&
            held.st_dev == current.st_dev && held.st_ino == current.st_ino)
            return fd;
        ::close(fd);
    }
    vxSetError(error, posixError(EAGAIN, "Cannot lock", lockPath));
    return -1;
}

bool writeAll(int fd, const std::uint8_t* bytes, std::size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, bytes, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

VxPreferences::VxPreferences() : watch_(std::make_unique<VxDirectoryWatch>()) {}
VxPreferences::VxPreferences(std::string directory)
    : fixedDirectory_(std::move(directory)), watch_(std::make_unique<VxDirectoryWatch>()) {}
VxPreferences::~VxPreferences() = default;

VxPreferences& VxPreferences::standard() {
    // Never destroyed: log calls may read preferences during static destruction.
    static VxPreferences* store = new VxPreferences();
    return *store;
}

std::string VxPreferences::directory() const {
    if (fixedDirectory_) return *fixedDirectory_;
    return VxDirectories::preferencesDirectory();
}

namespace {

std::string domainFile(std::string dir, std::string_view domain) {
    if (dir.empty() || !validDomainName(domain)) return {};
    if (dir.back() != '/') dir += '/';
    return dir + std::string(domain) + ".json";
}

// Files in a shared directory (group-writable with the set-group-ID bit, such
// as the system service's preferences) stay readable and writable by the
// group; everywhere else they are private to the user.
mode_t fileModeForDirectory(const std::string& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0 && (st.st_mode & S_ISGID) && (st.st_mode & S_IWGRP))
        return 0660;
    return 0600;
}

}  // namespace

std::string VxPreferences::pathForDomain(std::string_view domain) const {
    return domainFile(directory(), domain);
}

VxPreferences::DomainFiles VxPreferences::filesForDomain(std::string_view domain) const {
    DomainFiles files{pathForDomain(domain), {}};
    if (!fixedDirectory_ && !files.path.empty()) {
        files.defaults = domainFile(VxDirectories::preferencesDefaultsDirectory(), domain);
        if (files.defaults == files.path) files.defaults.clear();
    }
    return files;
}

VxPreferences::FileState VxPreferences::statFile(const std::string& path) {
    FileState state;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return state;
    state.exists = true;
    state.dev = st.st_dev;
    state.ino = st.st_ino;
    state.size = static_cast<std::uint64_t>(st.st_size);
    state.mtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    state.ctimeNs = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return state;
}

VxDictionaryPtr VxPreferences::readFile(const std::string& path, std::string* problem,
                                        bool* missing) {
    *missing = false;
    VxFileReadResult file = VxReadWholeFile(path);
    if (file.status == VxFileReadStatus::missing) {
        *missing = true;
        return nullptr;
    }
    if (!file) {
        *problem = file.problem;
        return nullptr;
    }
    std::vector<std::uint8_t> bytes(file.bytes.begin(), file.bytes.end());
    if (bytes.empty()) {
        // An empty file is what a crashed editor leaves behind; treat as corrupt.
        *problem = "is empty, not a JSON object";
        return nullptr;
    }
    VxErrorPtr error;
    Id obj = VxJSONSerialization::JSONObjectWithData(VxData::dataWithVector(std::move(bytes)), 0,
                                                     &error);
    auto dict = vx_cast<VxDictionary>(obj);
    if (!dict) {
        *problem = error ? "is not valid JSON (" + error->localizedDescription() + ")"
                         : std::string("is not a JSON object");
        return nullptr;
    }
    return dict;
}

bool VxPreferences::synchronizeLocked(const std::string& path, Domain& domain) {
    // The mark is taken before the stat(): a change after it gives the
    // directory a new mark, so the next call stats again.
    // The time is taken before the look, so that a change during it counts as
    // newer than the look.
    const auto checkedAt = std::chrono::steady_clock::now();
    const std::optional<std::uint64_t> mark = watch_->look(domain.directory);
    domain.lookedAt = checkedAt;
    if (mark && *mark == domain.directoryMark && domain.state && domain.values &&
        checkedAt - domain.statAt < VxDirectoryWatch::kRestatInterval)
        return !domain.reported || *domain.reported != *domain.state;
    FileState now = statFile(path);
    domain.directoryMark = mark.value_or(0);
    domain.statAt = checkedAt;
    if (domain.state && *domain.state == now && domain.values)
        return !domain.reported || *domain.reported != now;
    std::string problem;
    bool missing = false;
    VxDictionaryPtr values = now.exists ? readFile(path, &problem, &missing) : nullptr;
    if (!now.exists) missing = true;
    domain.state = now;
    changeCount_.fetch_add(1, std::memory_order_release);
    if (values) {
        domain.values = values;
        domain.reported.reset();
        return true;
    }
    domain.values = VxDictionary::dictionary();
    if (missing) {
        domain.reported.reset();
        return true;
    }
    if (!domain.reported || *domain.reported != now) {
        domain.reported = now;
        VxSystemLog("Preferences file " + path + " " + problem + "; reading it as empty");
    }
    return false;
}

bool VxPreferences::synchronize(std::string_view domain) {
    std::lock_guard lock(mutex_);
    const DomainFiles& files = resolvedFilesLocked(domain);
    if (files.path.empty()) return false;
    if (files.defaultsDomain) synchronizeLocked(files.defaults, *files.defaultsDomain);
    return synchronizeLocked(files.path, *files.pathDomain);
}

const VxPreferences::DomainFiles& VxPreferences::resolvedFilesLocked(std::string_view domain) {
    if (!fixedDirectory_ && !resolvedStamp_.current()) {
        resolved_.clear();
        resolvedStamp_.take();
        changeCount_.fetch_add(1, std::memory_order_release);
    }
    if (auto it = resolved_.find(domain); it != resolved_.end()) return it->second;
    DomainFiles files = filesForDomain(domain);
    if (!files.path.empty()) files.pathDomain = &domainLocked(files.path);
    if (!files.defaults.empty()) files.defaultsDomain = &domainLocked(files.defaults);
    return resolved_.emplace(std::string(domain), std::move(files)).first->second;
}

VxPreferences::Domain& VxPreferences::domainLocked(const std::string& path) {
    auto [it, added] = domains_.try_emplace(path);
    if (added) it->second.directory = path.substr(0, path.rfind('/'));
    return it->second;
}

VxDictionaryPtr VxPreferences::valuesLocked(const std::string& path) {
    Domain& d = domainLocked(path);
    if (!d.values) synchronizeLocked(path, d);
    return d.values;
}

VxDictionaryPtr VxPreferences::dictionaryForDomain(std::string_view domain) {
    const std::string path = pathForDomain(domain);
    if (path.empty()) return VxDictionary::dictionary();
    std::lock_guard lock(mutex_);
    VxDictionaryPtr values = valuesLocked(path);
    return values ? values : VxDictionary::dictionary();
}

Id VxPreferences::copyValue(std::string_view key, std::string_view domain) {
    std::lock_guard lock(mutex_);
    const DomainFiles& files = resolvedFilesLocked(domain);
    if (files.path.empty()) return nullptr;
    return copyValueLocked(key, files);
}

Id VxPreferences::copyValueLocked(std::string_view key, const DomainFiles& files) {
    Domain& own = *files.pathDomain;
    if (!own.values) synchronizeLocked(files.path, own);
    if (own.values)
        if (Id value = own.values->objectForKey(key)) return value;
    if (!files.defaultsDomain) return nullptr;
    Domain& defaults = *files.defaultsDomain;
    if (!defaults.values) synchronizeLocked(files.defaults, defaults);
    return defaults.values ? defaults.values->objectForKey(key) : nullptr;
}

namespace {

std::optional<std::int64_t> parseInteger(std::string_view text, bool allowSign) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    bool negative = false;
    if (allowSign && !text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.size() > 18) return std::nullopt;
    std::int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return negative ? -v : v;
}

}  // namespace

std::uint64_t VxPreferences::unsignedIntegerValue(std::string_view key, std::string_view domain) {
    Id value = copyValue(key, domain);
    if (auto number = vx_cast<VxNumber>(value)) {
        if (number->isFloatingPoint()) {
            double d = number->doubleValue();
            if (!(d >= 0) || d >= 18446744073709551616.0) return 0;
            return static_cast<std::uint64_t>(d);
        }
        if (number->isUnsignedInteger() || number->isBoolean())
            return number->unsignedLongLongValue();
        std::int64_t v = number->longLongValue();
        return v < 0 ? 0 : static_cast<std::uint64_t>(v);
    }
    if (auto text = vx_cast<VxString>(value)) {
        auto v = parseInteger(text->str(), false);
        return v ? static_cast<std::uint64_t>(*v) : 0;
    }
    return 0;
}

std::optional<std::int64_t> VxPreferences::integerValue(std::string_view key,
                                                        std::string_view domain) {
    return integerFrom(copyValue(key, domain));
}

std::optional<std::int64_t> VxPreferences::synchronizedIntegerValue(std::string_view key,
                                                                    std::string_view domain,
                                                                    Freshness* freshness) {
    std::lock_guard lock(mutex_);
    const DomainFiles& files = resolvedFilesLocked(domain);
    if (files.path.empty()) {
        if (freshness)
            *freshness = {changeCount_.load(std::memory_order_relaxed),
                          std::chrono::steady_clock::time_point::max()};
        return std::nullopt;
    }
    const auto now = std::chrono::steady_clock::now();
    const auto stale = [&](const Domain& d) {
        return !d.values || now - d.lookedAt >= kLineFreshness;
    };
    if (files.defaultsDomain && stale(*files.defaultsDomain))
        synchronizeLocked(files.defaults, *files.defaultsDomain);
    if (stale(*files.pathDomain)) synchronizeLocked(files.path, *files.pathDomain);
    std::optional<std::int64_t> answer = integerFrom(copyValueLocked(key, files));
    if (freshness) {
        // The next call answers as it stands until the older look expires.
        auto lookedAt = files.pathDomain->lookedAt;
        if (files.defaultsDomain) lookedAt = std::min(lookedAt, files.defaultsDomain->lookedAt);
        *freshness = {changeCount_.load(std::memory_order_relaxed), lookedAt + kLineFreshness};
    }
    return answer;
}

std::optional<std::int64_t> VxPreferences::integerFrom(const Id& value) {
    if (auto number = vx_cast<VxNumber>(value)) {
        if (number->isFloatingPoint()) {
            double d = number->doubleValue();
            if (!std::isfinite(d) || std::fabs(d) > 9.0e18) return std::nullopt;
            return static_cast<std::int64_t>(d);
        }
        return number->longLongValue();
    }
    if (auto text = vx_cast<VxString>(value)) return parseInteger(text->str(), true);
    return std::nullopt;
}

bool VxPreferences::setValue(const Id& value, std::string_view key, std::string_view domain,
                             VxErrorPtr* error) {
    std::string path = pathForDomain(domain);
    if (path.empty()) {
        vxSetError(error,
                   VxError::errorWithDomain(VxPreferencesErrorDomain, EINVAL,
                                            "The preferences could not be saved.",
                                            "The domain name is not usable as a file name."));
        return false;
    }
    std::string dir = path.substr(0, path.rfind('/'));
    if (!makeDirectories(dir)) {
        vxSetError(error, posixError(errno ? errno : ENOTDIR, "Cannot create directory", dir));
        return false;
    }

    std::string lockPath = path + ".lock";
    mode_t mode = fileModeForDirectory(dir);
    int lockFd = lockDomainFile(lockPath, mode, error);
    if (lockFd < 0) return false;

    // Read-modify-write under the lock, always from the file itself.
    std::string problem;
    bool missing = false;
    VxDictionaryPtr current = readFile(path, &problem, &missing);
    auto updated = VxMutableDictionary::dictionary();
    if (current) updated->addEntriesFromDictionary(*current);
    updated->setObject(value, key);

    VxErrorPtr jsonError;
    VxDataPtr bytes =
        VxJSONSerialization::dataWithJSONObject(updated, VxJSONWritingPrettyPrinted, &jsonError);
    bool ok = false;
    std::string tmpPath = path + ".XXXXXX";
    if (!bytes) {
        vxSetError(error,
                   VxError::errorWithDomain(
                       VxPreferencesErrorDomain, EINVAL, "The preferences could not be saved.",
                       jsonError ? jsonError->localizedDescription()
                                 : std::string("The value cannot be stored as JSON.")));
    } else {
        std::vector<char> tmpl(tmpPath.begin(), tmpPath.end());
        tmpl.push_back('\0');
        int fd = mkostemp(tmpl.data(), O_CLOEXEC);
        if (fd < 0) {
            vxSetError(error, posixError(errno, "Cannot create temporary file", tmpPath));
        } else {
            tmpPath = tmpl.data();
            bool written = writeAll(fd, bytes->bytes(), bytes->length()) &&
                           writeAll(fd, reinterpret_cast<const std::uint8_t*>("\n"), 1) &&
                           fchmod(fd, mode) == 0 && fsync(fd) == 0;
            int e = errno;
            ::close(fd);
            if (!written) {
                ::unlink(tmpPath.c_str());
                vxSetError(error, posixError(e, "Cannot write", tmpPath));
            } else if (::rename(tmpPath.c_str(), path.c_str()) != 0) {
                e = errno;
                ::unlink(tmpPath.c_str());
                vxSetError(error, posixError(e, "Cannot replace", path));
            } else {
                if (int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
                    fsync(dfd);
                    ::close(dfd);
                }
                ok = true;
            }
        }
    }
    // The lock file goes while it is still locked: a writer waiting on the old
    // file finds it unlinked once it gets the lock and starts over.
    ::unlink(lockPath.c_str());
    flock(lockFd, LOCK_UN);
    ::close(lockFd);

    if (ok) {
        std::lock_guard lock(mutex_);
        Domain& d = domainLocked(path);
        d.values = std::static_pointer_cast<VxDictionary>(updated->copy());
        d.state = statFile(path);
        d.reported.reset();
        changeCount_.fetch_add(1, std::memory_order_release);
        vxSetError(error, nullptr);
    }
    return ok;
}
