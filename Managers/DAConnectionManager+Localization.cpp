// Localization bundle: the server's strings table, downloaded from
// "assets/strings" below the base URL read at call time, becomes
// <bundle>/Base.lproj/Localizable.strings.
//
// The table is put in place only after a complete, successful download: the
// download lands in a private staging directory beside the old Base.lproj,
// which then replaces it, so a failed or partial download, or a server error
// page, never replaces a good table and no reader ever sees a half-written one.
// Nothing is copied: the table is renamed into place on its own file system,
// and a full disk or any other file failure is logged with its real cause.

#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "Managers/DAConnectionManager.h"
#include "Managers/DALogging.h"
#include "platform/foundation/VxDispatch.h"
#include "platform/foundation/VxStream.h"
#include "platform/linux/VxURLSession.h"
#include "requests/NUCRestResponse.h"

namespace fs = std::filesystem;

namespace {

constexpr double kLocalizationWaitSeconds = 5.0;

VxErrorPtr fileError(int code, const std::string& what, const std::string& path) {
    auto info = VxMutableDictionary::dictionary();
    info->setObject(vxstr(what + " " + path + ": " + std::strerror(code)),
                    VxLocalizedDescriptionKey);
    info->setObject(vxstr(path), VxFilePathErrorKey);
    return VxError::errorWithDomain(VxPOSIXErrorDomain, code, info);
}

VxErrorPtr fileError(const std::error_code& ec, const std::string& what, const std::string& path) {
    return fileError(ec.value() ? ec.value() : EIO, what, path);
}

// Removes a directory and its contents; an error when it does not exist or
// cannot be removed.
VxErrorPtr removeItem(const std::string& path) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(path, ec))) return fileError(ENOENT, "Cannot remove", path);
    fs::remove_all(path, ec);
    if (ec) return fileError(ec, "Cannot remove", path);
    return nullptr;
}

// A private (0700) staging directory beside `bundleDir`, in which the new
// Base.lproj is assembled: its path, or empty after logging why it could not be
// made.
std::string makeStagingDirectory(const std::string& bundleDir) {
    const fs::path target(bundleDir);
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    std::string pattern = (target.parent_path() / ".Base.lproj.XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!::mkdtemp(name.data())) {
        DALog(4, "Localization bundle: %@",
              fileError(errno, "Cannot create", pattern)->localizedDescription());
        return {};
    }
    return name.data();
}

// Makes the downloaded file, which lies in `staging`, the strings table of a
// new Base.lproj and moves that into place as `bundleDir`. Logs the cause and
// leaves the current bundle alone when that fails.
void installTable(const std::string& downloadedPath, const std::string& staging,
                  const std::string& bundleDir) {
    std::error_code ec;
    const std::string table = staging + "/Localizable.strings";
    fs::rename(downloadedPath, table, ec);
    if (ec) {
        DALog(4, "Localization bundle: %@",
              fileError(ec, "Cannot move into place", table)->localizedDescription());
        return;
    }
    // The staging directory and the downloaded file are private to this user;
    // the bundle gets the usual permissions.
    ::chmod(staging.c_str(), 0755);
    ::chmod(table.c_str(), 0644);

    if (VxErrorPtr error = removeItem(bundleDir))
        DALog(6, "Couldn't remove localization bundle: %@", error->localizedDescription());
    fs::rename(staging, bundleDir, ec);
    if (ec)
        DALog(4, "Localization bundle: %@",
              fileError(ec, "Cannot move into place", bundleDir)->localizedDescription());
}

}  // namespace

void DAConnectionManager::saveLocalizationToBundleURL(const VxURLPtr& bundleURL) const {
    if (!bundleURL || !bundleURL->isFileURL() || bundleURL->path().empty()) {
        DALog(4, "Localization bundle: %@", "the bundle location is not a file URL");
        return;
    }
    VxURLPtr lproj = bundleURL->URLByAppendingPathComponent("Base.lproj", true);
    std::string bundleDir = lproj ? lproj->path() : std::string();
    while (bundleDir.size() > 1 && bundleDir.back() == '/') bundleDir.pop_back();

    VxStringPtr base = getServerBaseURL();
    VxURLPtr baseURL = base ? VxURL::URLWithString(base->str()) : nullptr;
    VxURLPtr source = baseURL ? baseURL->URLByAppendingPathComponent("assets") : nullptr;
    if (source) source = source->URLByAppendingPathComponent("strings");
    if (!source || bundleDir.empty()) {
        DALog(4, "Localization bundle: %@", "the server URL is not valid");
        return;
    }

    // The download lands in a private staging directory inside the bundle, on
    // the same file system as its destination, and becomes the new Base.lproj
    // there without a copy.
    const std::string staging = makeStagingDirectory(bundleDir);
    if (staging.empty()) return;
    VxURLLoadOptions options;
    options.temporaryDirectory = staging;
    if (DATransferObserver observer = transferObserver()) {
        options.progress = [observer](const VxURLTransferProgress& p) {
            observer(DATransferPhase::Download, p.bytesReceived, p.totalBytesToReceive);
        };
    }

    // The completion runs on the session's own queue and may come after this
    // call has returned, so it holds its own reference to the semaphore.
    auto done = std::make_shared<VxSemaphore>();
    VxURLSessionTaskPtr task = VxURLSession::sharedSession().downloadTaskWithRequest(
        VxURLRequest::requestWithURL(source), options,
        [done, bundleDir, staging](const VxURLPtr& location, const VxURLResponsePtr& response,
                                   const VxErrorPtr& error) {
            if (error) {
                DALog(4, "Localization bundle: %@", error->localizedDescription());
            } else if (NUCRestResponsePtr wrapper = NUCRestResponse::initWithResponse(response);
                       wrapper && !wrapper->isStatusOK()) {
                // An error page is not a strings table: keep the current one.
                DALog(4, "Localization bundle: %@",
                      wrapper->error() ? wrapper->error()->localizedDescription()
                                       : std::string("the server refused the request"));
            } else if (!location || !location->isFileURL()) {
                DALog(4, "Localization bundle: %@", "no file was downloaded");
            } else {
                installTable(location->path(), staging, bundleDir);
            }
            // Whatever was not moved into place goes.
            std::error_code ec;
            fs::remove_all(staging, ec);
            done->signal();
        });
    if (!task) {
        std::error_code ec;
        fs::remove_all(staging, ec);
        return;
    }
    task->resume();
    done->wait(kLocalizationWaitSeconds);
}
