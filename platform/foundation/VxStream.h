#pragma once
// Byte streams: input streams over a byte buffer or a file, a base class for
// custom input streams, and an output stream to a file.
//
// Status sequence of the built-in streams: NotOpen, then Open after open() (or
// Error with streamError() when the file cannot be opened), Reading after a read
// that delivered bytes, AtEnd once the end has been reached (a buffer stream as
// soon as its last byte was delivered, a file stream when a read finds no more
// bytes), Closed after close(). read() gives -1 before open, after close and in
// the error state, 0 at the end. Output streams go Open -> Writing (during a
// write) -> Open; the file is created or truncated unless appending.

#include <cstdint>
#include <string>

#include "platform/foundation/VxError.h"
#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxValues.h"

// Domain of file errors (code = errno) and of misuse of the base classes.
DA_EXPORT extern const char* const VxPOSIXErrorDomain;   // "VxPOSIXErrorDomain"
DA_EXPORT extern const char* const VxStreamErrorDomain;  // "VxStreamErrorDomain"

enum VxStreamStatus : std::uint64_t {
    VxStreamStatusNotOpen = 0,
    VxStreamStatusOpening = 1,
    VxStreamStatusOpen = 2,
    VxStreamStatusReading = 3,
    VxStreamStatusWriting = 4,
    VxStreamStatusAtEnd = 5,
    VxStreamStatusClosed = 6,
    VxStreamStatusError = 7,
};

class DA_EXPORT VxStream : public VxObject {
    VX_DECLARE_CLASS(VxStream)
  public:
    virtual void open();
    virtual void close();
    virtual VxStreamStatus streamStatus() const { return status_; }
    virtual VxErrorPtr streamError() const { return error_; }

  protected:
    void setStreamStatus(VxStreamStatus status) { status_ = status; }
    // Records the error and moves to VxStreamStatusError.
    void setStreamError(VxErrorPtr error);

  private:
    VxStreamStatus status_ = VxStreamStatusNotOpen;
    VxErrorPtr error_;
};

class VxInputStream;
using VxInputStreamPtr = std::shared_ptr<VxInputStream>;

// Base of every input stream. Custom streams derive from it and override
// open/close/read/hasBytesAvailable (and may use setStreamStatus/setStreamError).
class DA_EXPORT VxInputStream : public VxStream {
    VX_DECLARE_CLASS(VxInputStream)
  public:
    static VxInputStreamPtr inputStreamWithData(const VxDataPtr& data);
    static VxInputStreamPtr inputStreamWithFileAtPath(const std::string& path);
    // Nothing unless the URL is a file URL.
    static VxInputStreamPtr inputStreamWithURL(const VxURLPtr& url);

    // Reads up to maxLength bytes: the count read, 0 at the end, -1 on error.
    virtual std::int64_t read(std::uint8_t* buffer, std::size_t maxLength);
    virtual bool hasBytesAvailable() const;
};

class VxOutputStream;
using VxOutputStreamPtr = std::shared_ptr<VxOutputStream>;

class DA_EXPORT VxOutputStream : public VxStream {
    VX_DECLARE_CLASS(VxOutputStream)
  public:
    static VxOutputStreamPtr outputStreamToFileAtPath(const std::string& path, bool append);
    // Writes up to length bytes: the count written, -1 on error.
    virtual std::int64_t write(const std::uint8_t* buffer, std::size_t length);
    virtual bool hasSpaceAvailable() const;
};
