#ifndef KVT_OLMOFRAME_H
#define KVT_OLMOFRAME_H

#include <cstdint>
#include <string>

#include "kvt_olmocodes.h"
#include "kvt_value.h"

namespace kvt {

// Size of the fixed frame header: word, value/length, checksum.
constexpr uint32_t kvtOlmoHeaderSize = 9;
// Largest payload a receiver accepts; a header announcing more is invalid data.
constexpr uint32_t kvtOlmoMaxPayload = 64u * 1024u * 1024u;

// The header's checksum byte (its ninth): the XOR of its first eight bytes.
inline uint8_t kvtOlmoHeaderChecksum(const uint8_t *header) {
    uint8_t x = 0;
    for (int i = 0; i < 8; ++i)
        x ^= header[i];
    return x;
}

// The command or parameter code of a header: the top 20 bits of its first little-endian word.
inline uint32_t kvtOlmoHeaderCode(const uint8_t *header) {
    const uint32_t word = uint32_t(header[0]) | uint32_t(header[1]) << 8 | uint32_t(header[2]) << 16 |
                          uint32_t(header[3]) << 24;
    return word >> 12;
}

// One Olmo frame, read-only view.
class kvtIOlmoFrame {
public:
    virtual ~kvtIOlmoFrame() {}
    virtual kvtIOlmoFrame *Clone() const = 0;
    virtual void ToString(std::string &text, int limit, bool readable) const = 0;
    virtual uint8_t GetChecksum() const = 0;
    virtual bool IsChecksumValid() const = 0;
    virtual bool IsInlineType() const = 0;
    virtual const uint8_t *GetBuffer() const = 0;
    virtual uint32_t GetBufferLength() const = 0;
    virtual uint8_t GetKind() const = 0;
    virtual uint8_t GetType() const = 0;
    virtual uint32_t GetCode() const = 0;
    virtual const uint8_t *GetData() const = 0;
    virtual uint32_t GetDataLength() const = 0;
    virtual bool GetAsBool() const = 0;
    virtual char GetAsChar() const = 0;
    virtual unsigned char GetAsUChar() const = 0;
    virtual int16_t GetAsShort() const = 0;
    virtual uint16_t GetAsUShort() const = 0;
    virtual int32_t GetAsInt() const = 0;
    virtual uint32_t GetAsUInt() const = 0;
    virtual int32_t GetAsLong() const = 0;
    virtual uint32_t GetAsULong() const = 0;
    virtual const char *GetAsString() const = 0;
    virtual void GetAsFloat(float *out) const = 0;
    virtual void GetAsDouble(double *out) const = 0;
    virtual const uint8_t *GetAsData() const = 0;
    virtual kvtValue GetAsValue() const = 0;
};

// A frame held as its exact wire bytes: 9-byte header plus optional payload.
// The buffer always carries a few hidden zero bytes past its end, so a text
// payload is terminated and small reads past a short payload stay in bounds.
class kvtOlmoFrame : public kvtIOlmoFrame {
public:
    kvtOlmoFrame();
    kvtOlmoFrame(const kvtOlmoFrame &other);
    kvtOlmoFrame &operator=(const kvtOlmoFrame &other);
    ~kvtOlmoFrame() override;

    kvtOlmoFrame *Clone() const override;
    void ToString(std::string &text, int limit, bool readable) const override;
    uint8_t GetChecksum() const override;
    bool IsChecksumValid() const override;
    bool IsInlineType() const override;
    const uint8_t *GetBuffer() const override { return m_pBuffer; }
    uint32_t GetBufferLength() const override { return m_uiLength; }
    uint8_t GetKind() const override;
    uint8_t GetType() const override;
    uint32_t GetCode() const override;
    const uint8_t *GetData() const override;
    uint32_t GetDataLength() const override;
    bool GetAsBool() const override;
    char GetAsChar() const override;
    unsigned char GetAsUChar() const override;
    int16_t GetAsShort() const override;
    uint16_t GetAsUShort() const override;
    int32_t GetAsInt() const override;
    uint32_t GetAsUInt() const override;
    int32_t GetAsLong() const override;
    uint32_t GetAsULong() const override;
    const char *GetAsString() const override;
    void GetAsFloat(float *out) const override;
    void GetAsDouble(double *out) const override;
    const uint8_t *GetAsData() const override;
    kvtValue GetAsValue() const override;

    // Writable buffer, for receiving into it.
    uint8_t *GetMutableBuffer() { return m_pBuffer; }

    void SetAsBool(bool value);
    void SetAsUChar(unsigned char value);
    void SetAsUInt(uint32_t value);
    void SetAsULong(uint32_t value);
    void SetAsFloat(float value);
    void SetAsString(const char *text, uint32_t length);
    void SetAsString(const std::string &text);
    void SetAsData(const uint8_t *bytes, uint32_t length);
    void SetKind(uint8_t kind);
    void SetCode(uint32_t code);

    // Resizes the buffer to max(size, 9) zero bytes keeping bytes 0-3 and writing
    // the payload length into bytes 4-7; byte 8 is left zero. Returns false when
    // the buffer could not be allocated (the frame is then unchanged).
    bool adjust_buffer(uint32_t size);
    // After only the header was read: the payload length it announces (0 for an inline type),
    // so that a reader bounds it (kvtOlmoMaxPayload) before reinterpret_frame allocates it.
    uint32_t GetAnnouncedLength() const;
    // After a header was read: true when the frame is complete (inline type),
    // false when GetDataLength() payload bytes must be read from byte 9 on.
    bool reinterpret_frame();

private:
    bool set_inline_type(uint8_t type, const char *site, int line);
    void set_type(uint8_t type);
    void write_u32(uint32_t offset, uint32_t value);
    uint32_t read_u32(uint32_t offset) const;
    void update_checksum();

    uint8_t *m_pBuffer = nullptr;
    uint32_t m_uiLength = 0;
};

} // namespace kvt

#endif
