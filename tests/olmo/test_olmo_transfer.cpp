// Configuration download and upload through the two-channel client against the
// scripted server: step tables, MD5 checks, block sizes and the failure paths
// that must leave the local file alone.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
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

std::string Md5(const std::string& s) { return kvtMd5Hex(s.data(), s.size()); }

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool Exists(const std::string& path) { return std::ifstream(path).good(); }

class OlmoTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    target = ::testing::TempDir() + "olmo_transfer_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".db";
    std::remove(target.c_str());
    std::remove((target + ".part").c_str());
    ASSERT_NE(server.Start(), 0);
    events.Attach(client);
    client.SetHeartBeatPeriod(60000);
    ASSERT_EQ(client.Start("127.0.0.1", server.Port(), "admin", "secret"), 0);
    ASSERT_TRUE(WaitFor([&] { return events.ready == 1; }));
  }
  void TearDown() override {
    client.Stop();
    server.Stop();
    std::remove(target.c_str());
    std::remove((target + ".part").c_str());
  }
  std::vector<uint32_t> RequestCodes() {
    std::vector<uint32_t> codes;
    for (auto& f : server.Commands())
      if (f.GetCode() != CmdRelation) codes.push_back(f.GetCode());
    return codes;
  }

  std::string target;
  OlmoFakeServer server;
  kvtOlmoTcpClientVyx client;
  VyxEvents events;
};

}  // namespace

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
  EXPECT_FALSE(Exists(target + ".part"));
  // Every step was reported, with the requests in order.
  auto codes = RequestCodes();
  ASSERT_EQ(codes.size(), 2u);
  EXPECT_EQ(codes[0], uint32_t(CmdQueryDbMd5));
  EXPECT_EQ(codes[1], uint32_t(CmdQueryDownloadConfiguration));
  std::vector<std::string> infos;
  for (auto& d : events.Downloads()) infos.push_back(d.GetInfo());
  EXPECT_EQ(infos.front(), "Save Server MD5");
  EXPECT_EQ(infos[1], "Get Length of file to donwload");
  EXPECT_EQ(infos.size(), 2u + 4u + 1u);  // md5, length, four blocks, end
}

TEST_F(OlmoTransfer, DownloadEndings) {
  struct Case {
    const char* name;
    std::function<void()> script;
    bool sameMd5;
    int error;
    const char* info;
  };
  const std::string db = Pattern(5000, 7);
  const std::vector<Case> cases = {
      {"synced", [] {}, true, 0, "Database is synced, no need to update it"},
      {"md5 mismatch", [&] { server.SetWrongDbMd5(true); }, false, 1, "Md5 do not match, you must download database again"},
      {"no resources", [&] { server.SetDownloadRefusal(2); }, false, 2, "No resources available in the server to send configuration file"},
      {"read error", [&] { server.SetDownloadRefusal(3); }, false, 3, "Error reading the server configuration file"},
      {"shutdown", [&] { server.SetDownloadRefusal(4); }, false, 4, "Can not finish download because server is shutdown"},
  };
  for (const Case& c : cases) {
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
    EXPECT_FALSE(Exists(target + ".part"));
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
  server.SetHandler([](OlmoFakeServer&, const kvtOlmoFrame& f) {
    return f.GetCode() == CmdQueryDownloadConfiguration;  // never answered
  });
  ASSERT_EQ(client.QueryDownloadConfiguration(target, ""), 0);
  EXPECT_EQ(client.QueryDownloadConfiguration(target + "2", ""), int(kvtErrorFailed));
  ASSERT_TRUE(WaitFor([&] {
    auto c = RequestCodes();
    return c.size() == 2;
  }));
  ASSERT_TRUE(WaitFor([&] { return events.DownloadCount() > 0; }));  // the MD5 answer
  EXPECT_EQ(events.LastDownload().GetClientFile(), target);
}

TEST_F(OlmoTransfer, FramesDuringDownloadDoNotReachOnRead) {
  server.SetDatabase(Pattern(4000, 3));
  server.SetDownloadBlockSize(1000);
  server.SetInjectDuringDownload(olmotest::FrameBytes(
      MakeFrame(kvtOlmoKindWrite, 4242, [](kvtOlmoFrame& f) { f.SetAsUInt(1); })));
  ASSERT_EQ(client.QueryDownloadConfiguration(target, ""), 0);
  ASSERT_TRUE(WaitFor([&] { return events.DownloadEnded(); }));
  EXPECT_EQ(events.LastDownload().GetError(), 0);
  EXPECT_EQ(events.reads, 0);
  // Once the download has ended, frames reach the owner again.
  server.SendFrameToMonitor(MakeFrame(kvtOlmoKindWrite, 4243, [](kvtOlmoFrame& f) { f.SetAsUInt(2); }));
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
  const std::vector<uint32_t> expected = {CmdQueryFileDelete, CmdQueryDbMd5, CmdQueryDbMaxSize,
                                          CmdQueryFileAppendData, CmdQueryFileAppendData,
                                          CmdQueryFileMd5, CmdQueryDbChange};
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
  client.QueryServerVersion();  // marker: anything queued by the upload went out before it
  ASSERT_TRUE(WaitFor([&] { return RequestCodes().back() == uint32_t(CmdQueryServerVersion); }));
  EXPECT_TRUE(server.AppendSizes().empty());
}

TEST_F(OlmoTransfer, UploadOfEmptyFileIsRefusedAtOnce) {
  WriteFile(target, "");
  EXPECT_NE(client.QueryUploadConfiguration(target, 524288), 0);
  ASSERT_EQ(events.UploadCount(), 1u);  // delivered before the call returned
  const kvtUploadProgress p = events.LastUpload();
  EXPECT_TRUE(p.IsEnd());
  EXPECT_NE(p.GetError(), 0);
  EXPECT_EQ(p.GetInfo(), "Configuration file is empty");
  // Not active: a real upload may start right away.
  WriteFile(target, "x");
  EXPECT_EQ(client.QueryUploadConfiguration(target, 524288), 0);
  ASSERT_TRUE(WaitFor([&] { return events.UploadEnded() && events.UploadCount() > 1; }));
  EXPECT_EQ(server.GetDatabase(), "x");
}

TEST_F(OlmoTransfer, UploadOfMissingFileIsRefused) {
  EXPECT_EQ(client.QueryUploadConfiguration(target + ".missing", 524288), int(kvtErrorFailed));
  EXPECT_EQ(events.UploadCount(), 0u);
  WriteFile(target, "abc");
  EXPECT_EQ(client.QueryUploadConfiguration(target, 524288), 0);  // nothing was left active
}

TEST_F(OlmoTransfer, UnreadableUploadAnswerEndsAsFailure) {
  WriteFile(target, "abc");
  server.SetHandler([](OlmoFakeServer& s, const kvtOlmoFrame& f) {
    if (f.GetCode() != CmdQueryFileDelete) return false;
    s.Reply(kvtTypeString, CmdQueryFileDelete, [](kvtOlmoFrame& r) { r.SetAsString("not json"); });
    return true;
  });
  ASSERT_EQ(client.QueryUploadConfiguration(target, 524288), 0);
  ASSERT_TRUE(WaitFor([&] { return events.UploadEnded(); }));
  EXPECT_NE(events.LastUpload().GetError(), 0);
}
