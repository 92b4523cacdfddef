#pragma once
// URLs: RFC 3986 references that remember their base, and reference
// resolution on texts.

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxObject.h"
#include "platform/foundation/VxValuesFwd.h"

// URL: an RFC 3986 reference, optionally relative to a base it remembers.
class DA_EXPORT VxURL : public VxObject {
    VX_DECLARE_CLASS(VxURL)
  public:
    VxURL() = default;
    // Parses the text (RFC 3986 reference syntax: no blanks, no characters outside
    // ASCII, well-formed percent escapes). With a base, the text is resolved
    // against it and the URL remembers the base. Nothing when the text does not
    // parse or is empty.
    static VxURLPtr URLWithString(std::string_view text, const VxURLPtr& baseURL = nullptr);
    static VxURLPtr fileURLWithPath(std::string_view path, bool isDirectory = false);

    // The text the URL was made from (relative to baseURL when there is one).
    const std::string& relativeString() const { return relative_; }
    // The resolved absolute text.
    const std::string& absoluteString() const { return absolute_; }
    const VxURLPtr& baseURL() const { return base_; }
    VxURLPtr absoluteURL() const;

    // Components of the resolved URL; nothing when the component is missing.
    VxStringPtr scheme() const;
    VxStringPtr host() const;  // without brackets for IPv6 literals
    std::optional<int> port() const;
    VxStringPtr user() const;
    VxStringPtr password() const;
    // The path with percent escapes decoded (and a trailing "/" kept); "" when empty.
    std::string path() const;
    const std::string& percentEncodedPath() const { return path_; }
    VxStringPtr query() const;     // percent-encoded, without "?"
    VxStringPtr fragment() const;  // percent-encoded, without "#"
    std::string lastPathComponent() const;
    std::string pathExtension() const;
    bool isFileURL() const;
    bool hasDirectoryPath() const { return !path_.empty() && path_.back() == '/'; }

    // A new URL with one path component appended ("" appends a bare "/").
    VxURLPtr URLByAppendingPathComponent(std::string_view component,
                                         bool isDirectory = false) const;

    bool isEqual(const VxObject& other) const override;
    std::size_t hash() const override;
    // The relative text, followed by " -- " and the base's text when there is a base.
    std::string description() const override;

  private:
    bool parseAbsolute(std::string_view text);
    std::string relative_;
    std::string absolute_;
    VxURLPtr base_;
    std::string scheme_;
    bool hasAuthority_ = false;
    std::string userinfo_;
    std::string host_;
    std::string port_;
    std::string path_;
    bool hasQuery_ = false;
    std::string query_;
    bool hasFragment_ = false;
    std::string fragment_;
    mutable std::once_flag absoluteOnce_;
    mutable VxURLPtr absoluteWithoutBase_;  // absoluteURL() of a URL with a base
};

// Resolves `reference` against `base` by RFC 3986 section 5.2 (both texts);
// nothing when either does not parse.
DA_EXPORT std::optional<std::string> VxResolveURLReference(std::string_view base,
                                                           std::string_view reference);
