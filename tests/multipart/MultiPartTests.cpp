#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "multipart/NUCMultiPart.h"
#include "platform/foundation/VxDispatch.h"
#include "support/TestEnv.h"

namespace {

const std::string CRLF = "\r\n";

VxDictionaryPtr disposition(const std::string& name) {
    return VxDictionary::dictionaryWithPairs(
        {{"Content-Disposition", vxstr("form-data; name=\"" + name + "\"")}});
}

NUCMultiPartPtr dataPart(const std::string& body, VxDictionaryPtr headers, bool first, bool last,
                         std::uint64_t encoding = 4) {
    auto part = std::make_shared<NUCMultiPart>(encoding, headers, VxData::dataWithString(body),
                                               body.size(), vxstr("XYZ"));
    part->setHasInitialBoundary(first);
    part->setHasFinalBoundary(last);
    return part;
}

// Reads the part through in chunks of `chunk` bytes until it has no more bytes.
std::string readAll(NUCMultiPart& part, std::size_t chunk) {
    std::string out;
    std::vector<std::uint8_t> buffer(chunk);
    for (int guard = 0; part.hasBytesAvailable() && guard < 100000; ++guard) {
        std::int64_t n = part.read(buffer.data(), chunk);
        if (n < 0) return out + "<ERROR>";
        out.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(n));
    }
    return out;
}

// An input stream that records on which thread it was opened and closed.
class RecordingStream : public VxInputStream {
  public:
    void open() override {
        openedOnMain = VxIsMainThread();
        setStreamStatus(VxStreamStatusOpen);
    }
    void close() override {
        closedOnMain = VxIsMainThread();
        setStreamStatus(VxStreamStatusClosed);
    }
    std::int64_t read(std::uint8_t* buffer, std::size_t maxLength) override {
        if (streamStatus() != VxStreamStatusOpen) return -1;
        if (sent || maxLength == 0) return 0;  // never moves on to AtEnd by itself
        buffer[0] = 'z';
        sent = true;
        return 1;
    }
    bool hasBytesAvailable() const override { return !sent; }
    std::atomic<bool> openedOnMain{false}, closedOnMain{false};
    bool sent = false;
};

}  // namespace

TEST(MultiPart, SinglePartBytesAndLength) {
    const std::string expected = "--XYZ" + CRLF + "Content-Disposition: form-data; name=\"a\"" +
                                 CRLF + CRLF + "abc" + CRLF + "--XYZ--" + CRLF;
    for (std::size_t chunk : {1u, 2u, 7u, 4096u}) {
        auto part = dataPart("abc", disposition("a"), true, true);
        EXPECT_EQ(part->contentLength(), expected.size());
        EXPECT_TRUE(part->hasBytesAvailable());  // body stream not opened yet
        EXPECT_EQ(readAll(*part, chunk), expected) << "chunk " << chunk;
        // Wrapped back to the first phase with the body's stream closed.
        EXPECT_EQ(part->readPhase(), NUCMultiPartReadPhaseBoundary);
        EXPECT_EQ(part->readPhaseOffset(), 0u);
        EXPECT_EQ(part->inputStream()->streamStatus(), VxStreamStatusClosed);
        EXPECT_FALSE(part->hasBytesAvailable());
    }
}

TEST(MultiPart, MiddlePartAndHeaderBlocks) {
    auto middle = dataPart("body", disposition("m"), false, false);
    std::string bytes = readAll(*middle, 4096);
    EXPECT_EQ(bytes, CRLF + "--XYZ" + CRLF + "Content-Disposition: form-data; name=\"m\"" + CRLF +
                         CRLF + "body");
    EXPECT_EQ(middle->contentLength(), bytes.size());

    // No header fields: straight from the delimiter to the body, no blank line.
    for (const VxDictionaryPtr& headers : {VxDictionaryPtr(), VxDictionary::dictionary()}) {
        auto bare = dataPart("b", headers, true, false);
        EXPECT_EQ(bare->dataForHeaders()->length(), 0u);
        EXPECT_EQ(readAll(*bare, 3), "--XYZ" + CRLF + "b");
    }

    // Header text in the part's encoding: one byte per Latin 1 character; text
    // that the encoding cannot express gives an empty block.
    auto headers = VxDictionary::dictionaryWithPairs({{"X-Name", vxstr("caf\xC3\xA9")}});
    EXPECT_EQ(dataPart("", headers, true, true, 5)->dataForHeaders()->view(),
              "X-Name: caf\xE9" + CRLF + CRLF);
    EXPECT_EQ(dataPart("", headers, true, true, 1)->dataForHeaders()->length(), 0u);
    EXPECT_EQ(dataPart("", headers, true, true, 4)->dataForHeaders()->length(), 17u);
}

TEST(MultiPart, PhasesAndAvailability) {
    auto part = dataPart("abc", nullptr, true, true);
    std::uint8_t buffer[64];
    // Stop inside the opening delimiter: the next read continues it.
    ASSERT_EQ(part->read(buffer, 3), 3);
    EXPECT_EQ(part->readPhase(), NUCMultiPartReadPhaseBoundary);
    EXPECT_EQ(part->readPhaseOffset(), 3u);
    ASSERT_EQ(part->read(buffer, 5), 5);  // "YZ\r\n" then one body byte
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 5), "YZ\r\na");
    EXPECT_EQ(part->readPhase(), NUCMultiPartReadPhaseBody);
    ASSERT_EQ(part->read(buffer, 2), 2);  // the rest of the body ends the phase
    EXPECT_EQ(part->readPhase(), NUCMultiPartReadPhaseFinalBoundary);
    EXPECT_EQ(part->inputStream()->streamStatus(), VxStreamStatusClosed);
    EXPECT_TRUE(part->hasBytesAvailable());  // the closing delimiter is still due
    ASSERT_EQ(part->read(buffer, 64), 11);
    EXPECT_FALSE(part->hasBytesAvailable());

    // An offset set past the data's end delivers nothing instead of overreading.
    auto other = dataPart("abc", nullptr, true, true);
    other->setReadPhaseOffset(1000);
    EXPECT_EQ(other->readData(VxData::dataWithString("ab"), buffer, 64), 0);
    EXPECT_EQ(other->readPhase(), NUCMultiPartReadPhaseHeaders);
}

TEST(MultiPart, FileBodiesAndFailures) {
    da::test::TempDir dir;
    std::string content(5000, 'q');
    auto fileURL = VxURL::fileURLWithPath(dir.write("body.bin", content));

    auto part =
        std::make_shared<NUCMultiPart>(4, disposition("f"), fileURL, content.size(), vxstr("B"));
    part->setHasInitialBoundary(true);
    std::string bytes = readAll(*part, 1000);
    EXPECT_EQ(bytes.size(), part->contentLength());
    EXPECT_EQ(bytes.substr(bytes.size() - content.size()), content);

    // A body file that cannot be opened: the read fails, the error stays on the
    // part's stream.
    auto missing = std::make_shared<NUCMultiPart>(
        4, nullptr, VxURL::fileURLWithPath(dir / "missing"), 10, vxstr("B"));
    std::uint8_t buffer[64];
    EXPECT_EQ(missing->read(buffer, sizeof buffer), -1);
    ASSERT_TRUE(missing->inputStream()->streamError());
    EXPECT_EQ(missing->inputStream()->streamError()->code(), ENOENT);
    EXPECT_FALSE(missing->hasBytesAvailable());

    // A body of an unsupported kind (or a URL that is not a file URL) has no
    // stream: it delivers an empty body and then ends.
    for (const Id& body : {Id(vxstr("text")), Id(VxURL::URLWithString("http://h/x"))}) {
        auto odd = std::make_shared<NUCMultiPart>(4, nullptr, body, 0, vxstr("B"));
        odd->setHasFinalBoundary(true);
        EXPECT_EQ(odd->inputStream(), nullptr);
        EXPECT_EQ(readAll(*odd, 64), "\r\n--B\r\n\r\n--B--\r\n");
    }
}

TEST(MultiPart, PhaseChangesRunOnMainQueueThread) {
    auto stream = std::make_shared<RecordingStream>();
    auto part = std::make_shared<NUCMultiPart>(4, nullptr, stream, 1, vxstr("B"));
    ASSERT_FALSE(VxIsMainThread());
    // The stream returns 0 without ever reporting its end: that still ends the body.
    EXPECT_EQ(readAll(*part, 64), "\r\n--B\r\nz");
    EXPECT_TRUE(stream->openedOnMain);
    EXPECT_TRUE(stream->closedOnMain);
}

TEST(MultiPart, CopyAndDestruction) {
    auto part = dataPart("abc", disposition("a"), true, true);
    std::uint8_t buffer[4];
    part->read(buffer, 4);
    auto copy = vx_cast<NUCMultiPart>(part->copy());
    ASSERT_TRUE(copy);
    EXPECT_NE(copy->inputStream(), part->inputStream());  // a buffer body gets its own stream
    EXPECT_TRUE(copy->hasInitialBoundary() && copy->hasFinalBoundary());
    EXPECT_EQ(copy->readPhaseOffset(), 4u);
    EXPECT_EQ(readAll(*part, 64), readAll(*copy, 64));

    auto shared = std::make_shared<RecordingStream>();
    {
        auto streamPart = std::make_shared<NUCMultiPart>(4, nullptr, shared, 1, vxstr("B"));
        EXPECT_EQ(streamPart->copyPart()->inputStream(), shared);  // a stream body is shared
        shared->open();
    }
    EXPECT_EQ(shared->streamStatus(), VxStreamStatusClosed);  // closed with its part
}
