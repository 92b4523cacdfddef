#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "multipart/NUCMultipartBodyStream.h"
#include "support/TestEnv.h"

namespace {

NUCMultiPartPtr part(const std::string& name, const Id& body, std::uint64_t length) {
    auto headers = VxDictionary::dictionaryWithPairs(
        {{"Content-Disposition", vxstr("form-data; name=\"" + name + "\"")}});
    return std::make_shared<NUCMultiPart>(4, headers, body, length, vxstr("BND"));
}

NUCMultiPartPtr textPart(const std::string& name, const std::string& body) {
    return part(name, VxData::dataWithString(body), body.size());
}

std::string expectedPart(const std::string& name, const std::string& body, bool first) {
    return std::string(first ? "" : "\r\n") + "--BND\r\nContent-Disposition: form-data; name=\"" +
           name + "\"\r\n\r\n" + body;
}

NUCMultipartBodyStreamPtr threeParts() {
    auto stream = std::make_shared<NUCMultipartBodyStream>();
    stream->appendHTTPBodyPart(textPart("a", "alpha"));
    stream->appendHTTPBodyPart(textPart("b", std::string(300, 'b')));
    stream->appendHTTPBodyPart(textPart("c", "gamma"));
    return stream;
}

const std::string kThree = expectedPart("a", "alpha", true) +
                           expectedPart("b", std::string(300, 'b'), false) +
                           expectedPart("c", "gamma", false) + "\r\n--BND--\r\n";

// Reads until a read returns 0; records every read's count.
std::string drain(NUCMultipartBodyStream& stream, std::size_t chunk,
                  std::vector<std::int64_t>* counts = nullptr) {
    std::string out;
    std::vector<std::uint8_t> buffer(chunk);
    for (int guard = 0; guard < 100000; ++guard) {
        std::int64_t n = stream.read(buffer.data(), chunk);
        if (counts) counts->push_back(n);
        if (n <= 0) break;
        out.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(n));
    }
    return out;
}

}  // namespace

TEST(BodyStream, EmptyStream) {
    NUCMultipartBodyStream stream;
    EXPECT_TRUE(stream.isEmpty());
    EXPECT_EQ(stream.contentLength(), 0u);
    EXPECT_EQ(stream.stringEncoding(), 4u);
    EXPECT_EQ(stream.numberOfBytesInPacket(), 9223372036854775807ull);
    std::uint8_t buffer[16];
    EXPECT_EQ(stream.read(buffer, sizeof buffer), 0);  // before open: no enumerator
    stream.open();
    EXPECT_EQ(stream.read(buffer, sizeof buffer), 0);
    EXPECT_EQ(stream.streamError(), nullptr);
}

TEST(BodyStream, PartsInOrderAndLifecycle) {
    for (std::size_t chunk : {3u, 64u, 4096u}) {
        auto stream = threeParts();
        EXPECT_FALSE(stream->hasBytesAvailable());
        EXPECT_EQ(stream->streamStatus(), VxStreamStatusNotOpen);
        stream->open();
        EXPECT_EQ(stream->contentLength(), kThree.size());
        EXPECT_TRUE(stream->bodyPartArray().front()->hasInitialBoundary());
        EXPECT_TRUE(stream->bodyPartArray().back()->hasFinalBoundary());
        EXPECT_EQ(drain(*stream, chunk), kThree) << "chunk " << chunk;
        // The end shows as reads of 0; the stream stays open until closed.
        std::uint8_t buffer[8];
        EXPECT_EQ(stream->read(buffer, sizeof buffer), 0);
        EXPECT_TRUE(stream->hasBytesAvailable());
        EXPECT_EQ(stream->currentHTTPBodyPart(), nullptr);
        stream->close();
        EXPECT_FALSE(stream->hasBytesAvailable());
        EXPECT_EQ(stream->read(buffer, sizeof buffer), 0);
        // Opening again does not replay parts already read.
        stream->open();
        EXPECT_EQ(stream->read(buffer, sizeof buffer), 0);
    }
}

// Phase changes of many small parts are handed to the main queue together; the
// bytes must not depend on where read sizes cut the parts: every cut, from one
// byte on, through boundaries, header blocks, bodies of every kind and the end.
TEST(BodyStream, ManySmallPartsReadInEveryCut) {
    da::test::TempDir dir;
    const std::string file = dir.write("f.txt", "from a file");
    // Forty parts: text bodies, file bodies, no body source (an empty body) and
    // no header fields; `expected` gets the bytes they make.
    auto build = [&](std::string* expected) {
        auto stream = std::make_shared<NUCMultipartBodyStream>();
        for (int i = 0; i < 40; ++i) {
            const std::string name = "p" + std::to_string(i), text = std::string(i % 5, 'x') + name;
            if (i % 7 == 3) {
                stream->appendHTTPBodyPart(part(name, VxURL::fileURLWithPath(file), 11));
                *expected += expectedPart(name, "from a file", i == 0);
            } else if (i % 7 == 5) {
                stream->appendHTTPBodyPart(part(name, nullptr, 0));
                *expected += expectedPart(name, "", i == 0);
            } else if (i % 7 == 6) {
                stream->appendHTTPBodyPart(std::make_shared<NUCMultiPart>(
                    4, nullptr, VxData::dataWithString(name), name.size(), vxstr("BND")));
                *expected += std::string(i == 0 ? "" : "\r\n") + "--BND\r\n" + name;
            } else {
                stream->appendHTTPBodyPart(textPart(name, text));
                *expected += expectedPart(name, text, i == 0);
            }
        }
        *expected += "\r\n--BND--\r\n";
        return stream;
    };
    for (std::size_t cut = 1; cut <= 97; cut += 3) {
        std::string expected;
        auto stream = build(&expected);
        stream->open();
        ASSERT_EQ(stream->contentLength(), expected.size());
        EXPECT_EQ(drain(*stream, cut), expected) << "reads of " << cut << " bytes";
    }
}

TEST(BodyStream, PacketSize) {
    auto stream = threeParts();
    stream->setNumberOfBytesInPacket(100);
    stream->open();
    std::vector<std::int64_t> counts;
    EXPECT_EQ(drain(*stream, 4096, &counts), kThree);
    ASSERT_GE(counts.size(), 3u);
    // Every read but the last two (the short tail and the final 0) reaches the
    // packet size; one part read may go beyond it.
    for (std::size_t i = 0; i + 2 < counts.size(); ++i) EXPECT_GE(counts[i], 100);
    EXPECT_GT(*std::max_element(counts.begin(), counts.end()), 100);

    auto none = threeParts();
    none->setNumberOfBytesInPacket(0);
    none->open();
    std::uint8_t buffer[64];
    EXPECT_EQ(none->read(buffer, sizeof buffer), 0);
}

TEST(BodyStream, DelayAfterEveryPartRead) {
    auto stream = threeParts();
    stream->setDelay(0.05);
    stream->open();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(drain(*stream, 4096), kThree);
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(elapsed, 3 * 0.05);  // one part read per part in one big read

    // A copy has the default pacing and reads the same bytes afresh.
    auto source = threeParts();
    source->setNumberOfBytesInPacket(100);
    source->setDelay(1);
    auto copy = vx_cast<NUCMultipartBodyStream>(source->copy());
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->numberOfBytesInPacket(), NUCMultipartBodyStream::kNoPacketLimit);
    EXPECT_EQ(copy->delay(), 0);
    copy->open();
    std::vector<std::int64_t> counts;
    EXPECT_EQ(drain(*copy, 4096, &counts), kThree);
    EXPECT_EQ(counts.front(), static_cast<std::int64_t>(kThree.size()));
}

TEST(BodyStream, FailingPartBody) {
    da::test::TempDir dir;
    const std::string path = dir.write("data.bin", "file-bytes");

    auto stream = std::make_shared<NUCMultipartBodyStream>();
    stream->appendHTTPBodyPart(textPart("a", "alpha"));
    stream->appendHTTPBodyPart(part("f", VxURL::fileURLWithPath(path), 10));
    stream->appendHTTPBodyPart(textPart("c", "gamma"));
    std::filesystem::remove(path);  // the file vanishes before the body is read
    stream->open();

    std::uint8_t buffer[4096];
    std::int64_t n = stream->read(buffer, sizeof buffer);
    // The read reports what it gathered before the failing part, not -1.
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(n)),
              expectedPart("a", "alpha", true));
    ASSERT_TRUE(stream->streamError());
    EXPECT_EQ(stream->streamError()->code(), ENOENT);
    EXPECT_EQ(stream->streamStatus(), VxStreamStatusOpen);
}

TEST(BodyStream, PlatformStreamHooks) {
    NUCMultipartBodyStream stream(5);
    std::uint8_t* bytes = nullptr;
    std::uint64_t length = 0;
    EXPECT_FALSE(stream.getBuffer(&bytes, &length));
    EXPECT_EQ(stream.propertyForKey(vxstr("k")), nullptr);
    EXPECT_FALSE(stream.setProperty(vxstr("v"), vxstr("k")));
    EXPECT_FALSE(stream.setClient(nullptr, 0, nullptr));
    EXPECT_EQ(stream.stringEncoding(), 5u);
    auto created = VxClass::classNamed("NUCMultipartBodyStream");
    ASSERT_TRUE(created);
    EXPECT_TRUE(vx_cast<VxInputStream>(created->createInstance()));
}
