// File object, JSON getters, MD5 of files and Base64.

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <fstream>
#include <string>

#include <cjson/cJSON.h>
#include <unistd.h>

#include "kvt_json.h"
#include "kvt_osfile.h"
#include "sdk_test_support.h"

using namespace kvt;
using sdktest::ReportRecorder;

namespace {

std::string TempPath(const std::string &name) {
    return ::testing::TempDir() + "kvt_sdk_file_" + std::to_string(getpid()) + "_" + name;
}

std::string WriteTemp(const std::string &name, const std::string &content) {
    std::string path = TempPath(name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return path;
}

} // namespace

// ---- kvtOsFile ----

TEST(kvtOsFileTest, WriteSeekAndReadInPieces) {
    ReportRecorder reports;
    const std::string path = TempPath("pieces");
    {
        kvtOsFile file;
        ASSERT_EQ(file.Open(path, "wb"), 0);
        EXPECT_EQ(file.Write("0123456789", 10), 10);
        EXPECT_EQ(file.Write("abcdef", 6), 6);
    } // the destructor closes and flushes
    int size = -1;
    EXPECT_EQ(kvtOsFile::GetFileSize(path, &size), 0);
    EXPECT_EQ(size, 16);

    kvtOsFile file;
    ASSERT_EQ(file.Open(path, "rb"), 0);
    char buffer[8] = {0};
    EXPECT_EQ(file.SetTo(8), 0);
    EXPECT_EQ(file.Read(buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "89ab");
    EXPECT_EQ(file.Read(buffer, 8), 4) << "a short read at the end of the file";
    EXPECT_EQ(std::string(buffer, 4), "cdef");
    EXPECT_EQ(file.Read(buffer, 8), 0) << "end of file";
    EXPECT_EQ(file.SetTo(0), 0);
    EXPECT_EQ(file.Read(buffer, 2), 2);
    EXPECT_EQ(std::string(buffer, 2), "01");
    // Opening again closes the previous file first.
    ASSERT_EQ(file.Open(path, "rb"), 0);
    EXPECT_EQ(file.Close(), 0);
    EXPECT_EQ(file.Close(), 0);
    EXPECT_EQ(reports.Count(), 0u) << reports.Last();
    unlink(path.c_str());
}

TEST(kvtOsFileTest, FailuresReportAndReturnTheirCodes) {
    ReportRecorder reports;
    kvtOsFile file;
    char buffer[4];
    const struct {
        const char *what;
        int result;
        int expected;
        int number;
        const char *message;
    } cases[] = {
        {"read without file", file.Read(buffer, 4), -1, 2,
         "Custom Message - : ileFile handle is invalid, == 0\nStd Error "},
        {"write without file", file.Write(buffer, 4), -1, 2,
         "Custom Message - : ileFile handle is invalid, == 0\nStd Error "},
        {"seek without file", file.SetTo(3), 2, 2,
         "Custom Message - : ileFile handle is invalid, == 0\nStd Error "},
        {"size without pointer", kvtOsFile::GetFileSize("x", nullptr), 7, 7,
         "Custom Message - : io_size pointer == 0"},
    };
    std::vector<sdktest::ReportRecorder::Record> all = reports.All();
    ASSERT_EQ(all.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(cases[i].result, cases[i].expected) << cases[i].what;
        EXPECT_EQ(all[i].number, cases[i].number) << cases[i].what;
        EXPECT_NE(all[i].text.find(cases[i].message), std::string::npos) << cases[i].what << "\n"
                                                                         << all[i].text;
    }
    EXPECT_NE(all[0].text.find("Function ------- : kvt::kvtOsFile::Read"), std::string::npos);
    EXPECT_NE(all[1].text.find("Function ------- : kvt::kvtOsFile::Write"), std::string::npos);
    EXPECT_NE(all[2].text.find("Function ------- : kvt::kvtOsFile::SetTo"), std::string::npos);

    const std::string path = WriteTemp("nullbuffer", "data");
    ASSERT_EQ(file.Open(path, "r+b"), 0);
    reports.Clear();
    EXPECT_EQ(file.Read(nullptr, 4), -1);
    EXPECT_EQ(file.Write(nullptr, 4), -1);
    all = reports.All();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].number, 7);
    EXPECT_NE(all[0].text.find("Custom Message - : o_pBuffer pointer == 0"), std::string::npos);
    EXPECT_EQ(all[1].number, 7);
    EXPECT_NE(all[1].text.find("Custom Message - : pBuffer pointer == 0"), std::string::npos);
    reports.Clear();
    EXPECT_EQ(file.SetTo(-5), 2);
    EXPECT_TRUE(reports.Has("Custom Message - : Setting pointer to -5\nStd Error 22 Invalid argument"));
    unlink(path.c_str());
}

TEST(kvtOsFileTest, MissingFileFailsToOpenAndHasNoSize) {
    ReportRecorder reports;
    const std::string path = TempPath("does_not_exist");
    kvtOsFile file;
    EXPECT_EQ(file.Open(path, "rb"), 2);
    EXPECT_TRUE(reports.Has("Custom Message - : ileFile handle is invalid, == 0 " + path +
                            " mode:rb\nStd Error 2 No such file or directory"));
    EXPECT_TRUE(reports.Has("Function ------- : kvt::kvtOsFile::Open"));

    reports.Clear();
    int size = 99;
    EXPECT_EQ(kvtOsFile::GetFileSize(path, &size), 2);
    EXPECT_EQ(size, 0);
    std::vector<sdktest::ReportRecorder::Record> all = reports.All();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_NE(all[0].text.find("Function ------- : kvt::kvtOsFile::Open"), std::string::npos);
    EXPECT_NE(all[1].text.find("Custom Message - : Invalid file"), std::string::npos);
    EXPECT_NE(all[1].text.find("Function ------- : kvt::kvtOsFile::GetFileSize"), std::string::npos);
}

// ---- kvtJson ----

TEST(kvtJsonTest, LoadFromStringFailures) {
    ReportRecorder reports;
    kvtJson json;
    ASSERT_EQ(json.LoadFromString("{\"a\":1}"), 0);
    ASSERT_NE(json.GetRoot(), nullptr);

    EXPECT_EQ(json.LoadFromString(""), 7);
    EXPECT_EQ(json.GetRoot(), nullptr) << "a failed load leaves the object empty";
    EXPECT_TRUE(reports.Has("Custom Message - : strJsonData == \"\""));

    const struct {
        const char *text;
        const char *rest;
    } cases[] = {{"{", "{"}, {"{\"a\":1,}", "}"}, {"[1,2", "2"}, {"{\"a\" 1}", "1}"}, {"nope", "nope"}};
    for (const auto &c : cases) {
        reports.Clear();
        ASSERT_EQ(json.LoadFromString("{}"), 0);
        EXPECT_EQ(json.LoadFromString(c.text), 2) << c.text;
        EXPECT_EQ(json.GetRoot(), nullptr);
        ASSERT_EQ(reports.Count(), 1u);
        EXPECT_NE(
            reports.Last().find(std::string("Custom Message - : Can not parse json data ") + c.rest + "\n"),
            std::string::npos)
            << c.text << "\n"
            << reports.Last();
        EXPECT_NE(reports.Last().find("Function ------- : kvt::kvtJson::LoadFromString"), std::string::npos);
    }
}

TEST(kvtJsonTest, MembersAreFoundByName) {
    kvtJson json;
    ASSERT_EQ(json.LoadFromString("{\"err\":0,\"info\":\"done\",\"file\":\"/tmp/x\"}"), 0);
    std::string text;
    EXPECT_EQ(kvtJson::GetNodeValueAsString(kvtJson::GetMember(json.GetRoot(), "info"), &text), 0);
    EXPECT_EQ(text, "done");
    EXPECT_EQ(kvtJson::GetMember(json.GetRoot(), "missing"), nullptr);
    EXPECT_EQ(kvtJson::GetMember(nullptr, "info"), nullptr);
    int count = 0;
    for (cJSON *child = json.GetRoot()->child; child != nullptr; child = child->next)
        ++count;
    EXPECT_EQ(count, 3);
}

namespace {
// Parses "[value]" and hands its element to the check.
struct Node {
    explicit Node(const std::string &value) {
        EXPECT_EQ(json.LoadFromString("[" + value + "]"), 0) << value;
        node = json.GetRoot() ? json.GetRoot()->child : nullptr;
    }
    kvtJson json;
    cJSON *node = nullptr;
};
} // namespace

TEST(kvtJsonTest, NodeValueAsInt) {
    ReportRecorder reports;
    const struct {
        const char *json;
        int value;
    } cases[] = {
        {"false", 0},      {"null", 0},        {"true", 1},
        {"21", 21},        {"3.99", 3},        {"-3.99", -3},
        {"0", 0},          {"\"42abc\"", 42},  {"\" -17x\"", -17},
        {"\"+8\"", 8},     {"\"abc\"", 0},     {"\"\"", 0},
        {"1e20", INT_MAX}, {"-1e20", INT_MIN}, {"\"99999999999999999999\"", INT_MAX},
    };
    for (const auto &c : cases) {
        Node n(c.json);
        int value = -12345;
        EXPECT_EQ(kvtJson::GetNodeValueAsInt(n.node, &value), 0) << c.json;
        EXPECT_EQ(value, c.value) << c.json;
    }
    EXPECT_EQ(reports.Count(), 0u) << reports.Last();
}

TEST(kvtJsonTest, NodeValueAsString) {
    ReportRecorder reports;
    const struct {
        const char *json;
        unsigned precision;
        const char *value;
    } cases[] = {
        {"false", 3, "0"},   {"true", 3, "1"},        {"null", 3, ""},
        {"21", 3, "21.000"}, {"0.5", 3, "0.500"},     {"0.5", 1, "0.5"},
        {"-2.25", 0, "-2"},  {"\"text\"", 3, "text"}, {"\"\"", 3, ""},
    };
    for (const auto &c : cases) {
        Node n(c.json);
        std::string value = "old";
        EXPECT_EQ(kvtJson::GetNodeValueAsString(n.node, &value, c.precision), 0) << c.json;
        EXPECT_EQ(value, c.value) << c.json;
    }
    Node n("0.5");
    std::string value;
    EXPECT_EQ(kvtJson::GetNodeValueAsString(n.node, &value), 0);
    EXPECT_EQ(value, "0.500") << "precision 3 by default";
    EXPECT_EQ(reports.Count(), 0u) << reports.Last();
}

TEST(kvtJsonTest, GettersRejectContainersAndMissingPointers) {
    ReportRecorder reports;
    const struct {
        const char *json;
        int type;
    } cases[] = {{"{\"a\":1}", 64}, {"[1]", 32}};
    for (const auto &c : cases) {
        Node n(c.json);
        int number = 5;
        std::string text = "old";
        reports.Clear();
        EXPECT_EQ(kvtJson::GetNodeValueAsInt(n.node, &number), 2);
        EXPECT_EQ(number, 0);
        EXPECT_EQ(kvtJson::GetNodeValueAsString(n.node, &text), 2);
        EXPECT_EQ(text, "");
        EXPECT_EQ(
            reports.CountContaining("Custom Message - : Invalid Data type " + std::to_string(c.type) + "\n"),
            2u)
            << reports.Last();
    }
    Node n("1");
    int number = 0;
    std::string text;
    reports.Clear();
    EXPECT_EQ(kvtJson::GetNodeValueAsInt(n.node, nullptr), 7);
    EXPECT_EQ(kvtJson::GetNodeValueAsInt(nullptr, &number), 7);
    EXPECT_EQ(kvtJson::GetNodeValueAsString(n.node, nullptr), 7);
    EXPECT_EQ(kvtJson::GetNodeValueAsString(nullptr, &text), 7);
    EXPECT_EQ(reports.CountContaining("Custom Message - : o_pValue == 0"), 2u);
    EXPECT_EQ(reports.CountContaining("Custom Message - : pNode == 0"), 2u);
    EXPECT_TRUE(reports.Has("Function ------- : kvt::kvtJson::GetNodeValueAsInt"));
    EXPECT_TRUE(reports.Has("Function ------- : kvt::kvtJson::GetNodeValueAsString"));
}

// ---- MD5 and Base64 ----

TEST(kvtMd5Test, Rfc1321VectorsFromFilesAndBuffers) {
    ReportRecorder reports;
    const struct {
        const char *input;
        const char *digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto &c : cases) {
        std::string path = WriteTemp("md5", c.input);
        EXPECT_EQ(kvtMd5File(path), c.digest) << '"' << c.input << '"';
        EXPECT_EQ(kvtMd5Hex(c.input, strlen(c.input)), c.digest) << '"' << c.input << '"';
        unlink(path.c_str());
    }
    EXPECT_EQ(reports.Count(), 0u);
}

TEST(kvtMd5Test, FileLongerThanOnePiece) {
    std::string content;
    for (int i = 0; i < 200000; ++i)
        content += static_cast<char>(i % 251);
    std::string path = WriteTemp("md5_long", content);
    EXPECT_EQ(kvtMd5File(path), kvtMd5Hex(content.data(), content.size()));
    // From an open file: only what is left after the position.
    FILE *file = fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(fseek(file, 70000, SEEK_SET), 0);
    EXPECT_EQ(kvtMd5OfOpenFile(file), kvtMd5Hex(content.data() + 70000, content.size() - 70000));
    fclose(file);
    unlink(path.c_str());
}

TEST(kvtMd5Test, MissingFileGivesEmptyDigestAndReport) {
    ReportRecorder reports;
    const std::string path = TempPath("no_such_md5_file");
    EXPECT_EQ(kvtMd5File(path), "");
    ASSERT_EQ(reports.Count(), 1u);
    EXPECT_TRUE(reports.Has("Custom Message - : Cannot read file \"" + path + "\"."));
    // Callers that answer an empty text themselves ask for no report.
    EXPECT_EQ(kvtMd5File(path, false), "");
    EXPECT_EQ(kvtMd5OfOpenFile(nullptr), "");
    EXPECT_EQ(reports.Count(), 1u);
}

TEST(kvtMd5Test, HexTextTwoLowerCaseDigitsPerByte) {
    const unsigned char bytes[] = {0x00, 0x09, 0x0a, 0xf0, 0xff};
    EXPECT_EQ(kvtHexText(bytes, sizeof bytes), "00090af0ff");
    EXPECT_EQ(kvtHexText(bytes, 0), "");
}

TEST(kvtBase64Test, Rfc4648Vectors) {
    const struct {
        const char *input;
        const char *encoded;
    } cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(kvtBase64Encode(reinterpret_cast<const unsigned char *>(c.input), strlen(c.input)),
                  c.encoded)
            << c.input;
}

TEST(kvtBase64Test, AllByteValuesWithoutLineBreaks) {
    const unsigned char high[] = {0xFF, 0xFE, 0xFD, 0x00, 0x80};
    EXPECT_EQ(kvtBase64Encode(high, 5), "//79AIA=");
    std::string bytes(300, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i);
    std::string text = kvtBase64Encode(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
    EXPECT_EQ(text.size(), 400u);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_EQ(kvtBase64Encode(nullptr, 0), "");
}
