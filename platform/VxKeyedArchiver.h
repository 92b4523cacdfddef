#pragma once
// Keyed archiving: one documented, versioned binary format for the whole system
// (see docs/ARCHITECTURE.md). An archive is a keyed container; values are the
// value kinds of VxValues.h, errors, and objects that adopt VxCoding, which are
// re-created by class name through the class registry. A corrupt or truncated
// archive gives a clear failure, never a crash.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/VxError.h"
#include "platform/VxValues.h"

class VxKeyedArchiver;
class VxKeyedUnarchiver;

// Adopted (next to VxObject) by classes that archive themselves.
class VxCoding {
public:
    virtual ~VxCoding() = default;
    virtual void encodeWithCoder(VxKeyedArchiver& coder) const = 0;
    // Fills a fresh instance (made by the class's factory) from the archive;
    // false refuses the archive.
    virtual bool initWithCoder(VxKeyedUnarchiver& coder) = 0;
    virtual bool supportsSecureCoding() const { return false; }
};

extern const char* const VxKeyedArchiveErrorDomain;  // "VxKeyedArchiveErrorDomain"
enum : std::int64_t {
    VxKeyedArchiveErrorCorrupt = 4864,          // malformed or truncated data
    VxKeyedArchiveErrorUnknownClass = 4865,     // a class name the registry does not know
    VxKeyedArchiveErrorNotEncodable = 4866,     // an object that cannot be archived
    VxKeyedArchiveErrorWrongClass = 4867,       // secure decoding found an unexpected class
};

class VxKeyedArchiver {
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
    // Ends encoding and gives the archive; nothing (and the error) when an object
    // could not be encoded.
    VxDataPtr encodedData(VxErrorPtr* error = nullptr);

    static VxDataPtr archivedDataWithRootObject(const Id& root, bool requiringSecureCoding,
                                                VxErrorPtr* error = nullptr);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class VxKeyedUnarchiver {
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
    // The first decoding failure, if any.
    VxErrorPtr error() const;

    static Id unarchivedObjectOfClass(const VxClass& cls, const VxDataPtr& data,
                                      VxErrorPtr* error = nullptr);

private:
    VxKeyedUnarchiver();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
