// Configuration download and upload through the two-channel client against the
// scripted server: step tables, MD5 checks, block sizes and the failure paths
// that must leave the local file alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "kvt_error.h"
#include "kvt_olmotcpclientvyx.h"
#include "kvt_osfile.h"
#include "olmo_fakeserver.h"
#include "olmo_vyxevents.h"

using namespace kvt;
using olmotest::MakeFrame;
using olmotest::OlmoFakeServer;
using olmotest::VyxEvents;
using olmotest::WaitFor;

namespace {

std::string Pattern(size_t n, unsigned seed = 1) {
    std::string s(n, '\0');
    uint32_t x = seed;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

std::string Md5(const std::string &s) {
    return kvtMd5Hex(s.data(), s.size());
}

void WriteFile(const std::string &path, const std::string &content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool Exists(const std::string &path) {
    return std::ifstream(path).good();
}

// Names beside target that start with its name and ".part": what a download writes into.
std::vector<std::string> PartialFiles(const std::string &target) {
    const size_t slash = target.rfind('/');
    const std::string folder = target.substr(0, slash);
    const std::string prefix = target.substr(slash + 1) + ".part";
    std::vector<std::string> names;
    if (DIR *d = ::opendir(folder.c_str())) {
        while (dirent *e = ::readdir(d))
            if (std::string(e->d_name).compare(0, prefix.size(), prefix) == 0)
                names.push_back(e->d_name);
        ::closedir(d);
    }
    return names;
}

// A folder of this process's own: the files of a test never meet those of another run of the
// same test (another build, another developer) in the shared temporary folder.
std::string PrivateFolder() {
    std::string pattern = ::testing::TempDir() + "olmo_transfer.XXXXXX";
    return ::mkdtemp(&pattern[0]) ? pattern : std::string();
}

void RemoveFolder(const std::string &folder) {
    if (!folder.empty())
        std::system(("rm -rf '" + folder + "'").c_str());
}

class OlmoTransfer : public ::testing::Test {
protected:
    void SetUp() override {
        folder = PrivateFolder();
        ASSERT_FALSE(folder.empty());
        target = folder + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".db";
        ASSERT_NE(server.Start(), 0);
        events.Attach(client);
        client.SetHeartBeatPeriod(60000);
        ASSERT_EQ(client.Start("127.0.0.1", server.Port(), "admin", "secret"), 0);
        ASSERT_TRUE(WaitFor([&] { return events.ready == 1; }));
    }
    void TearDown() override {
        client.Stop();
        server.Stop();
        RemoveFolder(folder);
    }
    std::string TargetName() const { return target.substr(target.rfind('/') + 1); }
    std::vector<uint32_t> RequestCodes() {
        std::vector<uint32_t> codes;
        for (auto &f : server.Commands())
            if (f.GetCode() != CmdRelation)
                codes.push_back(f.GetCode());
        return codes;
    }

    std::string folder;
    std::string target;
    OlmoFakeServer server;
    kvtOlmoTcpClientVyx client;
    VyxEvents events;
};

} // namespace

TEST_F(OlmoTransfer, DownloadWritesTheServerDatabase) {
    const std::string db = Pattern(1000000);
    server.SetDatabase(db);
    server.SetDownloadBlockSize(300000);
    WriteFile(target, "old backup");
    ASSERT_EQ(client.QueryDownloadConfiguration(target, ""), 0);
    ASSERT_TRUE(WaitFor([&] { return events.DownloadEnded(); }));
    const kvtDownloadProgress p = events.LastDownload();
    EXPECT_EQ(p.GetError(), 0);
    EXPECT_EQ(p.GetInfo(), "Donwload End");
    EXPECT_EQ(p.GetServerBytes(), db.size());
    EXPECT_EQ(p.GetReceivedBytes(), db.size());
    EXPECT_FLOAT_EQ(p.GetPercentage(), 1.0f);
    EXPECT_EQ(p.GetServerMd5File(), Md5(db));
    EXPECT_EQ(p.GetClientMd5File(), Md5(db));
    EXPECT_EQ(ReadFile(target), db);
    EXPECT_TRUE(PartialFiles(target).empty());
    // The server's configuration may hold its secrets: the copy is its owner's alone.
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Every step was reported, with the requests in order.
    auto codes = RequestCodes();
    ASSERT_EQ(codes.size(), 2u);
    EXPECT_EQ(codes[0], uint32_t(CmdQueryDbMd5));
    EXPECT_EQ(codes[1], uint32_t(CmdQueryDownloadConfiguration));
    std::vector<std::string> infos;
    for (auto &d : events.Downloads())
        infos.push_back(d.GetInfo());
    EXPECT_EQ(infos.front(), "Save Server MD5");
    EXPECT_EQ(infos[1], "Get Length of file to donwload");
    EXPECT_EQ(infos.size(), 2u + 4u + 1u); // md5, length, four blocks, end
}

// A name that another user planted beside the target cannot redirect the download: its file is
// made new under a random name, never opened through a link, and readable by its owner alone.
TEST_F(OlmoTransfer, DownloadWritesNothingThroughAPlantedLink) {
    const std::string victim = target + ".victim";
    WriteFile(victim, "someone else's file");
    ASSERT_EQ(::symlink(victim.c_str(), (target + ".part").c_str()), 0);
    const std::string db = Pattern(100000, 5);
    server.SetDatabase(db);
    ASSERT_EQ(client.QueryDownloadConfiguration(target, ""), 0);
    ASSERT_TRUE(WaitFor([&] { return events.DownloadEnded(); }));
    EXPECT_EQ(events.LastDownload().GetError(), 0) << events.LastDownload().GetInfo();
    EXPECT_EQ(ReadFile(victim), "someone else's file");
    struct stat st {};
    ASSERT_EQ(::lstat(target.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 077, 0u);
    EXPECT_EQ(ReadFile(target), db);
    EXPECT_EQ(PartialFiles(target), std::vector<std::string>{TargetName() + ".part"});
    std::remove(victim.c_str());
}

TEST_F(OlmoTransfer, DownloadEndings) {
    struct Case {
        const char *name;
        std::function<void()> script;
        bool sameMd5;
        int error;
        const char *info;
    };
    const std::string db = Pattern(5000, 7);
    const std::vector<Case> cases = {
        {"synced", [] {}, true, 0, "Database is synced, no need to update it"},
        {"md5 mismatch", [&] { server.SetWrongDbMd5(true); }, false, 1,
         "Md5 do not match, you must download database again"},
        {"no resources", [&] { server.SetDownloadRefusal(2); }, false, 2,
         "No resources available in the server to send configuration file"},
        {"read error", [&] { server.SetDownloadRefusal(3); }, false, 3,
         "Error reading the server configuration file"},
        {"shutdown", [&] { server.SetDownloadRefusal(4); }, false, 4,
         "Can not finish download because server is shutdown"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        server.SetDatabase(db);
        server.SetWrongDbMd5(false);
        server.SetDownloadRefusal(0);
        c.script();
        WriteFile(target, "precious backup");
        events.ClearDownloads();
        ASSERT_EQ(client.QueryDownloadConfiguration(target, c.sameMd5 ? Md5(db) : ""), 0);
        ASSERT_TRUE(WaitFor([&] { return events.DownloadEnded(); }));
        const kvtDownloadProgress p = events.LastDownload();
        EXPECT_EQ(p.GetError(), c.error);
        EXPECT_EQ(p.GetInfo(), c.info);
        // Whatever went wrong, the existing local file is untouched and nothing partial is left.
        EXPECT_EQ(ReadFile(target), "precious backup");
        EXPECT_TRUE(PartialFiles(target).empty());
    }
}

TEST_F(OlmoTransfer, DownloadOfEmptyDatabaseLeavesEmptyFile) {
    server.SetDatabase("");
    WriteFile(target, "old");
    ASSERT_EQ(client.QueryDownloadConfiguration(target, "not-the-digest"), 0);
    ASSERT_TRUE(WaitFor([&] { return events.DownloadEnded(); }));
    EXPECT_EQ(events.LastDownload().GetError(), 0);
    EXPECT_TRUE(Exists(target));
    EXPECT_EQ(ReadFile(target), "");
}

TEST_F(OlmoTransfer, SecondDownloadWhileActiveIsRefused) {
    server.SetHandler([](OlmoFakeServer &, const kvtOlmoFrame &f) {
        return f.GetCode() == CmdQueryDownloadConfiguration; // never answered
    });
    ASSERT_EQ(client.QueryDownloadConfiguration(target, ""), 0);
    EXPECT_EQ(client.QueryDownloadConfiguration(target + "2", ""), int(kvtErrorFailed));
    ASSERT_TRUE(WaitFor([&] {
        auto c = RequestCodes();
        return c.size() == 2;
    }));
    ASSERT_TRUE(WaitFor([&] { return events.DownloadCount() > 0; })); // the MD5 answer
    EXPECT_EQ(events.LastDownload().GetClientFile(), target);
}

TEST_F(OlmoTransfer, FramesDuringDownloadDoNotReachOnRead) {
    server.SetDatabase(Pattern(4000, 3));
    server.SetDownloadBlockSize(1000);
    server.SetInjectDuringDownload(
        olmotest::FrameBytes(MakeFrame(kvtOlmoKindWrite, 4242, [](kvtOlmoFrame &f) { f.SetAsUInt(1); })));
    ASSERT_EQ(client.QueryDownloadConfiguration(target, ""), 0);
    ASSERT_TRUE(WaitFor([&] { return events.DownloadEnded(); }));
    EXPECT_EQ(events.LastDownload().GetError(), 0);
    EXPECT_EQ(events.reads, 0);
    // Nor are they progress: the MD5, the length, four blocks and the end, nothing for the frames.
    EXPECT_EQ(events.DownloadCount(), 1u + 1u + 4u + 1u);
    // Once the download has ended, frames reach the owner again.
    server.SendFrameToMonitor(MakeFrame(kvtOlmoKindWrite, 4243, [](kvtOlmoFrame &f) { f.SetAsUInt(2); }));
    ASSERT_TRUE(WaitFor([&] { return events.reads == 1; }));
    EXPECT_EQ(events.Frames()[0].GetCode(), 4243u);
}

TEST_F(OlmoTransfer, UploadSendsBlocksAndReplacesServerDatabase) {
    const std::string content = Pattern(1000000, 5);
    WriteFile(target, content);
    server.SetDatabase("old server db");
    ASSERT_EQ(client.QueryUploadConfiguration(target, 524288), 0);
    ASSERT_TRUE(WaitFor([&] { return events.UploadEnded(); }, 30000));
    const kvtUploadProgress p = events.LastUpload();
    EXPECT_EQ(p.GetError(), 0) << p.GetInfo();
    EXPECT_EQ(p.GetInfo(), "Database changed");
    EXPECT_EQ(p.GetSentBytes(), 1000000u);
    EXPECT_EQ(p.GetClientBytes(), 1000000u);
    EXPECT_FLOAT_EQ(p.GetPercentage(), 1.0f);
    EXPECT_EQ(p.GetClientMd5File(), Md5(content));
    EXPECT_EQ(server.AppendSizes(), (std::vector<uint32_t>{524288, 475712}));
    EXPECT_EQ(server.GetDatabase(), content);
    const std::vector<uint32_t> expected = {CmdQueryFileDelete,     CmdQueryDbMd5,          CmdQueryDbMaxSize,
                                            CmdQueryFileAppendData, CmdQueryFileAppendData, CmdQueryFileMd5,
                                            CmdQueryDbChange};
    EXPECT_EQ(RequestCodes(), expected);
    EXPECT_EQ(std::string(server.Commands()[1].GetAsString()), ".pokayoka");
}

TEST_F(OlmoTransfer, UploadOfIdenticalFileEndsAfterMd5Answer) {
    const std::string content = Pattern(3000, 9);
    WriteFile(target, content);
    server.SetDatabase(content);
    ASSERT_EQ(client.QueryUploadConfiguration(target, 524288), 0);
    ASSERT_TRUE(WaitFor([&] { return events.UploadEnded(); }));
    const kvtUploadProgress p = events.LastUpload();
    EXPECT_EQ(p.GetError(), 0);
    EXPECT_EQ(p.GetInfo(), "Check Client - Server MD5 ... Same, upload not necessary");
    EXPECT_EQ(p.GetPercentage(), 0.0f);
    EXPECT_TRUE(server.AppendSizes().empty());
}

TEST_F(OlmoTransfer, UploadTooBigEndsBeforeAnyBlock) {
    WriteFile(target, Pattern(2000, 4));
    server.SetDbMaxSize(1999);
    ASSERT_EQ(client.QueryUploadConfiguration(target, 524288), 0);
    ASSERT_TRUE(WaitFor([&] { return events.UploadEnded(); }));
    EXPECT_EQ(events.LastUpload().GetError(), 2);
    EXPECT_EQ(events.LastUpload().GetInfo(), "Configuration file is too big");
    client.QueryServerVersion(); // marker: anything queued by the upload went out before it
    ASSERT_TRUE(WaitFor([&] { return RequestCodes().back() == uint32_t(CmdQueryServerVersion); }));
    EXPECT_TRUE(server.AppendSizes().empty());
}

TEST_F(OlmoTransfer, UploadOfEmptyFileIsRefusedAtOnce) {
    WriteFile(target, "");
    std::string refusal;
    EXPECT_NE(client.QueryUploadConfiguration(target, 524288, false, &refusal), 0);
    EXPECT_EQ(refusal, "Configuration file is empty " + target);
    // The refusal is its one end: no record follows it.
    EXPECT_EQ(events.UploadCount(), 0u);
    EXPECT_NE(client.QueryUploadConfiguration(target, 524288), 0);
    EXPECT_EQ(events.UploadCount(), 0u);
    // Not active: a real upload may start right away.
    WriteFile(target, "x");
    EXPECT_EQ(client.QueryUploadConfiguration(target, 524288), 0);
    ASSERT_TRUE(WaitFor([&] { return events.UploadEnded(); }));
    EXPECT_EQ(server.GetDatabase(), "x");
}

TEST_F(OlmoTransfer, UploadOfMissingFileIsRefused) {
    EXPECT_EQ(client.QueryUploadConfiguration(target + ".missing", 524288), int(kvtErrorFailed));
    EXPECT_EQ(events.UploadCount(), 0u);
    WriteFile(target, "abc");
    EXPECT_EQ(client.QueryUploadConfiguration(target, 524288), 0); // nothing was left active
}

TEST_F(OlmoTransfer, UnreadableUploadAnswerEndsAsFailure) {
    WriteFile(target, "abc");
    server.SetHandler([](OlmoFakeServer &s, const kvtOlmoFrame &f) {
        if (f.GetCode() != CmdQueryFileDelete)
            return false;
        s.Reply(kvtTypeString, CmdQueryFileDelete, [](kvtOlmoFrame &r) { r.SetAsString("not json"); });
        return true;
    });
    ASSERT_EQ(client.QueryUploadConfiguration(target, 524288), 0);
    ASSERT_TRUE(WaitFor([&] { return events.UploadEnded(); }));
    EXPECT_NE(events.LastUpload().GetError(), 0);
}

namespace {
// Answers the database MD5 with md5, and a download request with the frames of script.
OlmoFakeServer::Handler DownloadScript(std::string md5, std::function<void(OlmoFakeServer &)> script) {
    return [md5, script](OlmoFakeServer &s, const kvtOlmoFrame &f) {
        if (f.GetCode() == CmdQueryDbMd5) {
            s.Reply(kvtTypeString, CmdQueryDbMd5, [&](kvtOlmoFrame &r) { r.SetAsString(md5); });
            return true;
        }
        if (f.GetCode() != CmdQueryDownloadConfiguration)
            return false;
        script(s);
        return true;
    };
}
void SendLength(OlmoFakeServer &s, uint32_t n) {
    s.Reply(kvtTypeULong, CmdQueryDownloadConfiguration, [n](kvtOlmoFrame &r) { r.SetAsULong(n); });
}
void SendData(OlmoFakeServer &s, const std::string &d) {
    s.Reply(kvtTypeData, CmdQueryDownloadConfiguration, [d](kvtOlmoFrame &r) {
        r.SetAsData(reinterpret_cast<const uint8_t *>(d.data()), static_cast<uint32_t>(d.size()));
    });
}
void SendEnd(OlmoFakeServer &s) {
    s.Reply(kvtTypeUChar, CmdQueryDownloadConfiguration, [](kvtOlmoFrame &r) { r.SetAsUChar(0); });
}
} // namespace

TEST_F(OlmoTransfer, DownloadTakesOnlyWhatWasAnnouncedIntoAFreshFile) {
    struct Case {
        const char *name;
        std::string md5;
        std::function<void(OlmoFakeServer &)> script;
    };
    const std::vector<Case> cases = {
        // Without a length first there is no fresh file: nothing may go onto a leftover.
        {"data before the length", Md5("abc"),
         [](OlmoFakeServer &s) {
             SendData(s, "abc");
             SendEnd(s);
         }},
        {"more than announced", Md5("abcdef"),
         [](OlmoFakeServer &s) {
             SendLength(s, 3);
             SendData(s, "abcdef");
             SendEnd(s);
         }},
        {"fewer than announced", Md5("abc"),
         [](OlmoFakeServer &s) {
             SendLength(s, 10);
             SendData(s, "abc");
             SendEnd(s);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(target, "precious backup");
        WriteFile(target + ".part", "leftover of an earlier run ");
        server.SetHandler(DownloadScript(c.md5, c.script));
        events.ClearDownloads();
        ASSERT_EQ(client.QueryDownloadConfiguration(target, ""), 0);
        ASSERT_TRUE(WaitFor([&] { return events.DownloadEnded(); }));
        EXPECT_NE(events.LastDownload().GetError(), 0) << events.LastDownload().GetInfo();
        EXPECT_EQ(ReadFile(target), "precious backup");
        EXPECT_EQ(ReadFile(target + ".part"), "leftover of an earlier run ");
        EXPECT_EQ(PartialFiles(target), std::vector<std::string>{TargetName() + ".part"});
        for (const auto &p : events.Downloads())
            EXPECT_LE(p.GetReceivedBytes(), std::max<uint32_t>(p.GetServerBytes(), 0));
    }
}

TEST_F(OlmoTransfer, StalledDownloadEndsWithTimeOutAndTheConnectionIsRebuilt) {
    client.SetTransferTimeOut(300);
    WriteFile(target, "precious backup");
    // The server starts the download and then goes silent for it (other answers still come).
    server.SetHandler(DownloadScript(Md5("x"), [](OlmoFakeServer &s) {
        SendLength(s, 1000);
        SendData(s, "abc");
    }));
    ASSERT_EQ(client.QueryDownloadConfiguration(target, ""), 0);
    ASSERT_TRUE(WaitFor([&] { return events.DownloadEnded(); }));
    const kvtDownloadProgress p = events.LastDownload();
    EXPECT_EQ(p.GetError(), int(kvtTransferError::TimedOut));
    EXPECT_NE(p.GetInfo().find("no answer"), std::string::npos) << p.GetInfo();
    EXPECT_EQ(ReadFile(target), "precious backup");
    EXPECT_TRUE(PartialFiles(target).empty());
    ASSERT_TRUE(WaitFor([&] { return server.AuthCount(true) == 2 && events.ready == 2; }));
    // Frames reach the owner again.
    server.SendFrameToMonitor(MakeFrame(kvtOlmoKindWrite, 4243, [](kvtOlmoFrame &f) { f.SetAsUInt(2); }));
    ASSERT_TRUE(WaitFor([&] { return events.reads >= 1; }));
}

namespace {
// The numbers of the transfer failures' reports, while a test listens.
std::mutex g_transferReportLock;
std::vector<int> g_transferReports;
void recordTransferReport(const kvtError &error) {
    if (error.GetText().find("(transfer error ") == std::string::npos)
        return;
    std::lock_guard<std::mutex> lock(g_transferReportLock);
    g_transferReports.push_back(error.GetNumber());
}
std::vector<int> transferReports() {
    std::lock_guard<std::mutex> lock(g_transferReportLock);
    return g_transferReports;
}
} // namespace

// A stop asked for here ends the transfer with a note in the log; a lost connection with an error.
TEST_F(OlmoTransfer, StopOrDisconnectDuringATransferEndsItWithAnError) {
    struct Case {
        const char *name;
        bool upload;
        std::function<void()> interrupt;
        bool keepsConnection;
        int reportNumber;
    };
    const std::vector<Case> cases = {
        {"download, stop", false, [&] { client.Stop(); }, false, kvtInfo},
        {"download, server closes", false, [&] { server.CloseMonitor(); }, false, kvtErrorFailed},
        {"upload, stop", true, [&] { client.Stop(); }, false, kvtInfo},
        {"upload, server closes", true, [&] { server.CloseMonitor(); }, false, kvtErrorFailed},
        {"download, transfer stopped", false, [&] { client.StopTransfers(); }, true, kvtInfo},
        {"upload, transfer stopped", true, [&] { client.StopTransfers(); }, true, kvtInfo},
    };
    // The report settings are plain globals the client's threads read: they change only while the
    // client is stopped (the cases start it again).
    client.Stop();
    const uint32_t savedOutputs = kvtErrorOutputs;
    const kvtErrorCallbackFunction savedCallback = kvtErrorCallback;
    kvtErrorCallback = &recordTransferReport;
    kvtErrorOutputs = kvtErrorOutputCallback;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard<std::mutex> lock(g_transferReportLock);
            g_transferReports.clear();
        }
        if (!client.IsReady()) {
            ASSERT_EQ(client.Start("127.0.0.1", server.Port(), "admin", "secret"), 0);
            ASSERT_TRUE(WaitFor([&] { return client.IsReady(); }));
        }
        events.ClearDownloads();
        const size_t uploads = events.UploadCount();
        WriteFile(target, "precious backup");
        server.SetHandler([](OlmoFakeServer &, const kvtOlmoFrame &f) {
            return f.GetCode() == CmdQueryDownloadConfiguration ||
                   f.GetCode() == CmdQueryFileDelete; // never answered
        });
        if (c.upload) {
            ASSERT_EQ(client.QueryUploadConfiguration(target, 524288), 0);
        } else {
            ASSERT_EQ(client.QueryDownloadConfiguration(target, ""), 0);
            ASSERT_TRUE(WaitFor([&] { return events.DownloadCount() == 1; })); // the MD5 answer
        }
        c.interrupt();
        if (c.upload) {
            ASSERT_TRUE(WaitFor([&] { return events.UploadCount() > uploads && events.UploadEnded(); }));
            EXPECT_EQ(events.LastUpload().GetError(), int(kvtTransferError::Interrupted));
        } else {
            ASSERT_TRUE(WaitFor([&] { return events.DownloadEnded(); }));
            EXPECT_EQ(events.LastDownload().GetError(), int(kvtTransferError::Interrupted));
            EXPECT_TRUE(PartialFiles(target).empty());
        }
        EXPECT_EQ(ReadFile(target), "precious backup");
        if (c.keepsConnection) {
            EXPECT_TRUE(client.IsReady());
        }
        EXPECT_EQ(transferReports(), std::vector<int>{c.reportNumber});
    }
    client.Stop();
    kvtErrorOutputs = savedOutputs;
    kvtErrorCallback = savedCallback;
}

TEST_F(OlmoTransfer, UploadNeverCountsMoreThanWasSent) {
    WriteFile(target, Pattern(3000, 2));
    server.SetHandler([](OlmoFakeServer &s, const kvtOlmoFrame &f) {
        if (f.GetCode() != CmdQueryFileAppendData)
            return false;
        // Claims ten times the block it got.
        const uint32_t sent = f.GetDataLength() - 1 - f.GetAsData()[0];
        const std::string answer =
            "{\"err\":0,\"info\":\"\",\"file\":\".pokayoka\",\"wrotebytes\":" + std::to_string(10 * sent) +
            "}";
        s.Reply(kvtTypeString, CmdQueryFileAppendData, [&](kvtOlmoFrame &r) { r.SetAsString(answer); });
        return true;
    });
    ASSERT_EQ(client.QueryUploadConfiguration(target, 1000), 0);
    ASSERT_TRUE(WaitFor([&] { return events.UploadEnded(); }));
    EXPECT_EQ(events.LastUpload().GetError(), 2);
    EXPECT_NE(events.LastUpload().GetInfo().find("confirmed"), std::string::npos)
        << events.LastUpload().GetInfo();
    for (size_t i = 0; i < events.UploadCount(); ++i) {
        std::lock_guard<std::mutex> l(events.lock);
        EXPECT_LE(events.uploads[i].GetSentBytes(), 1000u);
    }
}

// A full disk, for real: a child process whose files may not grow past 10000 bytes (with
// SIGXFSZ ignored, a write beyond gets EFBIG). The download must fail and leave the old
// file as it was, whether the failure shows at a write, the flush or the close.
TEST(OlmoTransferDisk, WriteFailureFailsTheDownloadAndKeepsTheOldFile) {
    const std::string folder = PrivateFolder();
    ASSERT_FALSE(folder.empty());
    const std::string target = folder + "/full_disk.db";
    WriteFile(target, "precious backup");
    for (uint32_t block : {1000u, 300000u}) { // small blocks fail at the flush, big ones at a write
        SCOPED_TRACE(block);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::signal(SIGXFSZ, SIG_IGN);
            rlimit limit{10000, 10000};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            int code = 10;
            {
                OlmoFakeServer server;
                VyxEvents events;
                kvtOlmoTcpClientVyx client;
                events.Attach(client);
                server.SetDatabase(Pattern(600000, 11));
                server.SetDownloadBlockSize(block);
                if (server.Start() != 0 && client.Start("127.0.0.1", server.Port(), "admin", "secret") == 0 &&
                    WaitFor([&] { return client.IsReady(); }) &&
                    client.QueryDownloadConfiguration(target, "") == 0 &&
                    WaitFor([&] { return events.DownloadEnded(); })) {
                    code = events.LastDownload().GetError() != 0 ? 0 : 11;
                }
                client.Stop();
                server.Stop();
            }
            ::_exit(code);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "10: no end record, 11: the download ended without an error";
        EXPECT_EQ(ReadFile(target), "precious backup");
        EXPECT_TRUE(PartialFiles(target).empty());
    }
    RemoveFolder(folder);
}

// An upload reads and hashes its file before it starts; a file that takes long to read
// (here a pipe nobody writes yet) must not hold up the monitor reader meanwhile.
TEST_F(OlmoTransfer, UploadReadsItsFileWithoutHoldingUpTheReader) {
    const std::string fifo = target + ".fifo";
    std::remove(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // The upload may close the pipe between a writer's open and its write below: that write then
    // fails with EPIPE instead of ending the test with SIGPIPE.
    struct sigaction ignore;
    struct sigaction before;
    sigemptyset(&ignore.sa_mask);
    ignore.sa_flags = 0;
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &before), 0);
    std::atomic<bool> returned{false};
    std::thread upload([&] {
        client.QueryUploadConfiguration(fifo, 524288);
        returned = true;
    });
    server.SendFrameToMonitor(MakeFrame(kvtOlmoKindWrite, 4244, [](kvtOlmoFrame &f) { f.SetAsUInt(3); }));
    EXPECT_TRUE(WaitFor([&] { return events.reads == 1; }));
    // Let the upload read to the end: writers come and go until it returns.
    while (!returned) {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) {
            (void)::write(fd, "db", 2);
            ::close(fd);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    upload.join();
    ::sigaction(SIGPIPE, &before, nullptr);
    std::remove(fifo.c_str());
}

// Every download ends once, and never as a success without its file.
TEST_F(OlmoTransfer, DownloadNeverSucceedsWithoutItsFile) {
    struct Case {
        const char *name;
        uint8_t endValue;
        const char *info;
    };
    const Case cases[] = {
        {"unknown end code", 9, "The server ended the download with the unknown code 9: no file was written"},
        {"in sync with no copy named", 1,
         "The server answered that the copy is in sync, but none was named: no file was written"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(target.c_str());
        server.SetDownloadRefusal(c.endValue);
        events.ClearDownloads();
        ASSERT_EQ(client.QueryDownloadConfiguration(target, ""), 0);
        ASSERT_TRUE(WaitFor([&] { return events.DownloadEnded(); }));
        EXPECT_EQ(events.LastDownload().GetError(), int(kvtTransferError::Failed));
        EXPECT_EQ(events.LastDownload().GetInfo(), c.info);
        EXPECT_FALSE(Exists(target));
        EXPECT_FALSE(Exists(target + ".part"));
        size_t ends = 0;
        for (const auto &d : events.Downloads())
            ends += d.IsEnd() ? 1 : 0;
        EXPECT_EQ(ends, 1u);
    }
}

// An upload ends with an error that says why: a replacement answered for another file, or a
// server that takes the blocks and writes nothing of them.
TEST_F(OlmoTransfer, UploadEndsWithTheReasonWhenTheServerDoesNotTakeIt) {
    struct Case {
        const char *name;
        OlmoFakeServer::Handler handler;
        const char *info;
        size_t sendingReports; // five blocks and the file's MD5; or the first answer only
    };
    const std::string content = Pattern(5000, 21);
    const std::string md5 = Md5(content);
    const Case cases[] = {
        {"another file replaced",
         [md5](OlmoFakeServer &s, const kvtOlmoFrame &f) {
             if (f.GetCode() != CmdQueryDbChange)
                 return false;
             const std::string answer =
                 "{\"err\":0,\"info\":\"Database changed\",\"file\":\"other.db\",\"md5\":\"" + md5 + "\"}";
             s.Reply(kvtTypeString, CmdQueryDbChange, [&](kvtOlmoFrame &r) { r.SetAsString(answer); });
             return true;
         },
         "The server answered the replacement for another file (other.db) than the one sent (.pokayoka)", 6},
        {"nothing written",
         [](OlmoFakeServer &s, const kvtOlmoFrame &f) {
             if (f.GetCode() != CmdQueryFileAppendData)
                 return false;
             s.Reply(kvtTypeString, CmdQueryFileAppendData, [](kvtOlmoFrame &r) {
                 r.SetAsString("{\"err\":0,\"info\":\"\",\"file\":\".pokayoka\",\"wrotebytes\":0}");
             });
             return true;
         },
         "The server wrote nothing of 5 blocks in a row: the upload stopped at 0 of 5000 bytes", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(target, content);
        server.SetDatabase("old");
        server.SetHandler(c.handler);
        const size_t before = events.UploadCount();
        ASSERT_EQ(client.QueryUploadConfiguration(target, 1000), 0);
        ASSERT_TRUE(WaitFor([&] { return events.UploadCount() > before && events.UploadEnded(); }));
        EXPECT_EQ(events.LastUpload().GetError(), int(kvtTransferError::Failed));
        EXPECT_EQ(events.LastUpload().GetInfo(), c.info);
        // A block answered without progress is no progress report.
        size_t sending = 0;
        {
            std::lock_guard<std::mutex> l(events.lock);
            for (size_t i = before; i < events.uploads.size(); ++i)
                sending += events.uploads[i].GetInfo() == "Upload Data" ? 1 : 0;
        }
        EXPECT_EQ(sending, c.sendingReports);
        EXPECT_EQ(server.GetDatabase(), "old");
    }
}

// Asked to hold, an upload stops before its first block, after every check: nothing goes when the
// server already has the file or it is too big; when the maximum size comes before the digest, the
// digest is still waited for. ResumeUpload sends the blocks; whatever the owner sent in between goes
// before them.
TEST_F(OlmoTransfer, AnUploadAskedToHoldWaitsBeforeItsFirstBlock) {
    const std::string content = Pattern(3000, 31);
    WriteFile(target, content);
    const auto holds = [&] {
        std::lock_guard<std::mutex> l(events.lock);
        for (const auto &u : events.uploads)
            if (u.IsHolding())
                return true;
        return false;
    };
    const auto versions = [&] {
        const std::vector<uint32_t> codes = RequestCodes();
        return std::count(codes.begin(), codes.end(), uint32_t(CmdQueryServerVersion));
    };
    const auto marker = [&] {
        const auto seen = versions();
        client.QueryServerVersion(); // anything the upload queued went out before it
        return WaitFor([&] { return versions() == seen + 1; });
    };

    // The server has it already, then it is too big: never held, no block.
    server.SetDatabase(content);
    ASSERT_EQ(client.QueryUploadConfiguration(target, 1000, true, nullptr), 0);
    ASSERT_TRUE(WaitFor([&] { return events.UploadEnded(); }));
    EXPECT_EQ(events.LastUpload().GetInfo(), "Check Client - Server MD5 ... Same, upload not necessary");
    server.SetDatabase("old");
    server.SetDbMaxSize(2999);
    const size_t before = events.UploadCount();
    ASSERT_EQ(client.QueryUploadConfiguration(target, 1000, true, nullptr), 0);
    ASSERT_TRUE(WaitFor([&] { return events.UploadCount() > before && events.UploadEnded(); }));
    EXPECT_EQ(events.LastUpload().GetInfo(), "Configuration file is too big");
    ASSERT_TRUE(marker());
    EXPECT_FALSE(holds());
    EXPECT_TRUE(server.AppendSizes().empty());
    EXPECT_FALSE(client.ResumeUpload());

    // The maximum size answers first; the digest waits: no block, no hold.
    server.SetDbMaxSize(64u * 1024u * 1024u);
    std::atomic<bool> md5Asked{false};
    server.SetHandler([&](OlmoFakeServer &, const kvtOlmoFrame &f) {
        if (f.GetCode() != CmdQueryDbMd5)
            return false;
        md5Asked = true;
        return true; // answered by the test below
    });
    ASSERT_EQ(client.QueryUploadConfiguration(target, 1000, true, nullptr), 0);
    ASSERT_TRUE(WaitFor([&] { return md5Asked.load(); }));
    ASSERT_TRUE(marker());
    EXPECT_FALSE(holds());
    server.Reply(kvtTypeString, CmdQueryDbMd5, [](kvtOlmoFrame &r) { r.SetAsString(std::string(32, 'f')); });
    ASSERT_TRUE(WaitFor(holds));
    EXPECT_EQ(events.LastUpload().GetInfo(), "Ready to send the file");
    EXPECT_FALSE(events.LastUpload().IsEnd());
    ASSERT_TRUE(marker());
    EXPECT_TRUE(server.AppendSizes().empty());

    // The owner's request goes first, then the blocks, then the rest in the usual order.
    const size_t sent = RequestCodes().size();
    client.QueryExecuteCommandLine("stop the logic");
    EXPECT_TRUE(client.ResumeUpload());
    EXPECT_FALSE(client.ResumeUpload());
    ASSERT_TRUE(WaitFor([&] { return events.UploadEnded(); }));
    EXPECT_EQ(events.LastUpload().GetError(), 0) << events.LastUpload().GetInfo();
    EXPECT_EQ(server.GetDatabase(), content);
    const std::vector<uint32_t> codes = RequestCodes();
    const std::vector<uint32_t> tail(codes.begin() + long(sent), codes.end());
    const std::vector<uint32_t> expected = {
        CmdQueryExecuteCommandLine, CmdQueryFileAppendData, CmdQueryFileAppendData,
        CmdQueryFileAppendData,     CmdQueryFileMd5,        CmdQueryDbChange};
    EXPECT_EQ(tail, expected);
}
