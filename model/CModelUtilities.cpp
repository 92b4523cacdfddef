#include "model/CModelUtilities.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>
#include <system_error>

#include "model/CPropertyModel.h"
#include "platform/foundation/VxFileReading.h"
#include "platform/foundation/VxJSON.h"

namespace {

// ---------------------------------------------------------------------------
// Release information (os-release): KEY=VALUE lines, values optionally quoted
// in double quotes (with backslash escapes) or single quotes; "#" starts a
// comment line.

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::string unquote(std::string_view raw) {
    std::string value;
    if (!raw.empty() && raw.front() == '\'') {
        const auto close = raw.find('\'', 1);
        return std::string(
            raw.substr(1, close == std::string_view::npos ? raw.size() - 1 : close - 1));
    }
    const bool doubleQuoted = !raw.empty() && raw.front() == '"';
    for (std::size_t i = doubleQuoted ? 1 : 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '\\' && i + 1 < raw.size()) {
            value.push_back(raw[++i]);
        } else if (doubleQuoted && c == '"') {
            break;
        } else {
            value.push_back(c);
        }
    }
    return value;
}

// VERSION_ID of the release file's text; nothing when it has none or it is empty.
std::optional<std::string> versionIdInText(const std::string& text) {
    std::istringstream in(text);
    std::optional<std::string> found;
    std::string line;
    while (std::getline(in, line)) {
        const std::string_view entry = trim(line);
        if (entry.empty() || entry.front() == '#') continue;
        const auto equals = entry.find('=');
        if (equals == std::string_view::npos) continue;
        if (trim(entry.substr(0, equals)) != "VERSION_ID") continue;
        std::string value = unquote(trim(entry.substr(equals + 1)));
        found = value.empty() ? std::nullopt : std::optional<std::string>(std::move(value));
    }
    return found;
}

VxStringPtr readSystemVersion() {
    return CModelUtilities::systemVersionFromReleaseFiles(
        CModelUtilities::defaultReleaseFilePaths());
}

// ---------------------------------------------------------------------------
// Files.

// The process's file-creation mask, read without changing it.
mode_t currentUmask() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0) {
            try {
                return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
            } catch (...) {
                break;
            }
        }
    }
    return 022;
}

VxErrorPtr fileWriteError(std::int64_t code, const std::string& path, const std::string& reason) {
    std::string name = path;
    if (const auto slash = path.find_last_of('/'); slash != std::string::npos) {
        name = path.substr(slash + 1);
    }
    auto info = VxMutableDictionary::dictionary();
    info->setObject(VxString::make("The file \"" + name + "\" could not be written."),
                    VxLocalizedDescriptionKey);
    if (!reason.empty()) info->setObject(VxString::make(reason), VxLocalizedFailureReasonErrorKey);
    if (!path.empty()) info->setObject(VxString::make(path), VxFilePathErrorKey);
    return VxError::errorWithDomain(VxCocoaErrorDomain, code, info);
}

VxErrorPtr errnoError(int err, const std::string& path) {
    std::int64_t code = CModelUtilities::kFileWriteUnknownError;
    switch (err) {
        case ENOENT:
        case ENOTDIR:
            code = CModelUtilities::kFileNoSuchFileError;
            break;
        case EACCES:
        case EPERM:
        case EROFS:
            code = CModelUtilities::kFileWriteNoPermissionError;
            break;
        case ENAMETOOLONG:
            code = CModelUtilities::kFileWriteInvalidFileNameError;
            break;
        case ENOSPC:
        case EDQUOT:
            code = CModelUtilities::kFileWriteOutOfSpaceError;
            break;
        default:
            break;
    }
    return fileWriteError(code, path, std::error_code(err, std::generic_category()).message());
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Writes the bytes to a temporary file beside `path` and renames it over
// `path`, so that a failure part-way never leaves a truncated file behind.
VxErrorPtr writeFileAtomically(const std::string& path, std::string_view bytes) {
    if (path.empty() || path.back() == '/') {
        return fileWriteError(CModelUtilities::kFileWriteInvalidFileNameError, path,
                              "The path names no file.");
    }
    const auto slash = path.find_last_of('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    // The temporary name stays within the file-name length limit.
    std::string temp =
        directory + (directory.back() == '/' ? "" : "/") + "." + name.substr(0, 200) + ".XXXXXX";

    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return errnoError(errno, path);

    // Keep the permissions of the file being replaced; a new file gets the
    // usual ones under the process's umask (mkostemp creates it 0600).
    struct stat existing {};
    const mode_t mode = ::stat(path.c_str(), &existing) == 0 ? (existing.st_mode & 07777)
                                                             : (0666 & ~currentUmask());
    int err = 0;
    if (::fchmod(fd, mode) != 0 || !writeAll(fd, bytes) || ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(temp.c_str());
        return errnoError(err, path);
    }
    return nullptr;
}

// The file that `path` names once symbolic links at its last component are
// followed (the target of a link, of a link to a link, ...). Errors: ELOOP for
// a cycle or too long a chain.
int followLinks(std::string* path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path->c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return 0;
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        const ssize_t n = ::readlink(path->c_str(), target.data(), target.size());
        if (n < 0) return errno;
        if (static_cast<std::size_t>(n) >= target.size()) return ENAMETOOLONG;
        target.resize(static_cast<std::size_t>(n));
        if (!target.empty() && target.front() != '/') {
            const auto slash = path->find_last_of('/');
            if (slash != std::string::npos) target = path->substr(0, slash + 1) + target;
        }
        *path = std::move(target);
    }
    return ELOOP;
}

// Writes into an existing file that is not a regular one (a FIFO, a device):
// such a destination cannot be replaced, only written. Opening does not wait
// for a FIFO's reader (no reader gives an error); the writes themselves do.
VxErrorPtr writeFileInPlace(const std::string& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return errnoError(errno, path);
    int err = 0;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || !writeAll(fd, bytes))
        err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    return err != 0 ? errnoError(err, path) : nullptr;
}

// Writes a whole file at `path`: through symbolic links to their target, in
// place when the target exists and is not a regular file, else atomically.
VxErrorPtr writeFileContents(std::string path, std::string_view bytes) {
    if (const int err = followLinks(&path); err != 0) return errnoError(err, path);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        if (S_ISDIR(st.st_mode)) return errnoError(EISDIR, path);
        return writeFileInPlace(path, bytes);
    }
    return writeFileAtomically(path, bytes);
}

}  // namespace

// ---------------------------------------------------------------------------
// System version.

const std::vector<std::string>& CModelUtilities::defaultReleaseFilePaths() {
    static const std::vector<std::string> paths{"/etc/os-release", "/usr/lib/os-release"};
    return paths;
}

VxStringPtr CModelUtilities::systemVersionFromReleaseFiles(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        VxFileReadResult file = VxReadWholeFile(path);
        if (file.status == VxFileReadStatus::missing) continue;
        if (!file) break;  // there, but not a readable regular file: no version
        // The first file that exists is the release information, whether or
        // not it has a version.
        if (auto version = versionIdInText(file.bytes)) return VxString::make(std::move(*version));
        break;
    }
    return VxString::make(kDefaultSystemVersion);
}

VxStringPtr CModelUtilities::getSystemVersion() {
    static const VxStringPtr version = readSystemVersion();
    return version;
}

VxStringPtr getSystemVersion() {
    static const VxStringPtr version = readSystemVersion();
    return version;
}

// ---------------------------------------------------------------------------
// Property classes.

const VxClass* CModelUtilities::classFromProperty(const CPropertyDeclaration* property) {
    // Characters that end a class name inside an object type string.
    static constexpr std::string_view kStopSet = "\"<";
    if (!property) return nullptr;
    const std::optional<std::string> type =
        CPropertyAttributes::attributeValue(property->attributes, 'T');
    if (!type || type->empty()) return nullptr;
    if (type->size() < 2 || (*type)[0] != '@' || (*type)[1] != '"') return nullptr;
    const std::string_view rest = std::string_view(*type).substr(2);
    const std::string_view name = rest.substr(0, rest.find_first_of(kStopSet));
    if (name.empty()) return nullptr;
    return VxClass::classNamed(name);
}

// ---------------------------------------------------------------------------
// Hexadecimal text.

VxStringPtr CModelUtilities::hexStringFromVxData(const VxDataPtr& data, bool useCapitals) {
    if (!data || data->length() == 0) return nullptr;
    const char* digits = useCapitals ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    text.reserve(2 + data->length() * 2);
    text += "0x";
    for (std::size_t i = 0; i < data->length(); ++i) {
        const std::uint8_t byte = data->bytes()[i];
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0f]);
    }
    return VxString::make(std::move(text));
}

namespace {

// The number's value as an unsigned 64-bit integer; negative values give their
// two's complement pattern. Floating-point values are truncated toward zero and
// clamped to the 64-bit range; not-a-number gives 0.
std::uint64_t unsignedBits(const VxNumber& number) {
    if (number.isFloatingPoint()) {
        const double d = number.doubleValue();
        if (std::isnan(d)) return 0;
        if (d >= 18446744073709551616.0) return UINT64_MAX;
        if (d >= 0) return static_cast<std::uint64_t>(d);
        if (d <= -9223372036854775808.0) return static_cast<std::uint64_t>(INT64_MIN);
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(d));
    }
    if (number.isUnsignedInteger()) return number.unsignedLongLongValue();
    return static_cast<std::uint64_t>(number.longLongValue());
}

}  // namespace

VxStringPtr CModelUtilities::hexStringFromVxNumber(const VxNumberPtr& number, bool useCapitals) {
    if (!number) return nullptr;
    // Zero-padded to 24 digits, then the leading zeros removed: the same as the
    // unpadded form, which always has at least one digit.
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, useCapitals ? "%" PRIX64 : "%" PRIx64,
                  unsignedBits(*number));
    return VxString::make(std::string("0x") + buffer);
}

// ---------------------------------------------------------------------------
// CSV documents.

VxStringPtr CModelUtilities::csvStringFromModelArray(const VxArrayPtr& modelArray) {
    if (!modelArray || modelArray->count() == 0) return nullptr;
    std::vector<const CPropertyModel*> records;
    records.reserve(modelArray->count());
    for (const Id& element : *modelArray) {
        const auto* record = dynamic_cast<const CPropertyModel*>(element.get());
        if (!record) return nullptr;  // a row could not be written for it
        records.push_back(record);
    }
    std::string text;
    if (VxStringPtr header = records.front()->propertyNamesToCSV()) text += header->str();
    for (const CPropertyModel* record : records) {
        if (VxStringPtr row = record->propertyValuesToCSV()) text += row->str();
    }
    return VxString::make(std::move(text));
}

bool CModelUtilities::writeModelArray(const VxArrayPtr& modelArray, const VxURLPtr& toCSVFile,
                                      VxErrorPtr* error) {
    const VxStringPtr csv = csvStringFromModelArray(modelArray);
    if (!csv || csv->empty()) {
        vxSetError(error, nullptr);
        return false;
    }
    if (!toCSVFile) {
        vxSetError(error, fileWriteError(kFileWriteInvalidFileNameError, "", "No file URL given."));
        return false;
    }
    if (!toCSVFile->isFileURL()) {
        vxSetError(error,
                   fileWriteError(kFileWriteUnsupportedSchemeError, toCSVFile->absoluteString(),
                                  "The URL is not a file URL."));
        return false;
    }
    VxErrorPtr failure = writeFileContents(toCSVFile->path(), csv->str());
    const bool ok = failure == nullptr;
    vxSetError(error, std::move(failure));
    return ok;
}
