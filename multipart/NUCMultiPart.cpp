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

std::int64_t NUCMultiPart::readData(const VxDataPtr& data, std::uint8_t* intoBuffer,
                                    std::uint64_t maxLength) {
    const std::uint64_t length = data ? data->length() : 0;
    // An offset set beyond the data's end (through the setter) delivers nothing
    // rather than reading past the buffer.
    const std::uint64_t offset = std::min<std::uint64_t>(readPhaseOffset_, length);
    const std::uint64_t n = std::min(length - offset, maxLength);
    if (n > 0) {
        if (!intoBuffer) return -1;
        std::memcpy(intoBuffer, data->bytes() + offset, n);
    }
    readPhaseOffset_ = offset + n;
    if (readPhaseOffset_ >= length) transitionToNextPhase();
    return static_cast<std::int64_t>(n);
}

std::int64_t NUCMultiPart::read(std::uint8_t* buffer, std::uint64_t maxLength) {
    if (!buffer && maxLength > 0) return -1;
    std::uint64_t total = 0;
    if (readPhase_ == NUCMultiPartReadPhaseBoundary) {
        VxDataPtr opening = encodedText(hasInitialBoundary_ ? multipartFirstBoundary()
                                                            : multipartInternalBoundary());
        total = static_cast<std::uint64_t>(readData(opening, buffer, maxLength));
    }
    if (readPhase_ == NUCMultiPartReadPhaseHeaders) {
        total += static_cast<std::uint64_t>(
            readData(dataForHeaders(), buffer + total, maxLength - total));
    }
    if (readPhase_ == NUCMultiPartReadPhaseBody) {
        if (!inputStream_) {
            streamlessBodyDone_ = true;
            transitionToNextPhase();
        } else {
            const std::uint64_t room = maxLength - total;
            std::int64_t n = inputStream_->read(buffer + total, room);
            if (n < 0) return -1;
            total += static_cast<std::uint64_t>(n);
            // A read of 0 bytes into free room is the end of the body even when
            // the stream has not moved its status on; waiting for the status
            // would leave the reader spinning.
            if (inputStream_->streamStatus() >= VxStreamStatusAtEnd || (n == 0 && room > 0))
                transitionToNextPhase();
        }
    }
    if (readPhase_ != NUCMultiPartReadPhaseFinalBoundary) return static_cast<std::int64_t>(total);
    VxDataPtr closing = hasFinalBoundary_ ? encodedText(multipartLastBoundary()) : VxData::data();
    return static_cast<std::int64_t>(total) + readData(closing, buffer + total, maxLength - total);
}

void NUCMultiPart::transitionToNextPhase() {
    if (!VxIsMainThread()) {
        VxPerformOnMainThreadAndWait([this] { transitionOnMainThread(); });
        return;
    }
    transitionOnMainThread();
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
