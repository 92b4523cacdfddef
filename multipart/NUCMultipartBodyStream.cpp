#include "multipart/NUCMultipartBodyStream.h"

#include <algorithm>

#include "platform/foundation/VxDispatch.h"

VX_DEFINE_CLASS(NUCMultipartBodyStream, VxInputStream, vxMakeInstance<NUCMultipartBodyStream>);

NUCMultipartBodyStream::NUCMultipartBodyStream() : NUCMultipartBodyStream(4) {}

NUCMultipartBodyStream::NUCMultipartBodyStream(std::uint64_t encoding) : stringEncoding_(encoding) {
    bodyPartArray_.reserve(4);
}

void NUCMultipartBodyStream::appendHTTPBodyPart(const NUCMultiPartPtr& part) {
    if (part) bodyPartArray_.push_back(part);
}

bool NUCMultipartBodyStream::isEmpty() const {
    return bodyPartArray_.empty();
}

void NUCMultipartBodyStream::setInitialAndFinalBoundaries() {
    if (bodyPartArray_.empty()) return;
    for (const auto& part : bodyPartArray_) {
        part->setHasInitialBoundary(false);
        part->setHasFinalBoundary(false);
    }
    bodyPartArray_.front()->setHasInitialBoundary(true);
    bodyPartArray_.back()->setHasFinalBoundary(true);
}

std::uint64_t NUCMultipartBodyStream::contentLength() const {
    std::uint64_t length = 0;
    for (const auto& part : bodyPartArray_) length += part->contentLength();
    return length;
}

void NUCMultipartBodyStream::open() {
    if (m_streamStatus == VxStreamStatusOpen) return;
    m_streamStatus = VxStreamStatusOpen;
    setInitialAndFinalBoundaries();
    bodyPartEnumerator_ = 0;
    currentPartFinished_ = false;
}

void NUCMultipartBodyStream::close() {
    m_streamStatus = VxStreamStatusClosed;
}

std::int64_t NUCMultipartBodyStream::read(std::uint8_t* buffer, std::size_t maxLength) {
    if (m_streamStatus == VxStreamStatusClosed) return 0;
    if (!buffer) return maxLength == 0 ? 0 : -1;
    const std::uint64_t limit = std::min<std::uint64_t>(numberOfBytesInPacket_, maxLength);
    std::uint64_t total = 0;
    // The phase changes of every part this read passes through go to the main
    // thread together (at the latest when this read returns): the end of one
    // small part and the start of the next cost one hop, not four.
    NUCMultiPartPhaseChanges changes;
    while (total < limit) {
        // A part that delivered its last byte is done without asking it: its
        // closing phase change may still be owed.
        if (currentHTTPBodyPart_ && !currentPartFinished_ &&
            currentHTTPBodyPart_->hasBytesAvailable()) {
            // The packet size does not shorten a part read: it only stops the
            // next one from starting.
            bool finished = false;
            std::int64_t n =
                currentHTTPBodyPart_->read(buffer + total, maxLength - total, changes, &finished);
            if (n < 0) {
                const auto& stream = currentHTTPBodyPart_->inputStream();
                m_streamError = stream ? stream->streamError() : nullptr;
                return static_cast<std::int64_t>(total);
            }
            currentPartFinished_ = finished;
            total += static_cast<std::uint64_t>(n);
            if (delay_ > 0) VxSleepForTimeInterval(delay_);
            continue;
        }
        if (!bodyPartEnumerator_ || *bodyPartEnumerator_ >= bodyPartArray_.size()) {
            currentHTTPBodyPart_ = nullptr;
            return static_cast<std::int64_t>(total);
        }
        currentHTTPBodyPart_ = bodyPartArray_[(*bodyPartEnumerator_)++];
        currentPartFinished_ = false;
    }
    return static_cast<std::int64_t>(total);
}

bool NUCMultipartBodyStream::hasBytesAvailable() const {
    return m_streamStatus == VxStreamStatusOpen;
}

bool NUCMultipartBodyStream::getBuffer(std::uint8_t**, std::uint64_t*) {
    return false;
}

Id NUCMultipartBodyStream::propertyForKey(const VxStringPtr&) const {
    return nullptr;
}

bool NUCMultipartBodyStream::setProperty(const Id&, const VxStringPtr&) {
    return false;
}

void NUCMultipartBodyStream::scheduleInRunLoop(const Id&, const VxStringPtr&) {}

void NUCMultipartBodyStream::removeFromRunLoop(const Id&, const VxStringPtr&) {}

bool NUCMultipartBodyStream::setClient(const Id&, std::uint64_t, void*) {
    return false;
}

Id NUCMultipartBodyStream::copyWithZone(void*) const {
    return copyStream();
}

NUCMultipartBodyStreamPtr NUCMultipartBodyStream::copyStream() const {
    auto stream = std::make_shared<NUCMultipartBodyStream>(stringEncoding_);
    for (const auto& part : bodyPartArray_) stream->appendHTTPBodyPart(part->copyPart());
    stream->setInitialAndFinalBoundaries();
    return stream;
}
