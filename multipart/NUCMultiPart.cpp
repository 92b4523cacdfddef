#include "multipart/NUCMultiPart.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "platform/foundation/VxDispatch.h"
#include "platform/foundation/VxFormat.h"
#include "requests/NUCURLRequestGenerator.h"

namespace {

constexpr const char* kCRLF = "\r\n";

}  // namespace

VX_DEFINE_CLASS(NUCMultiPart, VxObject, {});

NUCMultiPart::NUCMultiPart(std::uint64_t encoding, const VxDictionaryPtr& andHeaders,
                           const Id& forBody, std::uint64_t withLength,
                           const VxStringPtr& andBoundary)
    : stringEncoding_(encoding),
      headers_(andHeaders ? vx_cast<VxDictionary>(andHeaders->copy()) : nullptr),
      body_(forBody),
      bodyContentLength_(withLength),
      boundary_(andBoundary) {
    if (auto stream = vx_cast<VxInputStream>(forBody)) {
        inputStream_ = stream;
    } else if (auto data = vx_cast<VxData>(forBody)) {
        inputStream_ = VxInputStream::inputStreamWithData(data);
    } else if (auto url = vx_cast<VxURL>(forBody)) {
        inputStream_ = VxInputStream::inputStreamWithURL(url);
    }
}

NUCMultiPart::~NUCMultiPart() {
    if (inputStream_) inputStream_->close();
}

VxStringPtr NUCMultiPart::multipartFirstBoundary() const {
    return vxstr(vx::format("--%@%@", boundary_, kCRLF));
}

VxStringPtr NUCMultiPart::multipartInternalBoundary() const {
    return vxstr(vx::format("%@--%@%@", kCRLF, boundary_, kCRLF));
}

VxStringPtr NUCMultiPart::multipartLastBoundary() const {
    return vxstr(vx::format("%@--%@--%@", kCRLF, boundary_, kCRLF));
}

VxDataPtr NUCMultiPart::encodedText(const VxStringPtr& text) const {
    std::optional<std::string> bytes =
        NUCEncodeText(text ? text->str() : std::string(), stringEncoding_);
    return bytes ? VxData::dataWithString(*bytes) : VxData::data();
}

VxDataPtr NUCMultiPart::dataForHeaders() const {
    if (!headers_ || headers_->empty()) return VxData::data();
    std::string block;
    headers_->enumerateKeysAndObjects([&](const Id& name, const Id& value) {
        block += vx::format("%@: %@%@", vx::textOf(name), vx::textOf(value), kCRLF);
    });
    block += kCRLF;
    return encodedText(vxstr(std::move(block)));
}

std::uint64_t NUCMultiPart::contentLength() const {
    std::uint64_t length =
        encodedText(hasInitialBoundary_ ? multipartFirstBoundary() : multipartInternalBoundary())
            ->length();
    length += dataForHeaders()->length();
    length += bodyContentLength_;
    if (hasFinalBoundary_) length += encodedText(multipartLastBoundary())->length();
    return length;
}

bool NUCMultiPart::hasBytesAvailable() const {
    if (readPhase_ == NUCMultiPartReadPhaseFinalBoundary) return true;
    // A part without a stream has an empty body that is over once delivered.
    if (!inputStream_) return !streamlessBodyDone_;
    return inputStream_->streamStatus() < VxStreamStatusAtEnd;
}

std::uint64_t NUCMultiPart::copySlice(const VxDataPtr& data, std::uint8_t* intoBuffer,
                                      std::uint64_t maxLength, std::uint64_t& offset,
                                      bool& finished) {
    const std::uint64_t length = data ? data->length() : 0;
    // An offset set beyond the data's end (through the setter) delivers nothing
    // rather than reading past the buffer.
    offset = std::min<std::uint64_t>(offset, length);
    const std::uint64_t n = std::min(length - offset, maxLength);
    if (n > 0) std::memcpy(intoBuffer, data->bytes() + offset, n);
    offset += n;
    finished = offset >= length;
    return n;
}

std::int64_t NUCMultiPart::readData(const VxDataPtr& data, std::uint8_t* intoBuffer,
                                    std::uint64_t maxLength) {
    if (!intoBuffer && maxLength > 0 && data && data->length() > readPhaseOffset_) return -1;
    bool finished = false;
    const std::uint64_t n = copySlice(data, intoBuffer, maxLength, readPhaseOffset_, finished);
    if (finished) transitionToNextPhase();
    return static_cast<std::int64_t>(n);
}

namespace {

// The phase that follows `phase`; an unknown phase starts over at the boundary.
std::uint64_t phaseAfter(std::uint64_t phase) {
    switch (phase) {
        case NUCMultiPartReadPhaseBoundary:
            return NUCMultiPartReadPhaseHeaders;
        case NUCMultiPartReadPhaseHeaders:
            return NUCMultiPartReadPhaseBody;
        case NUCMultiPartReadPhaseBody:
            return NUCMultiPartReadPhaseFinalBoundary;
        default:
            return NUCMultiPartReadPhaseBoundary;
    }
}

}  // namespace

NUCMultiPartPhaseChanges::~NUCMultiPartPhaseChanges() {
    try {
        settle();
    } catch (...) {
        // A stream that throws while it is opened or closed: the part stays
        // where it was; nothing may leave a destructor.
    }
}

void NUCMultiPartPhaseChanges::owe(NUCMultiPart& part, int count, std::uint64_t offsetAfter) {
    if (!owed_.empty() && owed_.back().part == &part) {
        owed_.back().count += count;
        owed_.back().offsetAfter = offsetAfter;
        return;
    }
    owed_.push_back({&part, count, offsetAfter});
}

bool NUCMultiPartPhaseChanges::owes(const NUCMultiPart& part) const {
    for (const Owed& o : owed_)
        if (o.part == &part) return true;
    return false;
}

void NUCMultiPartPhaseChanges::settle() {
    if (owed_.empty()) return;
    auto run = [this] {
        for (const Owed& o : owed_) {
            for (int i = 0; i < o.count; ++i) o.part->transitionOnMainThread();
            o.part->readPhaseOffset_ = o.offsetAfter;
        }
    };
    if (VxIsMainThread())
        run();
    else
        VxPerformOnMainThreadAndWait(run);
    owed_.clear();
}

std::int64_t NUCMultiPart::read(std::uint8_t* buffer, std::uint64_t maxLength) {
    NUCMultiPartPhaseChanges changes;
    const std::int64_t n = read(buffer, maxLength, changes);
    changes.settle();
    return n;
}

// The reader tracks the phase it has reached and leaves the changes it owes with
// `changes`; every change still runs on the main thread, in order, before the
// body's stream is read and before the caller lets go of `changes`.
std::int64_t NUCMultiPart::read(std::uint8_t* buffer, std::uint64_t maxLength,
                                NUCMultiPartPhaseChanges& changes, bool* finished) {
    if (finished) *finished = false;
    if (!buffer && maxLength > 0) return -1;
    // Changes still owed by an earlier read of this part come first, so the
    // phase read below is current.
    if (changes.owes(*this)) changes.settle();
    std::uint64_t phase = readPhase_;
    std::uint64_t offset = readPhaseOffset_;
    int owed = 0;
    bool wrapped = false;
    auto advance = [&] {
        phase = phaseAfter(phase);
        wrapped = phase == NUCMultiPartReadPhaseBoundary;
        offset = 0;
        ++owed;
    };
    auto copyDelimiterOrHeaders = [&](const VxDataPtr& data, std::uint64_t& total) {
        bool done = false;
        total += copySlice(data, buffer + total, maxLength - total, offset, done);
        if (done) advance();
    };

    std::uint64_t total = 0;
    if (phase == NUCMultiPartReadPhaseBoundary)
        copyDelimiterOrHeaders(encodedText(hasInitialBoundary_ ? multipartFirstBoundary()
                                                               : multipartInternalBoundary()),
                               total);
    if (phase == NUCMultiPartReadPhaseHeaders) copyDelimiterOrHeaders(dataForHeaders(), total);
    if (phase == NUCMultiPartReadPhaseBody) {
        if (!inputStream_) {
            streamlessBodyDone_ = true;
            advance();
        } else {
            if (owed > 0) {  // the body's stream is opened on the main thread first
                changes.owe(*this, owed, offset);
                changes.settle();
                owed = 0;
            }
            const std::uint64_t room = maxLength - total;
            std::int64_t n = inputStream_->read(buffer + total, room);
            if (n < 0) return -1;
            total += static_cast<std::uint64_t>(n);
            // A read of 0 bytes into free room is the end of the body even when
            // the stream has not moved its status on; waiting for the status
            // would leave the reader spinning.
            if (inputStream_->streamStatus() >= VxStreamStatusAtEnd || (n == 0 && room > 0))
                advance();
        }
    }
    if (phase == NUCMultiPartReadPhaseFinalBoundary)
        copyDelimiterOrHeaders(
            hasFinalBoundary_ ? encodedText(multipartLastBoundary()) : VxData::data(), total);
    if (owed > 0)
        changes.owe(*this, owed, offset);
    else
        readPhaseOffset_ = offset;
    if (finished) *finished = wrapped;
    return static_cast<std::int64_t>(total);
}

void NUCMultiPart::transitionToNextPhase() {
    NUCMultiPartPhaseChanges changes;
    changes.owe(*this, 1, 0);
    changes.settle();
}

void NUCMultiPart::transitionOnMainThread() {
    switch (readPhase_) {
        case NUCMultiPartReadPhaseBoundary:
            readPhase_ = NUCMultiPartReadPhaseHeaders;
            break;
        case NUCMultiPartReadPhaseHeaders:
            // The body's stream belongs to the main thread from here on.
            if (inputStream_) inputStream_->open();
            readPhase_ = NUCMultiPartReadPhaseBody;
            break;
        case NUCMultiPartReadPhaseBody:
            if (inputStream_) inputStream_->close();
            readPhase_ = NUCMultiPartReadPhaseFinalBoundary;
            break;
        default:
            readPhase_ = NUCMultiPartReadPhaseBoundary;
            break;
    }
    readPhaseOffset_ = 0;
}

Id NUCMultiPart::copyWithZone(void*) const {
    return copyPart();
}

NUCMultiPartPtr NUCMultiPart::copyPart() const {
    auto part = std::make_shared<NUCMultiPart>(stringEncoding_, headers_, body_, bodyContentLength_,
                                               boundary_);
    part->hasInitialBoundary_ = hasInitialBoundary_;
    part->hasFinalBoundary_ = hasFinalBoundary_;
    part->readPhase_ = readPhase_;
    part->readPhaseOffset_ = readPhaseOffset_;
    return part;
}
