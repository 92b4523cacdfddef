#pragma once
// The body of a multipart/form-data request: an input stream that serves the
// bytes of an ordered list of parts one after the other. open() marks the
// first and last parts and starts the walk; read() fills the caller's buffer
// across part borders; the end of the body shows as a read that returns 0
// (hasBytesAvailable() stays true while the stream is open).
//
// Optional throttling: a read stops starting part reads once it holds
// numberOfBytesInPacket bytes, and the reading thread sleeps `delay` seconds
// after every part read.
//
// A failing part body does not make read() return -1: the read returns the
// bytes gathered so far (possibly 0) and the body's error becomes
// streamError(). The status goes NotOpen -> Open -> Closed only.
//
// Read by one thread at a time; no lock.

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "multipart/NUCMultiPart.h"
#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxStream.h"
#include "platform/foundation/VxValues.h"

class NUCMultipartBodyStream;
using NUCMultipartBodyStreamPtr = std::shared_ptr<NUCMultipartBodyStream>;

class DA_EXPORT NUCMultipartBodyStream : public VxInputStream {
    VX_DECLARE_CLASS(NUCMultipartBodyStream)
  public:
    // init: UTF-8 (4).
    NUCMultipartBodyStream();
    // initWithStringEncoding:
    explicit NUCMultipartBodyStream(std::uint64_t encoding);

    void appendHTTPBodyPart(const NUCMultiPartPtr& part);
    bool isEmpty() const;
    void setInitialAndFinalBoundaries();
    // Sum of the parts' contentLength.
    std::uint64_t contentLength() const;

    // Input-stream operations.
    void open() override;
    void close() override;
    std::int64_t read(std::uint8_t* buffer, std::size_t maxLength) override;
    bool hasBytesAvailable() const override;
    VxStreamStatus streamStatus() const override { return m_streamStatus; }
    VxErrorPtr streamError() const override { return m_streamError; }
    void setStreamStatus(VxStreamStatus status) { m_streamStatus = status; }
    void setStreamError(VxErrorPtr error) { m_streamError = std::move(error); }
    // Direct buffer access is never offered; properties are not supported.
    bool getBuffer(std::uint8_t** buffer, std::uint64_t* length);
    Id propertyForKey(const VxStringPtr& key) const;
    bool setProperty(const Id& property, const VxStringPtr& forKey);
    // The stream posts no events: readers pull bytes synchronously, so the
    // run-loop hooks do nothing.
    void scheduleInRunLoop(const Id& runLoop, const VxStringPtr& forMode);
    void removeFromRunLoop(const Id& runLoop, const VxStringPtr& forMode);
    bool setClient(const Id& client, std::uint64_t flags, void* context);

    // A fresh stream with this one's encoding and copies of its parts; packet
    // size, delay, status and error are the defaults.
    Id copyWithZone(void* zone = nullptr) const override;
    NUCMultipartBodyStreamPtr copyStream() const;

    static constexpr std::uint64_t kNoPacketLimit =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

    std::uint64_t numberOfBytesInPacket() const { return numberOfBytesInPacket_; }
    void setNumberOfBytesInPacket(std::uint64_t value) { numberOfBytesInPacket_ = value; }
    double delay() const { return delay_; }
    void setDelay(double seconds) { delay_ = seconds; }
    const VxInputStreamPtr& inputStream() const { return inputStream_; }
    std::uint64_t stringEncoding() const { return stringEncoding_; }
    const std::vector<NUCMultiPartPtr>& bodyPartArray() const { return bodyPartArray_; }
    // Position of the enumerator in bodyPartArray (parts already taken);
    // nothing until open() created one.
    const std::optional<std::size_t>& bodyPartEnumerator() const { return bodyPartEnumerator_; }
    const NUCMultiPartPtr& currentHTTPBodyPart() const { return currentHTTPBodyPart_; }
    const VxOutputStreamPtr& outputStream() const { return outputStream_; }
    const VxMutableDataPtr& buffer() const { return buffer_; }

  private:
    VxStreamStatus m_streamStatus = VxStreamStatusNotOpen;
    VxErrorPtr m_streamError;
    std::uint64_t numberOfBytesInPacket_ = kNoPacketLimit;
    double delay_ = 0;
    VxInputStreamPtr inputStream_;
    std::uint64_t stringEncoding_;
    std::vector<NUCMultiPartPtr> bodyPartArray_;
    std::optional<std::size_t> bodyPartEnumerator_;
    NUCMultiPartPtr currentHTTPBodyPart_;
    bool currentPartFinished_ = false;  // the current part delivered its last byte
    VxOutputStreamPtr outputStream_;
    VxMutableDataPtr buffer_;
};
