#include "kvt_value.h"

#include <cinttypes>
#include <cstdio>

namespace kvt {

namespace {
const char *const kTypeNames[] = {
    nullptr, "bool",           "char",  "unsigned char", "short", "unsigned short",
    "int",   "unsigned int",   "long",  "unsigned long", "float", "double",
    "char*", "unsigned char*", "array", "long long",     "void*"};

} // namespace

const char *kvtValue::TypeName(int type) {
    if (type <= 0 || type > kvtTypePointer)
        return "unknown";
    return kTypeNames[type];
}

kvtValue kvtValue::FromBool(bool v) {
    kvtValue r(kvtTypeBool);
    r.m_i64 = v ? 1 : 0;
    return r;
}
kvtValue kvtValue::FromChar(char v) {
    kvtValue r(kvtTypeChar);
    r.m_i64 = v;
    return r;
}
kvtValue kvtValue::FromUChar(unsigned char v) {
    kvtValue r(kvtTypeUChar);
    r.m_i64 = v;
    return r;
}
kvtValue kvtValue::FromShort(int16_t v) {
    kvtValue r(kvtTypeShort);
    r.m_i64 = v;
    return r;
}
kvtValue kvtValue::FromUShort(uint16_t v) {
    kvtValue r(kvtTypeUShort);
    r.m_i64 = v;
    return r;
}
kvtValue kvtValue::FromInt(int32_t v) {
    kvtValue r(kvtTypeInt);
    r.m_i64 = v;
    return r;
}
kvtValue kvtValue::FromUInt(uint32_t v) {
    kvtValue r(kvtTypeUInt);
    r.m_i64 = v;
    return r;
}
kvtValue kvtValue::FromLong(int32_t v) {
    kvtValue r(kvtTypeLong);
    r.m_i64 = v;
    return r;
}
kvtValue kvtValue::FromULong(uint32_t v) {
    kvtValue r(kvtTypeULong);
    r.m_i64 = v;
    return r;
}
kvtValue kvtValue::FromFloat(float v) {
    kvtValue r(kvtTypeFloat);
    r.m_dbl = v;
    return r;
}
kvtValue kvtValue::FromDouble(double v) {
    kvtValue r(kvtTypeDouble);
    r.m_dbl = v;
    return r;
}
kvtValue kvtValue::FromLongLong(int64_t v) {
    kvtValue r(kvtTypeLongLong);
    r.m_i64 = v;
    return r;
}
kvtValue kvtValue::FromPointer(void *v) {
    kvtValue r(kvtTypePointer);
    r.m_pPointer = v;
    return r;
}

kvtValue kvtValue::FromString(const std::string &v) {
    kvtValue r(kvtTypeString);
    r.m_str = v;
    return r;
}

kvtValue kvtValue::FromData(const uint8_t *bytes, size_t count) {
    kvtValue r(kvtTypeData);
    if (bytes && count)
        r.m_data.assign(bytes, bytes + count);
    return r;
}

kvtValue kvtValue::FromArray(const std::vector<kvtValue> &items) {
    kvtValue r(kvtTypeArray);
    r.m_array = items;
    return r;
}

std::string kvtValue::ToString() const {
    char buf[64];
    switch (m_iType) {
    case kvtTypeBool:
        return GetBool() ? "true" : "false";
    case kvtTypeChar:
        return std::string(1, GetChar());
    case kvtTypeUChar:
    case kvtTypeShort:
    case kvtTypeUShort:
    case kvtTypeInt:
    case kvtTypeUInt:
    case kvtTypeLong:
    case kvtTypeULong:
    case kvtTypeLongLong:
        std::snprintf(buf, sizeof buf, "%" PRId64, m_i64);
        return buf;
    case kvtTypeFloat:
    case kvtTypeDouble:
        std::snprintf(buf, sizeof buf, "%.4f", m_dbl);
        return buf;
    case kvtTypeString:
        return m_str;
    case kvtTypeData: {
        std::string text;
        text.reserve(m_data.size() * 3);
        for (size_t i = 0; i < m_data.size(); ++i) {
            std::snprintf(buf, sizeof buf, i + 1 < m_data.size() ? "%.2X," : "%.2X", m_data[i]);
            text += buf;
        }
        return text;
    }
    case kvtTypeArray: {
        std::string text;
        for (size_t i = 0; i < m_array.size(); ++i) {
            if (i)
                text += ",";
            text += m_array[i].ToString();
        }
        return text;
    }
    case kvtTypePointer:
        std::snprintf(buf, sizeof buf, "%p", m_pPointer);
        return buf;
    default:
        return std::string();
    }
}

} // namespace kvt
