#pragma once
// The uniform type service: maps a tag of one class (a file-name extension or
// a MIME type) to a type identifier, and a type identifier to its preferred
// tag of either class.
//
// On Linux the identifiers are the canonical MIME type names of the
// shared-mime-info database. The database's glob file ("globs2", with its
// "aliases" file beside it) is read once from the directory named by the
// environment variable DA_MIME_DATABASE_DIR, else from /usr/share/mime; when no
// glob file can be read, a compact built-in table of common types stands in.
// Only simple extension globs ("*.ext") are used; the heaviest glob wins, the
// first listed on a tie.

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxValues.h"

// Tag classes.
DA_EXPORT extern const char* const VxUTTagClassFilenameExtension;  // "public.filename-extension"
DA_EXPORT extern const char* const VxUTTagClassMIMEType;           // "public.mime-type"

class DA_EXPORT VxUniformTypes {
  public:
    // The preferred type identifier for the tag of the given class, or nothing
    // when the database knows no type for it. A conformance constraint other
    // than nothing narrows the answer to that identifier.
    static VxStringPtr preferredIdentifierForTag(const VxStringPtr& tagClass,
                                                 const VxStringPtr& tag,
                                                 const VxStringPtr& conformingTo = nullptr);
    // The identifier's preferred tag of the given class, or nothing.
    static VxStringPtr preferredTagWithClass(const VxStringPtr& identifier,
                                             const VxStringPtr& tagClass);

    // The database behind the service (for inspection and tests).
    class Database {
      public:
        // Reads "globs2" and "aliases" from the directory; nothing when the glob
        // file cannot be read.
        static std::shared_ptr<Database> loadFromDirectory(const std::string& directory);
        static std::shared_ptr<Database> builtIn();
        // The shared database: the system's, else the built-in one.
        static const std::shared_ptr<Database>& shared();

        bool isBuiltIn() const { return builtIn_; }
        // Canonical MIME type for the extension (exact case first, then
        // case-insensitive globs), or "".
        std::string typeForExtension(std::string_view extension) const;
        // The canonical name of a known MIME type (aliases resolved), or "".
        std::string canonicalType(std::string_view mimeType) const;
        // The first extension listed for the canonical type, or "".
        std::string extensionForType(std::string_view canonicalType) const;

      private:
        void addGlob(int weight, const std::string& type, const std::string& extension,
                     bool caseSensitive);
        struct Entry {
            int weight;
            std::string type;
        };
        bool builtIn_ = false;
        std::unordered_map<std::string, Entry> exact_;   // case-sensitive globs
        std::unordered_map<std::string, Entry> folded_;  // lower-cased globs
        std::unordered_map<std::string, std::string> aliases_;
        std::unordered_map<std::string, std::string> extensionOfType_;
    };
};
