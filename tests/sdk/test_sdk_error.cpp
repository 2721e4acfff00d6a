// Error records: text forms, number descriptions, report outputs and the log file trimming.

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include <unistd.h>

#include "kvt_error.h"
#include "kvt_log.h"
#include "sdk_test_support.h"

using namespace kvt;
using sdktest::SplitLines;

namespace {

// "[Www Mmm dd hh:mm:ss yyyy]", the asctime form without its line break.
bool IsStampLine(const std::string &line) {
    static const std::string days = "SunMonTueWedThuFriSat";
    static const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    if (line.size() != 26 || line.front() != '[' || line.back() != ']')
        return false;
    const std::string stamp = line.substr(1, 24);
    const std::string shape = "aaa aaa _d dd:dd:dd dddd";
    for (size_t i = 0; i < shape.size(); ++i) {
        const char c = stamp[i];
        const bool ok = shape[i] == 'a'   ? isalpha(static_cast<unsigned char>(c)) != 0
                        : shape[i] == 'd' ? isdigit(static_cast<unsigned char>(c)) != 0
                        : shape[i] == '_' ? (c == ' ' || isdigit(static_cast<unsigned char>(c)))
                                          : c == shape[i];
        if (!ok)
            return false;
    }
    return days.find(stamp.substr(0, 3)) % 3 == 0 && days.find(stamp.substr(0, 3)) != std::string::npos &&
           months.find(stamp.substr(4, 3)) != std::string::npos && months.find(stamp.substr(4, 3)) % 3 == 0;
}
const std::string kNotFound = "kvtError description not found. Update kvtErrorToString function.!";

// Restores the process-wide settings that a test changes.
class ErrorSettings : public ::testing::Test {
protected:
    void SetUp() override {
        m_outputs = kvtErrorOutputs;
        m_maxSize = kvtErrorLogMaxSize;
        m_fileName = kvtErrorLogFileName;
        m_colour = kvtErrorConsoleColour;
        m_callback = kvtErrorCallback;
    }
    void TearDown() override {
        kvtErrorOutputs = m_outputs;
        kvtErrorLogMaxSize = m_maxSize;
        kvtErrorLogFileName = m_fileName;
        kvtErrorConsoleColour = m_colour;
        kvtErrorCallback = m_callback;
        kvtLogSetSink(nullptr, nullptr);
    }

    std::string ReportToStdout(const kvtError &error, int *result = nullptr) {
        testing::internal::CaptureStdout();
        int number = kvtErrorReport(error);
        std::string out = testing::internal::GetCapturedStdout();
        if (result)
            *result = number;
        return out;
    }

    uint32_t m_outputs = 0;
    uint32_t m_maxSize = 0;
    std::string m_fileName;
    int m_colour = -1;
    kvtErrorCallbackFunction m_callback = nullptr;
};

std::string TempPath(const std::string &name) {
    return ::testing::TempDir() + "kvt_sdk_error_" + std::to_string(getpid()) + "_" + name;
}

long FileSize(const std::string &path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return in ? static_cast<long>(in.tellg()) : -1;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

} // namespace

TEST(kvtErrorToStringTest, DescriptionOfEveryNumber) {
    const struct {
        int number;
        const char *text;
    } cases[] = {
        {0, "The operation completed succefully."},
        {1, kNotFound.c_str()},
        {2, "The operation failed."},
        {3, "Standard Library kvtError."},
        {4, "Unknown error."},
        {5, "Invalid Pointer."},
        {6, "Out of memory."},
        {7, "Invalid Argument."},
        {8, "Out of Range."},
        {9, "Division By Zero."},
        {10, "Network communication error."},
        {11, "Not connected."},
        {12, kNotFound.c_str()},
        {-1, kNotFound.c_str()},
        {-100000, kNotFound.c_str()},
    };
    for (const auto &c : cases)
        EXPECT_EQ(kvtErrorToString(c.number), c.text) << "number " << c.number;
}

TEST(kvtErrorTextTest, ErrorTakesSevenLines) {
    kvtError error(kvtErrorNetwork, "Socket is close.", "kvt_sdk/source/os/kvt_ostcpsocket",
                   "kvt::kvtOsTcpSocket::Send", 321);
    EXPECT_EQ(error.GetNumber(), 10);
    const std::string &text = error.GetText();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    std::vector<std::string> lines = SplitLines(text);
    ASSERT_EQ(lines.size(), 7u) << text;
    EXPECT_TRUE(IsStampLine(lines[0])) << lines[0];
    EXPECT_EQ(lines[1], "kvtError Number : 10");
    EXPECT_EQ(lines[2], "Network communication error.");
    EXPECT_EQ(lines[3], "File ----------- : kvt_sdk/source/os/kvt_ostcpsocket");
    EXPECT_EQ(lines[4], "Function ------- : kvt::kvtOsTcpSocket::Send");
    EXPECT_EQ(lines[5], "Line Number ---- : 321");
    EXPECT_EQ(lines[6], "Custom Message - : Socket is close.");
}

TEST(kvtErrorTextTest, NoteAndWarningTakeTwoLines) {
    const struct {
        int number;
        const char *header;
    } cases[] = {{kvtInfo, "Info : "}, {kvtWarning, "Warning : "}};
    for (const auto &c : cases) {
        kvtError note(c.number, "Exit kvtOsTcpSocketConnector::thread",
                      "kvt_sdk/source/os/kvt_ostcpsocketconnector", "kvt::kvtOsTcpSocketConnector::thread",
                      77);
        std::vector<std::string> lines = SplitLines(note.GetText());
        ASSERT_EQ(lines.size(), 2u) << note.GetText();
        EXPECT_TRUE(IsStampLine(lines[0])) << lines[0];
        EXPECT_EQ(lines[1], std::string(c.header) +
                                "Exit kvtOsTcpSocketConnector::thread"
                                "[FILE:kvt_sdk/source/os/kvt_ostcpsocketconnector]"
                                "[FUNCTION:kvt::kvtOsTcpSocketConnector::thread][LINE:77]");
    }
}

TEST(kvtErrorTextTest, UnknownNumbersUseNotFoundText) {
    for (int number : {12, -1, -42}) {
        kvtError error(number, "m", "f", "g", 1);
        std::vector<std::string> lines = SplitLines(error.GetText());
        ASSERT_EQ(lines.size(), 7u);
        EXPECT_EQ(lines[1], "kvtError Number : " + std::to_string(number));
        EXPECT_EQ(lines[2], kNotFound);
    }
}

TEST(kvtErrorTextTest, CopyKeepsNumberAndText) {
    kvtError error(kvtErrorFailed, "message", "file", "kvt::f", 5);
    kvtError copy = error;
    EXPECT_EQ(copy.GetNumber(), error.GetNumber());
    EXPECT_EQ(copy.GetText(), error.GetText());
}

TEST_F(ErrorSettings, DefaultOutputsPrintTextAndReturnNumber) {
    ASSERT_EQ(kvtErrorOutputs, static_cast<uint32_t>(kvtErrorOutputConsole));
    ASSERT_EQ(kvtErrorLogMaxSize, 512000u);
    ASSERT_EQ(kvtErrorLogFileName, "kvt_system.log");
    ASSERT_EQ(kvtErrorCallback, nullptr);

    // Standard output is captured (not a terminal): the text comes out unchanged, without colour codes.
    kvtError error(kvtErrorInvalidArgument, "pNode == 0", "kvt_sdk/source/kvt_json",
                   "kvt::kvtJson::GetNodeValueAsInt", 9);
    int number = -1;
    std::string out;
    EXPECT_NO_THROW(out = ReportToStdout(error, &number));
    EXPECT_EQ(number, 7);
    EXPECT_EQ(out, error.GetText());
    EXPECT_EQ(access("kvt_system.log", F_OK), -1) << "the log file is off by default";
}

TEST_F(ErrorSettings, ConsoleColourByNumberAndRestored) {
    kvtErrorConsoleColour = 1;
    kvtLogSetSink(nullptr, nullptr, kvtLogLevel::Debug);
    const struct {
        int number;
        const char *colour;
    } cases[] = {{0, "\033[37m"},  {1, "\033[33m"},  {2, "\033[31m"},
                 {10, "\033[31m"}, {11, "\033[31m"}, {-3, "\033[31m"}};
    for (const auto &c : cases) {
        kvtError error(c.number, "text", "file", "kvt::f", 1);
        std::string out = ReportToStdout(error);
        EXPECT_EQ(out, c.colour + error.GetText() + "\033[0m") << "number " << c.number;
    }
    kvtErrorConsoleColour = 0;
    kvtError error(kvtErrorFailed, "text", "file", "kvt::f", 1);
    EXPECT_EQ(ReportToStdout(error), error.GetText());
}

namespace {
struct SinkEntry {
    void *owner;
    kvtLogLevel level;
    std::string text;
};
std::vector<SinkEntry> g_sunk;
void RememberSunk(void *owner, kvtLogLevel level, const std::string &text) {
    g_sunk.push_back({owner, level, text});
}
} // namespace

TEST_F(ErrorSettings, DefaultSinkPrintsWarningsAndErrorsOnly) {
    kvtErrorConsoleColour = 0;
    const struct {
        int number;
        bool printed;
    } cases[] = {{kvtInfo, false}, {kvtWarning, true}, {kvtErrorFailed, true}, {kvtErrorNotConnected, true}};
    for (const auto &c : cases) {
        kvtError error(c.number, "text", "file", "kvt::f", 1);
        EXPECT_EQ(ReportToStdout(error), c.printed ? error.GetText() : "") << "number " << c.number;
    }
    testing::internal::CaptureStdout();
    kvtLogPrintf(kvtLogLevel::Debug, "beat %i\n", 3);
    kvtLogPrintf(kvtLogLevel::Warning, "beat %i\n", 4);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "beat 4\n");
}

TEST_F(ErrorSettings, OwnerSinkGetsLevelsFromItsMinimumAndTheDefaultComesBack) {
    g_sunk.clear();
    int owner = 0;
    kvtLogSetSink(&RememberSunk, &owner, kvtLogLevel::Debug);
    const struct {
        int number;
        kvtLogLevel level;
    } cases[] = {{kvtInfo, kvtLogLevel::Debug},
                 {kvtWarning, kvtLogLevel::Warning},
                 {kvtErrorNetwork, kvtLogLevel::Error},
                 {-3, kvtLogLevel::Error}};
    for (const auto &c : cases) {
        kvtError error(c.number, "text", "file", "kvt::f", 1);
        EXPECT_EQ(ReportToStdout(error), "") << "the owner's sink replaces the console";
        ASSERT_FALSE(g_sunk.empty());
        EXPECT_EQ(g_sunk.back().owner, &owner);
        EXPECT_EQ(g_sunk.back().level, c.level) << "number " << c.number;
        EXPECT_EQ(g_sunk.back().text, error.GetText());
    }
    g_sunk.clear();
    kvtLogSetSink(&RememberSunk, &owner, kvtLogLevel::Error);
    EXPECT_FALSE(kvtLogWants(kvtLogLevel::Warning));
    kvtLogPrintf(kvtLogLevel::Warning, "dropped %s", "here");
    kvtLogPrintf(kvtLogLevel::Error, "kept %s", "here");
    ASSERT_EQ(g_sunk.size(), 1u);
    EXPECT_EQ(g_sunk[0].text, "kept here");
    EXPECT_STREQ(to_string(g_sunk[0].level), "error");

    kvtLogSetSink(nullptr, nullptr);
    kvtErrorConsoleColour = 0;
    kvtError error(kvtErrorFailed, "text", "file", "kvt::f", 1);
    EXPECT_EQ(ReportToStdout(error), error.GetText());
    EXPECT_EQ(g_sunk.size(), 1u);
}

TEST_F(ErrorSettings, ThrowOutputThrowsACopy) {
    kvtErrorOutputs = kvtErrorOutputThrow;
    kvtError error(kvtErrorOutOfRange, "index", "file", "kvt::f", 3);
    try {
        kvtErrorReport(error);
        FAIL() << "no exception";
    } catch (const kvtError &thrown) {
        EXPECT_EQ(thrown.GetNumber(), 8);
        EXPECT_EQ(thrown.GetText(), error.GetText());
    }
}

namespace {
std::vector<std::string> g_callbackTexts;
void RememberReport(const kvtError &error) {
    g_callbackTexts.push_back(error.GetText());
}
} // namespace

TEST_F(ErrorSettings, CallbackOutputCallsCallbackOnlyWhenSet) {
    g_callbackTexts.clear();
    kvtErrorOutputs = kvtErrorOutputCallback;
    kvtError error(kvtWarning, "Reset connection with olmo", "file", "kvt::f", 3);
    EXPECT_EQ(ReportToStdout(error), "") << "console output is off";
    EXPECT_TRUE(g_callbackTexts.empty()) << "no callback set";
    kvtErrorCallback = &RememberReport;
    EXPECT_EQ(kvtErrorReport(error), 1);
    ASSERT_EQ(g_callbackTexts.size(), 1u);
    EXPECT_EQ(g_callbackTexts[0], error.GetText());
}

TEST_F(ErrorSettings, LogFileAppendsAndTrimsAboveTheLimit) {
    kvtErrorOutputs = kvtErrorOutputLogFile;
    const struct {
        long initialSize;
        long keptSize;
    } cases[] = {{0, 0}, {1000, 1000}, {512000, 512000}, {512001, 256000}, {700000, 256000}};
    for (const auto &c : cases) {
        const std::string path = TempPath("log_" + std::to_string(c.initialSize));
        std::string content;
        for (long i = 0; i < c.initialSize; ++i)
            content += static_cast<char>('a' + (i % 26));
        {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out << content;
        }
        kvtErrorLogFileName = path;
        kvtError error(kvtErrorFailed, "logged", "file", "kvt::f", 1);
        EXPECT_EQ(kvtErrorReport(error), 2);
        const std::string after = ReadFile(path);
        ASSERT_EQ(static_cast<long>(after.size()), c.keptSize + static_cast<long>(error.GetText().size()))
            << "initial size " << c.initialSize;
        EXPECT_EQ(after.substr(0, c.keptSize), content.substr(content.size() - c.keptSize));
        EXPECT_EQ(after.substr(c.keptSize), error.GetText());
        unlink(path.c_str());
    }
}

TEST_F(ErrorSettings, LogFileThatCannotOpenIsSkipped) {
    kvtErrorOutputs = kvtErrorOutputLogFile;
    kvtErrorLogFileName = TempPath("missing_dir/sub/kvt_system.log");
    EXPECT_EQ(kvtErrorReport(kvtError(kvtErrorFailed, "x", "f", "kvt::f", 1)), 2);
    EXPECT_EQ(FileSize(kvtErrorLogFileName), -1);
}

TEST_F(ErrorSettings, ConcurrentReportsStayWhole) {
    kvtErrorConsoleColour = 1;
    kvtLogSetSink(nullptr, nullptr, kvtLogLevel::Debug);
    const int threads = 4;
    const int reports = 50;
    testing::internal::CaptureStdout();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t] {
            for (int i = 0; i < reports; ++i)
                kvtErrorReport(kvtError(t % 2 == 0 ? kvtErrorNetwork : kvtInfo,
                                        "thread " + std::to_string(t) + " report " + std::to_string(i), "f",
                                        "kvt::f", i));
        });
    }
    for (std::thread &w : workers)
        w.join();
    std::string out = testing::internal::GetCapturedStdout();
    // Each report is colour, text and reset in one piece.
    std::set<std::string> expected;
    for (int t = 0; t < threads; ++t) {
        for (int i = 0; i < reports; ++i) {
            const std::string message = "thread " + std::to_string(t) + " report " + std::to_string(i);
            const std::string line = std::to_string(i);
            expected.insert(
                t % 2 == 0
                    ? "\033[31m|kvtError Number : 10\nNetwork communication error.\nFile ----------- : f\n"
                      "Function ------- : kvt::f\nLine Number ---- : " +
                          line + "\nCustom Message - : " + message + "\n"
                    : "\033[37m|Info : " + message + "[FILE:f][FUNCTION:kvt::f][LINE:" + line + "]\n");
        }
    }
    const std::string reset = "\033[0m";
    size_t begin = 0;
    size_t whole = 0;
    for (size_t end; (end = out.find(reset, begin)) != std::string::npos; begin = end + reset.size()) {
        const std::string piece = out.substr(begin, end - begin);
        const size_t stampEnd = piece.find("]\n");
        ASSERT_NE(stampEnd, std::string::npos) << piece;
        ASSERT_GE(piece.size(), 5u);
        EXPECT_TRUE(IsStampLine(piece.substr(5, stampEnd - 5 + 1))) << piece;
        whole += expected.erase(piece.substr(0, 5) + "|" + piece.substr(stampEnd + 2));
    }
    EXPECT_EQ(begin, out.size()) << "nothing outside the reports";
    EXPECT_EQ(whole, static_cast<size_t>(threads * reports));
    EXPECT_TRUE(expected.empty());
}

TEST(kvtErrorPlatformTextTest, CodesToText) {
    EXPECT_EQ(kvtErrorWindowsToString(0), "0 No error");
    EXPECT_EQ(kvtErrorStdToString(0), "0 No error");
    EXPECT_EQ(kvtErrorStdToString(ENOENT), "2 No such file or directory");
    EXPECT_EQ(kvtErrorWindowsToString(ECONNREFUSED), "111 Connection refused");
    errno = EACCES;
    EXPECT_EQ(kvtErrorStdToString(-1), "13 Permission denied");
    errno = ETIMEDOUT;
    EXPECT_EQ(kvtErrorWindowsToString(-1), "110 Connection timed out");
    errno = 0;
    EXPECT_EQ(kvtErrorWindowsToString(-1), "0 No error");
}
