#include "kvt_zephronframe.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kvt {

namespace {
constexpr size_t kOffSourceAddress = 0;
constexpr size_t kOffSourcePort = 4;
constexpr size_t kOffDestinationAddress = 6;
constexpr size_t kOffDestinationPort = 10;
constexpr size_t kOffType = 12;
constexpr size_t kOffCode = 13;
constexpr size_t kOffPayloadLength = 15;
constexpr size_t kOffHeaderCrc = 19;
constexpr size_t kHeaderCrcCovers = 19;

void writeLE(std::vector<uint8_t> &buffer, size_t offset, uint32_t value, size_t width) {
    for (size_t i = 0; i < width; ++i)
        buffer[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}
} // namespace

kvtZephronFrame::kvtZephronFrame(const uint8_t *bytes, uint32_t length) {
    if (bytes && length > 0)
        m_buffer.assign(bytes, bytes + length);
}

uint16_t kvtZephronFrame::Crc16(const uint8_t *bytes, size_t length) {
    uint16_t crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

std::vector<uint8_t> kvtZephronFrame::Build(uint8_t type, uint8_t subType, uint16_t code,
                                            const uint8_t *payload, uint32_t length) {
    if (!payload)
        length = 0;
    std::vector<uint8_t> frame(size_t(kHeaderLength) + length + kCrcLength, 0);
    frame[kOffType] = static_cast<uint8_t>((type & 0x0F) | ((subType & 0x0F) << 4));
    writeLE(frame, kOffCode, code, 2);
    writeLE(frame, kOffPayloadLength, length, 4);
    writeLE(frame, kOffHeaderCrc, Crc16(frame.data(), kHeaderCrcCovers), 2);
    if (length > 0)
        std::memcpy(frame.data() + kHeaderLength, payload, length);
    writeLE(frame, size_t(kHeaderLength) + length, Crc16(frame.data() + kHeaderLength, length), 2);
    return frame;
}

uint32_t kvtZephronFrame::readLE(size_t offset, size_t width) const {
    if (offset + width > m_buffer.size())
        return 0;
    uint32_t value = 0;
    for (size_t i = 0; i < width; ++i)
        value |= uint32_t(m_buffer[offset + i]) << (8 * i);
    return value;
}

std::string kvtZephronFrame::addressText(size_t offset) const {
    uint8_t b[4] = {0, 0, 0, 0};
    if (offset + 4 <= m_buffer.size())
        std::memcpy(b, m_buffer.data() + offset, 4);
    char text[16];
    std::snprintf(text, sizeof text, "%.2X:%.2X:%.2X:%.2X", b[0], b[1], b[2], b[3]);
    return text;
}

bool kvtZephronFrame::IsValid() const {
    return IsHeaderCrcValid() && IsPayloadCrcValid();
}

const uint8_t *kvtZephronFrame::GetBuffer() const {
    return m_buffer.data();
}

uint32_t kvtZephronFrame::GetBufferLength() const {
    return static_cast<uint32_t>(m_buffer.size());
}

const uint8_t *kvtZephronFrame::GetPayload() const {
    return m_buffer.size() > kHeaderLength ? m_buffer.data() + kHeaderLength : nullptr;
}

uint32_t kvtZephronFrame::GetPayloadLength() const {
    return readLE(kOffPayloadLength, 4);
}

uint32_t kvtZephronFrame::GetSourceAddress() const {
    return readLE(kOffSourceAddress, 4);
}

std::string kvtZephronFrame::GetSourceAddressText() const {
    return addressText(kOffSourceAddress);
}

uint16_t kvtZephronFrame::GetSourcePort() const {
    return static_cast<uint16_t>(readLE(kOffSourcePort, 2));
}

uint32_t kvtZephronFrame::GetDestinationAddress() const {
    return readLE(kOffDestinationAddress, 4);
}

std::string kvtZephronFrame::GetDestinationAddressText() const {
    return addressText(kOffDestinationAddress);
}

uint16_t kvtZephronFrame::GetDestinationPort() const {
    return static_cast<uint16_t>(readLE(kOffDestinationPort, 2));
}

uint8_t kvtZephronFrame::GetType() const {
    return static_cast<uint8_t>(readLE(kOffType, 1) & 0x0F);
}

uint8_t kvtZephronFrame::GetSubType() const {
    return static_cast<uint8_t>(readLE(kOffType, 1) >> 4);
}

uint16_t kvtZephronFrame::GetCode() const {
    return static_cast<uint16_t>(readLE(kOffCode, 2));
}

bool kvtZephronFrame::IsHeaderCrcValid() const {
    if (m_buffer.size() < kHeaderLength)
        return false;
    return Crc16(m_buffer.data(), kHeaderCrcCovers) == GetHeaderCrc();
}

uint16_t kvtZephronFrame::GetHeaderCrc() const {
    return static_cast<uint16_t>(readLE(kOffHeaderCrc, 2));
}

// The whole announced payload and its CRC lie inside the buffer (64-bit sum: n comes from
// the wire and may be close to 2^32).
bool kvtZephronFrame::payloadFits() const {
    return uint64_t(kHeaderLength) + GetPayloadLength() + kCrcLength <= m_buffer.size();
}

bool kvtZephronFrame::IsPayloadCrcValid() const {
    const uint32_t n = GetPayloadLength();
    if (m_buffer.size() <= kHeaderLength && n == 0)
        return true;
    if (!payloadFits())
        return false;
    return Crc16(m_buffer.data() + kHeaderLength, n) == GetPayloadCrc();
}

uint16_t kvtZephronFrame::GetPayloadCrc() const {
    if (m_buffer.size() <= kHeaderLength)
        return 0;
    return static_cast<uint16_t>(readLE(m_buffer.size() - kCrcLength, 2));
}

const char *kvtZephronFrame::GetProblem() const {
    if (m_buffer.size() < kHeaderLength)
        return "frame shorter than its header";
    if (!IsHeaderCrcValid())
        return "header CRC mismatch";
    if (HasPayload() && !payloadFits())
        return "payload shorter than announced";
    if (!IsPayloadCrcValid())
        return "payload CRC mismatch";
    return nullptr;
}

bool kvtZephronFrame::HasPayload() const {
    return GetPayloadLength() != 0;
}

std::string kvtZephronFrame::GetPayloadText() const {
    if (!IsValid() || !HasPayload())
        return std::string();
    const char *text = reinterpret_cast<const char *>(m_buffer.data() + kHeaderLength);
    return std::string(text, strnlen(text, GetPayloadLength()));
}

std::string kvtZephronFrame::ToString() const {
    char part[96];
    std::snprintf(part, sizeof part, "[%s:%.2u][%s:%.2u][%u][%u]", GetSourceAddressText().c_str(),
                  unsigned(GetSourcePort()), GetDestinationAddressText().c_str(),
                  unsigned(GetDestinationPort()), unsigned(GetType()), unsigned(GetCode()));
    std::string text(part);
    if (!HasPayload())
        return text;
    // Only bytes that are really in the buffer are listed, and the text keeps its closing
    // bracket within the size limit.
    text += "[";
    const size_t available = m_buffer.size() > kHeaderLength ? m_buffer.size() - kHeaderLength : 0;
    const size_t count = std::min<size_t>(GetPayloadLength(), available);
    for (size_t i = 0; i < count && text.size() + 3 + 1 <= kMaxTextLength; ++i) {
        std::snprintf(part, sizeof part, "%.2X ", m_buffer[kHeaderLength + i]);
        text += part;
    }
    text += "]";
    return text;
}

} // namespace kvt
