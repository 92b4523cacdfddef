#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "model/CDictionaryModel.h"
#include "model/CModelUtilities.h"
#include "platform/VxJSON.h"

namespace fs = std::filesystem;

// A record written to CSV in the tests below.
class ModelUtilitiesCSVRecord : public CDictionaryModel {
    CPM_DECLARE_MODEL(ModelUtilitiesCSVRecord)
  public:
    ModelUtilitiesCSVRecord() = default;
};

CPM_DEFINE_MODEL(ModelUtilitiesCSVRecord, CDictionaryModel, {"name", "T@\"VxString\",C,D"},
                 {"count", "T@\"VxNumber\",C,D"}, {"flag", "TB,D"});

namespace {

class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "model-utilities-XXXXXX").string();
        if (::mkdtemp(pattern.data())) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) {
            fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
            fs::remove_all(path_, ec);
        }
    }
    const fs::path& path() const { return path_; }
    std::string write(const std::string& name, const std::string& content) const {
        const fs::path file = path_ / name;
        std::ofstream(file) << content;
        return file.string();
    }

  private:
    fs::path path_;
};

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string versionFrom(const std::vector<std::string>& paths) {
    return CModelUtilities::systemVersionFromReleaseFiles(paths)->str();
}

std::shared_ptr<ModelUtilitiesCSVRecord> record(const char* name, std::int64_t count, bool flag) {
    return ModelUtilitiesCSVRecord::modelWithDictionary(
        VxDictionary::dictionaryWithPairs({{"name", VxString::make(name)},
                                           {"count", VxNumber::numberWithLongLong(count)},
                                           {"flag", VxNumber::numberWithBool(flag)}}));
}

class ModelUtilitiesCSV : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ModelUtilitiesCSVRecord::setOrderedPropertyNames(VxArray::arrayWithObjects(
            {VxString::make("name"), VxString::make("count"), VxString::make("flag")}));
    }
};

}  // namespace

TEST(ModelUtilities, SystemVersionFromReleaseInformation) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string quoted = dir.write("quoted",
                                         "# comment\nNAME=\"Some OS\"\n"
                                         "VERSION_ID=\"12.4\"\nVERSION=\"12 (x)\"\n");
    const std::string bare = dir.write("bare", "ID=x\nVERSION_ID=13\n");
    const std::string single = dir.write("single", "VERSION_ID='2024.1'\n");
    const std::string escaped = dir.write("escaped", "VERSION_ID=\"1.\\\"2\\\"\"\n");
    const std::string none = dir.write("none", "NAME=rolling\nVERSION_ID\n");
    const std::string empty = dir.write("empty", "VERSION_ID=\"\"\n");
    const std::string missing = (dir.path() / "missing").string();

    EXPECT_EQ(versionFrom({quoted}), "12.4");
    EXPECT_EQ(versionFrom({bare}), "13");
    EXPECT_EQ(versionFrom({single}), "2024.1");
    EXPECT_EQ(versionFrom({escaped}), "1.\"2\"");
    EXPECT_EQ(versionFrom({none}), "1.0.0");
    EXPECT_EQ(versionFrom({empty}), "1.0.0");
    EXPECT_EQ(versionFrom({missing}), "1.0.0");
    EXPECT_EQ(versionFrom({}), "1.0.0");
    // The first file that exists is the release information; a later one is
    // read only when the earlier ones are missing.
    EXPECT_EQ(versionFrom({missing, bare}), "13");
    EXPECT_EQ(versionFrom({none, bare}), "1.0.0");
    EXPECT_EQ(versionFrom({dir.path().string(), bare}), "1.0.0");  // a directory has no version

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
    EXPECT_EQ(classOf("T@\"ModelUtilitiesCSVRecord\",&"), &ModelUtilitiesCSVRecord::classObject());
    EXPECT_EQ(classOf("T@\"VxArray"), &VxArray::classObject());  // unterminated name

    EXPECT_EQ(classOf("TB,D"), nullptr);
    EXPECT_EQ(classOf("T@,&,VtestResults"), nullptr);
    EXPECT_EQ(classOf("T@?"), nullptr);
    EXPECT_EQ(classOf("T@\"NoSuchRegisteredClass\",C,D"), nullptr);
    EXPECT_EQ(classOf("T@\"\",C"), nullptr);
    EXPECT_EQ(classOf("T,C,D"), nullptr);
    EXPECT_EQ(classOf("C,D"), nullptr);
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

TEST_F(ModelUtilitiesCSV, DocumentOfRecords) {
    auto records = VxArray::arrayWithObjects({record("Ann", 3, true), record("Bob", -1, false)});
    const VxStringPtr csv = CModelUtilities::csvStringFromModelArray(records);
    ASSERT_TRUE(csv);
    EXPECT_EQ(csv->str(), "name,count,flag\nAnn,3,1\nBob,-1,0\n");

    // A value holding the delimiter stays one field.
    auto tricky = VxArray::arrayWithObjects({record("Doe, Jane", 1, false)});
    EXPECT_EQ(CModelUtilities::csvStringFromModelArray(tricky)->str(),
              "name,count,flag\n\"Doe, Jane\",1,0\n");

    EXPECT_FALSE(CModelUtilities::csvStringFromModelArray(nullptr));
    EXPECT_FALSE(CModelUtilities::csvStringFromModelArray(VxArray::array()));
    // An element that is not a record cannot give a row: no document.
    EXPECT_FALSE(CModelUtilities::csvStringFromModelArray(
        VxArray::arrayWithObjects({record("Ann", 3, true), VxString::make("loose")})));
}

TEST_F(ModelUtilitiesCSV, WritesFileAtomically) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const fs::path file = dir.path() / "records.csv";
    auto records = VxArray::arrayWithObjects({record("Ann", 3, true), record("Bob", 4, false)});
    auto url = VxURL::fileURLWithPath(file.string());

    VxErrorPtr error = VxError::errorWithDomain("stale", 1);
    ASSERT_TRUE(CModelUtilities::writeModelArray(records, url, &error));
    EXPECT_FALSE(error);
    EXPECT_EQ(readFile(file), "name,count,flag\nAnn,3,1\nBob,4,0\n");

    // Replacing a longer file leaves exactly the new document, keeps the
    // file's permissions and leaves no temporary file behind.
    std::ofstream(file) << std::string(4096, 'x');
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    auto one = VxArray::arrayWithObjects({record("Cy", 5, true)});
    ASSERT_TRUE(CModelUtilities::writeModelArray(one, url, &error));
    EXPECT_EQ(readFile(file), "name,count,flag\nCy,5,1\n");
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

    // No document: false, the file untouched, no error.
    error = VxError::errorWithDomain("stale", 1);
    EXPECT_FALSE(CModelUtilities::writeModelArray(VxArray::array(), url, &error));
    EXPECT_FALSE(error);
    EXPECT_FALSE(CModelUtilities::writeModelArray(nullptr, url));
    EXPECT_EQ(readFile(file), "name,count,flag\nCy,5,1\n");
}

TEST_F(ModelUtilitiesCSV, UnwritableDestinationsGiveErrors) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    auto records = VxArray::arrayWithObjects({record("Ann", 3, true)});

    VxErrorPtr error;
    const fs::path inMissingDir = dir.path() / "no-such-dir" / "out.csv";
    EXPECT_FALSE(CModelUtilities::writeModelArray(
        records, VxURL::fileURLWithPath(inMissingDir.string()), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), VxCocoaErrorDomain);
    EXPECT_EQ(error->code(), CModelUtilities::kFileNoSuchFileError);
    EXPECT_FALSE(fs::exists(inMissingDir));

    // A regular file as the parent directory, and a directory as the destination.
    const std::string plain = dir.write("plain", "keep");
    error = nullptr;
    EXPECT_FALSE(CModelUtilities::writeModelArray(
        records, VxURL::fileURLWithPath(plain + "/out.csv"), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), CModelUtilities::kFileNoSuchFileError);
    EXPECT_EQ(readFile(plain), "keep");
    error = nullptr;
    EXPECT_FALSE(CModelUtilities::writeModelArray(
        records, VxURL::fileURLWithPath(dir.path().string()), &error));
    EXPECT_TRUE(error);

    error = nullptr;
    EXPECT_FALSE(CModelUtilities::writeModelArray(
        records, VxURL::URLWithString("http://127.0.0.1/out.csv"), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), CModelUtilities::kFileWriteUnsupportedSchemeError);

    error = nullptr;
    EXPECT_FALSE(CModelUtilities::writeModelArray(records, nullptr, &error));
    EXPECT_TRUE(error);

    // A read-only directory (permissions do not bind the superuser).
    if (::geteuid() != 0) {
        const fs::path locked = dir.path() / "locked";
        fs::create_directory(locked);
        fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
        error = nullptr;
        EXPECT_FALSE(CModelUtilities::writeModelArray(
            records, VxURL::fileURLWithPath((locked / "out.csv").string()), &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), CModelUtilities::kFileWriteNoPermissionError);
        EXPECT_FALSE(error->localizedDescription().empty());
        fs::permissions(locked, fs::perms::owner_all);
    }
}
