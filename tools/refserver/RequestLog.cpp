#include "RequestLog.h"

namespace refserver {

void RequestLog::add(RecordedRequest r) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(r));
}

void RequestLog::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

std::size_t RequestLog::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

nlohmann::ordered_json RequestLog::toJson() const {
    std::lock_guard lock(mutex_);
    auto out = nlohmann::ordered_json::array();
    for (const auto& r : entries_) {
        nlohmann::ordered_json headers = nlohmann::ordered_json::object();
        for (const auto& [name, value] : r.headers) {
            if (headers.contains(name))
                headers[name] = headers[name].get<std::string>() + ", " + value;
            else
                headers[name] = value;
        }
        nlohmann::ordered_json e;
        e["method"] = r.method;
        e["path"] = r.path;
        e["query"] = r.query;
        e["call"] = r.call;
        e["headers"] = std::move(headers);
        e["body"] = r.body;  // dump() replaces invalid UTF-8 (see the control API)
        if (!isValidUtf8(r.body)) e["bodyBase64"] = base64Encode(r.body);
        if (r.bodySize > r.body.size()) e["bodySize"] = r.bodySize;
        out.push_back(std::move(e));
    }
    return out;
}

std::string base64Encode(const std::string& bytes) {
    static const char* const kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                     (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                     static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (i < bytes.size()) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool isValidUtf8(const std::string& text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t len = 0;
        unsigned cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
            cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

}  // namespace refserver
