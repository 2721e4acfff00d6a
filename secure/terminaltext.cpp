#include "terminaltext.h"

#include <cstdio>

namespace {

void escape(std::string &out, unsigned code) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\u%04x", code);
    out += buffer;
}

// The length of the well-formed UTF-8 sequence at text[i], or 0 when there is none.
size_t sequenceLength(const std::string &text, size_t i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
    if (n == 0 || i + n > text.size())
        return 0;
    for (size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
            return 0;
    return n;
}

} // namespace

std::string terminalSafe(const std::string &text, bool keepLines) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if ((c < 0x20 && !(keepLines && (c == '\t' || c == '\n'))) || c == 0x7F)
                escape(out, c);
            else
                out += char(c);
            continue;
        }
        const size_t n = sequenceLength(text, i);
        const unsigned char next = n == 2 ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (n == 2 && c == 0xC2 && next <= 0x9F) {
            escape(out, next); // U+0080..U+009F
        } else if (n > 0) {
            out.append(text, i, n);
        } else if (c <= 0x9F) {
            escape(out, c); // a lone byte that an 8-bit terminal takes as a C1 control
        } else {
            out += char(c);
        }
        i += n > 0 ? n - 1 : 0;
    }
    return out;
}
