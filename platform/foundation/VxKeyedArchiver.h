#pragma once
// Keyed archiving: one documented, versioned binary format for the whole system
// (see docs/ARCHIVE_FORMAT.md). An archive is a keyed container; values are the
// value kinds of VxValues.h, errors, and objects that adopt VxCoding, which are
// re-created by class name through the class registry. A corrupt or truncated
// archive gives a clear failure, never a crash.
//
// Round trips are exact: number kinds, dictionary key order and non-text keys,
// and mutability (a mutable container or buffer comes back mutable) survive.
// Absent objects are not stored (decoding the key gives nothing).
//
// Secure coding: an archiver that requires it refuses (VxKeyedArchiveErrorNotEncodable)
// coded objects whose class does not support secure coding; an unarchiver that
// requires it (the default) refuses them with VxKeyedArchiveErrorWrongClass.
// decodeObjectOfClass(es) always checks the decoded object's class (a coded
// object of a class outside the list is refused before it is created); values
// inside decoded containers are not checked against the list.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/VxError.h"
#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxValues.h"

class VxKeyedArchiver;
class VxKeyedUnarchiver;

// Adopted (next to VxObject) by classes that archive themselves.
class DA_EXPORT VxCoding {
  public:
    virtual ~VxCoding() = default;
    virtual void encodeWithCoder(VxKeyedArchiver& coder) const = 0;
    // Fills a fresh instance (made by the class's factory) from the archive;
    // false refuses the archive.
    virtual bool initWithCoder(VxKeyedUnarchiver& coder) = 0;
    virtual bool supportsSecureCoding() const { return false; }
};

DA_EXPORT extern const char* const VxKeyedArchiveErrorDomain;  // "VxKeyedArchiveErrorDomain"
// Key of the root object of archivedDataWithRootObject / unarchivedObjectOfClass.
DA_EXPORT extern const char* const VxKeyedArchiveRootObjectKey;  // "root"
enum : std::int64_t {
    VxKeyedArchiveErrorCorrupt = 4864,       // malformed or truncated data
    VxKeyedArchiveErrorUnknownClass = 4865,  // a class name the registry does not know
    VxKeyedArchiveErrorNotEncodable = 4866,  // an object that cannot be archived
    VxKeyedArchiveErrorWrongClass = 4867,    // secure decoding found an unexpected class
};

class DA_EXPORT VxKeyedArchiver {
  public:
    explicit VxKeyedArchiver(bool requiresSecureCoding = true);
    ~VxKeyedArchiver();
    VxKeyedArchiver(const VxKeyedArchiver&) = delete;
    VxKeyedArchiver& operator=(const VxKeyedArchiver&) = delete;

    bool requiresSecureCoding() const;
    void encodeObject(const Id& obj, std::string_view forKey);
    void encodeBool(bool value, std::string_view forKey);
    void encodeInt64(std::int64_t value, std::string_view forKey);
    void encodeDouble(double value, std::string_view forKey);
    // Encoding the same key again replaces the earlier value. A failed encode
    // makes encodedData fail; later encodes are then ignored.
    // Ends encoding and gives the archive; nothing (and the error) when an object
    // could not be encoded.
    VxDataPtr encodedData(VxErrorPtr* error = nullptr);

    static VxDataPtr archivedDataWithRootObject(const Id& root, bool requiringSecureCoding,
                                                VxErrorPtr* error = nullptr);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class DA_EXPORT VxKeyedUnarchiver {
  public:
    // Nothing (and the error) when the data is not a readable archive.
    static std::unique_ptr<VxKeyedUnarchiver> unarchiverForReadingFromData(
        const VxDataPtr& data, VxErrorPtr* error = nullptr);
    ~VxKeyedUnarchiver();
    VxKeyedUnarchiver(const VxKeyedUnarchiver&) = delete;
    VxKeyedUnarchiver& operator=(const VxKeyedUnarchiver&) = delete;

    bool requiresSecureCoding() const;
    void setRequiresSecureCoding(bool value);
    bool containsValueForKey(std::string_view key) const;
    Id decodeObjectForKey(std::string_view key);
    // Nothing (and a recorded error) when the decoded object is not of the class.
    Id decodeObjectOfClass(const VxClass& cls, std::string_view forKey);
    Id decodeObjectOfClasses(const std::vector<const VxClass*>& classes, std::string_view forKey);
    bool decodeBoolForKey(std::string_view key);
    std::int64_t decodeInt64ForKey(std::string_view key);
    double decodeDoubleForKey(std::string_view key);
    // decodeBool/Int64/Double accept any number stored under the key; a missing
    // key gives false / 0, a non-number records an error and gives false / 0.
    // The first decoding failure, if any.
    VxErrorPtr error() const;

    static Id unarchivedObjectOfClass(const VxClass& cls, const VxDataPtr& data,
                                      VxErrorPtr* error = nullptr);

  private:
    VxKeyedUnarchiver();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
