#pragma once
// The value kinds that JSON produces and consumes and that records store:
// text, number, decimal number, bytes, date, URL, array, dictionary, set,
// ordered set, value box and the null marker. Containers come in an immutable
// and a mutable class (the mutable one derives from the immutable one); an
// immutable container's copy() is itself, a mutable one's copy() is a new
// immutable container that shares no mutable state with its source.

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxFileReading.h"
#include "platform/foundation/VxObject.h"

class VxNull;
class VxString;
class VxNumber;
class VxDecimalNumber;
class VxData;
class VxMutableData;
class VxDate;
class VxURL;
class VxArray;
class VxMutableArray;
class VxDictionary;
class VxMutableDictionary;
class VxSet;
class VxMutableSet;
class VxOrderedSet;
class VxMutableOrderedSet;
class VxValue;

using VxNullPtr = std::shared_ptr<VxNull>;
using VxStringPtr = std::shared_ptr<VxString>;
using VxNumberPtr = std::shared_ptr<VxNumber>;
using VxDecimalNumberPtr = std::shared_ptr<VxDecimalNumber>;
using VxDataPtr = std::shared_ptr<VxData>;
using VxMutableDataPtr = std::shared_ptr<VxMutableData>;
using VxDatePtr = std::shared_ptr<VxDate>;
using VxURLPtr = std::shared_ptr<VxURL>;
using VxArrayPtr = std::shared_ptr<VxArray>;
using VxMutableArrayPtr = std::shared_ptr<VxMutableArray>;
using VxDictionaryPtr = std::shared_ptr<VxDictionary>;
using VxMutableDictionaryPtr = std::shared_ptr<VxMutableDictionary>;
using VxSetPtr = std::shared_ptr<VxSet>;
using VxMutableSetPtr = std::shared_ptr<VxMutableSet>;
using VxOrderedSetPtr = std::shared_ptr<VxOrderedSet>;
using VxMutableOrderedSetPtr = std::shared_ptr<VxMutableOrderedSet>;
using VxValuePtr = std::shared_ptr<VxValue>;

// ---------------------------------------------------------------------------
// Null marker: one shared instance standing for "no value" inside containers.
class DA_EXPORT VxNull final : public VxObject {
    VX_DECLARE_CLASS(VxNull)
  public:
    static const VxNullPtr& null();
    bool isEqual(const VxObject& other) const override;
    std::size_t hash() const override { return 0x6e756c6cU; }
    std::string description() const override { return "<null>"; }
};

// ---------------------------------------------------------------------------
// Text: an immutable UTF-8 string.
class DA_EXPORT VxString : public VxObject {
    VX_DECLARE_CLASS(VxString)
  public:
    explicit VxString(std::string text = {}) : text_(std::move(text)) {}
    static VxStringPtr make(std::string text);
    static VxStringPtr stringWithUTF8Bytes(const void* bytes,
                                           std::size_t length);  // nothing if invalid

    const std::string& str() const { return text_; }
    const char* UTF8String() const { return text_.c_str(); }
    bool empty() const { return text_.empty(); }
    // Length in Unicode characters (code points).
    std::size_t length() const;
    // Number of UTF-8 bytes.
    std::size_t byteLength() const { return text_.size(); }

    bool isEqual(const VxObject& other) const override;
    std::size_t hash() const override;
    std::string description() const override { return text_; }

    static bool isValidUTF8(std::string_view bytes);

  private:
    std::string text_;
};

DA_EXPORT VxStringPtr vxstr(std::string text);

// ---------------------------------------------------------------------------
// Number: keeps the kind it was made with, which decides its text and JSON forms.
enum class VxNumberKind : std::uint8_t {
    Bool,
    Char,
    UnsignedChar,
    Short,
    UnsignedShort,
    Int,
    UnsignedInt,
    Long,  // 64-bit
    UnsignedLong,
    LongLong,
    UnsignedLongLong,
    Float,
    Double,
};

class DA_EXPORT VxNumber : public VxObject {
    VX_DECLARE_CLASS(VxNumber)
  public:
    VxNumber() = default;
    static VxNumberPtr numberWithBool(bool v);
    static VxNumberPtr numberWithChar(std::int8_t v);
    static VxNumberPtr numberWithUnsignedChar(std::uint8_t v);
    static VxNumberPtr numberWithShort(std::int16_t v);
    static VxNumberPtr numberWithUnsignedShort(std::uint16_t v);
    static VxNumberPtr numberWithInt(std::int32_t v);
    static VxNumberPtr numberWithUnsignedInt(std::uint32_t v);
    static VxNumberPtr numberWithLong(std::int64_t v);
    static VxNumberPtr numberWithUnsignedLong(std::uint64_t v);
    static VxNumberPtr numberWithLongLong(std::int64_t v);
    static VxNumberPtr numberWithUnsignedLongLong(std::uint64_t v);
    static VxNumberPtr numberWithFloat(float v);
    static VxNumberPtr numberWithDouble(double v);
    // Number of the C++ type's natural kind (bool, int8..uint64, float, double).
    template <class T>
    static VxNumberPtr make(T v);

    VxNumberKind kind() const { return kind_; }
    bool isBoolean() const { return kind_ == VxNumberKind::Bool; }
    bool isFloatingPoint() const {
        return kind_ == VxNumberKind::Float || kind_ == VxNumberKind::Double;
    }
    bool isUnsignedInteger() const;
    // The kind's type code: "B", "c", "C", "s", "S", "i", "I", "q", "Q", "f", "d".
    const char* objCType() const;

    bool boolValue() const;
    std::int8_t charValue() const { return static_cast<std::int8_t>(longLongValue()); }
    std::uint8_t unsignedCharValue() const {
        return static_cast<std::uint8_t>(unsignedLongLongValue());
    }
    std::int16_t shortValue() const { return static_cast<std::int16_t>(longLongValue()); }
    std::uint16_t unsignedShortValue() const {
        return static_cast<std::uint16_t>(unsignedLongLongValue());
    }
    std::int32_t intValue() const { return static_cast<std::int32_t>(longLongValue()); }
    std::uint32_t unsignedIntValue() const {
        return static_cast<std::uint32_t>(unsignedLongLongValue());
    }
    std::int64_t longValue() const { return longLongValue(); }
    std::uint64_t unsignedLongValue() const { return unsignedLongLongValue(); }
    std::int64_t longLongValue() const;
    std::uint64_t unsignedLongLongValue() const;
    float floatValue() const { return static_cast<float>(doubleValue()); }
    double doubleValue() const;
    // Plain decimal text: booleans as 1 and 0, integers in decimal, floating
    // point numbers in their shortest exact form.
    std::string stringValue() const;

    // -1, 0 or 1 by numeric value.
    int compare(const VxNumber& other) const;
    bool isEqual(const VxObject& other) const override;
    std::size_t hash() const override;
    std::string description() const override { return stringValue(); }

  private:
    VxNumberKind kind_ = VxNumberKind::Int;
    union {
        std::int64_t i;
        std::uint64_t u;
        double d;
    } v_{0};
    friend class VxNumberAccess;
};

// ---------------------------------------------------------------------------
// Decimal number: a base-10 mantissa of up to 38 digits with an exponent, or
// not-a-number.
class DA_EXPORT VxDecimalNumber : public VxObject {
    VX_DECLARE_CLASS(VxDecimalNumber)
  public:
    VxDecimalNumber() = default;
    static VxDecimalNumberPtr notANumber();
    static VxDecimalNumberPtr zero();
    // Parses an optional sign, digits, an optional fraction and an optional
    // exponent ("-12.5e3"); nothing for any other text.
    static VxDecimalNumberPtr decimalNumberWithString(std::string_view text);
    static VxDecimalNumberPtr decimalNumberWithMantissa(std::uint64_t mantissa,
                                                        std::int32_t exponent, bool isNegative);
    static VxDecimalNumberPtr decimalNumberWithDouble(double value);

    bool isNaN() const { return nan_; }
    bool isNegative() const { return negative_; }
    // Digits of the mantissa without leading zeros ("0" for zero).
    const std::string& mantissaDigits() const { return digits_; }
    std::int32_t exponent() const { return exponent_; }
    double doubleValue() const;
    // Plain decimal form, "NaN" for not-a-number ("-1250", "0.001").
    std::string stringValue() const;

    int compare(const VxDecimalNumber& other) const;  // NaN sorts first
    bool isEqual(const VxObject& other) const override;
    std::size_t hash() const override;
    std::string description() const override { return stringValue(); }

  private:
    void normalize();
    bool nan_ = false;
    bool negative_ = false;
    std::string digits_ = "0";
    std::int32_t exponent_ = 0;
};

// ---------------------------------------------------------------------------
// Bytes.
class DA_EXPORT VxData : public VxObject {
    VX_DECLARE_CLASS(VxData)
  public:
    VxData() = default;
    explicit VxData(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
    static VxDataPtr data();
    static VxDataPtr dataWithBytes(const void* bytes, std::size_t length);
    static VxDataPtr dataWithString(std::string_view text);  // the UTF-8 bytes of the text
    static VxDataPtr dataWithVector(std::vector<std::uint8_t> bytes);
    // The whole file, or nothing (and the error) when it cannot be read: only
    // a regular file of at most `limit` bytes is read (see VxFileReading.h).
    static VxDataPtr dataWithContentsOfFile(const std::string& path,
                                            std::string* errorText = nullptr,
                                            std::size_t limit = kVxWholeFileLimit);

    const std::uint8_t* bytes() const { return bytes_.data(); }
    std::size_t length() const { return bytes_.size(); }
    const std::vector<std::uint8_t>& vector() const { return bytes_; }
    std::string_view view() const {
        return {reinterpret_cast<const char*>(bytes_.data()), bytes_.size()};
    }
    bool writeToFile(const std::string& path, bool atomically) const;

    bool isEqual(const VxObject& other) const override;
    std::size_t hash() const override;
    // "{length = N, bytes = 0x0011...}", long buffers abbreviated in the middle.
    std::string description() const override;
    Id copyWithZone(void* zone = nullptr) const override;
    Id mutableCopyWithZone(void* zone = nullptr) const override;

  protected:
    std::vector<std::uint8_t> bytes_;
};

class DA_EXPORT VxMutableData : public VxData {
    VX_DECLARE_CLASS(VxMutableData)
  public:
    using VxData::VxData;
    static VxMutableDataPtr dataWithCapacity(std::size_t capacity);
    std::uint8_t* mutableBytes() { return bytes_.data(); }
    std::vector<std::uint8_t>& mutableVector() { return bytes_; }
    void appendBytes(const void* bytes, std::size_t length);
    void appendData(const VxData& other) { appendBytes(other.bytes(), other.length()); }
    void setLength(std::size_t length) { bytes_.resize(length, 0); }
};

// ---------------------------------------------------------------------------
// Date: an instant as seconds since 1970-01-01 00:00:00 UTC.
class DA_EXPORT VxDate : public VxObject {
    VX_DECLARE_CLASS(VxDate)
  public:
    VxDate() = default;
    explicit VxDate(double secondsSince1970) : t_(secondsSince1970) {}
    static VxDatePtr date();  // now
    static VxDatePtr dateWithTimeIntervalSince1970(double seconds);
    double timeIntervalSince1970() const { return t_; }
    double timeIntervalSinceNow() const;
    int compare(const VxDate& other) const;
    bool isEqual(const VxObject& other) const override;
    std::size_t hash() const override;
    // "2026-12-06 19:55:02 +0000"
    std::string description() const override;

  private:
    double t_ = 0;
};

// ---------------------------------------------------------------------------
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
};

// Resolves `reference` against `base` by RFC 3986 section 5.2 (both texts);
// nothing when either does not parse.
DA_EXPORT std::optional<std::string> VxResolveURLReference(std::string_view base,
                                                           std::string_view reference);

// ---------------------------------------------------------------------------
// Array of objects. Elements are never absent (the null marker stands in).
class DA_EXPORT VxArray : public VxObject {
    VX_DECLARE_CLASS(VxArray)
  public:
    VxArray() = default;
    explicit VxArray(std::vector<Id> items);
    ~VxArray() override;
    static VxArrayPtr array();
    static VxArrayPtr arrayWithObjects(std::vector<Id> items);
    static VxArrayPtr arrayWithObjects(std::initializer_list<Id> items);

    std::size_t count() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    const Id& objectAtIndex(std::size_t index) const { return items_.at(index); }
    const Id& operator[](std::size_t index) const { return items_.at(index); }
    Id firstObject() const { return items_.empty() ? nullptr : items_.front(); }
    Id lastObject() const { return items_.empty() ? nullptr : items_.back(); }
    bool containsObject(const Id& obj) const;
    // Index of the first equal element, or npos.
    std::size_t indexOfObject(const Id& obj) const;
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    const std::vector<Id>& items() const { return items_; }
    std::vector<Id>::const_iterator begin() const { return items_.begin(); }
    std::vector<Id>::const_iterator end() const { return items_.end(); }

    bool isEqual(const VxObject& other) const override;
    std::size_t hash() const override { return items_.size(); }
    std::string description() const override;
    std::string descriptionInline() const override;
    Id copyWithZone(void* zone = nullptr) const override;
    Id mutableCopyWithZone(void* zone = nullptr) const override;

  protected:
    std::vector<Id> items_;
};

class DA_EXPORT VxMutableArray : public VxArray {
    VX_DECLARE_CLASS(VxMutableArray)
  public:
    using VxArray::VxArray;
    static VxMutableArrayPtr array();
    static VxMutableArrayPtr arrayWithCapacity(std::size_t capacity);
    // An absent object is stored as the null marker.
    void addObject(const Id& obj);
    void insertObject(const Id& obj, std::size_t atIndex);
    void replaceObjectAtIndex(std::size_t index, const Id& withObject);
    void removeObjectAtIndex(std::size_t index);
    void removeObject(const Id& obj);  // every equal element
    void removeLastObject();
    void removeAllObjects() { items_.clear(); }
    void addObjectsFromArray(const VxArray& other);
};

// ---------------------------------------------------------------------------
// Insertion-ordered hash table of objects, the storage of dictionaries and sets.
// Each key's hash is stored beside it; small tables are searched by comparing
// the stored hashes, larger ones keep an open-addressing index of positions.
class DA_EXPORT VxOrderedTable {
  public:
    std::size_t size() const { return keys_.size(); }
    // Position of the key, or npos. `hash` is key.hash().
    std::size_t find(const VxObject& key) const { return find(key, key.hash()); }
    std::size_t find(const VxObject& key, std::size_t hash) const;
    std::size_t findString(std::string_view key) const;
    // Appends a key that is not present yet; returns its position. `hash` is
    // key->hash().
    std::size_t append(const Id& key) { return append(key, key->hash()); }
    std::size_t append(Id key, std::size_t hash);
    void erase(std::size_t position);
    void clear();
    void reserve(std::size_t n);
    const std::vector<Id>& keys() const { return keys_; }
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  private:
    // Tables up to this size have no index.
    static constexpr std::size_t kLinearLimit = 16;
    template <class Match>
    std::size_t lookup(std::size_t hash, const Match& match) const;
    void indexPosition(std::size_t position);
    void rebuildIndex(std::size_t capacity);
    std::vector<Id> keys_;
    std::vector<std::size_t> hashes_;
    // Open addressing, a power of two in size: 0 is free, else position + 1.
    std::vector<std::uint32_t> slots_;
};

// Dictionary: keys are any objects (compared with isEqual), insertion order is
// kept and is the enumeration order.
class DA_EXPORT VxDictionary : public VxObject {
    VX_DECLARE_CLASS(VxDictionary)
  public:
    VxDictionary() = default;
    ~VxDictionary() override;
    static VxDictionaryPtr dictionary();
    // Later duplicates replace earlier values and keep the first position.
    static VxDictionaryPtr dictionaryWithPairs(std::vector<std::pair<Id, Id>> pairs);
    static VxDictionaryPtr dictionaryWithPairs(
        std::initializer_list<std::pair<std::string, Id>> pairs);
    // The same from parallel spans of keys and values (of equal length), whose
    // elements are moved from. Texts are taken as they are, other keys copied.
    static VxDictionaryPtr dictionaryByTakingKeys(std::span<Id> keys, std::span<Id> values);

    std::size_t count() const { return table_.size(); }
    bool empty() const { return table_.size() == 0; }
    // The value for the key, or nothing.
    Id objectForKey(const Id& key) const;
    Id objectForKey(std::string_view key) const;
    Id operator[](std::string_view key) const { return objectForKey(key); }
    VxArrayPtr allKeys() const;
    VxArrayPtr allValues() const;
    const std::vector<Id>& keys() const { return table_.keys(); }
    const std::vector<Id>& values() const { return values_; }
    // Calls fn(key, value) in enumeration order.
    template <class Fn>
    void enumerateKeysAndObjects(Fn&& fn) const {
        for (std::size_t i = 0; i < values_.size(); ++i) fn(table_.keys()[i], values_[i]);
    }

    bool isEqual(const VxObject& other) const override;
    std::size_t hash() const override { return table_.size(); }
    std::string description() const override;
    std::string descriptionInline() const override;
    Id copyWithZone(void* zone = nullptr) const override;
    Id mutableCopyWithZone(void* zone = nullptr) const override;

  protected:
    void set(const Id& value, const Id& key);
    void take(std::span<Id> keys, std::span<Id> values);
    VxOrderedTable table_;
    std::vector<Id> values_;
};

class DA_EXPORT VxMutableDictionary : public VxDictionary {
    VX_DECLARE_CLASS(VxMutableDictionary)
  public:
    VxMutableDictionary() = default;
    static VxMutableDictionaryPtr dictionary();
    static VxMutableDictionaryPtr dictionaryWithCapacity(std::size_t capacity);
    static VxMutableDictionaryPtr dictionaryByTakingKeys(std::span<Id> keys, std::span<Id> values);
    // Stores the value under an immutable copy of the key; an existing key keeps
    // its position. An absent value removes the key.
    void setObject(const Id& value, const Id& forKey);
    void setObject(const Id& value, std::string_view forKey);
    void removeObjectForKey(const Id& key);
    void removeObjectForKey(std::string_view key);
    void removeAllObjects();
    void addEntriesFromDictionary(const VxDictionary& other);
};

// ---------------------------------------------------------------------------
// Set (enumerates in insertion order) and ordered set (indexable).
class DA_EXPORT VxSet : public VxObject {
    VX_DECLARE_CLASS(VxSet)
  public:
    VxSet() = default;
    static VxSetPtr setWithObjects(std::vector<Id> items);
    std::size_t count() const { return table_.size(); }
    bool containsObject(const Id& obj) const;
    Id member(const Id& obj) const;
    const std::vector<Id>& allObjects() const { return table_.keys(); }
    VxArrayPtr allObjectsArray() const;
    bool isEqual(const VxObject& other) const override;
    std::size_t hash() const override { return table_.size(); }
    std::string description() const override;
    Id copyWithZone(void* zone = nullptr) const override;
    Id mutableCopyWithZone(void* zone = nullptr) const override;

  protected:
    void add(const Id& obj);
    VxOrderedTable table_;
};

class DA_EXPORT VxMutableSet : public VxSet {
    VX_DECLARE_CLASS(VxMutableSet)
  public:
    static VxMutableSetPtr set();
    void addObject(const Id& obj) { add(obj); }
    void removeObject(const Id& obj);
    void removeAllObjects() { table_.clear(); }
};

class DA_EXPORT VxOrderedSet : public VxObject {
    VX_DECLARE_CLASS(VxOrderedSet)
  public:
    VxOrderedSet() = default;
    static VxOrderedSetPtr orderedSetWithObjects(std::vector<Id> items);
    std::size_t count() const { return table_.size(); }
    bool containsObject(const Id& obj) const;
    const Id& objectAtIndex(std::size_t index) const { return table_.keys().at(index); }
    std::size_t indexOfObject(const Id& obj) const;  // npos when absent
    static constexpr std::size_t npos = VxOrderedTable::npos;
    const std::vector<Id>& array() const { return table_.keys(); }
    bool isEqual(const VxObject& other) const override;
    std::size_t hash() const override { return table_.size(); }
    std::string description() const override;
    Id copyWithZone(void* zone = nullptr) const override;
    Id mutableCopyWithZone(void* zone = nullptr) const override;

  protected:
    void add(const Id& obj);
    VxOrderedTable table_;
};

class DA_EXPORT VxMutableOrderedSet : public VxOrderedSet {
    VX_DECLARE_CLASS(VxMutableOrderedSet)
  public:
    static VxMutableOrderedSetPtr orderedSet();
    void addObject(const Id& obj) { add(obj); }
    void removeObject(const Id& obj);
    void removeAllObjects() { table_.clear(); }
};

// ---------------------------------------------------------------------------
// Value box: raw bytes together with the type string that describes them.
class DA_EXPORT VxValue : public VxObject {
    VX_DECLARE_CLASS(VxValue)
  public:
    VxValue() = default;
    static VxValuePtr valueWithBytes(const void* bytes, std::size_t size,
                                     std::string_view objCType);
    static VxValuePtr valueWithPointer(const void* pointer);  // type "^v"
    template <class T>
    static VxValuePtr valueWithValue(const T& v, std::string_view objCType) {
        return valueWithBytes(&v, sizeof v, objCType);
    }
    const std::string& objCType() const { return type_; }
    std::size_t size() const { return bytes_.size(); }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    // Copies the held bytes into the buffer (at most `size` bytes, the rest zeroed).
    void getValue(void* buffer, std::size_t size) const;
    template <class T>
    T value() const {
        T v{};
        getValue(&v, sizeof v);
        return v;
    }
    const void* pointerValue() const { return value<const void*>(); }
    bool isEqual(const VxObject& other) const override;
    std::size_t hash() const override;
    std::string description() const override;

  private:
    std::vector<std::uint8_t> bytes_;
    std::string type_;
};

// ---------------------------------------------------------------------------
// Helpers shared by every layer.
namespace vx {

DA_EXPORT bool isNull(const Id& obj);  // the null marker
// Absent, the null marker, or an empty text, data, array, dictionary or set.
DA_EXPORT bool isNilOrEmpty(const Id& obj);
// The object when it is a non-empty text, else nothing.
DA_EXPORT VxStringPtr nonEmptyString(const Id& obj);
// Text of any object for query strings and logs: texts as themselves, others by
// their description.
DA_EXPORT std::string textOf(const Id& obj);
// The null marker as a generic object.
DA_EXPORT Id null();

}  // namespace vx

template <class T>
VxNumberPtr VxNumber::make(T v) {
    if constexpr (std::is_same_v<T, bool>)
        return numberWithBool(v);
    else if constexpr (std::is_same_v<T, float>)
        return numberWithFloat(v);
    else if constexpr (std::is_floating_point_v<T>)
        return numberWithDouble(static_cast<double>(v));
    else if constexpr (std::is_signed_v<T> && sizeof(T) == 1)
        return numberWithChar(v);
    else if constexpr (std::is_unsigned_v<T> && sizeof(T) == 1)
        return numberWithUnsignedChar(v);
    else if constexpr (std::is_signed_v<T> && sizeof(T) == 2)
        return numberWithShort(v);
    else if constexpr (std::is_unsigned_v<T> && sizeof(T) == 2)
        return numberWithUnsignedShort(v);
    else if constexpr (std::is_signed_v<T> && sizeof(T) == 4)
        return numberWithInt(v);
    else if constexpr (std::is_unsigned_v<T> && sizeof(T) == 4)
        return numberWithUnsignedInt(v);
    else if constexpr (std::is_signed_v<T>)
        return numberWithLongLong(static_cast<std::int64_t>(v));
    else
        return numberWithUnsignedLongLong(static_cast<std::uint64_t>(v));
}
