#pragma once
// The server side of Zephron bus frames: checks a received frame (header and payload CRC-16/ARC)
// and builds the text messages the server sends back.
#include <cstdint>
#include <string>
#include <vector>

class SimZephron
{
public:
    static uint16_t crc16(const unsigned char* data, size_t length);

    struct Parsed
    {
        uint8_t type = 0;
        uint16_t code = 0;
        std::string payload;
    };
    // False with a reason when the frame is too short, announces more payload than it holds, or
    // fails either CRC.
    static bool parse(const unsigned char* data, size_t length, Parsed& out, std::string& why);

    // Header (type 1, the given code) + text payload + payload CRC.
    static std::vector<unsigned char> build(uint16_t code, const std::string& text);
};
