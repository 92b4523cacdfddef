#include "platform/linux/VxSystem.h"

#include <pthread.h>
#include <sys/random.h>

#include <cerrno>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "platform/foundation/VxTextServicesPrivate.h"
#include "platform/foundation/VxValues.h"

namespace {

// Kernel random bytes for identifiers, drawn a batch at a time: one system call
// per sixteen identifiers rather than one each. Kept per thread, so no lock is
// taken; the child of a fork() drops the copy it inherits, so that it never
// hands out the bytes its parent hands out too.
struct RandomBatch {
    unsigned char bytes[256];
    std::size_t used = sizeof bytes;
};
thread_local RandomBatch tRandom;

void forgetRandomBatch() {
    tRandom.used = sizeof tRandom.bytes;
}

bool randomBytes(unsigned char* out, std::size_t count) {
    static std::once_flag registered;
    std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, forgetRandomBatch); });
    RandomBatch& batch = tRandom;
    if (sizeof batch.bytes - batch.used < count) {
        std::size_t have = 0;
        while (have < sizeof batch.bytes) {
            const ssize_t n = getrandom(batch.bytes + have, sizeof batch.bytes - have, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            have += static_cast<std::size_t>(n);
        }
        batch.used = 0;
    }
    std::memcpy(out, batch.bytes + batch.used, count);
    batch.used += count;
    return true;
}

}  // namespace

std::string VxUUIDString() {
    // A random (version 4) UUID from the kernel's generator, with nothing else
    // to load or set up in the process (OpenSSL's generator would make the
    // calling process touch a good part of libcrypto first).
    unsigned char bytes[16];
    if (!randomBytes(bytes, sizeof bytes)) return {};
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

namespace {

// "en_US.UTF-8@euro" -> "en-US"; "C" / "POSIX" -> "en"; "" for anything that is
// not a plausible language tag.
std::string languageTag(std::string_view entry) {
    std::string s(entry.substr(0, entry.find_first_of(".@")));
    if (s == "C" || s == "POSIX") return "en";
    std::replace(s.begin(), s.end(), '_', '-');
    if (s.empty() || s.front() == '-' || s.back() == '-') return {};
    for (char c : s) {
        bool ok =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
        if (!ok) return {};
    }
    return s;
}

void addTag(std::vector<std::string>& out, std::string_view entry) {
    std::string tag = languageTag(entry);
    if (!tag.empty() && std::find(out.begin(), out.end(), tag) == out.end()) out.push_back(tag);
}

}  // namespace

std::vector<std::string> VxPreferredLanguages() {
    std::vector<std::string> out;
    if (const char* list = std::getenv("LANGUAGE"); list && *list) {
        std::string_view rest(list);
        while (!rest.empty()) {
            auto colon = rest.find(':');
            addTag(out, rest.substr(0, colon));
            if (colon == std::string_view::npos) break;
            rest.remove_prefix(colon + 1);
        }
    }
    if (out.empty()) {
        for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
            const char* value = std::getenv(name);
            if (value && *value) {
                addTag(out, value);
                break;
            }
        }
    }
    if (out.empty()) out.push_back("en");
    return out;
}

namespace {

// Creating a transliterator parses its rules and is slow, and one instance must
// not be used by two threads at once. Instances are therefore pooled per
// transform: a caller takes one (cloning the prototype when the pool is empty)
// and gives it back afterwards.
struct TransliteratorCache {
    struct Entry {
        vx::text::Transliterator prototype;  // null: the ID does not work
        std::vector<vx::text::Transliterator> idle;
    };
    std::mutex mutex;
    std::map<std::string, Entry, std::less<>> entries;

    vx::text::Transliterator take(std::string_view id) {
        std::lock_guard lock(mutex);
        auto it = entries.find(id);
        if (it == entries.end()) {
            Entry e{vx::text::makeTransliterator(id), {}};
            it = entries.emplace(std::string(id), std::move(e)).first;
        }
        Entry& e = it->second;
        if (!e.prototype) return nullptr;
        if (!e.idle.empty()) {
            auto t = std::move(e.idle.back());
            e.idle.pop_back();
            return t;
        }
        return vx::text::cloneTransliterator(e.prototype);
    }

    void giveBack(std::string_view id, vx::text::Transliterator t) {
        std::lock_guard lock(mutex);
        auto it = entries.find(id);
        if (it != entries.end() && it->second.idle.size() < 8)
            it->second.idle.push_back(std::move(t));
    }
};

TransliteratorCache& transliterators() {
    static auto* cache = new TransliteratorCache();  // used until the very end
    return *cache;
}

}  // namespace

std::optional<std::string> VxTransliterate(std::string_view text, std::string_view transformID) {
    if (!VxString::isValidUTF8(text)) return std::nullopt;
    if (text.size() > static_cast<std::size_t>(INT32_MAX)) return std::nullopt;
    auto& cache = transliterators();
    auto t = cache.take(transformID);
    if (!t) return std::nullopt;
    auto out = vx::text::transliterate(t, text);
    cache.giveBack(transformID, std::move(t));
    return out;
}
