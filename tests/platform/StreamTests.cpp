#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/foundation/VxStream.h"
#include "support/TestEnv.h"

namespace {

std::string drain(VxInputStream& s, std::size_t chunk) {
    std::string out;
    std::vector<std::uint8_t> buf(chunk);
    for (;;) {
        auto n = s.read(buf.data(), buf.size());
        if (n <= 0) break;
        out.append(reinterpret_cast<char*>(buf.data()), static_cast<std::size_t>(n));
    }
    return out;
}

}  // namespace

TEST(Stream, DataStreamStatusSequence) {
    auto data = VxMutableData::dataWithString("hello");
    auto mdata = std::make_shared<VxMutableData>(data->vector());
    auto s = VxInputStream::inputStreamWithData(mdata);
    mdata->appendBytes("!!", 2);  // the stream reads the buffer as it was
    std::uint8_t buf[8];
    EXPECT_EQ(s->streamStatus(), VxStreamStatusNotOpen);
    EXPECT_EQ(s->read(buf, sizeof buf), -1);
    s->open();
    EXPECT_EQ(s->streamStatus(), VxStreamStatusOpen);
    EXPECT_TRUE(s->hasBytesAvailable());
    EXPECT_EQ(s->read(buf, 3), 3);
    EXPECT_EQ(s->streamStatus(), VxStreamStatusReading);
    EXPECT_EQ(s->read(buf + 3, sizeof buf), 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), "hello");
    EXPECT_EQ(s->streamStatus(), VxStreamStatusAtEnd);
    EXPECT_FALSE(s->hasBytesAvailable());
    EXPECT_EQ(s->read(buf, sizeof buf), 0);
    s->close();
    EXPECT_EQ(s->streamStatus(), VxStreamStatusClosed);
    EXPECT_EQ(s->read(buf, sizeof buf), -1);

    auto empty = VxInputStream::inputStreamWithData(VxData::data());
    empty->open();
    EXPECT_FALSE(empty->hasBytesAvailable());
    EXPECT_EQ(empty->read(buf, sizeof buf), 0);
    EXPECT_EQ(empty->streamStatus(), VxStreamStatusAtEnd);

    // The abstract base has nothing to read: an error, not a crash.
    auto base = std::make_shared<VxInputStream>();
    base->open();
    EXPECT_EQ(base->read(buf, 4), -1);
    EXPECT_EQ(base->streamStatus(), VxStreamStatusError);
    EXPECT_TRUE(base->streamError());
}

TEST(Stream, FileStreamsReadWriteAppendAndFail) {
    da::test::TempDir dir;
    std::string path = dir / "out.bin";
    std::string big(100000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);

    auto out = VxOutputStream::outputStreamToFileAtPath(path, false);
    EXPECT_EQ(out->write(reinterpret_cast<const std::uint8_t*>("x"), 1), -1);  // not open
    out->open();
    EXPECT_EQ(out->streamStatus(), VxStreamStatusOpen);
    EXPECT_TRUE(out->hasSpaceAvailable());
    EXPECT_EQ(out->write(reinterpret_cast<const std::uint8_t*>(big.data()), big.size()),
              static_cast<std::int64_t>(big.size()));
    out->close();
    auto app = VxOutputStream::outputStreamToFileAtPath(path, true);
    app->open();
    EXPECT_EQ(app->write(reinterpret_cast<const std::uint8_t*>("END"), 3), 3);
    app->close();

    auto in = VxInputStream::inputStreamWithFileAtPath(path);
    in->open();
    EXPECT_EQ(drain(*in, 4096), big + "END");
    EXPECT_EQ(in->streamStatus(), VxStreamStatusAtEnd);

    // Truncating output replaces the old content.
    auto trunc = VxOutputStream::outputStreamToFileAtPath(path, false);
    trunc->open();
    trunc->write(reinterpret_cast<const std::uint8_t*>("new"), 3);
    trunc->close();
    auto url = VxURL::fileURLWithPath(path);
    auto again = VxInputStream::inputStreamWithURL(url);
    ASSERT_TRUE(again);
    again->open();
    EXPECT_EQ(drain(*again, 2), "new");
    EXPECT_EQ(VxInputStream::inputStreamWithURL(VxURL::URLWithString("http://h/x")), nullptr);

    // Missing file, directory, FIFO, endless device behind a link: the open
    // fails at once with a POSIX error (a blocking open of the FIFO would never
    // return, /dev/zero would never end).
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/zero", dir / "zero");
    for (const std::string& bad : {dir / "missing", dir.path(), fifo, dir / "zero"}) {
        auto s = VxInputStream::inputStreamWithFileAtPath(bad);
        const auto started = std::chrono::steady_clock::now();
        s->open();
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1)) << bad;
        EXPECT_EQ(s->streamStatus(), VxStreamStatusError) << bad;
        ASSERT_TRUE(s->streamError()) << bad;
        EXPECT_EQ(s->streamError()->domain(), "VxPOSIXErrorDomain");
        std::uint8_t b[4];
        EXPECT_EQ(s->read(b, 4), -1);
        EXPECT_FALSE(s->hasBytesAvailable());
    }
    auto nowhere = VxOutputStream::outputStreamToFileAtPath(dir / "no/such/dir", false);
    nowhere->open();
    EXPECT_EQ(nowhere->streamStatus(), VxStreamStatusError);
    EXPECT_EQ(nowhere->streamError()->code(), ENOENT);
    EXPECT_FALSE(nowhere->hasSpaceAvailable());
}
