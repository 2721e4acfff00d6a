#ifndef KVT_VALUE_H
#define KVT_VALUE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kvt_olmocodes.h"

namespace kvt {

// The SDK's tagged value: a type code (kvtValueType) and the value it names.
// A default value has type 0 and is empty.
class kvtValue {
public:
    kvtValue() = default;

    static kvtValue FromBool(bool v);
    static kvtValue FromChar(char v);
    static kvtValue FromUChar(unsigned char v);
    static kvtValue FromShort(int16_t v);
    static kvtValue FromUShort(uint16_t v);
    static kvtValue FromInt(int32_t v);
    static kvtValue FromUInt(uint32_t v);
    static kvtValue FromLong(int32_t v);
    static kvtValue FromULong(uint32_t v);
    static kvtValue FromFloat(float v);
    static kvtValue FromDouble(double v);
    static kvtValue FromString(const std::string &v);
    static kvtValue FromData(const uint8_t *bytes, size_t count);
    static kvtValue FromArray(const std::vector<kvtValue> &items);
    static kvtValue FromLongLong(int64_t v);
    static kvtValue FromPointer(void *v);

    int GetType() const { return m_iType; }
    bool IsEmpty() const { return m_iType == kvtTypeNone; }
    // "bool" ... "void*"; "unknown" for codes outside 1 to 16.
    const char *GetTypeName() const { return TypeName(m_iType); }
    static const char *TypeName(int type);

    bool GetBool() const { return m_i64 != 0; }
    char GetChar() const { return static_cast<char>(m_i64); }
    unsigned char GetUChar() const { return static_cast<unsigned char>(m_i64); }
    int16_t GetShort() const { return static_cast<int16_t>(m_i64); }
    uint16_t GetUShort() const { return static_cast<uint16_t>(m_i64); }
    int32_t GetInt() const { return static_cast<int32_t>(m_i64); }
    uint32_t GetUInt() const { return static_cast<uint32_t>(m_i64); }
    int32_t GetLong() const { return static_cast<int32_t>(m_i64); }
    uint32_t GetULong() const { return static_cast<uint32_t>(m_i64); }
    int64_t GetLongLong() const { return m_i64; }
    float GetFloat() const { return static_cast<float>(m_dbl); }
    double GetDouble() const { return m_dbl; }
    void *GetPointer() const { return m_pPointer; }
    const std::string &GetString() const { return m_str; }
    const std::vector<uint8_t> &GetData() const { return m_data; }
    const std::vector<kvtValue> &GetArray() const { return m_array; }

    // Text form: "true"/"false", the character, decimal integers, float and double
    // with four decimals, the text itself, data bytes as "%.2X" joined by commas.
    std::string ToString() const;

private:
    explicit kvtValue(int type) : m_iType(type) {}

    int m_iType = kvtTypeNone;
    int64_t m_i64 = 0;
    double m_dbl = 0.0;
    void *m_pPointer = nullptr;
    std::string m_str;
    std::vector<uint8_t> m_data;
    std::vector<kvtValue> m_array;
};

} // namespace kvt

#endif
