// The Qt-free guards: terminal-safe text, the password sources, and the SSH tunnel's address
// checks and failures (its working path runs end to end in tools_e2e.sh, case tunnel).
#include "secretsource.h"
#include "sshtunnel.h"
#include "terminaltext.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(TerminalText, ControlCharactersBecomeEscapes) {
    const struct {
        std::string in;
        bool keepLines;
        std::string out;
    } cases[] = {
        {"plain text, ü", true, "plain text, ü"},
        {"a\x1b]0;owned\x07"
         "b",
         true, "a\\u001b]0;owned\\u0007b"},
        {"red \x1b[31m", false, "red \\u001b[31m"},
        {"line\nnext\tcell\r", true, "line\nnext\tcell\\u000d"},
        {"line\nnext\tcell", false, "line\\u000anext\\u0009cell"},
        {"del\x7f", true, "del\\u007f"},
        {"csi \xc2\x9b"
         "2J, nbsp \xc2\xa0",
         true, "csi \\u009b2J, nbsp \xc2\xa0"},
        {std::string("nul\0x", 5), true, "nul\\u0000x"},
        {"ends in \xc2", true, "ends in \xc2"},
        {"lone \x9b"
         "2J and latin-1 \xe9",
         true, "lone \\u009b2J and latin-1 \xe9"},
        {"\xe2\x82\xac \xf0\x9f\x94\x91", true, "\xe2\x82\xac \xf0\x9f\x94\x91"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(terminalSafe(c.in, c.keepLines), c.out) << c.in;
}

TEST(PasswordCommand, TakesTheFirstLineAndFailsLoudly) {
    const struct {
        const char *command;
        const char *secret; // nullptr: fails with error
        const char *error;
    } cases[] = {
        {"echo s3cret", "s3cret", ""},
        {"  echo   spaced    words  ", "spaced words", ""},
        {"echo 'two words'; echo second", "two words", ""},
        {"printf 'crlf\\r\\nmore'", "crlf", ""},
        {"true", "", ""},
        {"false", nullptr, "exited with 1"},
        {"exec sh -c 'kill -9 $$'", nullptr, "killed by signal 9"},
        {"/nonexistent/secret-tool lookup site office", nullptr, "cannot run the password command"},
        {"head -c 2000 /dev/zero | tr '\\0' x", nullptr, "too long"},
        {"yes", nullptr, "printed too much"},
        {"", nullptr, "empty"},
    };
    for (const auto &c : cases) {
        std::string secret = "unchanged", error;
        const bool ok = runPasswordCommand(c.command, secret, error);
        ASSERT_EQ(ok, c.secret != nullptr) << c.command << ": " << error;
        if (ok)
            EXPECT_EQ(secret, c.secret) << c.command;
        else
            EXPECT_NE(error.find(c.error), std::string::npos) << c.command << ": " << error;
    }
    std::string secret, error;
    EXPECT_FALSE(runPasswordCommand("sleep 10", secret, error, 1));
    EXPECT_NE(error.find("did not finish in time"), std::string::npos) << error;
}

TEST(Credentials, ComeFromTheServiceFolderOnly) {
    char pattern[] = "/tmp/vyxcreds.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    std::ofstream(dir + "/office") << "from systemd\nsecond line";
    chmod((dir + "/office").c_str(), 0440); // as systemd may leave it: the mode is not ours to judge
    std::string secret, error;
    unsetenv("CREDENTIALS_DIRECTORY");
    EXPECT_FALSE(readCredential("office", secret, error));
    EXPECT_NE(error.find("CREDENTIALS_DIRECTORY is not set"), std::string::npos) << error;
    setenv("CREDENTIALS_DIRECTORY", dir.c_str(), 1);
    ASSERT_TRUE(readCredential("office", secret, error)) << error;
    EXPECT_EQ(secret, "from systemd");
    for (const char *bad : {"", "..", "../office", "a/b"})
        EXPECT_FALSE(readCredential(bad, secret, error)) << bad;
    EXPECT_FALSE(readSecretFile(dir + "/office", secret, error)) << "a 0440 password file was taken";
    unsetenv("CREDENTIALS_DIRECTORY");
    std::system(("rm -rf '" + dir + "'").c_str());
}

TEST(SshUrl, NamesAUserAHostAndAPortAndNothingElse) {
    const struct {
        const char *url;
        bool ok;
        const char *user;
        const char *host;
        int port;
    } cases[] = {
        {"ssh://installer@gateway.example", true, "installer", "gateway.example", 22},
        {"ssh://root@127.0.0.1:2222", true, "root", "127.0.0.1", 2222},
        {"ssh://a.b-c_d@[2001:db8::1]:22000/", true, "a.b-c_d", "2001:db8::1", 22000},
        {"ssh://gateway.example", false, "", "", 0},
        {"http://root@h", false, "", "", 0},
        {"ssh://-oProxyCommand=touch@h", false, "", "", 0},
        {"ssh://root@-oProxyCommand=x", false, "", "", 0},
        {"ssh://root@h:0", false, "", "", 0},
        {"ssh://root@h:65536", false, "", "", 0},
        {"ssh://root@h:22x", false, "", "", 0},
        {"ssh://root@2001:db8::1", false, "", "", 0},
        {"ssh://root@h st", false, "", "", 0},
        {"ssh://ro ot@h", false, "", "", 0},
        {"ssh://root@[h]", false, "", "", 0},
    };
    for (const auto &c : cases) {
        SshDestination d;
        std::string error;
        ASSERT_EQ(parseSshUrl(c.url, d, error), c.ok) << c.url << ": " << error;
        if (!c.ok) {
            EXPECT_NE(error.find("ssh://user@host[:port]"), std::string::npos);
            continue;
        }
        EXPECT_EQ(d.user, c.user);
        EXPECT_EQ(d.host, c.host);
        EXPECT_EQ(d.port, c.port);
    }
}

TEST(SshTunnelFailures, SayWhyTheTunnelDidNotOpen) {
    std::string error;
    SshTunnel missing("", "/nonexistent/ssh");
    EXPECT_FALSE(missing.start("ssh://root@127.0.0.1", "127.0.0.1", 18000, 2000, error));
    EXPECT_NE(error.find("cannot run /nonexistent/ssh"), std::string::npos) << error;
    // A client that gives up at once, with its reason on stderr.
    char pattern[] = "/tmp/vyxfakessh.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string fake = std::string(pattern) + "/ssh";
    std::ofstream(fake) << "#!/bin/sh\necho 'root@127.0.0.1: Permission denied (publickey).' >&2\nexit 255\n";
    chmod(fake.c_str(), 0700);
    SshTunnel refused("", fake);
    EXPECT_FALSE(refused.start("ssh://root@127.0.0.1", "127.0.0.1", 18000, 5000, error));
    EXPECT_NE(error.find("Permission denied (publickey)."), std::string::npos) << error;
    EXPECT_EQ(refused.localPort(), 0);
    EXPECT_FALSE(refused.start("ssh://root@127.0.0.1", "-oProxyCommand=x", 18000, 5000, error));
    EXPECT_NE(error.find("cannot be forwarded"), std::string::npos) << error;
    std::system(("rm -rf '" + std::string(pattern) + "'").c_str());
}

} // namespace
