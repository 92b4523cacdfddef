#pragma once
// One part of a multipart/form-data body: its header fields, the source of its
// body (a byte buffer, a file URL or an input stream), the declared body
// length and the boundary. The part hands out its bytes through a pull-style
// read() that walks four phases:
//
//   1 boundary        "--" B CRLF for the first part, CRLF "--" B CRLF otherwise
//   2 headers         "name: value" CRLF per header field, then CRLF (nothing at
//                     all when there are no header fields)
//   3 body            the body bytes, straight from the body's input stream
//   4 final boundary  CRLF "--" B "--" CRLF for the last part, nothing otherwise
//
// and then wraps back to phase 1 with the body's stream closed, so a part is
// read through once. Phase changes run on the main queue's thread (the body's
// stream is opened and closed there); a reader on another thread waits for
// them, so the main queue must stay responsive while a body is read. The
// changes that fall within one read() go to the main queue together.
//
// A part is read by one reader at a time and takes no lock.

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxStream.h"
#include "platform/foundation/VxValues.h"

enum NUCMultiPartReadPhase : std::uint64_t {
    NUCMultiPartReadPhaseBoundary = 1,
    NUCMultiPartReadPhaseHeaders = 2,
    NUCMultiPartReadPhaseBody = 3,
    NUCMultiPartReadPhaseFinalBoundary = 4,
};

class NUCMultiPart;
using NUCMultiPartPtr = std::shared_ptr<NUCMultiPart>;

// Phase changes that parts read in one go owe to the main thread, made there
// together in one hop: in the order they were owed, each part's read offset set
// afterwards. A body stream reading many small parts in one read() hands over
// the end of one part and the start of the next at once. Owed changes are made
// before a part's body stream is read (its opening is one of them), and at the
// latest when the holder is destroyed.
class DA_EXPORT NUCMultiPartPhaseChanges {
  public:
    NUCMultiPartPhaseChanges() = default;
    ~NUCMultiPartPhaseChanges();
    NUCMultiPartPhaseChanges(const NUCMultiPartPhaseChanges&) = delete;
    NUCMultiPartPhaseChanges& operator=(const NUCMultiPartPhaseChanges&) = delete;

    void owe(NUCMultiPart& part, int count, std::uint64_t offsetAfter);
    bool owes(const NUCMultiPart& part) const;
    // Makes every owed change (one hop to the main thread, none when nothing is owed).
    void settle();

  private:
    struct Owed {
        NUCMultiPart* part;
        int count;
        std::uint64_t offsetAfter;
    };
    std::vector<Owed> owed_;
};

class DA_EXPORT NUCMultiPart : public VxObject {
    VX_DECLARE_CLASS(NUCMultiPart)
  public:
    // initWithEncoding:andHeaders:forBody:withLength:andBoundary:. The body's
    // input stream is made here (a buffer or file URL gets a new stream, an
    // input stream is used as it is) but not opened. Any other body kind, or a
    // URL that is not a file URL, leaves the part without an input stream; such
    // a part delivers an empty body. The header table is copied.
    NUCMultiPart(std::uint64_t encoding, const VxDictionaryPtr& andHeaders, const Id& forBody,
                 std::uint64_t withLength, const VxStringPtr& andBoundary);
    // Closes the body's input stream.
    ~NUCMultiPart() override;

    // The delimiter texts.
    VxStringPtr multipartFirstBoundary() const;
    VxStringPtr multipartInternalBoundary() const;
    VxStringPtr multipartLastBoundary() const;
    // The header block in the part's encoding; empty without header fields.
    VxDataPtr dataForHeaders() const;

    // Exact number of bytes the part delivers when its body yields
    // bodyContentLength bytes; independent of the read state.
    std::uint64_t contentLength() const;
    // True in phase 4; otherwise while the body's stream has not reached its end
    // (so also before it has been opened).
    bool hasBytesAvailable() const;
    // Fills up to maxLength bytes, possibly passing through several phases: the
    // count delivered, or -1 when the body's stream fails (its error stays on
    // inputStream()).
    std::int64_t read(std::uint8_t* buffer, std::uint64_t maxLength);
    // The same, leaving the phase changes it owes with `changes` (made there
    // before the body's stream is read). `finished` tells whether the part
    // delivered its last byte in this read.
    std::int64_t read(std::uint8_t* buffer, std::uint64_t maxLength,
                      NUCMultiPartPhaseChanges& changes, bool* finished = nullptr);
    // Copies the next slice of a delimiter or header buffer, continuing at
    // readPhaseOffset; moves to the next phase once all of it was delivered.
    std::int64_t readData(const VxDataPtr& data, std::uint8_t* intoBuffer, std::uint64_t maxLength);
    // Moves to the next phase (on the main queue's thread, waiting for it).
    void transitionToNextPhase();

    // A new part with the same encoding, headers, body, length and boundary (a
    // buffer or file body gets a stream of its own; a stream body is shared) and
    // the same flags, phase and offset.
    Id copyWithZone(void* zone = nullptr) const override;
    NUCMultiPartPtr copyPart() const;

    bool hasInitialBoundary() const { return hasInitialBoundary_; }
    void setHasInitialBoundary(bool value) { hasInitialBoundary_ = value; }
    bool hasFinalBoundary() const { return hasFinalBoundary_; }
    void setHasFinalBoundary(bool value) { hasFinalBoundary_ = value; }
    std::uint64_t stringEncoding() const { return stringEncoding_; }
    const VxDictionaryPtr& headers() const { return headers_; }
    const Id& body() const { return body_; }
    std::uint64_t bodyContentLength() const { return bodyContentLength_; }
    const VxStringPtr& boundary() const { return boundary_; }
    const VxInputStreamPtr& inputStream() const { return inputStream_; }
    std::uint64_t readPhase() const { return readPhase_; }
    void setReadPhase(std::uint64_t phase) { readPhase_ = phase; }
    std::uint64_t readPhaseOffset() const { return readPhaseOffset_; }
    void setReadPhaseOffset(std::uint64_t offset) { readPhaseOffset_ = offset; }

  private:
    friend class NUCMultiPartPhaseChanges;
    void transitionOnMainThread();
    // Copies the slice of `data` from `offset` on (clamped to its end) and
    // moves the offset; `finished` tells whether all of it has been delivered.
    static std::uint64_t copySlice(const VxDataPtr& data, std::uint8_t* intoBuffer,
                                   std::uint64_t maxLength, std::uint64_t& offset, bool& finished);
    VxDataPtr encodedText(const VxStringPtr& text) const;

    bool hasInitialBoundary_ = false;
    bool hasFinalBoundary_ = false;
    std::uint64_t stringEncoding_;
    VxDictionaryPtr headers_;
    Id body_;
    std::uint64_t bodyContentLength_;
    VxStringPtr boundary_;
    VxInputStreamPtr inputStream_;
    std::uint64_t readPhase_ = NUCMultiPartReadPhaseBoundary;
    std::uint64_t readPhaseOffset_ = 0;
    // For a part without input stream: its (empty) body has been delivered.
    bool streamlessBodyDone_ = false;
};
