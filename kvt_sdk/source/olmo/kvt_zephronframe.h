#pragma once
// One encoded Zephron bus frame:
//   0 src address(4) | 4 src port(2) | 6 dst address(4) | 10 dst port(2) | 12 type/sub-type(1)
//   13 code(2) | 15 payload length n(4) | 19 header CRC(2) | 21 payload(n) | 21+n payload CRC(2)
// Numbers are little-endian; both CRCs are CRC-16/ARC. The frame is untrusted input: every
// accessor stays inside the buffer and reads missing bytes as 0.
#include "kvt_izephronframe.h"

#include <cstddef>
#include <vector>

namespace kvt {

class kvtZephronFrame : public kvtIZephronFrame {
public:
    static constexpr uint32_t kHeaderLength = 21;
    static constexpr uint32_t kCrcLength = 2;
    static constexpr size_t kMaxTextLength = 512; // ToString never returns more bytes

    // Copies `length` bytes from `bytes` (null or 0 gives an empty, invalid frame).
    kvtZephronFrame(const uint8_t *bytes, uint32_t length);
    ~kvtZephronFrame() override = default;

    bool IsValid() const override;
    const uint8_t *GetBuffer() const override;
    uint32_t GetBufferLength() const override;
    const uint8_t *GetPayload() const override;
    uint32_t GetPayloadLength() const override;
    uint32_t GetSourceAddress() const override;
    std::string GetSourceAddressText() const override;
    uint16_t GetSourcePort() const override;
    uint32_t GetDestinationAddress() const override;
    std::string GetDestinationAddressText() const override;
    uint16_t GetDestinationPort() const override;
    uint8_t GetType() const override;
    uint8_t GetSubType() const override;
    uint16_t GetCode() const override;
    bool IsHeaderCrcValid() const override;
    uint16_t GetHeaderCrc() const override;
    bool IsPayloadCrcValid() const override;
    uint16_t GetPayloadCrc() const override;
    bool HasPayload() const override;
    std::string ToString() const override;

    // CRC-16/ARC: reflected polynomial 0xA001, initial value 0, no final XOR.
    static uint16_t Crc16(const uint8_t *bytes, size_t length);

    // Encodes a frame with zero addresses and ports: header, payload and payload CRC (n + 23
    // bytes, also when n is 0).
    static std::vector<uint8_t> Build(uint8_t type, uint8_t subType, uint16_t code, const uint8_t *payload,
                                      uint32_t length);

    // Why a received frame cannot be used: nullptr when it is whole and both CRCs match, else
    // "frame shorter than its header", "header CRC mismatch", "payload shorter than announced"
    // or "payload CRC mismatch".
    const char *GetProblem() const;

    // The payload as text up to its first NUL, never reading past the announced payload;
    // empty unless the frame IsValid.
    std::string GetPayloadText() const;

private:
    uint32_t readLE(size_t offset, size_t width) const;
    std::string addressText(size_t offset) const;
    bool payloadFits() const;

    std::vector<uint8_t> m_buffer;
};

} // namespace kvt
