#include "platform/linux/VxUniformTypes.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include "platform/foundation/VxFileReading.h"

const char* const VxUTTagClassFilenameExtension = "public.filename-extension";
const char* const VxUTTagClassMIMEType = "public.mime-type";

namespace {

std::string lowercased(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    });
    return out;
}

// A glob is used only when it is "*." followed by a plain extension.
bool simpleExtensionGlob(std::string_view pattern, std::string* extension) {
    if (pattern.size() < 3 || pattern.substr(0, 2) != "*.") return false;
    std::string_view rest = pattern.substr(2);
    if (rest.find_first_of("*?[]\\") != std::string_view::npos) return false;
    *extension = std::string(rest);
    return true;
}

// Common types for systems without a MIME database.
struct BuiltInGlob {
    const char* type;
    const char* extension;
};
constexpr BuiltInGlob kBuiltIn[] = {
    {"text/plain", "txt"},
    {"text/html", "html"},
    {"text/html", "htm"},
    {"text/css", "css"},
    {"text/csv", "csv"},
    {"text/markdown", "md"},
    {"application/json", "json"},
    {"application/xml", "xml"},
    {"application/pdf", "pdf"},
    {"application/zip", "zip"},
    {"application/gzip", "gz"},
    {"application/x-tar", "tar"},
    {"application/javascript", "js"},
    {"image/png", "png"},
    {"image/jpeg", "jpg"},
    {"image/jpeg", "jpeg"},
    {"image/gif", "gif"},
    {"image/bmp", "bmp"},
    {"image/tiff", "tif"},
    {"image/tiff", "tiff"},
    {"image/svg+xml", "svg"},
    {"image/webp", "webp"},
    {"audio/mpeg", "mp3"},
    {"audio/x-wav", "wav"},
    {"audio/ogg", "ogg"},
    {"video/mp4", "mp4"},
    {"video/mpeg", "mpeg"},
    {"video/quicktime", "mov"},
    {"video/webm", "webm"},
    {"font/woff", "woff"},
    {"font/woff2", "woff2"},
    {"application/wasm", "wasm"},
};

}  // namespace

void VxUniformTypes::Database::addGlob(int weight, const std::string& type,
                                       const std::string& extension, bool caseSensitive) {
    auto& map = caseSensitive ? exact_ : folded_;
    std::string key = caseSensitive ? extension : lowercased(extension);
    auto it = map.find(key);
    // The heaviest glob wins; on a tie the one listed first.
    if (it == map.end() || weight > it->second.weight) map[key] = Entry{weight, type};
    extensionOfType_.emplace(type, caseSensitive ? extension : lowercased(extension));
}

std::shared_ptr<VxUniformTypes::Database> VxUniformTypes::Database::loadFromDirectory(
    const std::string& directory) {
    VxFileReadResult globsFile = VxReadWholeFile(directory + "/globs2");
    if (!globsFile) return nullptr;
    std::istringstream globs(globsFile.bytes);
    auto db = std::make_shared<Database>();
    std::string line;
    // weight:type:pattern[:flags[:...]]
    while (std::getline(globs, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> fields;
        std::stringstream ss(line);
        std::string field;
        while (std::getline(ss, field, ':')) fields.push_back(field);
        if (fields.size() < 3) continue;
        char* end = nullptr;
        long weight = std::strtol(fields[0].c_str(), &end, 10);
        if (end == fields[0].c_str() || fields[1].empty()) continue;
        std::string extension;
        if (!simpleExtensionGlob(fields[2], &extension)) continue;
        bool caseSensitive = fields.size() > 3 && fields[3].find("cs") != std::string::npos;
        db->addGlob(static_cast<int>(weight), fields[1], extension, caseSensitive);
    }
    // "alias canonical" per line.
    std::istringstream aliases(VxReadWholeFile(directory + "/aliases").bytes);
    while (std::getline(aliases, line)) {
        std::size_t space = line.find(' ');
        if (line.empty() || line[0] == '#' || space == std::string::npos) continue;
        db->aliases_.emplace(lowercased(line.substr(0, space)), line.substr(space + 1));
    }
    return db;
}

std::shared_ptr<VxUniformTypes::Database> VxUniformTypes::Database::builtIn() {
    auto db = std::make_shared<Database>();
    db->builtIn_ = true;
    for (const BuiltInGlob& g : kBuiltIn) db->addGlob(50, g.type, g.extension, false);
    return db;
}

const std::shared_ptr<VxUniformTypes::Database>& VxUniformTypes::Database::shared() {
    static const std::shared_ptr<Database> db = [] {
        const char* dir = std::getenv("DA_MIME_DATABASE_DIR");
        std::shared_ptr<Database> loaded =
            loadFromDirectory(dir && *dir ? std::string(dir) : std::string("/usr/share/mime"));
        return loaded ? loaded : builtIn();
    }();
    return db;
}

std::string VxUniformTypes::Database::typeForExtension(std::string_view extension) const {
    if (extension.empty()) return {};
    if (auto it = exact_.find(std::string(extension)); it != exact_.end()) return it->second.type;
    if (auto it = folded_.find(lowercased(extension)); it != folded_.end()) return it->second.type;
    return {};
}

std::string VxUniformTypes::Database::canonicalType(std::string_view mimeType) const {
    std::string type = lowercased(mimeType);
    if (auto it = aliases_.find(type); it != aliases_.end()) type = lowercased(it->second);
    return extensionOfType_.count(type) ? type : std::string();
}

std::string VxUniformTypes::Database::extensionForType(std::string_view canonicalType) const {
    auto it = extensionOfType_.find(std::string(canonicalType));
    return it == extensionOfType_.end() ? std::string() : it->second;
}

VxStringPtr VxUniformTypes::preferredIdentifierForTag(const VxStringPtr& tagClass,
                                                      const VxStringPtr& tag,
                                                      const VxStringPtr& conformingTo) {
    if (!tagClass || !tag || tag->empty()) return nullptr;
    const auto& db = Database::shared();
    std::string identifier;
    if (tagClass->str() == VxUTTagClassFilenameExtension)
        identifier = db->typeForExtension(tag->str());
    else if (tagClass->str() == VxUTTagClassMIMEType)
        identifier = db->canonicalType(tag->str());
    if (identifier.empty()) return nullptr;
    if (conformingTo && !conformingTo->empty() && conformingTo->str() != identifier) return nullptr;
    return vxstr(identifier);
}

VxStringPtr VxUniformTypes::preferredTagWithClass(const VxStringPtr& identifier,
                                                  const VxStringPtr& tagClass) {
    if (!identifier || identifier->empty() || !tagClass) return nullptr;
    const auto& db = Database::shared();
    std::string canonical = db->canonicalType(identifier->str());
    if (canonical.empty()) return nullptr;
    if (tagClass->str() == VxUTTagClassMIMEType) return vxstr(canonical);
    if (tagClass->str() == VxUTTagClassFilenameExtension) {
        std::string extension = db->extensionForType(canonical);
        return extension.empty() ? nullptr : vxstr(extension);
    }
    return nullptr;
}
