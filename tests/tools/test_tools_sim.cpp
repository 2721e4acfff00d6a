// Pieces of the simulator that decide what clients may do: path confinement, the command-line
// table, frame extraction from the byte stream, Zephron checks and parameter writes.
#include "simcommandlines.h"
#include "simlisting.h"
#include "simparameters.h"
#include "simsandbox.h"
#include "simsession.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/vyxsimtest.XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string path;
};

class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(sandbox.open(dir.path + "/root", 8192, error)) << error;
    }
    TempDir dir;
    SimSandbox sandbox;
};

} // namespace

TEST_F(SandboxTest, ResolvesOnlyInsideTheFileTree) {
    struct Case {
        const char *path;
        bool allowed;
        const char *inside; // expected result below the file tree when allowed
    } cases[] = {
        {"a/b", true, "/a/b"}, {"./a//b/", true, "/a/b"},  {"a/../b", true, "/b"},
        {"", false, ""},       {"/etc/passwd", false, ""}, {"..", false, ""},
        {"../x", false, ""},   {"a/../../x", false, ""},   {"a/b/../../../x", false, ""},
    };
    for (const Case &c : cases) {
        std::string out, why;
        EXPECT_EQ(sandbox.resolve(c.path, out, why), c.allowed) << c.path;
        if (c.allowed) {
            EXPECT_EQ(out, sandbox.filesRoot() + c.inside) << c.path;
        } else {
            EXPECT_FALSE(why.empty()) << c.path;
        }
    }
}

TEST_F(SandboxTest, LinksLeadingOutAreRefused) {
    ASSERT_EQ(mkdir((dir.path + "/outside").c_str(), 0755), 0);
    ASSERT_EQ(symlink((dir.path + "/outside").c_str(), (sandbox.filesRoot() + "/link").c_str()), 0);
    std::string out, why;
    EXPECT_FALSE(sandbox.resolve("link/new", out, why));
    EXPECT_EQ(sandbox.createFolder("link/sub").err, 1);
    EXPECT_NE(access((dir.path + "/outside/sub").c_str(), F_OK), 0);
}

TEST_F(SandboxTest, NewRootIsPrivateAndForeignRootsAreRefused) {
    struct stat st {};
    ASSERT_EQ(stat((dir.path + "/root").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(sandbox.filesRoot().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    if (geteuid() != 0)
        GTEST_SKIP() << "giving the root to another user needs root";
    const std::string foreign = dir.path + "/foreign";
    ASSERT_EQ(mkdir(foreign.c_str(), 0777), 0);
    ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
    SimSandbox other;
    std::string error;
    EXPECT_FALSE(other.open(foreign, 1000, error));
    EXPECT_NE(error.find("another user"), std::string::npos) << error;
}

// A link put in place of a file the simulator reads or writes is never followed.
TEST_F(SandboxTest, LinkedFilesAreNotFollowed) {
    const std::string secret = dir.path + "/secret";
    std::ofstream(secret) << "secret";
    ASSERT_EQ(unlink(sandbox.dbPath().c_str()), 0);
    ASSERT_EQ(symlink(secret.c_str(), sandbox.dbPath().c_str()), 0);
    EXPECT_EQ(sandbox.dbMd5(), "");
    std::vector<unsigned char> bytes;
    EXPECT_FALSE(sandbox.readDb(0, 6, bytes));

    EXPECT_EQ(simOpenNoFollow(sandbox.dbPath(), "wb"), nullptr);
    EXPECT_EQ(simOpenNoFollow(sandbox.dbPath(), "rb"), nullptr);
    std::ifstream in(secret);
    std::string text;
    in >> text;
    EXPECT_EQ(text, "secret");
}

TEST_F(SandboxTest, FileOperationsAndDatabaseReplacement) {
    EXPECT_EQ(sandbox.createFolder("d/e").err, 0);
    EXPECT_EQ(sandbox.createFile("d/e/f").err, 0);
    size_t written = 0;
    const unsigned char data[] = {'a', 'b', 'c'};
    EXPECT_EQ(sandbox.appendFile("d/e/f", data, 3, written).err, 0);
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(sandbox.fileMd5("d/e/f"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(sandbox.fileMd5("d/e/missing"), "");
    EXPECT_EQ(sandbox.deleteFolder(".").err, 1);

    std::string md5;
    EXPECT_EQ(sandbox.replaceDb("d/e/f", "00000000000000000000000000000000", md5).err, 2);
    EXPECT_EQ(sandbox.dbSize(), 8192u);
    // The database the sandbox started with is an SQLite file, as a server keeps.
    std::vector<unsigned char> head;
    ASSERT_TRUE(sandbox.readDb(0, 16, head));
    EXPECT_EQ(std::string(head.begin(), head.end()), std::string("SQLite format 3\0", 16));
    EXPECT_EQ(sandbox.replaceDb("d/e/f", "900150983cd24fb0d6963f7d28e17f72", md5).err, 0);
    EXPECT_EQ(md5, "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(sandbox.dbMd5(), md5);
    EXPECT_EQ(sandbox.deleteFolder("d").err, 0);
}

TEST_F(SandboxTest, CommandLinesNeverReachAShell) {
    SimCommandLines lines(sandbox);
    struct Case {
        std::string line;
        int err;
        const char *info;
    } cases[] = {
        {"kill $(pidof mono)", 0, "restarted"},
        {"chown vyxweb:vyxweb logic/ -R", 0, "vyxweb"},
        {"/nalrio/bin/nalrio_guardian reboot", 0, "reboot"},
        {"/home/nalrio/bin/knxd.sh start 15.15.250 15.15.251:2", 0, "knxd started"},
        {"/home/nalrio/bin/knxd.sh stop", 0, "knxd stopped"},
        {"echo 'a  b' \"c\"", 0, "a  b c"},
        {"rm plugin.tar.gz", 1, "plugin.tar.gz"},
        {"tar -xzf plugin.tar.gz", 2, "No such file"},
        {"cat ../../etc/passwd", 1, "leaves the server folder"},
        {"sh -c 'id'", 1, "sh: not available in the simulator"},
        {"reboot", 1, "reboot: not available in the simulator"},
        {"ls -la /etc", 2, "ls: cannot access '/etc': absolute paths are not allowed"},
        {"ls -la ../..", 2, "leaves the server folder"},
        {"ls -la missing", 2, "ls: cannot access 'missing': No such file or directory"},
        {"ls -R", 2, "only -l and -a"},
        {"mkdir -p a/b", 0, "Folder created"},
        {"md5sum a", 1, "No such file"},
        {"uname -a", 0, "simulated"},
        {"", 1, "empty"},
    };
    for (const Case &c : cases) {
        SimResult r = lines.run(c.line);
        EXPECT_EQ(r.err, c.err) << c.line;
        EXPECT_NE(r.info.find(c.info), std::string::npos) << c.line << " -> " << r.info;
    }
}

namespace {

std::string runProgram(const std::string &command) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE *)> p(popen(command.c_str(), "r"), &pclose);
    char buffer[4096];
    size_t n;
    while (p && (n = fread(buffer, 1, sizeof buffer, p.get())) > 0)
        out.append(buffer, n);
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

void replaceAll(std::string &s, const std::string &from, const std::string &to) {
    for (size_t pos = 0; (pos = s.find(from, pos)) != std::string::npos; pos += to.size())
        s.replace(pos, from.size(), to);
}

} // namespace

// The long listing is the one GNU ls prints for the same folder (owners aside: the simulator
// names the server's user), with recent and old dates, wide sizes and a link.
TEST_F(SandboxTest, LongListingMatchesGnuLs) {
    const std::string top = sandbox.filesRoot();
    ASSERT_EQ(sandbox.createFolder("logic/plugins").err, 0);
    size_t written = 0;
    const std::string big(123456, 'x');
    ASSERT_EQ(sandbox
                  .appendFile("logic/big.bin", reinterpret_cast<const unsigned char *>(big.data()),
                              big.size(), written)
                  .err,
              0);
    ASSERT_EQ(sandbox.createFile("logic/old file.txt").err, 0);
    ASSERT_EQ(sandbox.createFile("logic/.hidden").err, 0);
    ASSERT_EQ(symlink("big.bin", (top + "/logic/latest").c_str()), 0);
    chmod((top + "/logic/big.bin").c_str(), 0640);
    const struct timespec old[2] = {{978307200, 0}, {978307200, 0}}; // 2001-01-01
    ASSERT_EQ(utimensat(AT_FDCWD, (top + "/logic/old file.txt").c_str(), old, 0), 0);

    for (const bool all : {true, false}) {
        SimResult r = simLongListing(sandbox, "logic", all, std::time(nullptr));
        ASSERT_EQ(r.err, 0) << r.info;
        std::string expected =
            runProgram("cd '" + top + "' && LC_ALL=C ls -ln" + (all ? "a" : "") + " logic");
        std::string got = r.info;
        replaceAll(got, " vyxweb vyxweb ",
                   " " + std::to_string(getuid()) + " " + std::to_string(getgid()) + " ");
        EXPECT_EQ(got, expected);
    }
    EXPECT_NE(simLongListing(sandbox, "logic", true, std::time(nullptr)).info.find("latest -> big.bin"),
              std::string::npos);
    // One file: its own line, under the name it was asked by.
    SimResult one = simLongListing(sandbox, "logic/big.bin", true, std::time(nullptr));
    EXPECT_EQ(one.err, 0);
    EXPECT_EQ(one.info.substr(0, 11), "-rw-r----- ");
    EXPECT_EQ(one.info.substr(one.info.size() - 14), " logic/big.bin");
    // The top of the tree shows nothing of what lies above it: ".." is the tree itself.
    SimResult root = simLongListing(sandbox, ".", true, std::time(nullptr));
    EXPECT_EQ(root.err, 0);
    EXPECT_NE(root.info.find(" ..\n"), std::string::npos) << root.info;
}

namespace {

std::string header(uint32_t code, uint8_t type, uint8_t kind, uint32_t value, bool goodChecksum = true) {
    uint32_t word = code * 4096u + type * 16u + kind;
    std::string h(9, '\0');
    for (int i = 0; i < 4; ++i) {
        h[size_t(i)] = char(uint8_t(word >> (8 * i)));
        h[size_t(4 + i)] = char(uint8_t(value >> (8 * i)));
    }
    uint8_t x = 0;
    for (int i = 0; i < 8; ++i)
        x ^= uint8_t(h[size_t(i)]);
    h[8] = char(goodChecksum ? x : x ^ 1);
    return h;
}

} // namespace

TEST(SimSession, ExtractsWholeFramesFromTheStream) {
    SimSession s(-1, "test");
    kvt::kvtOlmoFrame f;
    s.input = header(1010021, 3, 0, 0, false) + header(1010021, 3, 0, 0) + header(1010024, 12, 1, 3);
    EXPECT_EQ(s.extract(f), SimSession::Skipped);
    ASSERT_EQ(s.extract(f), SimSession::Frame);
    EXPECT_EQ(f.GetCode(), 1010021u);
    EXPECT_EQ(s.extract(f), SimSession::NeedMore); // the text's 3 bytes are still missing
    s.input += std::string("ok\0", 3);
    ASSERT_EQ(s.extract(f), SimSession::Frame);
    EXPECT_STREQ(f.GetAsString(), "ok");
    EXPECT_EQ(s.extract(f), SimSession::NeedMore);

    SimSession big(-1, "test");
    big.input = header(1010014, 13, 1, 64u * 1024u * 1024u + 1u);
    EXPECT_EQ(big.extract(f), SimSession::TooLarge);
}

TEST(SimParameters, DefaultTableAndWriteConversions) {
    SimParameters p;
    p.loadDefaults();
    EXPECT_GE(p.size(), 40u);
    ASSERT_NE(p.find(999997), nullptr);
    EXPECT_EQ(p.find(999997)->type, SimString);
    int seen[16] = {};
    for (uint32_t id : p.ids())
        ++seen[p.find(id)->type];
    for (int type : {SimByte, SimUInt, SimULong, SimFloat, SimString})
        EXPECT_GT(seen[type], 0) << type;

    struct Case {
        uint32_t id;
        SimWrittenValue value;
        bool accepted;
        const char *text;
    } cases[] = {
        {100001, {3, 1, 0, ""}, true, "1"},
        {100001, {7, 300, 0, ""}, true, "255"},
        {100201, {12, 0, 0, "21.5"}, true, "21.5"},
        {100201, {12, 0, 0, "warm"}, false, "21.5"},
        {100301, {10, 0, 12.75f, ""}, true, "12"},
        {100501, {7, 42, 0, ""}, true, "42"},
        {100501, {12, 0, 0, "Cellar"}, true, "Cellar"},
        {4242, {3, 1, 0, ""}, false, nullptr},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(p.write(c.id, c.value), c.accepted) << c.id;
        if (c.text) {
            EXPECT_EQ(SimParameters::valueText(*p.find(c.id)), c.text) << c.id;
        }
    }
}

TEST(SimParameters, LoadsAFileAndRejectsBadEntries) {
    TempDir dir;
    std::string path = dir.path + "/p.json";
    std::ofstream(path) << R"([{"id":5,"name":"Lamp","type":"byte","value":1},
                                {"id":6,"type":"string","value":"x"}])";
    SimParameters p;
    std::string error;
    ASSERT_TRUE(p.loadFile(path, error)) << error;
    EXPECT_EQ(p.size(), 2u);
    EXPECT_EQ(p.find(5)->name, "Lamp");
    std::ofstream(path) << R"({"parameters":[{"id":2000000,"type":"byte"}]})";
    EXPECT_FALSE(p.loadFile(path, error));
    std::ofstream(path) << R"([{"id":7,"type":"double"}])";
    EXPECT_FALSE(p.loadFile(path, error));
}

TEST(SimParameters, LiveChangesGoRoundTheWholeTable) {
    SimParameters p;
    // A synthetic table: identifiers 1..N, the types taking turns.
    p.loadSynthetic(10);
    ASSERT_EQ(p.size(), 10u);
    const int types[] = {SimByte, SimUInt, SimULong, SimFloat, SimString};
    for (uint32_t id = 1; id <= 10; ++id)
        EXPECT_EQ(p.find(id)->type, types[(id - 1) % 5]) << id;
    // One round of changes touches every parameter once, each value differs afterwards.
    std::map<uint32_t, std::string> before;
    for (uint32_t id : p.ids())
        before[id] = SimParameters::valueText(*p.find(id));
    std::set<uint32_t> touched;
    for (int i = 0; i < 10; ++i)
        touched.insert(p.liveStep()->id);
    EXPECT_EQ(touched.size(), 10u);
    for (uint32_t id : p.ids())
        EXPECT_NE(SimParameters::valueText(*p.find(id)), before[id]) << id;
    EXPECT_EQ(p.liveStep()->id, 1u);

    // The logic channel carries the editor's JSON: changes never touch it.
    p.loadDefaults();
    for (size_t i = 0; i < 3 * p.size(); ++i)
        EXPECT_NE(p.liveStep()->id, 999997u);
    EXPECT_EQ(p.find(999997)->text, "{}");

    // A file that fails half-way leaves nothing behind for the changes to reach.
    TempDir dir;
    std::string path = dir.path + "/p.json";
    std::ofstream(path) << R"([{"id":5,"type":"byte"},{"id":7,"type":"double"}])";
    std::string error;
    EXPECT_FALSE(p.loadFile(path, error));
    for (int i = 0; i < 3; ++i) {
        const SimParameter *changed = p.liveStep();
        ASSERT_NE(changed, nullptr);
        EXPECT_EQ(p.find(changed->id), changed);
    }
}
