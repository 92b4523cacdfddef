#include "platform/foundation/VxKeyedArchiver.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/foundation/VxKeyedArchiveFormat.h"

// The byte layout is described in docs/ARCHIVE_FORMAT.md.

const char* const VxKeyedArchiveErrorDomain = "VxKeyedArchiveErrorDomain";
const char* const VxKeyedArchiveRootObjectKey = "root";

namespace vx::archive {

VxErrorPtr archiveError(std::int64_t code, const std::string& reason) {
    const char* description =
        code == VxKeyedArchiveErrorNotEncodable
            ? "The data couldn't be written because it isn't in the correct format."
            : "The data couldn't be read because it isn't in the correct format.";
    return VxError::errorWithDomain(VxKeyedArchiveErrorDomain, code, description, reason);
}

}  // namespace vx::archive

using namespace vx::archive;

namespace {

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

// The flag byte of a container or buffer: whether it is of the mutable class.
std::uint8_t mutableFlag(const VxObject& obj, const VxClass& mutableClass) {
    return obj.isKindOfClass(mutableClass) ? kFlagMutable : 0;
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

    // One value at nesting depth d: the null marker, a coded object or one of
    // the value kinds.
    bool value(std::vector<std::uint8_t>& out, const Id& obj, int d) {
        if (d > kMaxDepth)
            return fail("The object graph is nested too deeply (or contains itself).");
        if (!obj || obj->isKindOfClass(VxNull::classObject())) {
            putU8(out, TagNull);
            return true;
        }
        if (auto* coding = dynamic_cast<const VxCoding*>(obj.get()))
            return object(out, *obj, *coding, d);
        if (scalar(out, obj)) return true;
        return composite(out, obj, d);
    }

    // Texts, numbers, decimal numbers, data, dates and value boxes; false (and
    // nothing written) for any other object.
    bool scalar(std::vector<std::uint8_t>& out, const Id& obj) {
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
            putU8(out, mutableFlag(*obj, VxMutableData::classObject()));
            putBytes(out, data->bytes(), data->length());
        } else if (auto date = vx_cast<VxDate>(obj)) {
            putU8(out, TagDate);
            putDouble(out, date->timeIntervalSince1970());
        } else if (auto box = vx_cast<VxValue>(obj)) {
            putU8(out, TagValue);
            putString(out, box->objCType());
            putBytes(out, box->bytes().data(), box->bytes().size());
        } else {
            return false;
        }
        return true;
    }

    // URLs, arrays, dictionaries, sets, ordered sets and errors, which hold
    // other values one level deeper; anything else cannot be archived.
    bool composite(std::vector<std::uint8_t>& out, const Id& obj, int d) {
        if (auto url = vx_cast<VxURL>(obj)) {
            putU8(out, TagURL);
            putString(out, url->relativeString());
            putU8(out, url->baseURL() ? 1 : 0);
            if (url->baseURL() && !value(out, url->baseURL(), d + 1)) return false;
        } else if (auto a = vx_cast<VxArray>(obj)) {
            putU8(out, TagArray);
            putU8(out, mutableFlag(*obj, VxMutableArray::classObject()));
            return list(out, a->items(), d);
        } else if (auto dict = vx_cast<VxDictionary>(obj)) {
            putU8(out, TagDictionary);
            putU8(out, mutableFlag(*obj, VxMutableDictionary::classObject()));
            putVarint(out, dict->count());
            for (std::size_t i = 0; i < dict->count(); ++i) {
                if (!value(out, dict->keys()[i], d + 1)) return false;
                if (!value(out, dict->values()[i], d + 1)) return false;
            }
        } else if (auto set = vx_cast<VxSet>(obj)) {
            putU8(out, TagSet);
            putU8(out, mutableFlag(*obj, VxMutableSet::classObject()));
            return list(out, set->allObjects(), d);
        } else if (auto os = vx_cast<VxOrderedSet>(obj)) {
            putU8(out, TagOrderedSet);
            putU8(out, mutableFlag(*obj, VxMutableOrderedSet::classObject()));
            return list(out, os->array(), d);
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
