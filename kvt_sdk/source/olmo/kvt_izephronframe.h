#pragma once
// Read-only view of one encoded Zephron bus frame (carried inside an Olmo data frame).
#include <cstdint>
#include <string>

namespace kvt {

class kvtIZephronFrame {
public:
    virtual ~kvtIZephronFrame() = default;

    virtual bool IsValid() const = 0;
    virtual const uint8_t *GetBuffer() const = 0;
    virtual uint32_t GetBufferLength() const = 0;
    virtual const uint8_t *GetPayload() const = 0;
    virtual uint32_t GetPayloadLength() const = 0;
    virtual uint32_t GetSourceAddress() const = 0;
    virtual std::string GetSourceAddressText() const = 0;
    virtual uint16_t GetSourcePort() const = 0;
    virtual uint32_t GetDestinationAddress() const = 0;
    virtual std::string GetDestinationAddressText() const = 0;
    virtual uint16_t GetDestinationPort() const = 0;
    virtual uint8_t GetType() const = 0;
    virtual uint8_t GetSubType() const = 0;
    virtual uint16_t GetCode() const = 0;
    virtual bool IsHeaderCrcValid() const = 0;
    virtual uint16_t GetHeaderCrc() const = 0;
    virtual bool IsPayloadCrcValid() const = 0;
    virtual uint16_t GetPayloadCrc() const = 0;
    virtual bool HasPayload() const = 0;
    virtual std::string ToString() const = 0;
};

} // namespace kvt
