#include "simframes.h"

#include <cstring>

using kvt::kvtOlmoFrame;

namespace {

std::string finish(kvtOlmoFrame &f, uint32_t code, uint8_t kind) {
    f.SetKind(kind);
    f.SetCode(code);
    return SimFrames::wire(f);
}

} // namespace

std::string SimFrames::wire(const kvtOlmoFrame &f) {
    return std::string(reinterpret_cast<const char *>(f.GetBuffer()), f.GetBufferLength());
}

std::string SimFrames::none(uint32_t code, uint8_t kind) {
    kvtOlmoFrame f;
    return finish(f, code, kind);
}

std::string SimFrames::uchar(uint32_t code, uint8_t kind, unsigned char v) {
    kvtOlmoFrame f;
    f.SetAsUChar(v);
    return finish(f, code, kind);
}

std::string SimFrames::uint(uint32_t code, uint8_t kind, uint32_t v) {
    kvtOlmoFrame f;
    f.SetAsUInt(v);
    return finish(f, code, kind);
}

std::string SimFrames::ulong(uint32_t code, uint8_t kind, uint32_t v) {
    kvtOlmoFrame f;
    f.SetAsULong(v);
    return finish(f, code, kind);
}

std::string SimFrames::real(uint32_t code, uint8_t kind, float v) {
    kvtOlmoFrame f;
    f.SetAsFloat(v);
    return finish(f, code, kind);
}

std::string SimFrames::text(uint32_t code, uint8_t kind, const std::string &v) {
    kvtOlmoFrame f;
    f.SetAsString(v);
    return finish(f, code, kind);
}

std::string SimFrames::data(uint32_t code, uint8_t kind, const unsigned char *bytes, size_t length) {
    kvtOlmoFrame f;
    if (length > 0)
        f.SetAsData(bytes, uint32_t(length));
    else
        f.SetAsString(""); // an empty block cannot be a data frame; an empty text is the closest
    return finish(f, code, kind);
}

std::string SimFrames::parameter(const SimParameter &p, uint8_t kind) {
    switch (p.type) {
    case SimByte:
        return uchar(p.id, kind, static_cast<unsigned char>(p.number));
    case SimUInt:
        return uint(p.id, kind, p.number);
    case SimULong:
        return ulong(p.id, kind, p.number);
    case SimFloat:
        return real(p.id, kind, p.real);
    default:
        return text(p.id, kind, p.text);
    }
}

std::string SimFrames::textOf(const kvtOlmoFrame &f) {
    if (f.GetType() != kvt::kvtTypeString || f.GetBufferLength() <= kvt::kvtOlmoHeaderSize)
        return {};
    const char *p = reinterpret_cast<const char *>(f.GetBuffer() + kvt::kvtOlmoHeaderSize);
    size_t n = f.GetBufferLength() - kvt::kvtOlmoHeaderSize;
    return std::string(p, strnlen(p, n));
}

SimWrittenValue SimFrames::writtenValue(const kvtOlmoFrame &f) {
    SimWrittenValue v;
    v.type = f.GetType();
    switch (v.type) {
    case kvt::kvtTypeBool:
    case kvt::kvtTypeChar:
    case kvt::kvtTypeUChar:
        v.number = f.GetAsUChar();
        break;
    case kvt::kvtTypeShort:
    case kvt::kvtTypeUShort:
        v.number = f.GetAsUShort();
        break;
    case kvt::kvtTypeInt:
    case kvt::kvtTypeUInt:
    case kvt::kvtTypeLong:
    case kvt::kvtTypeULong:
        v.number = f.GetAsUInt();
        break;
    case kvt::kvtTypeFloat:
        f.GetAsFloat(&v.real);
        break;
    case kvt::kvtTypeString:
        v.text = textOf(f);
        break;
    default:
        break;
    }
    return v;
}
