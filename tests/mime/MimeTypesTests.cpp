#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "mime/NUCMimeTypes.h"
#include "platform/linux/VxUniformTypes.h"
#include "support/RequestHelpers.h"
#include "support/TestEnv.h"

namespace {

using da::test::text;

std::string mimeFor(const char* extension) {
    return text(NUCMimeTypes::mimeTypeForFileExtension(vxstr(extension)));
}

std::string extensionFor(const char* mime) {
    return text(NUCMimeTypes::fileExtensionForMimeType(vxstr(mime)));
}

// What the uniform type service answers for a tag, through the identifier.
std::string serviceAnswer(const char* fromClass, const char* tag, const char* toClass) {
    VxStringPtr id = VxUniformTypes::preferredIdentifierForTag(vxstr(fromClass), vxstr(tag));
    VxStringPtr other = id ? VxUniformTypes::preferredTagWithClass(id, vxstr(toClass)) : nullptr;
    return text(other);
}

VxDataPtr bytes(std::initializer_list<int> list) {
    std::vector<std::uint8_t> v;
    for (int b : list) v.push_back(static_cast<std::uint8_t>(b));
    return VxData::dataWithVector(std::move(v));
}

std::string sniff(const VxDataPtr& data) {
    return text(NUCMimeTypes::guessMimeTypeFromData(data));
}

}  // namespace

TEST(MimeTypes, TableShape) {
    const auto& table = NUCMimeTypes::extensionTable();
    EXPECT_EQ(table->count(), 530u);
    // Keys are unique, listed first as 323 and last among the listed ones as zsh;
    // the later listing of a twice-listed extension wins but keeps its place.
    EXPECT_EQ(vx::textOf(table->keys().front()), "323");
    EXPECT_EQ(text(vx::nonEmptyString(table->objectForKey("pot,"))),
              "application/vndms-powerpoint");
    EXPECT_EQ(mimeFor("m4v"), "video/mp4");
    EXPECT_EQ(mimeFor("mpg"), "video/mpeg,audio/mpeg");
    EXPECT_EQ(table->objectForKey("json"), nullptr);
}

TEST(MimeTypes, ExtensionToMime) {
    EXPECT_EQ(mimeFor("JPG"), "image/jpeg,image/pjpeg");
    EXPECT_EQ(mimeFor("html"), "text/html");
    EXPECT_EQ(
        mimeFor("xls"),
        "application/vndms-excel,application/excel,application/x-excel,application/x-msexcel");
    EXPECT_EQ(mimeFor("abc"), "text/vndabc");
    EXPECT_EQ(mimeFor("Text"), "application/plain,text/plain");
    EXPECT_EQ(mimeFor("saveme"), "application/octet-stream");
    EXPECT_EQ(mimeFor(""), "application/octet-stream");
    EXPECT_EQ(text(NUCMimeTypes::mimeTypeForFileExtension(nullptr)), "application/octet-stream");
    EXPECT_EQ(mimeFor("zz-no-such-extension"), "application/octet-stream");

    // Not in the table: the uniform type service answers, else the fallback.
    std::string viaService =
        serviceAnswer(VxUTTagClassFilenameExtension, ".pdf", VxUTTagClassMIMEType);
    EXPECT_EQ(mimeFor(".pdf"), viaService == "<nothing>" ? "application/octet-stream" : viaService);
    std::string json = serviceAnswer(VxUTTagClassFilenameExtension, "json", VxUTTagClassMIMEType);
    if (json != "<nothing>") {
        EXPECT_EQ(mimeFor("JSON"), json);
    }
}

TEST(MimeTypes, MimeToExtension) {
    EXPECT_EQ(extensionFor("TEXT/CSS"), "css");
    EXPECT_EQ(extensionFor("image/jpeg"), "jfif-tbnl");
    EXPECT_EQ(extensionFor("text/html"), "acgi");  // first in listed order
    EXPECT_EQ(extensionFor("image/png"), "png");
    EXPECT_EQ(extensionFor(""), "<nothing>");
    EXPECT_EQ(text(NUCMimeTypes::fileExtensionForMimeType(nullptr)), "<nothing>");
    // Types that occur only inside list values, or only with capitals, come from
    // the uniform type service.
    EXPECT_EQ(extensionFor("image/pjpeg"),
              serviceAnswer(VxUTTagClassMIMEType, "image/pjpeg", VxUTTagClassFilenameExtension));
    EXPECT_EQ(
        extensionFor("application/SLA"),
        serviceAnswer(VxUTTagClassMIMEType, "application/sla", VxUTTagClassFilenameExtension));
}

TEST(MimeTypes, ConcurrentFirstUse) {
    std::vector<std::thread> threads;
    std::vector<std::string> results(8);
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] { results[i] = mimeFor("png") + extensionFor("text/css"); });
    for (auto& t : threads) t.join();
    for (const auto& r : results) EXPECT_EQ(r, "image/pngcss");
}

TEST(UniformTypes, GlobDatabase) {
    da::test::TempDir dir;
    std::ofstream(dir / "globs2") << "# comment\n"
                                     "80:text/x-heavy:*.dup\n"
                                     "50:text/x-light:*.dup\n"
                                     "50:image/x-thing:*.thg\n"
                                     "50:image/x-thing:*.thing\n"
                                     "50:text/x-upper:*.C:cs\n"
                                     "50:text/x-lower:*.c\n"
                                     "50:application/x-skip:*.so.[0-9]*\n"
                                     "broken line\n";
    std::ofstream(dir / "aliases") << "image/x-old-thing image/x-thing\n";
    auto db = VxUniformTypes::Database::loadFromDirectory(dir.path());
    ASSERT_TRUE(db);
    EXPECT_FALSE(db->isBuiltIn());
    EXPECT_EQ(db->typeForExtension("dup"), "text/x-heavy");
    EXPECT_EQ(db->typeForExtension("THG"), "image/x-thing");
    EXPECT_EQ(db->typeForExtension("C"), "text/x-upper");
    EXPECT_EQ(db->typeForExtension("c"), "text/x-lower");
    EXPECT_EQ(db->typeForExtension("so.1"), "");
    EXPECT_EQ(db->canonicalType("IMAGE/X-OLD-THING"), "image/x-thing");
    EXPECT_EQ(db->extensionForType("image/x-thing"), "thg");
    EXPECT_EQ(db->canonicalType("image/unknown"), "");
    std::filesystem::remove_all(dir.path());

    EXPECT_EQ(VxUniformTypes::Database::loadFromDirectory(dir.path()), nullptr);
    auto builtIn = VxUniformTypes::Database::builtIn();
    EXPECT_EQ(builtIn->typeForExtension("JSON"), "application/json");
    EXPECT_EQ(builtIn->extensionForType("image/jpeg"), "jpg");
}

TEST(MimeSniffing, Signatures) {
    EXPECT_EQ(sniff(nullptr), "<nothing>");
    EXPECT_EQ(sniff(VxData::data()), "<nothing>");
    EXPECT_EQ(sniff(bytes({0x25})), "<nothing>");
    EXPECT_EQ(sniff(VxData::dataWithString("hello")), "<nothing>");
    EXPECT_EQ(sniff(VxData::dataWithString("%PDF-1.7\n")), "application/pdf");
    EXPECT_EQ(sniff(bytes({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13})),
              "image/png");
    EXPECT_EQ(sniff(VxData::dataWithString("<!DOCTYPE html>")), "text/html");
    EXPECT_EQ(sniff(VxData::dataWithString("<!-- x --><?xml ")), "text/html");
    EXPECT_EQ(sniff(VxData::dataWithString("<HEAD>")), "text/html");
    EXPECT_EQ(sniff(VxData::dataWithString("<Html>")), "<nothing>");
    EXPECT_EQ(sniff(VxData::dataWithString("<?xml version")), "application/xml");
    EXPECT_EQ(sniff(VxData::dataWithString("<?xml")), "<nothing>");
    EXPECT_EQ(sniff(VxData::dataWithString("! XPM2")), "image/x-pixmap");
    EXPECT_EQ(sniff(bytes({0xFE, 0xFF, 0x00, '<', 0x00, '?', 0x00, 'x'})), "application/xml");
    // JPEG variants.
    EXPECT_EQ(sniff(bytes({0xFF, 0xD8, 0xFF, 0xE0})), "image/jpeg");
    EXPECT_EQ(sniff(bytes({0xFF, 0xD8, 0xFF, 0xEE})), "image/jpg");
    EXPECT_EQ(sniff(bytes({0xFF, 0xD8, 0xFF, 0xDB})), "<nothing>");
    EXPECT_EQ(sniff(bytes({0xFF, 0xD8, 0xFF, 0xE1, 0x12, 0x34, 'E', 'x', 'i', 'f', 0})),
              "image/jpeg");
    EXPECT_EQ(sniff(bytes({0xFF, 0xD8, 0xFF, 0xE1, 0x12, 0x34, 'E', 'x', 'i', 'f', 1})),
              "<nothing>");
}

TEST(MimeSniffing, MissingBytesCountAsZero) {
    EXPECT_EQ(sniff(bytes({0x49, 0x49, 0x2A})), "image/tiff");
    EXPECT_EQ(sniff(bytes({0x41, 0x43})), "application/acad");
    EXPECT_EQ(sniff(bytes({0xFF, 0xFE, 0x3C, 0x00, 0x3F, 0x00, 0x78})), "application/xml");
    EXPECT_EQ(sniff(bytes({0xFF, 0xD8, 0xFF, 0xE1, 1, 2, 'E', 'x', 'i', 'f'})), "image/jpeg");
    EXPECT_EQ(sniff(bytes({0x38, 0x42, 0x50, 0x53, 0x00})), "<nothing>");
    EXPECT_EQ(sniff(bytes({0x38, 0x42, 0x50, 0x53, 0x00, 0x01})), "image/photoshop");
    EXPECT_EQ(sniff(bytes({0x41, 0x43, 0x31, 0x30, 0x31, 0x35, 0, 0, 0, 0, 0})),
              "application/acad");
    EXPECT_EQ(sniff(bytes({0x41, 0x43, 0x31, 0x30, 0x31, 0x35, 0, 0, 0, 0, 7})), "<nothing>");
    // Only the first 11 bytes count.
    EXPECT_EQ(sniff(bytes({0x41, 0x43, 0x31, 0x30, 0x31, 0x35, 0, 0, 0, 0, 0, 0xFF, 0xFF})),
              "application/acad");
}
