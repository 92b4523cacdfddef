#include "Store.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace refserver {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

std::string hexOf(const unsigned char* bytes, unsigned int length) {
    std::string hex;
    char two[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        hex += two;
    }
    return hex;
}

bool writeFileAtomically(const fs::path& path, const std::string& bytes) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    const fs::path temporary = path.string() + ".partial";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()))) return false;
    }
    fs::rename(temporary, path, ec);
    return !ec;
}

// The description of an uploaded file: ".<name>.json" beside it.
std::string descriptionPath(const fs::path& file) {
    return (file.parent_path() / ("." + file.filename().string() + ".json")).string();
}

json readJsonFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    json j = json::parse(in, nullptr, false);
    return j.is_discarded() ? json() : j;
}

// The numbered files of a call directory, in order.
std::vector<std::string> numberedFiles(const fs::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        if (entry.path().extension() == ".json") names.push_back(entry.path().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

std::string md5Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &len, EVP_md5(), nullptr) != 1) return "";
    return hexOf(digest, len);
}

std::string storeName(const std::string& identifier) {
    if (identifier.empty()) return "%";
    std::string name;
    char escaped[4];
    for (unsigned char c : identifier) {
        // A leading dot is encoded: names starting with "." are the store's own.
        const bool plain = std::isalnum(c) || c == '-' || c == '_' || (c == '.' && !name.empty());
        if (plain) {
            name += static_cast<char>(c);
        } else {
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            name += escaped;
        }
    }
    return name;
}

UploadReceiver::UploadReceiver(std::string partialPath)
    : partialPath_(std::move(partialPath)), digest_(EVP_MD_CTX_new()) {
    if (digest_ != nullptr) EVP_DigestInit_ex(digest_, EVP_md5(), nullptr);
    if (!partialPath_.empty()) file_ = std::fopen(partialPath_.c_str(), "wb");
}

UploadReceiver::~UploadReceiver() {
    if (file_ != nullptr) std::fclose(file_);
    if (digest_ != nullptr) EVP_MD_CTX_free(digest_);
    discard();
}

bool UploadReceiver::add(const char* data, std::size_t length) {
    size_ += length;
    if (digest_ != nullptr) EVP_DigestUpdate(digest_, data, length);
    if (partialPath_.empty()) return true;
    return file_ != nullptr && std::fwrite(data, 1, length, file_) == length;
}

void UploadReceiver::finish() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (digest_ != nullptr && EVP_DigestFinal_ex(digest_, digest, &len) == 1)
        md5_ = hexOf(digest, len);
}

void UploadReceiver::discard() {
    if (partialPath_.empty()) return;
    ::unlink(partialPath_.c_str());
    partialPath_.clear();
}

Store::Store(std::string directory) : directory_(std::move(directory)) {
    std::error_code ec;
    fs::create_directories(fs::path(directory_) / "uploads", ec);
    if (ec || !fs::is_directory(directory_))
        throw std::runtime_error("cannot use " + directory_ + " as the store: " + ec.message());
    // Bodies of uploads cut short by an earlier run.
    for (const auto& entry : fs::directory_iterator(fs::path(directory_) / "uploads", ec))
        if (entry.path().filename().string().rfind(".partial-", 0) == 0)
            fs::remove(entry.path(), ec);
}

std::string Store::partialUploadPath() {
    std::lock_guard lock(mutex_);
    return (fs::path(directory_) / "uploads" /
            (".partial-" + std::to_string(::getpid()) + "-" + std::to_string(++partialCounter_)))
        .string();
}

bool Store::keepUpload(UploadReceiver& body, const json& description) {
    const fs::path dir =
        fs::path(directory_) / "uploads" / storeName(description.value("testId", std::string()));
    const fs::path file = dir / storeName(description.value("dataId", std::string()));
    std::lock_guard lock(mutex_);
    std::error_code ec;
    fs::create_directories(dir, ec);
    fs::rename(body.partialPath(), file, ec);
    if (ec) return false;
    body.discard();  // nothing left to remove: the path now names the kept file
    return writeFileAtomically(descriptionPath(file), description.dump(2) + "\n");
}

std::string Store::nextNumberedPath(const std::string& call) {
    const fs::path dir = fs::path(directory_) / call;
    std::error_code ec;
    fs::create_directories(dir, ec);
    unsigned long long next = 1;
    for (const auto& name : numberedFiles(dir))
        next = std::max(next, std::strtoull(fs::path(name).stem().c_str(), nullptr, 10) + 1);
    char base[32];
    std::snprintf(base, sizeof base, "%06llu.json", next);
    return (dir / base).string();
}

void Store::keepBody(const std::string& call, const std::string& body) {
    std::lock_guard lock(mutex_);
    writeFileAtomically(nextNumberedPath(call), body);
}

void Store::keepEnrolled(const json& devices) {
    if (!devices.is_object()) return;
    std::lock_guard lock(mutex_);
    const fs::path path = fs::path(directory_) / "enrolled.json";
    json all = readJsonFile(path);
    if (!all.is_object()) all = json::object();
    for (const auto& [serial, id] : devices.items()) all[serial] = id;
    writeFileAtomically(path, all.dump(2) + "\n");
}

json Store::listing() const {
    std::lock_guard lock(mutex_);
    json list = {{"directory", directory_}, {"uploads", json::array()}};
    std::error_code ec;
    for (const auto& entry :
         fs::recursive_directory_iterator(fs::path(directory_) / "uploads", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() < 7 || name[0] != '.' || entry.path().extension() != ".json") continue;
        json description = readJsonFile(entry.path());
        if (!description.is_object()) continue;
        description["path"] =
            (entry.path().parent_path() / name.substr(1, name.size() - 6)).string();
        list["uploads"].push_back(description);
    }
    for (const char* call : {"results", "profile", "clientstatus"})
        list[call] = numberedFiles(fs::path(directory_) / call);
    json enrolled = readJsonFile(fs::path(directory_) / "enrolled.json");
    list["enrolled"] = enrolled.is_object() ? enrolled : json::object();
    return list;
}

}  // namespace refserver
