#include "platform/foundation/VxKeyedArchiver.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

// The byte layout is described in docs/ARCHIVE_FORMAT.md.

const char* const VxKeyedArchiveErrorDomain = "VxKeyedArchiveErrorDomain";
const char* const VxKeyedArchiveRootObjectKey = "root";

namespace {

constexpr char kMagic[4] = {'V', 'X', 'K', 'A'};
constexpr std::uint16_t kVersion = 1;
constexpr int kMaxDepth = 512;

enum Tag : std::uint8_t {
    TagNull = 0x00,
    TagString = 0x01,
    TagNumber = 0x02,
    TagDecimal = 0x03,
    TagData = 0x04,
    TagDate = 0x05,
    TagURL = 0x06,
    TagArray = 0x07,
    TagDictionary = 0x08,
    TagSet = 0x09,
    TagOrderedSet = 0x0A,
    TagValue = 0x0B,
    TagError = 0x0C,
    TagBool = 0x0D,
    TagInt64 = 0x0E,
    TagDouble = 0x0F,
    TagObject = 0x10,
};

constexpr std::uint8_t kFlagMutable = 0x01;
constexpr std::uint8_t kDecimalNaN = 0x01;
constexpr std::uint8_t kDecimalNegative = 0x02;

VxErrorPtr archiveError(std::int64_t code, const std::string& reason) {
    const char* description =
        code == VxKeyedArchiveErrorNotEncodable
            ? "The data couldn't be written because it isn't in the correct format."
            : "The data couldn't be read because it isn't in the correct format.";
    return VxError::errorWithDomain(VxKeyedArchiveErrorDomain, code, description, reason);
}

// ---------------------------------------------------------------------------
// Writing primitives (little-endian, LEB128 lengths).
void putU8(std::vector<std::uint8_t>& out, std::uint8_t v) {
    out.push_back(v);
}

void putU64(std::vector<std::uint8_t>& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void putVarint(std::vector<std::uint8_t>& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(v));
}

void putBytes(std::vector<std::uint8_t>& out, const void* bytes, std::size_t n) {
    putVarint(out, n);
    const auto* b = static_cast<const std::uint8_t*>(bytes);
    out.insert(out.end(), b, b + n);
}

void putString(std::vector<std::uint8_t>& out, std::string_view s) {
    putBytes(out, s.data(), s.size());
}

void putDouble(std::vector<std::uint8_t>& out, double d) {
    putU64(out, std::bit_cast<std::uint64_t>(d));
}

using Entries = std::vector<std::pair<std::string, std::vector<std::uint8_t>>>;

void putContainer(std::vector<std::uint8_t>& out, const Entries& entries) {
    putVarint(out, entries.size());
    for (const auto& [key, value] : entries) {
        putString(out, key);
        out.insert(out.end(), value.begin(), value.end());
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Archiver

struct VxKeyedArchiver::Impl {
    VxKeyedArchiver* owner = nullptr;
    bool secure = true;
    std::vector<Entries> stack{1};
    int depth = 0;
    VxErrorPtr error;
    bool finished = false;
    VxDataPtr result;

    bool fail(const std::string& reason) {
        if (!error) error = archiveError(VxKeyedArchiveErrorNotEncodable, reason);
        return false;
    }

    void put(std::string_view key, std::vector<std::uint8_t> bytes) {
        Entries& e = stack.back();
        for (auto& entry : e) {
            if (entry.first == key) {
                entry.second = std::move(bytes);
                return;
            }
        }
        e.emplace_back(std::string(key), std::move(bytes));
    }

    bool list(std::vector<std::uint8_t>& out, const std::vector<Id>& items, int d) {
        putVarint(out, items.size());
        for (const Id& item : items)
            if (!value(out, item, d + 1)) return false;
        return true;
    }

    bool value(std::vector<std::uint8_t>& out, const Id& obj, int d) {
        if (d > kMaxDepth)
            return fail("The object graph is nested too deeply (or contains itself).");
        if (!obj || obj->isKindOfClass(VxNull::classObject())) {
            putU8(out, TagNull);
            return true;
        }
        if (auto* coding = dynamic_cast<const VxCoding*>(obj.get()))
            return object(out, *obj, *coding, d);
        auto mutableFlag = [&](const VxClass& cls) -> std::uint8_t {
            return obj->isKindOfClass(cls) ? kFlagMutable : 0;
        };
        if (auto s = vx_cast<VxString>(obj)) {
            putU8(out, TagString);
            putString(out, s->str());
        } else if (auto n = vx_cast<VxNumber>(obj)) {
            putU8(out, TagNumber);
            putU8(out, static_cast<std::uint8_t>(n->kind()));
            switch (n->kind()) {
                case VxNumberKind::Bool:
                    putU64(out, n->boolValue() ? 1 : 0);
                    break;
                case VxNumberKind::Float:
                case VxNumberKind::Double:
                    putDouble(out, n->doubleValue());
                    break;
                default:
                    putU64(out, n->isUnsignedInteger()
                                    ? n->unsignedLongLongValue()
                                    : static_cast<std::uint64_t>(n->longLongValue()));
            }
        } else if (auto dn = vx_cast<VxDecimalNumber>(obj)) {
            putU8(out, TagDecimal);
            putU8(out, static_cast<std::uint8_t>((dn->isNaN() ? kDecimalNaN : 0) |
                                                 (dn->isNegative() ? kDecimalNegative : 0)));
            putU64(out, static_cast<std::uint64_t>(static_cast<std::int64_t>(dn->exponent())));
            putString(out, dn->mantissaDigits());
        } else if (auto data = vx_cast<VxData>(obj)) {
            putU8(out, TagData);
            putU8(out, mutableFlag(VxMutableData::classObject()));
            putBytes(out, data->bytes(), data->length());
        } else if (auto date = vx_cast<VxDate>(obj)) {
            putU8(out, TagDate);
            putDouble(out, date->timeIntervalSince1970());
        } else if (auto url = vx_cast<VxURL>(obj)) {
            putU8(out, TagURL);
            putString(out, url->relativeString());
            putU8(out, url->baseURL() ? 1 : 0);
            if (url->baseURL() && !value(out, url->baseURL(), d + 1)) return false;
        } else if (auto a = vx_cast<VxArray>(obj)) {
            putU8(out, TagArray);
            putU8(out, mutableFlag(VxMutableArray::classObject()));
            return list(out, a->items(), d);
        } else if (auto dict = vx_cast<VxDictionary>(obj)) {
            putU8(out, TagDictionary);
            putU8(out, mutableFlag(VxMutableDictionary::classObject()));
            putVarint(out, dict->count());
            for (std::size_t i = 0; i < dict->count(); ++i) {
                if (!value(out, dict->keys()[i], d + 1)) return false;
                if (!value(out, dict->values()[i], d + 1)) return false;
            }
        } else if (auto set = vx_cast<VxSet>(obj)) {
            putU8(out, TagSet);
            putU8(out, mutableFlag(VxMutableSet::classObject()));
            return list(out, set->allObjects(), d);
        } else if (auto os = vx_cast<VxOrderedSet>(obj)) {
            putU8(out, TagOrderedSet);
            putU8(out, mutableFlag(VxMutableOrderedSet::classObject()));
            return list(out, os->array(), d);
        } else if (auto box = vx_cast<VxValue>(obj)) {
            putU8(out, TagValue);
            putString(out, box->objCType());
            putBytes(out, box->bytes().data(), box->bytes().size());
        } else if (auto err = vx_cast<VxError>(obj)) {
            putU8(out, TagError);
            putString(out, err->domain());
            putU64(out, static_cast<std::uint64_t>(err->code()));
            return value(out, err->userInfo(), d + 1);
        } else {
            return fail("Objects of class " + obj->className() + " cannot be archived.");
        }
        return true;
    }

    bool object(std::vector<std::uint8_t>& out, const VxObject& obj, const VxCoding& coding,
                int d) {
        const std::string& name = obj.className();
        const VxClass* cls = VxClass::classNamed(name);
        if (cls != &obj.isa() || !cls->canCreateInstances())
            return fail("Objects of class " + name + " cannot be re-created by name.");
        if (secure && !coding.supportsSecureCoding())
            return fail("Class " + name + " does not support secure coding.");
        stack.emplace_back();
        int saved = depth;
        depth = d + 1;  // values of the object's container sit one level deeper
        coding.encodeWithCoder(*owner);
        depth = saved;
        Entries entries = std::move(stack.back());
        stack.pop_back();
        if (error) return false;
        putU8(out, TagObject);
        putString(out, name);
        putContainer(out, entries);
        return true;
    }
};

VxKeyedArchiver::VxKeyedArchiver(bool requiresSecureCoding) : impl_(std::make_unique<Impl>()) {
    impl_->owner = this;
    impl_->secure = requiresSecureCoding;
}

VxKeyedArchiver::~VxKeyedArchiver() = default;

bool VxKeyedArchiver::requiresSecureCoding() const {
    return impl_->secure;
}

void VxKeyedArchiver::encodeObject(const Id& obj, std::string_view forKey) {
    if (impl_->finished || impl_->error) return;
    if (!obj) {  // absent: the key stays undefined
        Entries& e = impl_->stack.back();
        e.erase(std::remove_if(e.begin(), e.end(), [&](auto& p) { return p.first == forKey; }),
                e.end());
        return;
    }
    std::vector<std::uint8_t> bytes;
    if (impl_->value(bytes, obj, impl_->depth)) impl_->put(forKey, std::move(bytes));
}

void VxKeyedArchiver::encodeBool(bool value, std::string_view forKey) {
    if (impl_->finished) return;
    impl_->put(forKey, {TagBool, static_cast<std::uint8_t>(value ? 1 : 0)});
}

void VxKeyedArchiver::encodeInt64(std::int64_t value, std::string_view forKey) {
    if (impl_->finished) return;
    std::vector<std::uint8_t> bytes{TagInt64};
    putU64(bytes, static_cast<std::uint64_t>(value));
    impl_->put(forKey, std::move(bytes));
}

void VxKeyedArchiver::encodeDouble(double value, std::string_view forKey) {
    if (impl_->finished) return;
    std::vector<std::uint8_t> bytes{TagDouble};
    putDouble(bytes, value);
    impl_->put(forKey, std::move(bytes));
}

VxDataPtr VxKeyedArchiver::encodedData(VxErrorPtr* error) {
    if (!impl_->finished) {
        impl_->finished = true;
        if (!impl_->error) {
            std::vector<std::uint8_t> out(kMagic, kMagic + 4);
            out.push_back(static_cast<std::uint8_t>(kVersion & 0xFF));
            out.push_back(static_cast<std::uint8_t>(kVersion >> 8));
            putContainer(out, impl_->stack.front());
            impl_->result = VxData::dataWithVector(std::move(out));
        }
    }
    vxSetError(error, impl_->error);
    return impl_->result;
}

VxDataPtr VxKeyedArchiver::archivedDataWithRootObject(const Id& root, bool requiringSecureCoding,
                                                      VxErrorPtr* error) {
    VxKeyedArchiver archiver(requiringSecureCoding);
    archiver.encodeObject(root, VxKeyedArchiveRootObjectKey);
    return archiver.encodedData(error);
}

// ---------------------------------------------------------------------------
// Unarchiver

struct VxKeyedUnarchiver::Impl {
    // A keyed container: where its entries start and how many there are.
    struct Frame {
        std::size_t offset;
        std::uint64_t count;
        int depth;
    };

    VxKeyedUnarchiver* owner = nullptr;
    VxDataPtr data;
    const std::uint8_t* p = nullptr;
    std::size_t n = 0;
    bool secure = true;
    std::vector<Frame> frames;
    VxErrorPtr error;

    void record(std::int64_t code, const std::string& reason) {
        if (!error) error = archiveError(code, reason);
    }

    // -- bounds-checked primitives; every one fails instead of reading past the end
    bool u8(std::size_t& pos, std::uint8_t& v) const {
        if (pos >= n) return false;
        v = p[pos++];
        return true;
    }
    bool u64(std::size_t& pos, std::uint64_t& v) const {
        if (n - pos < 8 || pos > n) return false;
        v = 0;
        for (int i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(p[pos + i]) << (8 * i);
        pos += 8;
        return true;
    }
    bool f64(std::size_t& pos, double& v) const {
        std::uint64_t bits;
        if (!u64(pos, bits)) return false;
        v = std::bit_cast<double>(bits);
        return true;
    }
    bool varint(std::size_t& pos, std::uint64_t& v) const {
        v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            std::uint8_t b;
            if (!u8(pos, b)) return false;
            if (shift == 63 && b > 1) return false;
            v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
            if (!(b & 0x80)) return true;
        }
        return false;
    }
    // A length-prefixed byte run, not longer than what is left.
    bool bytes(std::size_t& pos, std::string_view& v) const {
        std::uint64_t len;
        if (!varint(pos, len) || len > n - pos) return false;
        v = {reinterpret_cast<const char*>(p + pos), static_cast<std::size_t>(len)};
        pos += static_cast<std::size_t>(len);
        return true;
    }
    // An element count, each element taking at least `minBytes` bytes.
    bool count(std::size_t& pos, std::uint64_t& c, std::size_t minBytes) const {
        return varint(pos, c) && c <= (n - pos) / minBytes;
    }

    // -- validation: walks one value without building anything
    bool skipContainer(std::size_t& pos, int depth) const {
        if (depth > kMaxDepth) return false;
        std::uint64_t c;
        if (!count(pos, c, 2)) return false;
        for (std::uint64_t i = 0; i < c; ++i) {
            std::string_view key;
            if (!bytes(pos, key) || !skipValue(pos, depth)) return false;
        }
        return true;
    }

    bool skipList(std::size_t& pos, int depth, std::uint64_t perItem) const {
        std::uint64_t c;
        if (!count(pos, c, perItem)) return false;
        for (std::uint64_t i = 0; i < c * perItem; ++i)
            if (!skipValue(pos, depth + 1)) return false;
        return true;
    }

    bool skipValue(std::size_t& pos, int depth) const {
        if (depth > kMaxDepth) return false;
        std::uint8_t tag, b;
        std::uint64_t u;
        double d;
        std::string_view s;
        if (!u8(pos, tag)) return false;
        switch (tag) {
            case TagNull:
                return true;
            case TagString:
                return bytes(pos, s);
            case TagNumber: {
                if (!u8(pos, b) || !u64(pos, u)) return false;
                return numberFrom(b, u) != nullptr;
            }
            case TagDecimal:
                return u8(pos, b) && u64(pos, u) && bytes(pos, s) && decimalFrom(b, u, s);
            case TagData:
                return u8(pos, b) && bytes(pos, s);
            case TagDate:
                return f64(pos, d);
            case TagURL: {
                if (!bytes(pos, s) || !u8(pos, b) || b > 1) return false;
                if (b == 0) return true;
                return pos < n && p[pos] == TagURL && skipValue(pos, depth + 1);
            }
            case TagArray:
            case TagSet:
            case TagOrderedSet:
                return u8(pos, b) && skipList(pos, depth, 1);
            case TagDictionary:
                return u8(pos, b) && skipList(pos, depth, 2);
            case TagValue:
                return bytes(pos, s) && bytes(pos, s);
            case TagError:
                return bytes(pos, s) && u64(pos, u) && pos < n &&
                       (p[pos] == TagDictionary || p[pos] == TagNull) && skipValue(pos, depth + 1);
            case TagBool:
                return u8(pos, b) && b <= 1;
            case TagInt64:
                return u64(pos, u);
            case TagDouble:
                return f64(pos, d);
            case TagObject:
                return bytes(pos, s) && skipContainer(pos, depth + 1);
            default:
                return false;
        }
    }

    static VxNumberPtr numberFrom(std::uint8_t kind, std::uint64_t u) {
        auto i = static_cast<std::int64_t>(u);
        auto inRange = [&](std::int64_t lo, std::int64_t hi) { return i >= lo && i <= hi; };
        switch (static_cast<VxNumberKind>(kind)) {
            case VxNumberKind::Bool:
                return u <= 1 ? VxNumber::numberWithBool(u == 1) : nullptr;
            case VxNumberKind::Char:
                return inRange(INT8_MIN, INT8_MAX)
                           ? VxNumber::numberWithChar(static_cast<std::int8_t>(i))
                           : nullptr;
            case VxNumberKind::UnsignedChar:
                return u <= UINT8_MAX
                           ? VxNumber::numberWithUnsignedChar(static_cast<std::uint8_t>(u))
                           : nullptr;
            case VxNumberKind::Short:
                return inRange(INT16_MIN, INT16_MAX)
                           ? VxNumber::numberWithShort(static_cast<std::int16_t>(i))
                           : nullptr;
            case VxNumberKind::UnsignedShort:
                return u <= UINT16_MAX
                           ? VxNumber::numberWithUnsignedShort(static_cast<std::uint16_t>(u))
                           : nullptr;
            case VxNumberKind::Int:
                return inRange(INT32_MIN, INT32_MAX)
                           ? VxNumber::numberWithInt(static_cast<std::int32_t>(i))
                           : nullptr;
            case VxNumberKind::UnsignedInt:
                return u <= UINT32_MAX
                           ? VxNumber::numberWithUnsignedInt(static_cast<std::uint32_t>(u))
                           : nullptr;
            case VxNumberKind::Long:
                return VxNumber::numberWithLong(i);
            case VxNumberKind::UnsignedLong:
                return VxNumber::numberWithUnsignedLong(u);
            case VxNumberKind::LongLong:
                return VxNumber::numberWithLongLong(i);
            case VxNumberKind::UnsignedLongLong:
                return VxNumber::numberWithUnsignedLongLong(u);
            case VxNumberKind::Float:
                return VxNumber::numberWithFloat(static_cast<float>(std::bit_cast<double>(u)));
            case VxNumberKind::Double:
                return VxNumber::numberWithDouble(std::bit_cast<double>(u));
        }
        return nullptr;
    }

    static VxDecimalNumberPtr decimalFrom(std::uint8_t flags, std::uint64_t exp,
                                          std::string_view digits) {
        if (flags & ~(kDecimalNaN | kDecimalNegative)) return nullptr;
        if (flags & kDecimalNaN) return VxDecimalNumber::notANumber();
        auto e = static_cast<std::int64_t>(exp);
        if (e < INT32_MIN || e > INT32_MAX) return nullptr;
        if (digits.empty() || digits.size() > 40) return nullptr;
        for (char c : digits)
            if (c < '0' || c > '9') return nullptr;
        std::string text = (flags & kDecimalNegative) ? "-" : "";
        text.append(digits);
        text += 'e';
        text += std::to_string(e);
        return VxDecimalNumber::decimalNumberWithString(text);
    }

    // -- decoding (on validated data). A value that cannot be made (unknown
    // class, refused object, ...) comes back as nothing with the error recorded;
    // the position still moves past it.
    Id decodeValue(std::size_t& pos, int depth) {
        std::size_t start = pos;
        std::size_t end = start;
        if (!skipValue(end, depth)) {  // cannot happen on validated data
            record(VxKeyedArchiveErrorCorrupt, "The archive is corrupt.");
            pos = n;
            return nullptr;
        }
        Id v = build(pos, depth);
        pos = end;
        return v;
    }

    std::vector<Id> decodeList(std::size_t& pos, int depth, bool& ok) {
        std::uint64_t c = 0;
        varint(pos, c);
        std::vector<Id> items;
        items.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(c, 4096)));
        for (std::uint64_t i = 0; i < c; ++i) {
            Id v = build(pos, depth + 1);
            if (!v) ok = false;
            items.push_back(std::move(v));
        }
        return items;
    }

    // Builds the value at pos and moves pos past it.
    Id build(std::size_t& pos, int depth) {
        std::uint8_t tag = 0, b = 0;
        std::uint64_t u = 0;
        double d = 0;
        std::string_view s, s2;
        u8(pos, tag);
        switch (tag) {
            case TagNull:
                return VxNull::null();
            case TagString:
                bytes(pos, s);
                return VxString::make(std::string(s));
            case TagNumber:
                u8(pos, b);
                u64(pos, u);
                return numberFrom(b, u);
            case TagDecimal:
                u8(pos, b);
                u64(pos, u);
                bytes(pos, s);
                return decimalFrom(b, u, s);
            case TagData: {
                u8(pos, b);
                bytes(pos, s);
                std::vector<std::uint8_t> v(s.begin(), s.end());
                if (b & kFlagMutable) return std::make_shared<VxMutableData>(std::move(v));
                return VxData::dataWithVector(std::move(v));
            }
            case TagDate:
                f64(pos, d);
                return VxDate::dateWithTimeIntervalSince1970(d);
            case TagURL: {
                bytes(pos, s);
                u8(pos, b);
                VxURLPtr base;
                if (b) {
                    base = vx_cast<VxURL>(build(pos, depth + 1));
                    if (!base) return nullptr;
                }
                auto url = VxURL::URLWithString(s, base);
                if (!url) record(VxKeyedArchiveErrorCorrupt, "The archive holds a malformed URL.");
                return url;
            }
            case TagArray: {
                u8(pos, b);
                bool ok = true;
                auto items = decodeList(pos, depth, ok);
                if (!ok) return nullptr;
                if (b & kFlagMutable) return std::make_shared<VxMutableArray>(std::move(items));
                return VxArray::arrayWithObjects(std::move(items));
            }
            case TagDictionary: {
                u8(pos, b);
                std::uint64_t c = 0;
                varint(pos, c);
                std::vector<std::pair<Id, Id>> pairs;
                pairs.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(c, 4096)));
                bool ok = true;
                for (std::uint64_t i = 0; i < c; ++i) {
                    Id k = build(pos, depth + 1);
                    Id v = build(pos, depth + 1);
                    if (!k || !v) ok = false;
                    pairs.emplace_back(std::move(k), std::move(v));
                }
                if (!ok) return nullptr;
                if (b & kFlagMutable) {
                    auto m = VxMutableDictionary::dictionaryWithCapacity(pairs.size());
                    for (auto& [k, v] : pairs) m->setObject(v, k);
                    return m;
                }
                return VxDictionary::dictionaryWithPairs(std::move(pairs));
            }
            case TagSet: {
                u8(pos, b);
                bool ok = true;
                auto items = decodeList(pos, depth, ok);
                if (!ok) return nullptr;
                if (b & kFlagMutable) {
                    auto m = VxMutableSet::set();
                    for (auto& item : items) m->addObject(item);
                    return m;
                }
                return VxSet::setWithObjects(std::move(items));
            }
            case TagOrderedSet: {
                u8(pos, b);
                bool ok = true;
                auto items = decodeList(pos, depth, ok);
                if (!ok) return nullptr;
                if (b & kFlagMutable) {
                    auto m = VxMutableOrderedSet::orderedSet();
                    for (auto& item : items) m->addObject(item);
                    return m;
                }
                return VxOrderedSet::orderedSetWithObjects(std::move(items));
            }
            case TagValue:
                bytes(pos, s);
                bytes(pos, s2);
                return VxValue::valueWithBytes(s2.data(), s2.size(), s);
            case TagError: {
                bytes(pos, s);
                u64(pos, u);
                Id info = build(pos, depth + 1);
                if (!info) return nullptr;
                return VxError::errorWithDomain(std::string(s), static_cast<std::int64_t>(u),
                                                vx_cast<VxDictionary>(info));
            }
            case TagBool:
                u8(pos, b);
                return VxNumber::numberWithBool(b != 0);
            case TagInt64:
                u64(pos, u);
                return VxNumber::numberWithLongLong(static_cast<std::int64_t>(u));
            case TagDouble:
                f64(pos, d);
                return VxNumber::numberWithDouble(d);
            case TagObject: {
                bytes(pos, s);
                std::string name(s);
                Frame frame{0, 0, depth + 1};
                varint(pos, frame.count);
                frame.offset = pos;
                std::size_t after = frame.offset;
                std::uint64_t skipped = frame.count;
                // Move past the entries (they were validated).
                for (std::uint64_t i = 0; i < skipped; ++i) {
                    std::string_view key;
                    bytes(after, key);
                    skipValue(after, depth + 1);
                }
                pos = after;
                return object(name, frame);
            }
        }
        record(VxKeyedArchiveErrorCorrupt, "The archive is corrupt.");
        return nullptr;
    }

    Id object(const std::string& name, const Frame& frame) {
        const VxClass* cls = VxClass::classNamed(name);
        if (!cls || !cls->canCreateInstances()) {
            record(VxKeyedArchiveErrorUnknownClass,
                   "The archive holds an object of unknown class " + name + ".");
            return nullptr;
        }
        Id obj = cls->createInstance();
        auto* coding = dynamic_cast<VxCoding*>(obj.get());
        if (!obj || !coding) {
            record(VxKeyedArchiveErrorUnknownClass,
                   "Objects of class " + name + " cannot be read from an archive.");
            return nullptr;
        }
        if (secure && !coding->supportsSecureCoding()) {
            record(VxKeyedArchiveErrorWrongClass,
                   "Class " + name + " does not support secure coding.");
            return nullptr;
        }
        frames.push_back(frame);
        bool ok = coding->initWithCoder(*owner);
        frames.pop_back();
        if (!ok) {
            record(VxKeyedArchiveErrorCorrupt,
                   "The archived object of class " + name + " refused its data.");
            return nullptr;
        }
        return obj;
    }

    // Position of the value stored under the key in the current container (the
    // last one when a damaged archive repeats a key).
    bool find(std::string_view key, std::size_t& valuePos) const {
        const Frame& f = frames.back();
        std::size_t pos = f.offset;
        bool found = false;
        for (std::uint64_t i = 0; i < f.count; ++i) {
            std::string_view k;
            if (!bytes(pos, k)) return found;
            if (k == key) {
                valuePos = pos;
                found = true;
            }
            if (!skipValue(pos, f.depth)) return found;
        }
        return found;
    }

    static bool allowedClass(const VxClass& cls, const std::vector<const VxClass*>& classes) {
        for (const VxClass* c : classes)
            if (c && cls.isSubclassOfClass(*c)) return true;
        return false;
    }

    static std::string classList(const std::vector<const VxClass*>& classes) {
        std::string s;
        for (const VxClass* c : classes) {
            if (!c) continue;
            if (!s.empty()) s += ", ";
            s += c->name();
        }
        return s;
    }
};

VxKeyedUnarchiver::VxKeyedUnarchiver() : impl_(std::make_unique<Impl>()) {
    impl_->owner = this;
}

VxKeyedUnarchiver::~VxKeyedUnarchiver() = default;

std::unique_ptr<VxKeyedUnarchiver> VxKeyedUnarchiver::unarchiverForReadingFromData(
    const VxDataPtr& data, VxErrorPtr* error) {
    auto corrupt = [&](const std::string& reason) {
        vxSetError(error, archiveError(VxKeyedArchiveErrorCorrupt, reason));
        return nullptr;
    };
    if (!data || data->length() < 6) return corrupt("The data is too short to be an archive.");
    if (std::memcmp(data->bytes(), kMagic, 4) != 0) return corrupt("The data is not an archive.");
    std::uint16_t version = static_cast<std::uint16_t>(data->bytes()[4] | (data->bytes()[5] << 8));
    if (version != kVersion)
        return corrupt("Unsupported archive version " + std::to_string(version) + ".");

    std::unique_ptr<VxKeyedUnarchiver> u(new VxKeyedUnarchiver());
    Impl& m = *u->impl_;
    m.data = vx_cast<VxData>(data->copy());  // immutable snapshot
    if (!m.data) m.data = data;
    m.p = m.data->bytes();
    m.n = m.data->length();
    std::size_t pos = 6;
    Impl::Frame root{0, 0, 0};
    std::size_t countPos = pos;
    if (!m.skipContainer(pos, 0))
        return corrupt("The archive is corrupt or truncated (damaged data before byte " +
                       std::to_string(m.n) + ").");
    if (pos != m.n) return corrupt("The archive has unexpected bytes after its end.");
    m.varint(countPos, root.count);
    root.offset = countPos;
    m.frames.push_back(root);
    vxSetError(error, nullptr);
    return u;
}

bool VxKeyedUnarchiver::requiresSecureCoding() const {
    return impl_->secure;
}
void VxKeyedUnarchiver::setRequiresSecureCoding(bool value) {
    impl_->secure = value;
}

bool VxKeyedUnarchiver::containsValueForKey(std::string_view key) const {
    std::size_t pos;
    return impl_->find(key, pos);
}

Id VxKeyedUnarchiver::decodeObjectForKey(std::string_view key) {
    std::size_t pos;
    if (!impl_->find(key, pos)) return nullptr;
    return impl_->decodeValue(pos, impl_->frames.back().depth);
}

Id VxKeyedUnarchiver::decodeObjectOfClass(const VxClass& cls, std::string_view forKey) {
    return decodeObjectOfClasses({&cls}, forKey);
}

Id VxKeyedUnarchiver::decodeObjectOfClasses(const std::vector<const VxClass*>& classes,
                                            std::string_view forKey) {
    std::size_t pos;
    if (!impl_->find(forKey, pos)) return nullptr;
    // A coded object of a class outside the list is refused before it is made.
    if (impl_->p[pos] == TagObject) {
        std::size_t namePos = pos + 1;
        std::string_view name;
        impl_->bytes(namePos, name);
        const VxClass* cls = VxClass::classNamed(name);
        if (cls && !Impl::allowedClass(*cls, classes)) {
            impl_->record(VxKeyedArchiveErrorWrongClass,
                          "Value for key " + std::string(forKey) + " was of unexpected class " +
                              std::string(name) + " (allowed: " + Impl::classList(classes) + ").");
            return nullptr;
        }
    }
    Id obj = impl_->decodeValue(pos, impl_->frames.back().depth);
    if (obj && !Impl::allowedClass(obj->isa(), classes)) {
        impl_->record(VxKeyedArchiveErrorWrongClass,
                      "Value for key " + std::string(forKey) + " was of unexpected class " +
                          obj->className() + " (allowed: " + Impl::classList(classes) + ").");
        return nullptr;
    }
    return obj;
}

bool VxKeyedUnarchiver::decodeBoolForKey(std::string_view key) {
    Id v = decodeObjectForKey(key);
    if (!v) return false;
    if (auto n = vx_cast<VxNumber>(v)) return n->boolValue();
    impl_->record(VxKeyedArchiveErrorWrongClass,
                  "Value for key " + std::string(key) + " is not a boolean.");
    return false;
}

std::int64_t VxKeyedUnarchiver::decodeInt64ForKey(std::string_view key) {
    Id v = decodeObjectForKey(key);
    if (!v) return 0;
    if (auto n = vx_cast<VxNumber>(v)) {
        if (!n->isFloatingPoint()) return n->longLongValue();
        double d = n->doubleValue();
        if (std::isnan(d)) return 0;
        if (d >= 9.2233720368547758e18) return std::numeric_limits<std::int64_t>::max();
        if (d <= -9.2233720368547758e18) return std::numeric_limits<std::int64_t>::min();
        return static_cast<std::int64_t>(d);
    }
    impl_->record(VxKeyedArchiveErrorWrongClass,
                  "Value for key " + std::string(key) + " is not an integer.");
    return 0;
}

double VxKeyedUnarchiver::decodeDoubleForKey(std::string_view key) {
    Id v = decodeObjectForKey(key);
    if (!v) return 0;
    if (auto n = vx_cast<VxNumber>(v)) return n->doubleValue();
    impl_->record(VxKeyedArchiveErrorWrongClass,
                  "Value for key " + std::string(key) + " is not a number.");
    return 0;
}

VxErrorPtr VxKeyedUnarchiver::error() const {
    return impl_->error;
}

Id VxKeyedUnarchiver::unarchivedObjectOfClass(const VxClass& cls, const VxDataPtr& data,
                                              VxErrorPtr* error) {
    auto u = unarchiverForReadingFromData(data, error);
    if (!u) return nullptr;
    Id obj = u->decodeObjectOfClass(cls, VxKeyedArchiveRootObjectKey);
    if (!obj) {
        VxErrorPtr e = u->error();
        if (!e) e = archiveError(VxKeyedArchiveErrorCorrupt, "The archive has no root object.");
        vxSetError(error, e);
        return nullptr;
    }
    vxSetError(error, nullptr);
    return obj;
}
