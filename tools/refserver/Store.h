// What the reference server keeps of the requests it accepts, when started with
// --store DIR: uploaded files, results, profiles, client statuses and enrolled
// devices, in this layout below DIR:
//
//   uploads/<test>/<data>        the uploaded bytes of the last accepted upload
//   uploads/<test>/.<data>.json  its description: testId, dataId, size, md5,
//                                sequence, total, deviceId, sessionId
//   results/<n>.json             each accepted results body, as received
//   profile/<n>.json             each accepted profile body, as received
//   clientstatus/<n>.json        each accepted client status body, as received
//   enrolled.json                every serial number enrolled -> its device id
//
// <n> counts from 1 in arrival order (six digits, continuing after the files
// already there). <test> and <data> are the identifiers percent-encoded: bytes
// other than letters, digits, "-", "_" and "." become %XX, so does a leading
// "." (names that start with "." are the store's own), and the empty
// identifier is stored as "%".
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace refserver {

// The body of one upload as it streams in: its size and MD5, and, when a store
// is kept, a temporary file holding it.
class UploadReceiver {
  public:
    // `partialPath` empty: nothing is written, only counted and digested.
    explicit UploadReceiver(std::string partialPath);
    ~UploadReceiver();
    UploadReceiver(const UploadReceiver&) = delete;
    UploadReceiver& operator=(const UploadReceiver&) = delete;

    // False when the bytes cannot be written to the temporary file.
    bool add(const char* data, std::size_t length);
    // Ends the digest; size() and md5() are final afterwards.
    void finish();
    std::uint64_t size() const { return size_; }
    const std::string& md5() const { return md5_; }
    const std::string& partialPath() const { return partialPath_; }
    // Removes the temporary file (a refused upload keeps nothing).
    void discard();

  private:
    std::string partialPath_;
    std::FILE* file_ = nullptr;
    EVP_MD_CTX* digest_ = nullptr;
    std::uint64_t size_ = 0;
    std::string md5_;
};

class Store {
  public:
    // Creates the directory when needed; throws std::runtime_error when it
    // cannot be used.
    explicit Store(std::string directory);

    const std::string& directory() const { return directory_; }

    // A temporary path for an upload's body, inside the store.
    std::string partialUploadPath();
    // Moves an accepted upload into place and writes its description.
    bool keepUpload(UploadReceiver& body, const nlohmann::json& description);
    // Keeps the body of an accepted call ("results", "profile", "clientstatus").
    void keepBody(const std::string& call, const std::string& body);
    // Adds serial number -> device id entries to enrolled.json.
    void keepEnrolled(const nlohmann::json& devices);

    // Everything stored: {"directory", "uploads": [descriptions with "path"],
    // "results"/"profile"/"clientstatus": [paths], "enrolled": {...}}.
    nlohmann::json listing() const;

  private:
    std::string nextNumberedPath(const std::string& call);

    std::string directory_;
    mutable std::mutex mutex_;
    unsigned long long partialCounter_ = 0;
};

// The file-name form of an identifier (see the layout above).
std::string storeName(const std::string& identifier);
// The hexadecimal MD5 of a byte string.
std::string md5Hex(const std::string& bytes);

}  // namespace refserver
