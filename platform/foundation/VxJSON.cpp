#include "platform/foundation/VxJSON.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>
#include <vector>

const char* const VxCocoaErrorDomain = "VxCocoaErrorDomain";
const char* const VxInvalidArgumentException = "VxInvalidArgumentException";

namespace {

constexpr const char* kReadDescription =
    "The data couldn't be read because it isn't in the correct format.";

VxErrorPtr readError(const std::string& reason) {
    return VxError::errorWithDomain(VxCocoaErrorDomain, VxPropertyListReadCorruptError,
                                    kReadDescription, reason);
}

VxErrorPtr writeError(const std::string& reason) {
    return VxError::errorWithDomain(VxInvalidArgumentException, VxPropertyListWriteInvalidError,
                                    reason, reason);
}

// ---------------------------------------------------------------------------
// Reading: a SAX handler that builds values directly, so that member order and
// number kinds survive. The parser itself is iterative; the handler keeps its
// own stack and refuses nesting deeper than the limit.
//
// Allocation: the members of all open containers wait on two scratch stacks
// that live for the whole parse, and each container takes its members in one
// exact-size allocation when it closes. Member names repeat across the
// records of a reply, so names are shared within one parse (one text object
// per distinct name), as are booleans and small integers (immutable objects).
class ValueBuilder : public nlohmann::json_sax<nlohmann::json> {
  public:
    explicit ValueBuilder(std::uint64_t options) : options_(options) {}

    Id result;
    std::string failure;

    bool null() override { return add(VxNull::null()); }
    bool boolean(bool v) override {
        static const Id yes = VxNumber::numberWithBool(true);
        static const Id no = VxNumber::numberWithBool(false);
        return add(v ? yes : no);
    }
    bool number_integer(number_integer_t v) override { return add(signedNumber(v)); }
    bool number_unsigned(number_unsigned_t v) override {
        // Non-negative integers that fit the signed range read as signed, like
        // negative ones; only larger ones keep the unsigned kind.
        if (v <= static_cast<number_unsigned_t>(std::numeric_limits<std::int64_t>::max()))
            return add(signedNumber(static_cast<std::int64_t>(v)));
        return add(VxNumber::numberWithUnsignedLongLong(static_cast<std::uint64_t>(v)));
    }
    bool number_float(number_float_t v, const string_t&) override {
        if (!std::isfinite(v)) return fail("Number out of range.");
        return add(VxNumber::numberWithDouble(static_cast<double>(v)));
    }
    bool string(string_t& v) override { return add(VxString::make(std::move(v))); }
    bool binary(binary_t&) override { return fail("Binary values are not JSON."); }

    bool start_object(std::size_t) override { return push(true); }
    bool key(string_t& v) override {
        keys_.push_back(name(v));
        return true;
    }
    bool end_object() override { return pop(); }
    bool start_array(std::size_t) override { return push(false); }
    bool end_array() override { return pop(); }

    bool parse_error(std::size_t position, const std::string& lastToken,
                     const nlohmann::detail::exception& ex) override {
        if (failure.empty()) {
            std::string what = ex.what();
            // nlohmann's message starts with its own "[json.exception...] " tag.
            if (auto p = what.find("] "); p != std::string::npos) what.erase(0, p + 2);
            failure = "Invalid JSON around character " +
                      std::to_string(position > 0 ? position - 1 : 0) + " (near \"" +
                      lastToken.substr(0, 32) + "\"): " + what;
        }
        return false;
    }

  private:
    // An open container: where its members start on the scratch stacks.
    struct Frame {
        bool isObject;
        std::size_t firstValue;
        std::size_t firstKey;
    };

    // Names longer than this, and names beyond the table's limit, get their own text.
    static constexpr std::size_t kSharedNameLength = 64;
    static constexpr std::size_t kSharedNames = 4096;
    static constexpr std::int64_t kSharedIntegers = 256;

    bool mutableContainers() const { return options_ & VxJSONReadingMutableContainers; }

    bool fail(std::string reason) {
        if (failure.empty()) failure = std::move(reason);
        return false;
    }

    static Id signedNumber(std::int64_t v) {
        static const std::vector<Id> small = [] {
            std::vector<Id> all;
            all.reserve(kSharedIntegers);
            for (std::int64_t i = 0; i < kSharedIntegers; ++i)
                all.push_back(VxNumber::numberWithLongLong(i));
            return all;
        }();
        if (v >= 0 && v < kSharedIntegers) return small[static_cast<std::size_t>(v)];
        return VxNumber::numberWithLongLong(v);
    }

    Id name(string_t& text) {
        if (text.size() > kSharedNameLength) return VxString::make(std::move(text));
        const std::size_t hash = std::hash<std::string_view>()(text);
        // Small to start with: most replies name a handful of keys.
        if (names_.empty()) names_.resize(8);
        std::size_t p = hash & (names_.size() - 1);
        for (; names_[p].second; p = (p + 1) & (names_.size() - 1)) {
            if (names_[p].first == hash && names_[p].second->str() == text) return names_[p].second;
        }
        VxStringPtr made = VxString::make(text);
        if (nameCount_ < kSharedNames) {
            names_[p] = {hash, made};
            if (++nameCount_ * 2 > names_.size()) growNames();
        }
        return made;
    }

    void growNames() {
        std::vector<std::pair<std::size_t, VxStringPtr>> old(names_.size() * 2);
        old.swap(names_);
        const std::size_t mask = names_.size() - 1;
        for (auto& entry : old) {
            if (!entry.second) continue;
            std::size_t p = entry.first & mask;
            while (names_[p].second) p = (p + 1) & mask;
            names_[p] = std::move(entry);
        }
    }

    bool add(Id value) {
        if (stack_.empty()) {
            if (!(options_ & VxJSONReadingFragmentsAllowed) &&
                !value->isKindOfClass(VxArray::classObject()) &&
                !value->isKindOfClass(VxDictionary::classObject()))
                return fail(
                    "JSON text did not start with array or object and option to allow "
                    "fragments not set.");
            result = std::move(value);
            return true;
        }
        values_.push_back(std::move(value));
        return true;
    }

    bool push(bool isObject) {
        if (stack_.size() >= static_cast<std::size_t>(VxJSONSerialization::kMaxReadingDepth))
            return fail("Too many nested arrays or dictionaries (more than " +
                        std::to_string(VxJSONSerialization::kMaxReadingDepth) + ").");
        stack_.push_back({isObject, values_.size(), keys_.size()});
        return true;
    }

    bool pop() {
        const Frame f = stack_.back();
        stack_.pop_back();
        const auto valuesBegin = values_.begin() + static_cast<std::ptrdiff_t>(f.firstValue);
        Id made;
        if (f.isObject) {
            std::span<Id> keys(keys_.begin() + static_cast<std::ptrdiff_t>(f.firstKey),
                               keys_.end());
            std::span<Id> values(valuesBegin, values_.end());
            if (mutableContainers())
                made = VxMutableDictionary::dictionaryByTakingKeys(keys, values);
            else
                made = VxDictionary::dictionaryByTakingKeys(keys, values);
            keys_.resize(f.firstKey);
        } else {
            std::vector<Id> items(std::make_move_iterator(valuesBegin),
                                  std::make_move_iterator(values_.end()));
            if (mutableContainers())
                made = std::make_shared<VxMutableArray>(std::move(items));
            else
                made = VxArray::arrayWithObjects(std::move(items));
        }
        values_.resize(f.firstValue);
        // A container always satisfies the top-level rule.
        if (stack_.empty()) {
            result = std::move(made);
            return true;
        }
        return add(std::move(made));
    }

    std::uint64_t options_;
    std::vector<Frame> stack_;
    std::vector<Id> values_;  // members of the open containers, innermost last
    std::vector<Id> keys_;    // names of the open objects' members, innermost last
    // Names seen in this parse, by hash (open addressing, a power of two in size).
    std::vector<std::pair<std::size_t, VxStringPtr>> names_;
    std::size_t nameCount_ = 0;
};

// ---------------------------------------------------------------------------
// Writing.
class Writer {
  public:
    explicit Writer(std::uint64_t options) : options_(options) {}

    std::string out;
    std::string failure;

    bool write(const Id& obj) {
        if (!obj) return fail("Invalid top-level type in JSON write");
        bool container = obj->isKindOfClass(VxArray::classObject()) ||
                         obj->isKindOfClass(VxDictionary::classObject());
        if (!container && !(options_ & VxJSONWritingFragmentsAllowed))
            return fail("Invalid top-level type in JSON write");
        return value(*obj, 0);
    }

  private:
    bool pretty() const { return options_ & VxJSONWritingPrettyPrinted; }

    bool fail(std::string reason) {
        if (failure.empty()) failure = std::move(reason);
        return false;
    }

    void newline(int depth) {
        out += '\n';
        out.append(static_cast<std::size_t>(depth) * 2, ' ');
    }

    bool value(const VxObject& obj, int depth) {
        if (depth >= VxJSONSerialization::kMaxReadingDepth)
            return fail("Too many nested arrays or dictionaries in JSON write");
        if (obj.isKindOfClass(VxNull::classObject())) {
            out += "null";
            return true;
        }
        if (auto* s = dynamic_cast<const VxString*>(&obj)) return string(s->str());
        if (auto* n = dynamic_cast<const VxNumber*>(&obj)) return number(*n);
        if (auto* d = dynamic_cast<const VxDecimalNumber*>(&obj)) {
            if (d->isNaN()) return fail("Invalid number value (NaN) in JSON write");
            out += d->stringValue();
            return true;
        }
        if (auto* a = dynamic_cast<const VxArray*>(&obj)) return array(*a, depth);
        if (auto* d = dynamic_cast<const VxDictionary*>(&obj)) return dictionary(*d, depth);
        return fail("Invalid type in JSON write (" + obj.className() + ")");
    }

    bool number(const VxNumber& n) {
        char buf[64];
        std::to_chars_result r{};
        switch (n.kind()) {
            case VxNumberKind::Bool:
                out += n.boolValue() ? "true" : "false";
                return true;
            case VxNumberKind::Float: {
                float f = n.floatValue();
                if (!std::isfinite(f)) return nonFinite(f);
                r = std::to_chars(buf, buf + sizeof buf, f);
                break;
            }
            case VxNumberKind::Double: {
                double d = n.doubleValue();
                if (!std::isfinite(d)) return nonFinite(d);
                r = std::to_chars(buf, buf + sizeof buf, d);
                break;
            }
            default:
                if (n.isUnsignedInteger())
                    r = std::to_chars(buf, buf + sizeof buf, n.unsignedLongLongValue());
                else
                    r = std::to_chars(buf, buf + sizeof buf, n.longLongValue());
        }
        out.append(buf, r.ptr);
        return true;
    }

    bool nonFinite(double v) {
        return fail(std::isnan(v) ? "Invalid number value (NaN) in JSON write"
                                  : "Invalid number value (infinite) in JSON write");
    }

    bool string(const std::string& s) {
        if (!VxString::isValidUTF8(s)) return fail("Invalid string (not UTF-8) in JSON write");
        static const char* hex = "0123456789abcdef";
        out += '"';
        // Characters written as themselves go out in runs, not one by one.
        std::size_t run = 0;
        for (std::size_t i = 0; i < s.size(); ++i) {
            const auto c = static_cast<unsigned char>(s[i]);
            if (c >= 0x20 && c != '"' && c != '\\' && c != '/') continue;
            out.append(s, run, i - run);
            run = i + 1;
            switch (c) {
                case '"':
                    out += "\\\"";
                    break;
                case '\\':
                    out += "\\\\";
                    break;
                case '/':
                    out += (options_ & VxJSONWritingWithoutEscapingSlashes) ? "/" : "\\/";
                    break;
                case '\b':
                    out += "\\b";
                    break;
                case '\f':
                    out += "\\f";
                    break;
                case '\n':
                    out += "\\n";
                    break;
                case '\r':
                    out += "\\r";
                    break;
                case '\t':
                    out += "\\t";
                    break;
                default:
                    out += "\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 0xF];
            }
        }
        out.append(s, run, s.size() - run);
        out += '"';
        return true;
    }

    bool array(const VxArray& a, int depth) {
        if (a.empty()) {
            out += "[]";
            return true;
        }
        out += '[';
        bool first = true;
        for (const Id& item : a) {
            if (!first) out += ',';
            first = false;
            if (pretty()) newline(depth + 1);
            if (!item) return fail("Invalid type in JSON write (absent value)");
            if (!value(*item, depth + 1)) return false;
        }
        if (pretty()) newline(depth);
        out += ']';
        return true;
    }

    bool dictionary(const VxDictionary& d, int depth) {
        if (d.empty()) {
            out += "{}";
            return true;
        }
        std::vector<std::size_t> order(d.count());
        for (std::size_t i = 0; i < order.size(); ++i) {
            const Id& k = d.keys()[i];
            if (!k || !dynamic_cast<const VxString*>(k.get()))
                return fail("Invalid (non-string) key in JSON dictionary (" +
                            (k ? k->className() : std::string("absent")) + ")");
            order[i] = i;
        }
        if (options_ & VxJSONWritingSortedKeys) {
            auto keyText = [&](std::size_t i) -> const std::string& {
                return static_cast<const VxString&>(*d.keys()[i]).str();
            };
            std::stable_sort(order.begin(), order.end(),
                             [&](std::size_t a, std::size_t b) { return keyText(a) < keyText(b); });
        }
        out += '{';
        bool first = true;
        for (std::size_t i : order) {
            if (!first) out += ',';
            first = false;
            if (pretty()) newline(depth + 1);
            if (!string(static_cast<const VxString&>(*d.keys()[i]).str())) return false;
            out += pretty() ? " : " : ":";
            const Id& v = d.values()[i];
            if (!v) return fail("Invalid type in JSON write (absent value)");
            if (!value(*v, depth + 1)) return false;
        }
        if (pretty()) newline(depth);
        out += '}';
        return true;
    }

    std::uint64_t options_;
};

}  // namespace

Id VxJSONSerialization::JSONObjectWithData(const VxDataPtr& data, std::uint64_t options,
                                           VxErrorPtr* error) {
    if (!data) {
        vxSetError(error, readError("No data given."));
        return nullptr;
    }
    if (data->length() == 0) {
        vxSetError(error, readError("Unable to read empty data (no value at character 0)."));
        return nullptr;
    }
    ValueBuilder builder(options);
    bool ok = false;
    try {
        const char* begin = reinterpret_cast<const char*>(data->bytes());
        ok = nlohmann::json::sax_parse(begin, begin + data->length(), &builder,
                                       nlohmann::json::input_format_t::json, true, false);
    } catch (const std::exception& ex) {
        builder.failure = std::string("Unable to read JSON: ") + ex.what();
        ok = false;
    }
    if (!ok || !builder.result) {
        vxSetError(error,
                   readError(builder.failure.empty() ? "Invalid JSON text." : builder.failure));
        return nullptr;
    }
    vxSetError(error, nullptr);
    return builder.result;
}

VxDataPtr VxJSONSerialization::dataWithJSONObject(const Id& obj, std::uint64_t options,
                                                  VxErrorPtr* error) {
    Writer writer(options);
    bool ok = false;
    try {
        ok = writer.write(obj);
    } catch (const std::exception& ex) {
        writer.failure = std::string("JSON write failed: ") + ex.what();
    }
    if (!ok) {
        vxSetError(error, writeError(writer.failure));
        return nullptr;
    }
    vxSetError(error, nullptr);
    return VxData::dataWithString(writer.out);
}

bool VxJSONSerialization::isValidJSONObject(const Id& obj) {
    try {
        Writer writer(0);
        return writer.write(obj);
    } catch (const std::exception&) {
        return false;
    }
}
