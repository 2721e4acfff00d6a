#ifndef KVT_ERROR_H
#define KVT_ERROR_H

#include <cstdint>
#include <string>

namespace kvt {

// Error numbers: 0 is a note, 1 a warning, 2 and above are errors.
enum kvtErrorNumber : int {
    kvtInfo = 0,
    kvtWarning = 1,
    kvtErrorFailed = 2,
    kvtErrorStdLib = 3,
    kvtErrorUnknown = 4,
    kvtErrorInvalidPointer = 5,
    kvtErrorOutOfMemory = 6,
    kvtErrorInvalidArgument = 7,
    kvtErrorOutOfRange = 8,
    kvtErrorDivisionByZero = 9,
    kvtErrorNetwork = 10,
    // A request to a server made while the connection is not ready: refused at once,
    // nothing was queued (the caller can answer "not connected").
    kvtErrorNotConnected = 11
};

// Bits of kvtErrorOutputs.
enum kvtErrorOutput : uint32_t {
    kvtErrorOutputConsole = 0x1, // the log sink of kvt_log.h (by default the console)
    kvtErrorOutputLogFile = 0x2,
    kvtErrorOutputThrow = 0x4,
    kvtErrorOutputCallback = 0x8
};

// One error record: its number and the complete report text, built once.
class kvtError {
public:
    kvtError(int number, const std::string &message, const char *sourceFile, const char *functionName,
             int line);

    int GetNumber() const { return m_iNumber; }
    const std::string &GetText() const { return m_strText; }

private:
    int m_iNumber;
    std::string m_strText;
};

typedef void (*kvtErrorCallbackFunction)(const kvtError &error);

// Process-wide report settings; set them once at start-up.
extern uint32_t kvtErrorOutputs;                  // default kvtErrorOutputConsole
extern uint32_t kvtErrorLogMaxSize;               // default 512000
extern std::string kvtErrorLogFileName;           // default "kvt_system.log"
extern kvtErrorCallbackFunction kvtErrorCallback; // default none

// Console colour: -1 only when standard output is a terminal (default), 0 never, 1 always.
extern int kvtErrorConsoleColour;

// Writes the record to the selected outputs and returns its number.
int kvtErrorReport(const kvtError &error);

std::string kvtErrorToString(int number);
// Platform error code as "code text"; -1 means the calling thread's last error (errno).
std::string kvtErrorWindowsToString(int code);
// Standard-library error number as "code text"; -1 means the current errno.
std::string kvtErrorStdToString(int code);

} // namespace kvt

#endif
