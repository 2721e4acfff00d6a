#ifndef KVT_LOG_H
#define KVT_LOG_H

#include <string>

namespace kvt {

// How much a report matters. Notes of the SDK's own life (threads ending, channel events,
// the heartbeat) are Debug; kvtWarning reports are Warning; every error number is Error.
enum class kvtLogLevel : int { Debug = 0, Info = 1, Warning = 2, Error = 3 };

const char *to_string(kvtLogLevel level); // "debug", "info", "warning", "error"

// The level of a kvtError number: kvtInfo (0) is Debug, kvtWarning (1) Warning, others Error.
kvtLogLevel kvtLogLevelOfError(int number);

// Where the SDK's reports go. The owner of the process sets it once (the desktop routes it
// into its logging categories); it runs on whichever SDK thread reports, so it must be quick
// and must not call back into the SDK. text is the complete report, ending in a line break.
typedef void (*kvtLogSinkFunction)(void *owner, kvtLogLevel level, const std::string &text);

// Reports below minimum never reach the sink (nor get formatted, where the caller asks
// kvtLogWants first). sink nullptr restores the default sink, which prints to standard
// output in colour; its default minimum is Warning, so a normal run prints nothing unasked.
void kvtLogSetSink(kvtLogSinkFunction sink, void *owner, kvtLogLevel minimum = kvtLogLevel::Warning);

// True when a report of this level would reach the sink: lets a caller skip building text.
bool kvtLogWants(kvtLogLevel level);

// Hands one report to the sink, if its level is wanted.
void kvtLogWrite(kvtLogLevel level, const std::string &text);
// The same, formatted as printf does; nothing is formatted when the level is not wanted.
void kvtLogPrintf(kvtLogLevel level, const char *format, ...) __attribute__((format(printf, 2, 3)));

} // namespace kvt

#endif
