#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <thread>

#include "model/CModelUtilities.h"
#include "model/TestRecords.h"
#include "platform/foundation/VxJSON.h"
#include "support/TestEnv.h"

namespace fs = std::filesystem;

namespace {

using da::test::readFile;
using da::test::TempDir;

std::string versionFrom(const std::vector<std::string>& paths) {
    return CModelUtilities::systemVersionFromReleaseFiles(paths)->str();
}

// Columns alpha (text), beta (number), gamma (any object).
Id record(const char* alpha, std::int64_t beta, bool gamma) {
    return TMRow::modelWithDictionary(
        VxDictionary::dictionaryWithPairs({{"alpha", VxString::make(alpha)},
                                           {"beta", VxNumber::numberWithLongLong(beta)},
                                           {"gamma", VxNumber::numberWithBool(gamma)}}));
}

}  // namespace

TEST(ModelUtilities, SystemVersionFromReleaseInformation) {
    TempDir dir;
    const std::pair<const char*, const char*> files[] = {
        {"# comment\nNAME=\"Some OS\"\nVERSION_ID=\"12.4\"\nVERSION=\"12 (x)\"\n", "12.4"},
        {"ID=x\nVERSION_ID=13\n", "13"},
        {"VERSION_ID='2024.1'\n", "2024.1"},
        {"VERSION_ID=\"1.\\\"2\\\"\"\n", "1.\"2\""},
        {"NAME=rolling\nVERSION_ID\n", "1.0.0"},
        {"VERSION_ID=\"\"\n", "1.0.0"}};
    for (std::size_t i = 0; i < std::size(files); ++i)
        EXPECT_EQ(versionFrom({dir.write(std::to_string(i), files[i].first)}), files[i].second)
            << files[i].first;
    const std::string bare = dir / "1", none = dir / "4";
    const std::string missing = dir / "missing";
    EXPECT_EQ(versionFrom({missing}), "1.0.0");
    EXPECT_EQ(versionFrom({}), "1.0.0");
    // The first file that exists is the release information; a later one is
    // read only when the earlier ones are missing.
    EXPECT_EQ(versionFrom({missing, bare}), "13");
    EXPECT_EQ(versionFrom({none, bare}), "1.0.0");
    EXPECT_EQ(versionFrom({dir.path(), bare}), "1.0.0");  // a directory has no version
    const fs::path fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(versionFrom({fifo.string(), bare}), "1.0.0");  // read without waiting for a writer

    // Both cached forms agree with the machine's release information and keep
    // their first answer.
    const VxStringPtr machine =
        CModelUtilities::systemVersionFromReleaseFiles(CModelUtilities::defaultReleaseFilePaths());
    ASSERT_TRUE(CModelUtilities::getSystemVersion());
    EXPECT_EQ(CModelUtilities::getSystemVersion()->str(), machine->str());
    EXPECT_EQ(getSystemVersion()->str(), machine->str());
    EXPECT_EQ(CModelUtilities::getSystemVersion(), CModelUtilities::getSystemVersion());
}

TEST(ModelUtilities, ClassFromPropertyDeclaration) {
    auto classOf = [](std::string attributes) {
        CPropertyDeclaration declaration{"property", std::move(attributes)};
        return CModelUtilities::classFromProperty(&declaration);
    };
    EXPECT_EQ(classOf("T@\"VxString\",C,D"), &VxString::classObject());
    EXPECT_EQ(classOf("C,D,T@\"VxNumber\""), &VxNumber::classObject());
    EXPECT_EQ(classOf("T@\"VxDictionary<SomeInterface>\",&"), &VxDictionary::classObject());
    EXPECT_EQ(classOf("T@\"TMRow\",&"), &TMRow::classObject());
    EXPECT_EQ(classOf("T@\"VxArray"), &VxArray::classObject());  // unterminated name

    for (const char* attributes : {"TB,D", "T@,&,VtestResults", "T@?",
                                   "T@\"NoSuchRegisteredClass\",C,D", "T@\"\",C", "T,C,D", "C,D"})
        EXPECT_EQ(classOf(attributes), nullptr) << attributes;
    EXPECT_EQ(CModelUtilities::classFromProperty(nullptr), nullptr);
}

TEST(ModelUtilities, HexStrings) {
    const std::uint8_t bytes[] = {0x01, 0xAB, 0x00, 0xF0};
    auto data = VxData::dataWithBytes(bytes, sizeof bytes);
    EXPECT_EQ(CModelUtilities::hexStringFromVxData(data, false)->str(), "0x01ab00f0");
    EXPECT_EQ(CModelUtilities::hexStringFromVxData(data, true)->str(), "0x01AB00F0");
    EXPECT_EQ(CModelUtilities::hexStringFromVxData(VxData::dataWithBytes(bytes, 1), true)->str(),
              "0x01");
    EXPECT_FALSE(CModelUtilities::hexStringFromVxData(VxData::data(), false));
    EXPECT_FALSE(CModelUtilities::hexStringFromVxData(nullptr, true));

    auto hex = [](const VxNumberPtr& n, bool caps = false) {
        return CModelUtilities::hexStringFromVxNumber(n, caps)->str();
    };
    const std::string allOnes = "0x" + std::string(16, 'f');
    EXPECT_EQ(hex(VxNumber::numberWithInt(0)), "0x0");
    EXPECT_EQ(hex(VxNumber::numberWithInt(255), true), "0xFF");
    EXPECT_EQ(hex(VxNumber::numberWithInt(4096)), "0x1000");
    EXPECT_EQ(hex(VxNumber::numberWithUnsignedLongLong(std::numeric_limits<std::uint64_t>::max())),
              allOnes);
    EXPECT_EQ(hex(VxNumber::numberWithLongLong(std::numeric_limits<std::int64_t>::min())),
              "0x8000000000000000");
    // Negative values of every width give the 64-bit two's complement pattern.
    EXPECT_EQ(hex(VxNumber::numberWithInt(-1)), allOnes);
    EXPECT_EQ(hex(VxNumber::numberWithChar(-2)), "0xfffffffffffffffe");
    EXPECT_EQ(hex(VxNumber::numberWithDouble(255.9)), "0xff");
    EXPECT_EQ(hex(VxNumber::numberWithDouble(-1.0)), allOnes);
    EXPECT_EQ(hex(VxNumber::numberWithDouble(std::numeric_limits<double>::quiet_NaN())), "0x0");
    EXPECT_EQ(hex(VxNumber::numberWithDouble(1e30)), allOnes);
    EXPECT_FALSE(CModelUtilities::hexStringFromVxNumber(nullptr, false));
}

TEST(ModelUtilitiesCSV, DocumentOfRecords) {
    auto records =
        VxArray::arrayWithObjects({record("Ann", 3, true), record("Doe, Jane", -1, false)});
    const VxStringPtr csv = CModelUtilities::csvStringFromModelArray(records);
    ASSERT_TRUE(csv);
    EXPECT_EQ(csv->str(), "alpha,beta,gamma\nAnn,3,1\n\"Doe, Jane\",-1,0\n");

    EXPECT_FALSE(CModelUtilities::csvStringFromModelArray(nullptr));
    EXPECT_FALSE(CModelUtilities::csvStringFromModelArray(VxArray::array()));
    // An element that is not a record cannot give a row: no document.
    EXPECT_FALSE(CModelUtilities::csvStringFromModelArray(
        VxArray::arrayWithObjects({record("Ann", 3, true), VxString::make("loose")})));
}

TEST(ModelUtilitiesCSV, WritesFileAtomically) {
    TempDir dir;
    const fs::path file = dir / "records.csv";
    auto records = VxArray::arrayWithObjects({record("Ann", 3, true), record("Bob", 4, false)});
    auto url = VxURL::fileURLWithPath(file.string());

    VxErrorPtr error = VxError::errorWithDomain("stale", 1);
    ASSERT_TRUE(CModelUtilities::writeModelArray(records, url, &error));
    EXPECT_FALSE(error);
    EXPECT_EQ(readFile(file), "alpha,beta,gamma\nAnn,3,1\nBob,4,0\n");

    // Replacing a longer file leaves exactly the new document, keeps the
    // file's permissions and leaves no temporary file behind.
    std::ofstream(file) << std::string(4096, 'x');
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    auto one = VxArray::arrayWithObjects({record("Cy", 5, true)});
    ASSERT_TRUE(CModelUtilities::writeModelArray(one, url, &error));
    EXPECT_EQ(readFile(file), "alpha,beta,gamma\nCy,5,1\n");
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

    // No document: false, the file untouched, no error.
    error = VxError::errorWithDomain("stale", 1);
    EXPECT_FALSE(CModelUtilities::writeModelArray(VxArray::array(), url, &error));
    EXPECT_FALSE(error);
    EXPECT_FALSE(CModelUtilities::writeModelArray(nullptr, url));
    EXPECT_EQ(readFile(file), "alpha,beta,gamma\nCy,5,1\n");
}

TEST(ModelUtilitiesCSV, UnwritableDestinationsGiveErrors) {
    TempDir dir;
    auto records = VxArray::arrayWithObjects({record("Ann", 3, true)});
    auto failure = [&](const VxURLPtr& url) {
        VxErrorPtr error;
        EXPECT_FALSE(CModelUtilities::writeModelArray(records, url, &error));
        EXPECT_TRUE(error);
        return error ? error : VxError::errorWithDomain("missing", 0);
    };
    auto fileURL = [](const fs::path& path) { return VxURL::fileURLWithPath(path.string()); };

    const fs::path inMissingDir = dir / "no-such-dir/out.csv";
    VxErrorPtr error = failure(fileURL(inMissingDir));
    EXPECT_EQ(error->domain(), VxCocoaErrorDomain);
    EXPECT_EQ(error->code(), CModelUtilities::kFileNoSuchFileError);
    EXPECT_FALSE(fs::exists(inMissingDir));

    // A regular file as the parent directory, and a directory as the destination.
    const std::string plain = dir.write("plain", "keep");
    EXPECT_EQ(failure(fileURL(plain + "/out.csv"))->code(), CModelUtilities::kFileNoSuchFileError);
    EXPECT_EQ(readFile(plain), "keep");
    failure(fileURL(dir.path()));

    EXPECT_EQ(failure(VxURL::URLWithString("http://127.0.0.1/out.csv"))->code(),
              CModelUtilities::kFileWriteUnsupportedSchemeError);
    failure(nullptr);

    // A read-only directory (permissions do not bind the superuser).
    if (::geteuid() != 0) {
        const fs::path locked = dir / "locked";
        fs::create_directory(locked);
        fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
        error = failure(fileURL(locked / "out.csv"));
        EXPECT_EQ(error->code(), CModelUtilities::kFileWriteNoPermissionError);
        EXPECT_FALSE(error->localizedDescription().empty());
        fs::permissions(locked, fs::perms::owner_all);
    }
}

// A link at the destination stays a link and its target gets the document; a
// destination that is not a regular file is written, never replaced.
TEST(ModelUtilitiesCSV, WritesThroughLinksAndIntoSpecialFiles) {
    TempDir dir;
    auto records = VxArray::arrayWithObjects({record("Ann", 3, true)});
    const std::string document = "alpha,beta,gamma\nAnn,3,1\n";
    auto write = [&](const fs::path& path) {
        VxErrorPtr error;
        const bool ok = CModelUtilities::writeModelArray(
            records, VxURL::fileURLWithPath(path.string()), &error);
        EXPECT_EQ(ok, error == nullptr);
        return ok;
    };

    // A chain of two links (one relative) to a regular file, and a dangling link.
    const std::string target = dir.write("target.csv", "old");
    fs::create_symlink(target, dir / "hop");
    fs::create_symlink("hop", dir / "link.csv");
    ASSERT_TRUE(write(dir / "link.csv"));
    EXPECT_TRUE(fs::is_symlink(dir / "link.csv"));
    EXPECT_TRUE(fs::is_symlink(dir / "hop"));
    EXPECT_EQ(readFile(target), document);
    fs::create_symlink(dir / "later.csv", dir / "dangling.csv");
    ASSERT_TRUE(write(dir / "dangling.csv"));
    EXPECT_TRUE(fs::is_symlink(dir / "dangling.csv"));
    EXPECT_EQ(readFile(dir / "later.csv"), document);

    // A link cycle is an error, not a loop.
    fs::create_symlink("cycle-b", dir / "cycle-a");
    fs::create_symlink("cycle-a", dir / "cycle-b");
    EXPECT_FALSE(write(dir / "cycle-a"));

    // A device behind a link: written through, both stay what they were.
    fs::create_symlink("/dev/null", dir / "null.csv");
    EXPECT_TRUE(write(dir / "null.csv"));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));

    // A FIFO with a reader receives the document and stays a FIFO; without a
    // reader the write fails at once instead of waiting.
    const fs::path fifo = dir / "pipe.csv";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(write(fifo));
    std::string received;
    std::thread reader([&] { received = readFile(fifo); });
    // The reader opens the FIFO before the writer can succeed: retry briefly.
    bool written = false;
    for (int i = 0; i < 200 && !written; ++i) {
        written = write(fifo);
        if (!written) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!written) ::close(::open(fifo.c_str(), O_WRONLY));  // release the reader
    reader.join();
    EXPECT_TRUE(written);
    EXPECT_EQ(received, document);
    EXPECT_TRUE(fs::is_fifo(fifo));
}
