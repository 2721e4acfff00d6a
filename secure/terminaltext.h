#pragma once
// Text from the network or from a file, made safe to print on a terminal.
#include <string>

// Every control character becomes a \u00XX escape: the C0 controls (but tab and line feed when
// keepLines), DEL, and the C1 controls U+0080..U+009F in their UTF-8 form, which some terminals
// take as the start of an escape sequence. The escapes mean the same inside a JSON string, so a
// JSON line stays valid.
std::string terminalSafe(const std::string &text, bool keepLines);
