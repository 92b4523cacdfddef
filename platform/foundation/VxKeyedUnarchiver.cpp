#include "platform/foundation/VxKeyedArchiver.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "platform/foundation/VxKeyedArchiveFormat.h"

using namespace vx::archive;

// ---------------------------------------------------------------------------
// Unarchiver: the archive is validated whole when it is opened; the decoding
// steps below then read it without further checks.

struct VxKeyedUnarchiver::Impl : Reader {
    // A keyed container: where its entries start and how many there are.
    struct Frame {
        std::size_t offset;
        std::uint64_t count;
        int depth;
    };

    VxKeyedUnarchiver* owner = nullptr;
    VxDataPtr data;
    bool secure = true;
    std::vector<Frame> frames;
    VxErrorPtr error;

    void record(std::int64_t code, const std::string& reason) {
        if (!error) error = archiveError(code, reason);
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
        std::uint8_t tag = 0;
        u8(pos, tag);
        switch (tag) {
            case TagNull:
                return VxNull::null();
            case TagString:
            case TagNumber:
            case TagDecimal:
            case TagData:
            case TagDate:
            case TagValue:
            case TagBool:
            case TagInt64:
            case TagDouble:
                return buildScalar(tag, pos);
            case TagURL:
                return buildURL(pos, depth);
            case TagArray:
            case TagSet:
            case TagOrderedSet:
                return buildList(tag, pos, depth);
            case TagDictionary:
                return buildDictionary(pos, depth);
            case TagError:
                return buildError(pos, depth);
            case TagObject:
                return buildObject(pos, depth);
        }
        record(VxKeyedArchiveErrorCorrupt, "The archive is corrupt.");
        return nullptr;
    }

    // A value that holds no other value (tag already read).
    Id buildScalar(std::uint8_t tag, std::size_t& pos) {
        std::uint8_t b = 0;
        std::uint64_t u = 0;
        double d = 0;
        std::string_view s, s2;
        switch (tag) {
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
            case TagValue:
                bytes(pos, s);
                bytes(pos, s2);
                return VxValue::valueWithBytes(s2.data(), s2.size(), s);
            case TagBool:
                u8(pos, b);
                return VxNumber::numberWithBool(b != 0);
            case TagInt64:
                u64(pos, u);
                return VxNumber::numberWithLongLong(static_cast<std::int64_t>(u));
            case TagDouble:
                f64(pos, d);
                return VxNumber::numberWithDouble(d);
        }
        return nullptr;  // not a scalar tag
    }

    // A URL, with the base it was made relative to.
    Id buildURL(std::size_t& pos, int depth) {
        std::uint8_t b = 0;
        std::string_view s;
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

    // An array, set or ordered set (tag already read).
    Id buildList(std::uint8_t tag, std::size_t& pos, int depth) {
        std::uint8_t b = 0;
        u8(pos, b);
        bool ok = true;
        auto items = decodeList(pos, depth, ok);
        if (!ok) return nullptr;
        if (tag == TagArray) {
            if (b & kFlagMutable) return std::make_shared<VxMutableArray>(std::move(items));
            return VxArray::arrayWithObjects(std::move(items));
        }
        if (tag == TagSet) {
            if (b & kFlagMutable) {
                auto m = VxMutableSet::set();
                for (auto& item : items) m->addObject(item);
                return m;
            }
            return VxSet::setWithObjects(std::move(items));
        }
        if (b & kFlagMutable) {
            auto m = VxMutableOrderedSet::orderedSet();
            for (auto& item : items) m->addObject(item);
            return m;
        }
        return VxOrderedSet::orderedSetWithObjects(std::move(items));
    }

    Id buildDictionary(std::size_t& pos, int depth) {
        std::uint8_t b = 0;
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

    // An error: domain, code and its user information dictionary.
    Id buildError(std::size_t& pos, int depth) {
        std::uint64_t u = 0;
        std::string_view s;
        bytes(pos, s);
        u64(pos, u);
        Id info = build(pos, depth + 1);
        if (!info) return nullptr;
        return VxError::errorWithDomain(std::string(s), static_cast<std::int64_t>(u),
                                        vx_cast<VxDictionary>(info));
    }

    // A coded object: its class name and keyed container, decoded by the
    // class's own initialiser.
    Id buildObject(std::size_t& pos, int depth) {
        std::string_view s;
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
