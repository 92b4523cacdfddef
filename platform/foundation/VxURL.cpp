#include "platform/foundation/VxURL.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/VxString.h"

VX_DEFINE_CLASS(VxURL, VxObject, {});

namespace {

bool isUnreserved(unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}
bool isSubDelim(unsigned char c) {
    return std::strchr("!$&'()*+,;=", c) != nullptr && c != 0;
}
bool isHex(unsigned char c) {
    return std::isxdigit(c) != 0;
}

// Every character must be legal somewhere in a URI reference, and every "%"
// must start a two-digit escape.
bool hasOnlyURLCharacters(std::string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c == '%') {
            if (i + 2 >= s.size()) return false;
            if (!isHex(static_cast<unsigned char>(s[i + 1])) ||
                !isHex(static_cast<unsigned char>(s[i + 2])))
                return false;
            i += 2;
            continue;
        }
        if (isUnreserved(c) || isSubDelim(c) || std::strchr(":/?#[]@", c) != nullptr) {
            if (c == 0) return false;
            continue;
        }
        return false;
    }
    return true;
}

struct URIParts {
    bool hasScheme = false;
    std::string scheme;
    bool hasAuthority = false;
    std::string authority;
    std::string path;
    bool hasQuery = false;
    std::string query;
    bool hasFragment = false;
    std::string fragment;
};

// Splits a reference by the generic syntax (RFC 3986 appendix B).
bool splitURI(std::string_view s, URIParts& p) {
    std::size_t i = 0;
    std::size_t colon = s.find_first_of(":/?#");
    if (colon != std::string_view::npos && s[colon] == ':' && colon > 0) {
        std::string_view scheme = s.substr(0, colon);
        if (!std::isalpha(static_cast<unsigned char>(scheme[0]))) return false;
        for (unsigned char c : scheme) {
            if (!(std::isalnum(c) || c == '+' || c == '-' || c == '.')) return false;
        }
        p.hasScheme = true;
        p.scheme = std::string(scheme);
        i = colon + 1;
    } else if (colon == 0 && !s.empty() && s[0] == ':') {
        return false;
    }
    if (s.substr(i, 2) == "//") {
        i += 2;
        std::size_t end = s.find_first_of("/?#", i);
        if (end == std::string_view::npos) end = s.size();
        p.hasAuthority = true;
        p.authority = std::string(s.substr(i, end - i));
        i = end;
    }
    std::size_t end = s.find_first_of("?#", i);
    if (end == std::string_view::npos) end = s.size();
    p.path = std::string(s.substr(i, end - i));
    i = end;
    if (i < s.size() && s[i] == '?') {
        std::size_t qend = s.find('#', i);
        if (qend == std::string_view::npos) qend = s.size();
        p.hasQuery = true;
        p.query = std::string(s.substr(i + 1, qend - i - 1));
        i = qend;
    }
    if (i < s.size() && s[i] == '#') {
        p.hasFragment = true;
        p.fragment = std::string(s.substr(i + 1));
    }
    // A relative path's first segment may not contain ":" (it would read as a scheme).
    if (!p.hasScheme && !p.hasAuthority) {
        std::size_t slash = p.path.find('/');
        std::string_view first = std::string_view(p.path).substr(0, slash);
        if (first.find(':') != std::string_view::npos) return false;
    }
    return true;
}

std::string removeDotSegments(std::string input) {
    std::string output;
    while (!input.empty()) {
        if (input.rfind("../", 0) == 0) {
            input.erase(0, 3);
        } else if (input.rfind("./", 0) == 0) {
            input.erase(0, 2);
        } else if (input.rfind("/./", 0) == 0) {
            input.erase(0, 2);
        } else if (input == "/.") {
            input = "/";
        } else if (input.rfind("/../", 0) == 0 || input == "/..") {
            input = input.size() == 3 ? "/" : input.substr(3);
            std::size_t last = output.rfind('/');
            output.erase(last == std::string::npos ? 0 : last);
        } else if (input == "." || input == "..") {
            input.clear();
        } else {
            std::size_t start = input[0] == '/' ? 1 : 0;
            std::size_t next = input.find('/', start);
            if (next == std::string::npos) next = input.size();
            output += input.substr(0, next);
            input.erase(0, next);
        }
    }
    return output;
}

std::string recompose(const URIParts& p) {
    std::string out;
    if (p.hasScheme) out += p.scheme + ":";
    if (p.hasAuthority) out += "//" + p.authority;
    out += p.path;
    if (p.hasQuery) out += "?" + p.query;
    if (p.hasFragment) out += "#" + p.fragment;
    return out;
}

std::string percentDecodeLenient(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && isHex(static_cast<unsigned char>(s[i + 1])) &&
            isHex(static_cast<unsigned char>(s[i + 2]))) {
            out.push_back(
                static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

std::string percentEncodeSegment(std::string_view s, bool keepSlash) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (isUnreserved(c) || isSubDelim(c) || c == ':' || c == '@' || (keepSlash && c == '/')) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 0xF]);
        }
    }
    return out;
}

}  // namespace

std::optional<std::string> VxResolveURLReference(std::string_view base,
                                                 std::string_view reference) {
    URIParts b, r, t;
    if (!hasOnlyURLCharacters(base) || !hasOnlyURLCharacters(reference)) return std::nullopt;
    if (!splitURI(base, b) || !splitURI(reference, r)) return std::nullopt;
    if (r.hasScheme) {
        t = r;
        t.path = removeDotSegments(r.path);
    } else {
        if (r.hasAuthority) {
            t.hasAuthority = true;
            t.authority = r.authority;
            t.path = removeDotSegments(r.path);
            t.hasQuery = r.hasQuery;
            t.query = r.query;
        } else {
            if (r.path.empty()) {
                t.path = b.path;
                t.hasQuery = r.hasQuery ? true : b.hasQuery;
                t.query = r.hasQuery ? r.query : b.query;
            } else {
                if (r.path[0] == '/') {
                    t.path = removeDotSegments(r.path);
                } else {
                    std::string merged;
                    if (b.hasAuthority && b.path.empty()) {
                        merged = "/" + r.path;
                    } else {
                        std::size_t last = b.path.rfind('/');
                        merged = (last == std::string::npos ? std::string()
                                                            : b.path.substr(0, last + 1)) +
                                 r.path;
                    }
                    t.path = removeDotSegments(merged);
                }
                t.hasQuery = r.hasQuery;
                t.query = r.query;
            }
            t.hasAuthority = b.hasAuthority;
            t.authority = b.authority;
        }
        t.hasScheme = b.hasScheme;
        t.scheme = b.scheme;
    }
    t.hasFragment = r.hasFragment;
    t.fragment = r.fragment;
    return recompose(t);
}

bool VxURL::parseAbsolute(std::string_view text) {
    URIParts p;
    if (!hasOnlyURLCharacters(text) || !splitURI(text, p)) return false;
    scheme_ = p.scheme;
    hasAuthority_ = p.hasAuthority;
    path_ = p.path;
    hasQuery_ = p.hasQuery;
    query_ = p.query;
    hasFragment_ = p.hasFragment;
    fragment_ = p.fragment;
    userinfo_.clear();
    host_.clear();
    port_.clear();
    if (p.hasAuthority) {
        std::string_view a = p.authority;
        std::size_t at = a.rfind('@');
        if (at != std::string_view::npos) {
            userinfo_ = std::string(a.substr(0, at));
            a.remove_prefix(at + 1);
        }
        if (!a.empty() && a[0] == '[') {
            std::size_t close = a.find(']');
            if (close == std::string_view::npos) return false;
            host_ = std::string(a.substr(1, close - 1));
            a.remove_prefix(close + 1);
            if (!a.empty() && a[0] != ':') return false;
        } else {
            std::size_t colon = a.find(':');
            host_ = std::string(a.substr(0, colon));
            a.remove_prefix(colon == std::string_view::npos ? a.size() : colon);
        }
        if (!a.empty()) {
            if (a[0] == '[' || a[0] == ']') return false;
            port_ = std::string(a.substr(1));
            for (unsigned char c : port_) {
                if (!std::isdigit(c)) return false;
            }
            if (port_.size() > 5 || (!port_.empty() && std::stoi(port_) > 65535)) return false;
        }
        if (host_.find_first_of("[]") != std::string::npos) return false;
    }
    return true;
}

VxURLPtr VxURL::URLWithString(std::string_view text, const VxURLPtr& baseURL) {
    if (text.empty() && !baseURL) return nullptr;
    auto url = std::make_shared<VxURL>();
    url->relative_ = std::string(text);
    if (baseURL) {
        auto resolved = VxResolveURLReference(baseURL->absoluteString(), text);
        if (!resolved) return nullptr;
        url->absolute_ = *resolved;
        url->base_ = baseURL;
    } else {
        url->absolute_ = url->relative_;
    }
    if (!url->parseAbsolute(url->absolute_)) return nullptr;
    // The relative text must itself be a well-formed reference.
    if (baseURL) {
        URIParts check;
        if (!hasOnlyURLCharacters(text) || !splitURI(text, check)) return nullptr;
    }
    return url;
}

VxURLPtr VxURL::fileURLWithPath(std::string_view path, bool isDirectory) {
    std::string p(path);
    if (p.empty() || p[0] != '/') {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd)) p = std::string(cwd) + "/" + p;
    }
    if (isDirectory && (p.empty() || p.back() != '/')) p += "/";
    return URLWithString("file://" + percentEncodeSegment(p, true));
}

VxURLPtr VxURL::absoluteURL() const {
    if (!base_)
        return std::const_pointer_cast<VxURL>(
            std::static_pointer_cast<const VxURL>(shared_from_this()));
    // Made once: URLs never change, and a request URL resolved against a base
    // is asked for this on every exchange.
    std::call_once(absoluteOnce_, [this] { absoluteWithoutBase_ = URLWithString(absolute_); });
    return absoluteWithoutBase_;
}

VxStringPtr VxURL::scheme() const {
    return scheme_.empty() ? nullptr : vxstr(scheme_);
}
VxStringPtr VxURL::host() const {
    return hasAuthority_ && !host_.empty() ? vxstr(percentDecodeLenient(host_)) : nullptr;
}
std::optional<int> VxURL::port() const {
    if (port_.empty()) return std::nullopt;
    return std::stoi(port_);
}
VxStringPtr VxURL::user() const {
    if (userinfo_.empty()) return nullptr;
    return vxstr(percentDecodeLenient(userinfo_.substr(0, userinfo_.find(':'))));
}
VxStringPtr VxURL::password() const {
    std::size_t colon = userinfo_.find(':');
    if (colon == std::string::npos) return nullptr;
    return vxstr(percentDecodeLenient(userinfo_.substr(colon + 1)));
}
std::string VxURL::path() const {
    return percentDecodeLenient(path_);
}
VxStringPtr VxURL::query() const {
    return hasQuery_ ? vxstr(query_) : nullptr;
}
VxStringPtr VxURL::fragment() const {
    return hasFragment_ ? vxstr(fragment_) : nullptr;
}

std::string VxURL::lastPathComponent() const {
    std::string p = path();
    if (p.empty()) return "";
    if (p == "/") return "/";
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    std::size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string VxURL::pathExtension() const {
    std::string last = lastPathComponent();
    std::size_t dot = last.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == last.size()) return "";
    return last.substr(dot + 1);
}

bool VxURL::isFileURL() const {
    std::string s = scheme_;
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s == "file";
}

VxURLPtr VxURL::URLByAppendingPathComponent(std::string_view component, bool isDirectory) const {
    URIParts p;
    splitURI(absolute_, p);
    if (p.path.empty() || p.path.back() != '/') p.path += "/";
    p.path += percentEncodeSegment(component, false);
    if (isDirectory && !component.empty() && p.path.back() != '/') p.path += "/";
    p.hasFragment = false;
    return URLWithString(recompose(p));
}

bool VxURL::isEqual(const VxObject& other) const {
    auto* u = dynamic_cast<const VxURL*>(&other);
    return u && u->relative_ == relative_ && vxEqual(u->base_, base_);
}

std::size_t VxURL::hash() const {
    return std::hash<std::string>()(relative_);
}

std::string VxURL::description() const {
    return base_ ? relative_ + " -- " + base_->description() : relative_;
}
