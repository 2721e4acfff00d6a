// The backup vault's layout, retention and manifest reading, on real files in a temporary folder.
#include "fleet.h"
#include "vault.h"

#include <kvt_osfile.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class VaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vyxvault.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + m_dir + "'").c_str()); }

    static void write(const std::string &path, const std::string &body) {
        std::ofstream(path, std::ios::binary) << body;
    }

    // A download as the fleet leaves it: a part file in the site folder, then added.
    VaultEntry addCopy(const Vault &v, const std::string &body, int64_t time, int keep = 0) {
        std::string error;
        const std::string part = v.partPath("127.0.0.1", 18000, error);
        EXPECT_FALSE(part.empty()) << error;
        write(part, body);
        VaultEntry e;
        EXPECT_TRUE(v.add("Office", "127.0.0.1", 18000, part, kvt::kvtMd5Hex(body.data(), body.size()),
                          "vyxsim 1", time, keep, e, error))
            << error;
        return e;
    }

    std::string m_dir;
};

TEST(VaultNames, SiteFoldersAreOneHarmlessPathElement) {
    const struct {
        const char *host;
        int port;
        const char *folder;
    } cases[] = {
        {"127.0.0.1", 18000, "127.0.0.1_18000"},
        {"Office.Example", 1, "office.example_1"},
        {"::1", 5, "__1_5"},
        {"../x", 1, "_.._x_1"},
        {"", 7, "__7"},
        {"a/b\\c", 2, "a_b_c_2"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Vault::siteFolder(c.host, c.port), c.folder) << c.host;
}

TEST_F(VaultTest, CopiesAreNamedByDateAndMd5WithAManifestRow) {
    Vault v(m_dir);
    const VaultEntry e = addCopy(v, "database one", 1764581400); // 2025-12-01T09:30:00Z
    EXPECT_EQ(e.file, "2025-12-01T09-30-00Z_" + kvt::kvtMd5Hex("database one", 12) + ".db");
    EXPECT_EQ(kvt::kvtMd5File(v.filePath(e)), e.md5);
    // The same content in the same second gets a name of its own.
    const VaultEntry again = addCopy(v, "database one", 1764581400);
    EXPECT_NE(again.file, e.file);
    const auto rows = v.list("127.0.0.1", 18000);
    ASSERT_EQ(rows.size(), 2u);
    // Within one second the copy added last is the newest, whatever its name sorts as.
    EXPECT_EQ(rows[0].file, again.file);
    const VaultEntry third = addCopy(v, "database two", 1764581400);
    EXPECT_EQ(v.list("127.0.0.1", 18000)[0].file, third.file);
    EXPECT_EQ(rows[0].site, "Office");
    EXPECT_EQ(rows[0].version, "vyxsim 1");
    EXPECT_EQ(rows[0].size, 12u);
    EXPECT_TRUE(rows[0].verified);
}

TEST_F(VaultTest, ACopyThatDoesNotMatchTheServerDigestIsNotKept) {
    Vault v(m_dir);
    std::string error;
    const std::string part = v.partPath("127.0.0.1", 18000, error);
    write(part, "truncated");
    VaultEntry e;
    EXPECT_FALSE(
        v.add("Office", "127.0.0.1", 18000, part, kvt::kvtMd5Hex("complete", 8), "", 1, 0, e, error));
    EXPECT_NE(error.find("does not match"), std::string::npos);
    EXPECT_NE(access(part.c_str(), F_OK), 0);
    EXPECT_TRUE(v.list("127.0.0.1", 18000).empty());
}

TEST_F(VaultTest, RetentionKeepsTheNewestAndNeverTheNewestVerifiedCopy) {
    Vault v(m_dir);
    std::vector<VaultEntry> copies;
    for (int i = 1; i <= 4; ++i)
        copies.push_back(addCopy(v, "copy " + std::to_string(i), 1000 * i, 2));
    auto rows = v.list("127.0.0.1", 18000);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].time, 4000);
    EXPECT_EQ(rows[1].time, 3000);
    EXPECT_NE(access(v.filePath(copies[0]).c_str(), F_OK), 0);

    // The two newest copies were damaged on disk: keeping one must not leave only damaged ones.
    addCopy(v, "copy 5", 5000);
    write(v.filePath(rows[0]), "damaged");
    std::ofstream(v.filePath(v.list("127.0.0.1", 18000)[0]), std::ios::app) << "x";
    std::string error;
    EXPECT_EQ(v.prune("127.0.0.1", 18000, 1, error), 1) << error;
    rows = v.list("127.0.0.1", 18000, true);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].time, 5000);
    EXPECT_FALSE(rows[0].verified);
    EXPECT_EQ(rows[1].time, 3000);
    EXPECT_TRUE(rows[1].verified);
}

TEST_F(VaultTest, ADamagedManifestYieldsOnlyItsSoundRows) {
    Vault v(m_dir);
    const VaultEntry good = addCopy(v, "kept", 2000);
    const std::string manifest = v.sitePath("127.0.0.1", 18000) + "/manifest.jsonl";
    std::ofstream out(manifest, std::ios::app);
    const std::string md5(32, 'a');
    out << "not json\n"
        << std::string(Vault::kMaxLineBytes * 3, '{') << "\n"
        << R"({"host":"127.0.0.1","port":18000,"time":3000,"md5":")" << md5
        << R"(","file":"../../escape.db"})"
        << "\n"
        << R"({"host":"127.0.0.1","port":18000,"time":3000,"md5":"XYZ","file":"a.db"})"
        << "\n"
        << R"({"host":"127.0.0.1","port":99999,"time":3000,"md5":")" << md5 << R"(","file":"b.db"})"
        << "\n";
    out.close();
    const auto rows = v.list("127.0.0.1", 18000);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].file, good.file);
    // A file that went away is no longer a verified copy.
    unlink(v.filePath(good).c_str());
    EXPECT_FALSE(v.list("127.0.0.1", 18000, true)[0].verified);
}

TEST_F(VaultTest, SitesFileTakesPasswordsOnlyFromTheEnvironmentOrAnOwnerOnlyFile) {
    const std::string pw = m_dir + "/pw";
    write(pw, "s3cret\nignored");
    chmod(pw.c_str(), 0600);
    setenv("FLEET_TEST_PW", "fromenv", 1);
    std::vector<FleetSite> sites;
    std::string error;
    ASSERT_TRUE(parseFleetSites(R"({"sites":[{"host":"10.0.0.1","passwordFile":"pw"},
        {"name":"B","host":"10.0.0.2","port":"18001","user":"bob","passwordEnv":"FLEET_TEST_PW"}]})",
                                m_dir, sites, error))
        << error;
    ASSERT_EQ(sites.size(), 2u);
    EXPECT_EQ(sites[0].password, "s3cret");
    EXPECT_EQ(sites[0].name, "10.0.0.1:18000");
    EXPECT_EQ(sites[1].password, "fromenv");
    EXPECT_EQ(sites[1].port, 18001);
    EXPECT_EQ(sites[1].user, "bob");

    chmod(pw.c_str(), 0644);
    const struct {
        const char *json;
        const char *error;
    } refused[] = {
        {R"([{"host":"h","passwordFile":"pw"}])", "readable by you alone"},
        {R"([{"host":"h","password":"x"}])", "passwordEnv or passwordFile"},
        {R"([{"host":"h","passwordEnv":"FLEET_TEST_UNSET"}])", "is not set"},
        {R"([{"host":"h","port":0}])", "invalid port"},
        {R"([{"port":1}])", "no valid \"host\""},
        {R"({"hosts":[]})", "no list of sites"},
        {R"([1])", "not an object"},
        {"[", "not JSON"},
    };
    for (const auto &c : refused) {
        EXPECT_FALSE(parseFleetSites(c.json, m_dir, sites, error)) << c.json;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.json << ": " << error;
    }
}

} // namespace
