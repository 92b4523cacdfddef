#include "platform/foundation/VxStream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/foundation/VxFileReading.h"

const char* const VxPOSIXErrorDomain = "VxPOSIXErrorDomain";
const char* const VxStreamErrorDomain = "VxStreamErrorDomain";

namespace {

// What a read returns in a status that does not allow reading: 0 at the end,
// -1 before opening, after closing or after an error; nothing when it may read.
std::optional<std::int64_t> refusedRead(VxStreamStatus status) {
    if (status == VxStreamStatusAtEnd) return 0;
    if (status == VxStreamStatusOpen || status == VxStreamStatusReading) return std::nullopt;
    return -1;
}

VxErrorPtr posixError(int err, const std::string& path, const char* description = nullptr) {
    auto info = VxMutableDictionary::dictionary();
    info->setObject(vxstr(description ? description : std::strerror(err)),
                    VxLocalizedDescriptionKey);
    if (!path.empty()) info->setObject(vxstr(path), VxFilePathErrorKey);
    return VxError::errorWithDomain(VxPOSIXErrorDomain, err, info);
}

VxErrorPtr misuseError(std::int64_t code, std::string_view reason) {
    return VxError::errorWithDomain(VxStreamErrorDomain, code, reason, reason);
}

bool readable(VxStreamStatus s) {
    return s == VxStreamStatusOpen || s == VxStreamStatusReading;
}

// Input stream over an in-memory buffer.
class VxDataInputStream final : public VxInputStream {
    VX_DECLARE_CLASS(VxDataInputStream)
  public:
    explicit VxDataInputStream(VxDataPtr data) : data_(data ? std::move(data) : VxData::data()) {}

    void open() override {
        if (streamStatus() != VxStreamStatusNotOpen) return;
        setStreamStatus(VxStreamStatusOpen);
    }

    std::int64_t read(std::uint8_t* buffer, std::size_t maxLength) override {
        if (auto refused = refusedRead(streamStatus())) return *refused;
        if (!buffer) return -1;
        setStreamStatus(VxStreamStatusReading);
        std::size_t n = std::min(maxLength, data_->length() - pos_);
        if (n > 0) std::memcpy(buffer, data_->bytes() + pos_, n);
        pos_ += n;
        // The end is known as soon as the last byte has been delivered.
        setStreamStatus(pos_ >= data_->length() && (n > 0 || maxLength > 0)
                            ? VxStreamStatusAtEnd
                            : VxStreamStatusReading);
        return static_cast<std::int64_t>(n);
    }

    bool hasBytesAvailable() const override {
        return readable(streamStatus()) && pos_ < data_->length();
    }

  private:
    VxDataPtr data_;
    std::size_t pos_ = 0;
};

VX_DEFINE_CLASS(VxDataInputStream, VxInputStream, {});

// Input stream that reads a file lazily, chunk by chunk as it is asked for.
class VxFileInputStream final : public VxInputStream {
    VX_DECLARE_CLASS(VxFileInputStream)
  public:
    explicit VxFileInputStream(std::string path) : path_(std::move(path)) {}
    ~VxFileInputStream() override { closeFd(); }

    void open() override {
        if (streamStatus() != VxStreamStatusNotOpen) return;
        setStreamStatus(VxStreamStatusOpening);
        // Only a regular file is read: a FIFO would stall the caller and a
        // device such as /dev/zero would never end.
        const int fd = VxOpenRegularFile(path_);
        if (fd < 0) {
            const int err = errno;
            setStreamError(err == EINVAL ? posixError(err, path_, "Not a regular file")
                                         : posixError(err, path_));
            return;
        }
        fd_ = fd;
        setStreamStatus(VxStreamStatusOpen);
    }

    void close() override {
        closeFd();
        VxInputStream::close();
    }

    std::int64_t read(std::uint8_t* buffer, std::size_t maxLength) override {
        if (auto refused = refusedRead(streamStatus())) return *refused;
        if (!buffer) return -1;
        if (maxLength == 0) return 0;
        setStreamStatus(VxStreamStatusReading);
        ssize_t n;
        do {
            n = ::read(fd_, buffer, maxLength);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            setStreamError(posixError(errno, path_));
            return -1;
        }
        setStreamStatus(n == 0 ? VxStreamStatusAtEnd : VxStreamStatusReading);
        return n;
    }

    bool hasBytesAvailable() const override { return readable(streamStatus()); }

  private:
    void closeFd() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    std::string path_;
    int fd_ = -1;
};

VX_DEFINE_CLASS(VxFileInputStream, VxInputStream, {});

class VxFileOutputStream final : public VxOutputStream {
    VX_DECLARE_CLASS(VxFileOutputStream)
  public:
    VxFileOutputStream(std::string path, bool append) : path_(std::move(path)), append_(append) {}
    ~VxFileOutputStream() override { closeFd(); }

    void open() override {
        if (streamStatus() != VxStreamStatusNotOpen) return;
        setStreamStatus(VxStreamStatusOpening);
        int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append_ ? O_APPEND : O_TRUNC);
        int fd = ::open(path_.c_str(), flags, 0644);
        if (fd < 0) {
            setStreamError(posixError(errno, path_));
            return;
        }
        fd_ = fd;
        setStreamStatus(VxStreamStatusOpen);
    }

    void close() override {
        closeFd();
        VxOutputStream::close();
    }

    std::int64_t write(const std::uint8_t* buffer, std::size_t length) override {
        if (streamStatus() != VxStreamStatusOpen || (!buffer && length > 0)) return -1;
        setStreamStatus(VxStreamStatusWriting);
        std::size_t done = 0;
        while (done < length) {
            ssize_t n = ::write(fd_, buffer + done, length - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                setStreamError(posixError(n < 0 ? errno : EIO, path_));
                return done > 0 ? static_cast<std::int64_t>(done) : -1;
            }
            done += static_cast<std::size_t>(n);
        }
        setStreamStatus(VxStreamStatusOpen);
        return static_cast<std::int64_t>(done);
    }

    bool hasSpaceAvailable() const override { return streamStatus() == VxStreamStatusOpen; }

  private:
    void closeFd() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    std::string path_;
    bool append_;
    int fd_ = -1;
};

VX_DEFINE_CLASS(VxFileOutputStream, VxOutputStream, {});

}  // namespace

VX_DEFINE_CLASS(VxStream, VxObject, {});
VX_DEFINE_CLASS(VxInputStream, VxStream, {});
VX_DEFINE_CLASS(VxOutputStream, VxStream, {});

void VxStream::open() {
    if (status_ == VxStreamStatusNotOpen) status_ = VxStreamStatusOpen;
}

void VxStream::close() {
    if (status_ != VxStreamStatusError) status_ = VxStreamStatusClosed;
}

void VxStream::setStreamError(VxErrorPtr error) {
    error_ = std::move(error);
    status_ = VxStreamStatusError;
}

VxInputStreamPtr VxInputStream::inputStreamWithData(const VxDataPtr& data) {
    // The stream reads an immutable snapshot: later changes to a mutable buffer
    // do not reach it.
    VxDataPtr snapshot = data ? vx_cast<VxData>(data->copy()) : nullptr;
    return std::make_shared<VxDataInputStream>(snapshot);
}

VxInputStreamPtr VxInputStream::inputStreamWithFileAtPath(const std::string& path) {
    return std::make_shared<VxFileInputStream>(path);
}

VxInputStreamPtr VxInputStream::inputStreamWithURL(const VxURLPtr& url) {
    if (!url || !url->isFileURL()) return nullptr;
    return inputStreamWithFileAtPath(url->path());
}

std::int64_t VxInputStream::read(std::uint8_t*, std::size_t) {
    setStreamError(misuseError(1, "This input stream cannot be read."));
    return -1;
}

bool VxInputStream::hasBytesAvailable() const {
    return false;
}

VxOutputStreamPtr VxOutputStream::outputStreamToFileAtPath(const std::string& path, bool append) {
    return std::make_shared<VxFileOutputStream>(path, append);
}

std::int64_t VxOutputStream::write(const std::uint8_t*, std::size_t) {
    setStreamError(misuseError(2, "This output stream cannot be written."));
    return -1;
}

bool VxOutputStream::hasSpaceAvailable() const {
    return false;
}
