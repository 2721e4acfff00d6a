#include "kvt_olmoframe.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "kvt_olmoreport.h"

namespace kvt {

namespace {
const char *const kFile = "kvt_sdk/source/olmo/kvt_olmoframe";
const char *const kNoMemory = "Can not allocate frame data m_pBuffer";
// Zero bytes kept past the end of every buffer (terminator for texts, slack for
// accessors that read a fixed width from a short payload).
constexpr uint32_t kPadding = 8;

uint8_t *allocate(uint32_t length) {
    uint8_t *p = new (std::nothrow) uint8_t[static_cast<size_t>(length) + kPadding];
    if (p)
        std::memset(p, 0, static_cast<size_t>(length) + kPadding);
    return p;
}

std::string time_text() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buf[64];
    std::string text = asctime_r(&local, buf) ? buf : "";
    size_t begin = text.find_first_not_of("\n\t");
    if (begin == std::string::npos)
        return std::string();
    size_t end = text.find_last_not_of("\n\t");
    return text.substr(begin, end - begin + 1);
}

const char *kind_name(uint8_t kind) {
    switch (kind) {
    case kvtOlmoKindRead:
        return "[Read]";
    case kvtOlmoKindWrite:
        return "[Write]";
    case kvtOlmoKindResponse:
        return "[Response]";
    case kvtOlmoKindPhysical:
        return "[Physical]";
    default:
        return "[UnKnown]";
    }
}
} // namespace

kvtOlmoFrame::kvtOlmoFrame() {
    m_pBuffer = allocate(kvtOlmoHeaderSize);
    if (!m_pBuffer) {
        KVT_OLMO_REPORT(kvtErrorOutOfMemory, kNoMemory, kFile, "kvt::kvtOlmoFrame::kvtOlmoFrame");
        return;
    }
    m_uiLength = kvtOlmoHeaderSize;
}

kvtOlmoFrame::kvtOlmoFrame(const kvtOlmoFrame &other) : kvtOlmoFrame() {
    *this = other;
}

kvtOlmoFrame &kvtOlmoFrame::operator=(const kvtOlmoFrame &other) {
    if (this == &other)
        return *this;
    uint8_t *p = allocate(other.m_uiLength);
    if (!p) {
        KVT_OLMO_REPORT(kvtErrorOutOfMemory, kNoMemory, kFile, "kvt::kvtOlmoFrame::operator =");
        return *this;
    }
    if (other.m_pBuffer)
        std::memcpy(p, other.m_pBuffer, other.m_uiLength);
    delete[] m_pBuffer;
    m_pBuffer = p;
    m_uiLength = other.m_uiLength;
    return *this;
}

kvtOlmoFrame::~kvtOlmoFrame() {
    delete[] m_pBuffer;
}

kvtOlmoFrame *kvtOlmoFrame::Clone() const {
    kvtOlmoFrame *copy = new (std::nothrow) kvtOlmoFrame(*this);
    return copy;
}

uint8_t kvtOlmoFrame::GetChecksum() const {
    return m_pBuffer[8];
}

bool kvtOlmoFrame::IsChecksumValid() const {
    return kvtOlmoHeaderChecksum(m_pBuffer) == m_pBuffer[8];
}

bool kvtOlmoFrame::IsInlineType() const {
    return GetType() <= kvtTypeFloat;
}

uint8_t kvtOlmoFrame::GetKind() const {
    return m_pBuffer[0] & 0x0F;
}

uint8_t kvtOlmoFrame::GetType() const {
    return static_cast<uint8_t>((m_pBuffer[0] >> 4) | ((m_pBuffer[1] & 0x0F) << 4));
}

uint32_t kvtOlmoFrame::GetCode() const {
    return kvtOlmoHeaderCode(m_pBuffer);
}

const uint8_t *kvtOlmoFrame::GetData() const {
    return m_uiLength == kvtOlmoHeaderSize ? m_pBuffer + 4 : m_pBuffer + kvtOlmoHeaderSize;
}

uint32_t kvtOlmoFrame::GetDataLength() const {
    return m_uiLength == kvtOlmoHeaderSize ? 4 : read_u32(4);
}

bool kvtOlmoFrame::GetAsBool() const {
    return m_pBuffer[4] != 0;
}
char kvtOlmoFrame::GetAsChar() const {
    return static_cast<char>(m_pBuffer[4]);
}
unsigned char kvtOlmoFrame::GetAsUChar() const {
    return m_pBuffer[4];
}
int16_t kvtOlmoFrame::GetAsShort() const {
    return static_cast<int16_t>(GetAsUShort());
}
uint16_t kvtOlmoFrame::GetAsUShort() const {
    return static_cast<uint16_t>(m_pBuffer[4] | (m_pBuffer[5] << 8));
}
int32_t kvtOlmoFrame::GetAsInt() const {
    return static_cast<int32_t>(read_u32(4));
}
uint32_t kvtOlmoFrame::GetAsUInt() const {
    return read_u32(4);
}
int32_t kvtOlmoFrame::GetAsLong() const {
    return static_cast<int32_t>(read_u32(4));
}
uint32_t kvtOlmoFrame::GetAsULong() const {
    return read_u32(4);
}

const char *kvtOlmoFrame::GetAsString() const {
    // The hidden padding terminates a text whose NUL the sender left out.
    if (GetType() != kvtTypeString)
        return "";
    return reinterpret_cast<const char *>(m_pBuffer + kvtOlmoHeaderSize);
}

void kvtOlmoFrame::GetAsFloat(float *out) const {
    if (out)
        std::memcpy(out, m_pBuffer + 4, sizeof(float));
}

void kvtOlmoFrame::GetAsDouble(double *out) const {
    if (!out || GetType() != kvtTypeDouble)
        return;
    if (m_uiLength < kvtOlmoHeaderSize + sizeof(double))
        return;
    std::memcpy(out, m_pBuffer + kvtOlmoHeaderSize, sizeof(double));
}

const uint8_t *kvtOlmoFrame::GetAsData() const {
    return GetType() == kvtTypeData ? m_pBuffer + kvtOlmoHeaderSize : nullptr;
}

kvtValue kvtOlmoFrame::GetAsValue() const {
    const uint32_t payload = m_uiLength - kvtOlmoHeaderSize;
    switch (GetType()) {
    case kvtTypeBool:
        return kvtValue::FromBool(GetAsBool());
    case kvtTypeChar:
        return kvtValue::FromChar(GetAsChar());
    case kvtTypeUChar:
        return kvtValue::FromUChar(GetAsUChar());
    case kvtTypeShort:
        return kvtValue::FromShort(GetAsShort());
    case kvtTypeUShort:
        return kvtValue::FromUShort(GetAsUShort());
    case kvtTypeInt:
        return kvtValue::FromInt(GetAsInt());
    case kvtTypeUInt:
        return kvtValue::FromUInt(GetAsUInt());
    case kvtTypeLong:
        return kvtValue::FromLong(GetAsLong());
    case kvtTypeULong:
        return kvtValue::FromULong(GetAsULong());
    case kvtTypeFloat: {
        float f = 0;
        GetAsFloat(&f);
        return kvtValue::FromFloat(f);
    }
    case kvtTypeDouble: {
        double d = 0;
        GetAsDouble(&d);
        return kvtValue::FromDouble(d);
    }
    case kvtTypeString: {
        const char *text = reinterpret_cast<const char *>(m_pBuffer + kvtOlmoHeaderSize);
        return kvtValue::FromString(std::string(text, strnlen(text, payload)));
    }
    case kvtTypeData:
        return kvtValue::FromData(m_pBuffer + kvtOlmoHeaderSize, payload);
    default: {
        std::string text = "UnKnown Data " + std::to_string(GetType()) + "!";
        KVT_OLMO_REPORT(kvtErrorFailed, text, kFile, "kvt::kvtOlmoFrame::GetAsValue");
        return kvtValue();
    }
    }
}

void kvtOlmoFrame::ToString(std::string &text, int limit, bool readable) const {
    text.clear();
    char buf[160];
    if (readable) {
        std::snprintf(buf, sizeof buf, "[OLMO][%s]", time_text().c_str());
        text += buf;
        text += "[" + std::to_string(GetCode()) + "]";
        text += kind_name(GetKind());
        text += "[";
        text += kvtValue::TypeName(GetType());
        text += "]";
        std::string value = GetAsValue().ToString();
        if (limit > 0 && static_cast<size_t>(limit) < value.size()) {
            value.resize(static_cast<size_t>(limit));
            value += "...";
        }
        text += "[" + value + "]";
        return;
    }
    std::snprintf(buf, sizeof buf, "[OLMO][%s][0x%.1X][0x%.2X][0x%.5X][0x%.8X][0x%.2X][", time_text().c_str(),
                  GetKind(), GetType(), GetCode(), GetDataLength(), GetChecksum());
    text += buf;
    const uint8_t *data = GetData();
    // Never list more bytes than the buffer holds, whatever the header says.
    const uint32_t available = static_cast<uint32_t>(m_pBuffer + m_uiLength - data);
    const uint32_t count = GetDataLength() < available ? GetDataLength() : available;
    for (uint32_t i = 0; i < count; ++i) {
        std::snprintf(buf, sizeof buf, "0x%.2X ", data[i]);
        text += buf;
        if (static_cast<int64_t>(i) == limit) {
            text += "...";
            break;
        }
    }
    text += "]";
}

bool kvtOlmoFrame::adjust_buffer(uint32_t size) {
    if (size == m_uiLength)
        return true;
    const uint32_t length = size < kvtOlmoHeaderSize ? kvtOlmoHeaderSize : size;
    uint8_t *p = allocate(length);
    if (!p)
        return false;
    if (m_pBuffer)
        std::memcpy(p, m_pBuffer, 4);
    delete[] m_pBuffer;
    m_pBuffer = p;
    m_uiLength = length;
    if (length > kvtOlmoHeaderSize)
        write_u32(4, length - kvtOlmoHeaderSize);
    return true;
}

uint32_t kvtOlmoFrame::GetAnnouncedLength() const {
    return IsInlineType() ? 0u : read_u32(4);
}

bool kvtOlmoFrame::reinterpret_frame() {
    if (IsInlineType()) {
        if (m_uiLength != kvtOlmoHeaderSize && !adjust_buffer(kvtOlmoHeaderSize)) {
            KVT_OLMO_REPORT(kvtErrorOutOfMemory, kNoMemory, kFile, "kvt::kvtOlmoFrame::reinterpret_frame");
        }
        return true;
    }
    const uint32_t payload = read_u32(4);
    if (payload > UINT32_MAX - kvtOlmoHeaderSize || !adjust_buffer(kvtOlmoHeaderSize + payload)) {
        KVT_OLMO_REPORT(kvtErrorOutOfMemory, kNoMemory, kFile, "kvt::kvtOlmoFrame::reinterpret_frame");
        return false;
    }
    update_checksum();
    return false;
}

bool kvtOlmoFrame::set_inline_type(uint8_t type, const char *site, int line) {
    if (!adjust_buffer(kvtOlmoHeaderSize)) {
        ::kvt::kvtErrorReport(::kvt::kvtError(kvtErrorOutOfMemory, kNoMemory, kFile, site, line));
        return false;
    }
    set_type(type);
    update_checksum();
    return true;
}

void kvtOlmoFrame::SetAsBool(bool value) {
    if (!set_inline_type(kvtTypeBool, "kvt::kvtOlmoFrame::SetAsBool", __LINE__))
        return;
    write_u32(4, value ? 1u : 0u);
    update_checksum();
}

void kvtOlmoFrame::SetAsUChar(unsigned char value) {
    if (!set_inline_type(kvtTypeUChar, "kvt::kvtOlmoFrame::SetAsUChar", __LINE__))
        return;
    write_u32(4, value);
    update_checksum();
}

void kvtOlmoFrame::SetAsUInt(uint32_t value) {
    if (!set_inline_type(kvtTypeUInt, "kvt::kvtOlmoFrame::SetAsUInt", __LINE__))
        return;
    write_u32(4, value);
    update_checksum();
}

void kvtOlmoFrame::SetAsULong(uint32_t value) {
    if (!set_inline_type(kvtTypeULong, "kvt::kvtOlmoFrame::SetAsULong", __LINE__))
        return;
    write_u32(4, value);
    update_checksum();
}

void kvtOlmoFrame::SetAsFloat(float value) {
    if (!set_inline_type(kvtTypeFloat, "kvt::kvtOlmoFrame::SetAsFloat", __LINE__))
        return;
    std::memcpy(m_pBuffer + 4, &value, sizeof value);
    update_checksum();
}

void kvtOlmoFrame::SetAsString(const char *text, uint32_t length) {
    if (!text) {
        KVT_OLMO_REPORT(kvtErrorInvalidPointer, "!pStr", kFile, "kvt::kvtOlmoFrame::SetAsString");
        return;
    }
    if (length > UINT32_MAX - kvtOlmoHeaderSize - 1 || !adjust_buffer(length + kvtOlmoHeaderSize + 1)) {
        KVT_OLMO_REPORT(kvtErrorOutOfMemory, kNoMemory, kFile, "kvt::kvtOlmoFrame::SetAsString");
        return;
    }
    set_type(kvtTypeString);
    update_checksum();
    write_u32(4, length + 1);
    std::memcpy(m_pBuffer + kvtOlmoHeaderSize, text, length);
    m_pBuffer[kvtOlmoHeaderSize + length] = 0;
    update_checksum();
}

void kvtOlmoFrame::SetAsString(const std::string &text) {
    SetAsString(text.c_str(), static_cast<uint32_t>(text.size()));
}

void kvtOlmoFrame::SetAsData(const uint8_t *bytes, uint32_t length) {
    if (!bytes || length == 0)
        return;
    if (length > UINT32_MAX - kvtOlmoHeaderSize || !adjust_buffer(length + kvtOlmoHeaderSize)) {
        KVT_OLMO_REPORT(kvtErrorOutOfMemory, kNoMemory, kFile, "kvt::kvtOlmoFrame::SetAsData");
        return;
    }
    set_type(kvtTypeData);
    update_checksum();
    write_u32(4, length);
    std::memcpy(m_pBuffer + kvtOlmoHeaderSize, bytes, length);
    update_checksum();
}

void kvtOlmoFrame::SetKind(uint8_t kind) {
    m_pBuffer[0] = static_cast<uint8_t>((m_pBuffer[0] & 0xF0) | (kind & 0x0F));
    update_checksum();
}

void kvtOlmoFrame::SetCode(uint32_t code) {
    const uint32_t word = (read_u32(0) & 0xFFFu) | ((code & 0xFFFFFu) << 12);
    write_u32(0, word);
    update_checksum();
}

void kvtOlmoFrame::set_type(uint8_t type) {
    m_pBuffer[0] = static_cast<uint8_t>((m_pBuffer[0] & 0x0F) | ((type & 0x0F) << 4));
    m_pBuffer[1] = static_cast<uint8_t>((m_pBuffer[1] & 0xF0) | (type >> 4));
}

void kvtOlmoFrame::write_u32(uint32_t offset, uint32_t value) {
    m_pBuffer[offset] = static_cast<uint8_t>(value);
    m_pBuffer[offset + 1] = static_cast<uint8_t>(value >> 8);
    m_pBuffer[offset + 2] = static_cast<uint8_t>(value >> 16);
    m_pBuffer[offset + 3] = static_cast<uint8_t>(value >> 24);
}

uint32_t kvtOlmoFrame::read_u32(uint32_t offset) const {
    return static_cast<uint32_t>(m_pBuffer[offset]) | (static_cast<uint32_t>(m_pBuffer[offset + 1]) << 8) |
           (static_cast<uint32_t>(m_pBuffer[offset + 2]) << 16) |
           (static_cast<uint32_t>(m_pBuffer[offset + 3]) << 24);
}

void kvtOlmoFrame::update_checksum() {
    m_pBuffer[8] = kvtOlmoHeaderChecksum(m_pBuffer);
}

} // namespace kvt
