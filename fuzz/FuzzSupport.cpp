#include "fuzz/FuzzSupport.h"

#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "platform/foundation/VxJSON.h"

namespace fuzz {

namespace {

std::string g_directory;

void removeDirectory() {
    std::error_code ignored;
    if (!g_directory.empty()) std::filesystem::remove_all(g_directory, ignored);
}

// Depth of nested arrays and objects, and whether every number is finite.
bool readable(const nlohmann::ordered_json& j, int depth) {
    if (j.is_number_float()) return std::isfinite(j.get<double>());
    if (!j.is_structured()) return true;
    if (depth + 1 > VxJSONSerialization::kMaxReadingDepth) return false;
    for (const auto& item : j) {
        if (!readable(item, depth + 1)) return false;
    }
    return true;
}

}  // namespace

std::string privateDirectory() {
    static std::once_flag once;
    std::call_once(once, [] {
        char pattern[] = "fuzz-private-XXXXXX";
        FUZZ_CHECK(::mkdtemp(pattern) != nullptr);
        g_directory = std::filesystem::absolute(pattern).string();
        std::atexit(removeDirectory);
    });
    return g_directory;
}

void writeFile(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    FUZZ_CHECK(out.good());
}

nlohmann::ordered_json parseOracle(std::string_view bytes) {
    auto j = nlohmann::ordered_json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (j.is_discarded() || !readable(j, 0)) return nlohmann::ordered_json::value_t::discarded;
    return j;
}

bool sameJSON(const Id& value, const nlohmann::ordered_json& oracle) {
    if (!value) return false;
    switch (oracle.type()) {
        case nlohmann::ordered_json::value_t::null:
            return value == VxNull::null();
        case nlohmann::ordered_json::value_t::boolean: {
            auto n = vx_cast<VxNumber>(value);
            return n && n->isBoolean() && n->boolValue() == oracle.get<bool>();
        }
        case nlohmann::ordered_json::value_t::number_integer:
        case nlohmann::ordered_json::value_t::number_unsigned: {
            auto n = vx_cast<VxNumber>(value);
            if (!n || n->isBoolean() || n->isFloatingPoint()) return false;
            if (oracle.is_number_unsigned())
                return !(n->longLongValue() < 0 && !n->isUnsignedInteger()) &&
                       n->unsignedLongLongValue() == oracle.get<std::uint64_t>();
            return !n->isUnsignedInteger() && n->longLongValue() == oracle.get<std::int64_t>();
        }
        case nlohmann::ordered_json::value_t::number_float: {
            auto n = vx_cast<VxNumber>(value);
            return n && n->isFloatingPoint() && n->doubleValue() == oracle.get<double>();
        }
        case nlohmann::ordered_json::value_t::string: {
            auto s = vx_cast<VxString>(value);
            return s && s->str() == oracle.get_ref<const std::string&>();
        }
        case nlohmann::ordered_json::value_t::array: {
            auto a = vx_cast<VxArray>(value);
            if (!a || a->count() != oracle.size()) return false;
            for (std::size_t i = 0; i < a->count(); ++i) {
                if (!sameJSON(a->objectAtIndex(i), oracle[i])) return false;
            }
            return true;
        }
        case nlohmann::ordered_json::value_t::object: {
            auto d = vx_cast<VxDictionary>(value);
            if (!d || d->count() != oracle.size()) return false;
            std::size_t i = 0;
            for (const auto& [key, member] : oracle.items()) {
                auto k = vx_cast<VxString>(d->keys()[i]);
                if (!k || k->str() != key || !sameJSON(d->values()[i], member)) return false;
                ++i;
            }
            return true;
        }
        default:
            return false;
    }
}

}  // namespace fuzz
