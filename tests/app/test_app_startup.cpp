// --connect [USER@]HOST[:PORT]: what is taken from the text, what is refused, and that the
// password reaches the page only once.
#include "startup.h"

#include <gtest/gtest.h>

TEST(StartupConnection, ReadsUserHostAndPort) {
    struct Case {
        const char *text;
        bool ok;
        const char *user;
        const char *host;
        int port;
    } cases[] = {
        {"127.0.0.1", true, "admin", "127.0.0.1", 18000},
        {"installer@192.168.1.10:18001", true, "installer", "192.168.1.10", 18001},
        {"server.local:2000", true, "admin", "server.local", 2000},
        {"me@[::1]:18000", true, "me", "::1", 18000},
        {"[fe80::1]", true, "admin", "fe80::1", 18000},
        {" host ", true, "admin", "host", 18000},
        {"", false, "", "", 0},
        {"host:0", false, "", "", 0},
        {"host:65536", false, "", "", 0},
        {"host:x", false, "", "", 0},
        {"a@b@host", false, "", "", 0},
        {"bad host", false, "", "", 0},
        {"@host", false, "", "", 0},
        {"host:", false, "", "", 0},
    };
    for (const Case &c : cases) {
        StartupConnection out;
        QString error;
        ASSERT_EQ(Startup::parseConnection(QString::fromUtf8(c.text), out, error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(out.user.toStdString(), c.user) << c.text;
            EXPECT_EQ(out.host.toStdString(), c.host) << c.text;
            EXPECT_EQ(out.port, c.port) << c.text;
        } else {
            EXPECT_TRUE(error.contains(QStringLiteral("--connect"))) << c.text << " " << error.toStdString();
            EXPECT_FALSE(out.isSet()) << c.text;
        }
    }
}

TEST(StartupConnection, PasswordIsHandedOutOnce) {
    StartupConnection c;
    QString error;
    ASSERT_TRUE(Startup::parseConnection(QStringLiteral("admin@127.0.0.1"), c, error));
    c.password = QStringLiteral("secret");
    c.hasPassword = true;
    Startup::setConnection(c);
    EXPECT_EQ(Startup::takePassword(), QStringLiteral("secret"));
    EXPECT_EQ(Startup::takePassword(), QString());
    EXPECT_FALSE(Startup::connection().hasPassword);
    EXPECT_TRUE(Startup::connection().isSet());
}
