// Olmo frame: wire bytes, setters, getters, parsing of received headers, text forms.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kvt_olmoframe.h"

using namespace kvt;

namespace {
std::vector<uint8_t> bytes(const kvtIOlmoFrame &f) {
    return std::vector<uint8_t>(f.GetBuffer(), f.GetBuffer() + f.GetBufferLength());
}

// A received 9-byte header placed into a frame, as the reader does.
void receive_header(kvtOlmoFrame &f, const std::vector<uint8_t> &header) {
    ASSERT_EQ(header.size(), 9u);
    f.adjust_buffer(9);
    std::memcpy(f.GetMutableBuffer(), header.data(), 9);
}

std::vector<uint8_t> header(uint8_t kind, uint8_t type, uint32_t code, uint32_t value) {
    uint32_t word = code << 12 | uint32_t(type) << 4 | kind;
    std::vector<uint8_t> h = {uint8_t(word),        uint8_t(word >> 8),   uint8_t(word >> 16),
                              uint8_t(word >> 24),  uint8_t(value),       uint8_t(value >> 8),
                              uint8_t(value >> 16), uint8_t(value >> 24), 0};
    for (int i = 0; i < 8; ++i)
        h[8] ^= h[i];
    return h;
}
} // namespace

TEST(OlmoFrameBytes, NewFrameIsNineZeroBytes) {
    kvtOlmoFrame f;
    EXPECT_EQ(bytes(f), std::vector<uint8_t>(9, 0));
    EXPECT_TRUE(f.IsChecksumValid());
    EXPECT_EQ(f.GetDataLength(), 4u);
}

TEST(OlmoFrameBytes, SetAsUIntIsInline) {
    kvtOlmoFrame f;
    f.SetAsUInt(0x12345678);
    EXPECT_EQ(bytes(f), (std::vector<uint8_t>{0x70, 0, 0, 0, 0x78, 0x56, 0x34, 0x12, 0x78}));
    EXPECT_EQ(f.GetDataLength(), 4u);
    EXPECT_EQ(f.GetAsUInt(), 0x12345678u);
}

TEST(OlmoFrameBytes, SetAsStringAddsTerminator) {
    kvtOlmoFrame f;
    f.SetAsString("ab");
    EXPECT_EQ(bytes(f), (std::vector<uint8_t>{0xC0, 0, 0, 0, 3, 0, 0, 0, 0xC3, 'a', 'b', 0}));
    EXPECT_STREQ(f.GetAsString(), "ab");
    EXPECT_EQ(f.GetDataLength(), 3u);
}

TEST(OlmoFrameBytes, HeaderWordHoldsKindTypeAndCode) {
    kvtOlmoFrame f;
    f.SetAsUInt(0x12345);
    f.SetKind(kvtOlmoKindRead);
    f.SetCode(0x12345);
    auto b = bytes(f);
    EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.begin() + 4), (std::vector<uint8_t>{0x70, 0x50, 0x34, 0x12}));
    EXPECT_EQ(f.GetCode(), 0x12345u);
    EXPECT_EQ(f.GetType(), kvtTypeUInt);
    EXPECT_EQ(f.GetKind(), kvtOlmoKindRead);
    EXPECT_TRUE(f.IsChecksumValid());
    f.SetCode(0xFFFFFFFF); // only 20 bits fit
    EXPECT_EQ(f.GetCode(), 0xFFFFFu);
    EXPECT_EQ(f.GetType(), kvtTypeUInt);
}

struct SetterCase {
    const char *name;
    void (*apply)(kvtOlmoFrame &);
    uint8_t type;
    uint32_t length;
    std::vector<uint8_t> value; // bytes 4-7 for inline frames, payload otherwise
};

TEST(OlmoFrameSetters, EverySetterSizesTypesAndChecksums) {
    const float fl = 1.5f;
    std::vector<uint8_t> flb(4);
    std::memcpy(flb.data(), &fl, 4);
    const std::vector<SetterCase> cases = {
        {"bool true", [](kvtOlmoFrame &f) { f.SetAsBool(true); }, 1, 9, {1, 0, 0, 0}},
        {"bool false", [](kvtOlmoFrame &f) { f.SetAsBool(false); }, 1, 9, {0, 0, 0, 0}},
        {"uchar", [](kvtOlmoFrame &f) { f.SetAsUChar(0xAB); }, 3, 9, {0xAB, 0, 0, 0}},
        {"uint", [](kvtOlmoFrame &f) { f.SetAsUInt(0x01020304); }, 7, 9, {4, 3, 2, 1}},
        {"ulong", [](kvtOlmoFrame &f) { f.SetAsULong(0xA0B0C0D0); }, 9, 9, {0xD0, 0xC0, 0xB0, 0xA0}},
        {"float", [](kvtOlmoFrame &f) { f.SetAsFloat(1.5f); }, 10, 9, flb},
        {"string", [](kvtOlmoFrame &f) { f.SetAsString("xyz", 3); }, 12, 13, {'x', 'y', 'z', 0}},
        {"empty string", [](kvtOlmoFrame &f) { f.SetAsString(std::string()); }, 12, 10, {0}},
        {"data",
         [](kvtOlmoFrame &f) {
             const uint8_t d[] = {9, 8, 7, 6, 5};
             f.SetAsData(d, 5);
         },
         13,
         14,
         {9, 8, 7, 6, 5}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // Start from a frame with a payload and a header, so shrinking and keeping kind/code show.
        kvtOlmoFrame f;
        f.SetAsString("some longer earlier payload");
        f.SetKind(kvtOlmoKindPhysical);
        f.SetCode(1010033);
        c.apply(f);
        EXPECT_EQ(f.GetType(), c.type);
        EXPECT_EQ(f.GetKind(), kvtOlmoKindPhysical);
        EXPECT_EQ(f.GetCode(), 1010033u);
        EXPECT_EQ(f.GetBufferLength(), c.length);
        EXPECT_TRUE(f.IsChecksumValid());
        auto b = bytes(f);
        if (c.length == 9) {
            EXPECT_EQ(std::vector<uint8_t>(b.begin() + 4, b.begin() + 8), c.value);
        } else {
            EXPECT_EQ(f.GetDataLength(), c.length - 9);
            EXPECT_EQ(std::vector<uint8_t>(b.begin() + 9, b.end()), c.value);
        }
    }
}

TEST(OlmoFrameSetters, NullOrEmptyInputsChangeNothing) {
    kvtOlmoFrame f;
    f.SetAsUInt(77);
    auto before = bytes(f);
    f.SetAsData(nullptr, 4);
    const uint8_t d[] = {1};
    f.SetAsData(d, 0);
    f.SetAsString(nullptr, 3); // reported as "!pStr"
    EXPECT_EQ(bytes(f), before);
}

TEST(OlmoFrameSetters, ChecksumIgnoresPayload) {
    kvtOlmoFrame a, b;
    a.SetAsData(reinterpret_cast<const uint8_t *>("abcd"), 4);
    b.SetAsData(reinterpret_cast<const uint8_t *>("wxyz"), 4);
    EXPECT_EQ(a.GetChecksum(), b.GetChecksum());
}

TEST(OlmoFrameCopy, CloneAndAssignCopyEveryByte) {
    kvtOlmoFrame f;
    f.SetAsString("copy me");
    f.SetKind(kvtOlmoKindWrite);
    f.SetCode(4242);
    std::unique_ptr<kvtOlmoFrame> c(f.Clone());
    EXPECT_EQ(bytes(*c), bytes(f));
    kvtOlmoFrame g;
    g.SetAsUInt(1);
    g = f;
    EXPECT_EQ(bytes(g), bytes(f));
    f.SetAsBool(true); // the copies do not share the buffer
    EXPECT_STREQ(g.GetAsString(), "copy me");
}

TEST(OlmoFrameGetters, InlineValuesAndTypedAccessors) {
    kvtOlmoFrame f;
    receive_header(f, header(2, kvtTypeShort, 5, 0xFFFE));
    EXPECT_EQ(f.GetAsShort(), -2);
    EXPECT_EQ(f.GetAsUShort(), 0xFFFE);
    receive_header(f, header(2, kvtTypeInt, 5, 0xFFFFFFFF));
    EXPECT_EQ(f.GetAsInt(), -1);
    EXPECT_EQ(f.GetAsLong(), -1);
    EXPECT_EQ(f.GetAsULong(), 0xFFFFFFFFu);
    EXPECT_STREQ(f.GetAsString(), ""); // not a text: empty, never null
    EXPECT_EQ(f.GetAsData(), nullptr);
    double d = 7.0;
    f.GetAsDouble(&d); // not a double frame: left alone
    EXPECT_EQ(d, 7.0);
    f.GetAsDouble(nullptr);
    f.GetAsFloat(nullptr);
}

TEST(OlmoFrameParse, InlineHeaderIsCompleteAndKeepsItsValue) {
    kvtOlmoFrame f;
    receive_header(f, header(2, kvtTypeUInt, 1010021, 0xDEADBEEF));
    EXPECT_TRUE(f.reinterpret_frame());
    EXPECT_EQ(f.GetBufferLength(), 9u);
    EXPECT_EQ(f.GetAsUInt(), 0xDEADBEEFu);
}

TEST(OlmoFrameParse, PayloadHeaderSizesTheBuffer) {
    kvtOlmoFrame f;
    receive_header(f, header(2, kvtTypeString, 1010007, 33));
    EXPECT_FALSE(f.reinterpret_frame());
    EXPECT_EQ(f.GetBufferLength(), 42u);
    EXPECT_EQ(f.GetDataLength(), 33u);
    EXPECT_EQ(f.GetCode(), 1010007u);
    EXPECT_TRUE(f.IsChecksumValid());
}

TEST(OlmoFrameParse, AnnouncedLengthIsKnownBeforeTheBufferIsSized) {
    const struct {
        uint8_t type;
        uint32_t value;
        uint32_t announced;
    } cases[] = {
        {kvtTypeUInt, 0xDEADBEEF, 0}, {kvtTypeString, 33, 33}, {kvtTypeData, 0xFFFFFFFF, 0xFFFFFFFF}};
    for (const auto &c : cases) {
        kvtOlmoFrame f;
        receive_header(f, header(2, c.type, 7, c.value));
        EXPECT_EQ(f.GetAnnouncedLength(), c.announced) << int(c.type);
        EXPECT_EQ(f.GetBufferLength(), 9u) << "nothing allocated yet";
    }
}

TEST(OlmoFrameParse, StringHeaderWithZeroLengthIsNineBytes) {
    kvtOlmoFrame f;
    receive_header(f, header(2, kvtTypeString, 7, 0));
    EXPECT_FALSE(f.reinterpret_frame());
    EXPECT_EQ(f.GetBufferLength(), 9u);
    EXPECT_STREQ(f.GetAsString(), "");
}

TEST(OlmoFrameParse, UnterminatedTextStaysInsideTheBuffer) {
    kvtOlmoFrame f;
    receive_header(f, header(2, kvtTypeString, 7, 3));
    f.reinterpret_frame();
    std::memcpy(f.GetMutableBuffer() + 9, "abc", 3); // sender left out the NUL
    EXPECT_STREQ(f.GetAsString(), "abc");
    EXPECT_EQ(f.GetAsValue().GetString(), "abc");
}

TEST(OlmoFrameParse, AdjustBufferKeepsHeaderWordAndWritesLength) {
    kvtOlmoFrame f;
    f.SetAsUInt(99);
    f.SetKind(kvtOlmoKindWrite);
    f.SetCode(12);
    ASSERT_TRUE(f.adjust_buffer(20));
    EXPECT_EQ(f.GetBufferLength(), 20u);
    EXPECT_EQ(f.GetCode(), 12u);
    EXPECT_EQ(f.GetKind(), kvtOlmoKindWrite);
    EXPECT_EQ(f.GetDataLength(), 11u);
    EXPECT_EQ(f.GetChecksum(), 0);
    ASSERT_TRUE(f.adjust_buffer(3));
    EXPECT_EQ(f.GetBufferLength(), 9u);
}

TEST(OlmoFrameValue, GetAsValueByType) {
    kvtOlmoFrame f;
    f.SetAsBool(true);
    EXPECT_EQ(f.GetAsValue().ToString(), "true");
    f.SetAsUChar(200);
    EXPECT_EQ(f.GetAsValue().ToString(), "200");
    f.SetAsFloat(2.5f);
    EXPECT_EQ(f.GetAsValue().ToString(), "2.5000");
    EXPECT_EQ(f.GetAsValue().GetType(), kvtTypeFloat);
    f.SetAsString("hello");
    EXPECT_EQ(f.GetAsValue().ToString(), "hello");
    const uint8_t d[] = {0x01, 0xAB, 0x00};
    f.SetAsData(d, 3);
    EXPECT_EQ(f.GetAsValue().ToString(), "01,AB,00");
    kvtOlmoFrame none;
    EXPECT_TRUE(none.GetAsValue().IsEmpty()); // type 0 is reported as unknown data

    kvtOlmoFrame dbl;
    receive_header(dbl, header(2, kvtTypeDouble, 1, 8));
    dbl.reinterpret_frame();
    const double v = -3.25;
    std::memcpy(dbl.GetMutableBuffer() + 9, &v, 8);
    EXPECT_EQ(dbl.GetAsValue().ToString(), "-3.2500");
    double out = 0;
    dbl.GetAsDouble(&out);
    EXPECT_EQ(out, v);
}

TEST(OlmoFrameText, ReadableForm) {
    kvtOlmoFrame f;
    f.SetAsString("0123456789");
    f.SetKind(kvtOlmoKindResponse);
    f.SetCode(1010007);
    std::string text;
    f.ToString(text, 4, true);
    ASSERT_EQ(text.rfind("[OLMO][", 0), 0u);
    EXPECT_NE(text.find("][1010007][Response][char*][0123...]"), std::string::npos) << text;
    f.ToString(text, 0, true);
    EXPECT_NE(text.find("[0123456789]"), std::string::npos) << text;
    f.SetKind(9);
    f.ToString(text, 0, true);
    EXPECT_NE(text.find("[UnKnown]"), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos);
}

TEST(OlmoFrameText, RawFormListsBytesUpToLimit) {
    std::vector<uint8_t> d(40);
    for (size_t i = 0; i < d.size(); ++i)
        d[i] = uint8_t(i);
    kvtOlmoFrame f;
    f.SetAsData(d.data(), 40);
    f.SetKind(kvtOlmoKindWrite);
    f.SetCode(0xABCDE);
    std::string text;
    f.ToString(text, 16, false);
    EXPECT_NE(text.find("][0x1][0x0D][0xABCDE][0x00000028][0x"), std::string::npos) << text;
    EXPECT_NE(text.find("[0x00 0x01 "), std::string::npos) << text;
    EXPECT_NE(text.find("0x10 ...]"), std::string::npos) << text;
    EXPECT_EQ(text.find("0x11"), std::string::npos) << text;

    kvtOlmoFrame small;
    small.SetAsUInt(0x04030201);
    small.ToString(text, 16, false);
    EXPECT_NE(text.find("[0x01 0x02 0x03 0x04 ]"), std::string::npos) << text;
}

TEST(OlmoValue, TypeNamesAndTexts) {
    EXPECT_STREQ(kvtValue::TypeName(1), "bool");
    EXPECT_STREQ(kvtValue::TypeName(13), "unsigned char*");
    EXPECT_STREQ(kvtValue::TypeName(16), "void*");
    EXPECT_STREQ(kvtValue::TypeName(0), "unknown");
    EXPECT_STREQ(kvtValue::TypeName(17), "unknown");
    EXPECT_EQ(kvtValue::FromChar('Q').ToString(), "Q");
    EXPECT_EQ(kvtValue::FromShort(-12).ToString(), "-12");
    EXPECT_EQ(kvtValue::FromULong(4000000000u).ToString(), "4000000000");
    EXPECT_EQ(kvtValue::FromDouble(1.0 / 3).ToString(), "0.3333");
    EXPECT_EQ(kvtValue::FromData(nullptr, 0).ToString(), "");
    EXPECT_EQ(kvtValue::FromBool(false).ToString(), "false");
}

// The short names are what vyxctl prints and what the page and the simulator's files send: each
// names one code, and a name read back gives that code.
TEST(OlmoValue, ShortTypeNamesRoundTrip) {
    const std::vector<std::pair<int, const char *>> fixed = {
        {kvtTypeUChar, "byte"},  {kvtTypeUInt, "uint"},     {kvtTypeULong, "ulong"},
        {kvtTypeFloat, "float"}, {kvtTypeString, "string"}, {kvtTypeData, "data"}};
    for (const auto &c : fixed)
        EXPECT_STREQ(kvtValueTypeName(c.first), c.second);
    for (int type = kvtTypeNone; type <= kvtTypePointer; ++type)
        EXPECT_EQ(kvtValueTypeFromName(kvtValueTypeName(type)), type) << kvtValueTypeName(type);
    EXPECT_STREQ(kvtValueTypeName(-1), "other");
    EXPECT_STREQ(kvtValueTypeName(kvtTypePointer + 1), "other");
    for (const char *unknown : {"", "BYTE", "unsigned char", "other"})
        EXPECT_EQ(kvtValueTypeFromName(unknown), kvtTypeNone) << unknown;
}
