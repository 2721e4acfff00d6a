#include "kvt_error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "kvt_log.h"

namespace kvt {

uint32_t kvtErrorOutputs = kvtErrorOutputConsole;
uint32_t kvtErrorLogMaxSize = 512000;
std::string kvtErrorLogFileName = "kvt_system.log";
kvtErrorCallbackFunction kvtErrorCallback = nullptr;
int kvtErrorConsoleColour = -1;

namespace {

const char *const kSourceFile = "kvt_sdk/source/kvt_error";

// Reports may come from any thread; one lock keeps each report's output whole
// and the colour of one report from leaking into another.
std::mutex &outputLock() {
    static std::mutex lock;
    return lock;
}

long g_lastLogSize = 0; // guarded by outputLock()

std::string trimLineBreaks(const std::string &text) {
    const char *const blanks = "\n\t";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

std::string timeStamp() {
    time_t now = time(nullptr);
    struct tm local;
    char buffer[64] = {0};
    if (localtime_r(&now, &local) == nullptr || asctime_r(&local, buffer) == nullptr)
        return std::string();
    return trimLineBreaks(buffer);
}

std::string formatInt(const char *format, int value) {
    char buffer[64];
    snprintf(buffer, sizeof(buffer), format, value);
    return buffer;
}

// Keeps the last half of the limit of an over-long log.
void trimLog(const std::string &fileName, long size) {
    const long half = static_cast<long>(kvtErrorLogMaxSize / 2);
    FILE *in = fopen(fileName.c_str(), "rb");
    if (in == nullptr)
        return;
    long from = size > half ? size - half : 0;
    std::vector<char> tail(static_cast<size_t>(size - from));
    size_t got = 0;
    if (fseek(in, from, SEEK_SET) == 0)
        got = fread(tail.data(), 1, tail.size(), in);
    fclose(in);
    FILE *out = fopen(fileName.c_str(), "wb");
    if (out == nullptr)
        return;
    fwrite(tail.data(), 1, got, out);
    fclose(out);
}

void writeLogFile(const kvtError &error) {
    const std::string fileName = kvtErrorLogFileName;
    FILE *log = fopen(fileName.c_str(), "a+");
    long size = g_lastLogSize;
    if (log != nullptr && fseek(log, 0, SEEK_END) == 0) {
        long position = ftell(log);
        if (position >= 0)
            size = g_lastLogSize = position;
    }
    if (size > static_cast<long>(kvtErrorLogMaxSize)) {
        if (log != nullptr)
            fclose(log);
        trimLog(fileName, size);
        log = fopen(fileName.c_str(), "a+");
        if (log != nullptr && fseek(log, 0, SEEK_END) == 0)
            g_lastLogSize = ftell(log);
    }
    if (log == nullptr)
        return;
    fputs(error.GetText().c_str(), log);
    fclose(log);
}

} // namespace

kvtError::kvtError(int number, const std::string &message, const char *sourceFile, const char *functionName,
                   int line)
    : m_iNumber(number) {
    const char *file = sourceFile ? sourceFile : "";
    const char *function = functionName ? functionName : "";
    std::string body;
    if (number == kvtInfo || number == kvtWarning) {
        char where[256];
        snprintf(where, sizeof(where), "[FILE:%s][FUNCTION:%s][LINE:%i]", file, function, line);
        body = message + where;
    } else {
        body = std::string("File ----------- : ") + file + "\n" + "Function ------- : " + function + "\n" +
               "Line Number ---- : " + formatInt("%i", line) + "\n" + "Custom Message - : " + message;
    }
    std::string header;
    if (number == kvtInfo)
        header = "Info : ";
    else if (number == kvtWarning)
        header = "Warning : ";
    else
        header = formatInt("kvtError Number : %i\n", number) + kvtErrorToString(number) + "\n";
    m_strText = "[" + timeStamp() + "]\n" + header + body + "\n";
}

int kvtErrorReport(const kvtError &error) {
    const uint32_t outputs = kvtErrorOutputs;
    {
        std::lock_guard<std::mutex> guard(outputLock());
        if (outputs & kvtErrorOutputLogFile)
            writeLogFile(error);
    }
    // The console output is the owner's sink (by default standard output, warnings and errors).
    if (outputs & kvtErrorOutputConsole)
        kvtLogWrite(kvtLogLevelOfError(error.GetNumber()), error.GetText());
    if (outputs & kvtErrorOutputThrow)
        throw kvtError(error);
    if ((outputs & kvtErrorOutputCallback) && kvtErrorCallback != nullptr)
        kvtErrorCallback(error);
    return error.GetNumber();
}

std::string kvtErrorToString(int number) {
    switch (number) {
    case kvtInfo:
        return "The operation completed succefully.";
    case kvtErrorFailed:
        return "The operation failed.";
    case kvtErrorStdLib:
        return "Standard Library kvtError.";
    case kvtErrorUnknown:
        return "Unknown error.";
    case kvtErrorInvalidPointer:
        return "Invalid Pointer.";
    case kvtErrorOutOfMemory:
        return "Out of memory.";
    case kvtErrorInvalidArgument:
        return "Invalid Argument.";
    case kvtErrorOutOfRange:
        return "Out of Range.";
    case kvtErrorDivisionByZero:
        return "Division By Zero.";
    case kvtErrorNetwork:
        return "Network communication error.";
    case kvtErrorNotConnected:
        return "Not connected.";
    default:
        return "kvtError description not found. Update kvtErrorToString function.!";
    }
}

namespace {

// strerror_r comes in two flavours; both overloads catch whichever the C library offers.
[[maybe_unused]] const char *strerrorResult(int result, const char *buffer) {
    return result == 0 ? buffer : "";
}
[[maybe_unused]] const char *strerrorResult(const char *result, const char *) {
    return result ? result : "";
}

std::string systemText(int code) {
    char buffer[256] = {0};
    return strerrorResult(strerror_r(code, buffer, sizeof(buffer)), buffer);
}

} // namespace

std::string kvtErrorWindowsToString(int code) {
    if (code == -1)
        code = errno;
    if (code == 0)
        return "0 No error";
    std::string text = systemText(code);
    if (text.empty()) {
        kvtErrorReport(kvtError(kvtErrorFailed, "System message not available.", kSourceFile,
                                "kvt::kvtErrorWindowsToString", __LINE__));
        return "System message not available.";
    }
    return formatInt("%i", code) + " " + text;
}

std::string kvtErrorStdToString(int code) {
    if (code == -1)
        code = errno;
    if (code == 0)
        return "0 No error";
    return formatInt("%i", code) + " " + systemText(code);
}

} // namespace kvt
