#include "simzephron.h"

#include <cstring>

namespace {

const size_t kHeader = 21;

uint32_t read32(const unsigned char* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint16_t read16(const unsigned char* p)
{
    return uint16_t(p[0] | p[1] << 8);
}

} // namespace

uint16_t SimZephron::crc16(const unsigned char* data, size_t length)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

bool SimZephron::parse(const unsigned char* data, size_t length, Parsed& out, std::string& why)
{
    if (!data || length < kHeader) {
        why = "frame shorter than its header";
        return false;
    }
    if (crc16(data, 19) != read16(data + 19)) {
        why = "header CRC mismatch";
        return false;
    }
    uint32_t n = read32(data + 15);
    if (n > 0) {
        // Compare in 64 bits: n comes from the wire and may be close to 2^32.
        if (uint64_t(length) < uint64_t(n) + kHeader + 2) {
            why = "payload shorter than announced";
            return false;
        }
        if (crc16(data + kHeader, n) != read16(data + length - 2)) {
            why = "payload CRC mismatch";
            return false;
        }
    }
    out.type = data[12] & 0x0F;
    out.code = read16(data + 13);
    out.payload.assign(reinterpret_cast<const char*>(data + kHeader), n);
    return true;
}

std::vector<unsigned char> SimZephron::build(uint16_t code, const std::string& text)
{
    uint32_t n = uint32_t(text.size());
    std::vector<unsigned char> f(kHeader + n + 2, 0);
    f[12] = 0x01;
    f[13] = uint8_t(code);
    f[14] = uint8_t(code >> 8);
    for (int i = 0; i < 4; ++i)
        f[15 + i] = uint8_t(n >> (8 * i));
    uint16_t hc = crc16(f.data(), 19);
    f[19] = uint8_t(hc);
    f[20] = uint8_t(hc >> 8);
    if (n)
        std::memcpy(f.data() + kHeader, text.data(), n);
    uint16_t pc = crc16(f.data() + kHeader, n);
    f[kHeader + n] = uint8_t(pc);
    f[kHeader + n + 1] = uint8_t(pc >> 8);
    return f;
}
