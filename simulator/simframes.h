#pragma once
// Builds the frames the simulator sends, always through kvtOlmoFrame, and reads written values.
#include "simparameters.h"

#include <kvt_olmoframe.h>

#include <string>
#include <vector>

class SimFrames {
public:
    static std::string wire(const kvt::kvtOlmoFrame &f);

    static std::string none(uint32_t code, uint8_t kind);
    static std::string uchar(uint32_t code, uint8_t kind, unsigned char v);
    static std::string uint(uint32_t code, uint8_t kind, uint32_t v);
    static std::string ulong(uint32_t code, uint8_t kind, uint32_t v);
    static std::string real(uint32_t code, uint8_t kind, float v);
    static std::string text(uint32_t code, uint8_t kind, const std::string &v);
    static std::string data(uint32_t code, uint8_t kind, const unsigned char *bytes, size_t length);
    static std::string parameter(const SimParameter &p, uint8_t kind);

    // The value of a write frame, for the parameter table.
    static SimWrittenValue writtenValue(const kvt::kvtOlmoFrame &f);
    // The text of a string frame, bounded by its payload (a frame may lack the terminating NUL).
    static std::string textOf(const kvt::kvtOlmoFrame &f);
};
