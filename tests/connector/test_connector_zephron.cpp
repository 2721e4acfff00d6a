#include "kvt_zephronframe.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

using kvt::kvtZephronFrame;

namespace {

std::vector<uint8_t> bytesOf(const std::string &text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<uint8_t> build(const std::string &payload, uint8_t type = 1, uint8_t subType = 0,
                           uint16_t code = 0) {
    auto bytes = bytesOf(payload);
    return kvtZephronFrame::Build(type, subType, code, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

kvtZephronFrame frameOf(const std::vector<uint8_t> &bytes) {
    return kvtZephronFrame(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

void setHeaderCrc(std::vector<uint8_t> &frame) {
    const uint16_t crc = kvtZephronFrame::Crc16(frame.data(), 19);
    frame[19] = crc & 0xFF;
    frame[20] = crc >> 8;
}

} // namespace

TEST(ZephronCrc, KnownVectors) {
    struct Case {
        std::string input;
        uint16_t crc;
    } cases[] = {
        {"", 0x0000},
        {"123456789", 0xBB3D},
        {"abc", 0x9738},
        {"a", 0xE8C1},
    };
    for (const auto &c : cases) {
        auto bytes = bytesOf(c.input);
        EXPECT_EQ(kvtZephronFrame::Crc16(bytes.data(), bytes.size()), c.crc) << c.input;
    }
}

TEST(ZephronBuild, AbcCommandFrameIsExact) {
    const std::vector<uint8_t> expected = {0, 0, 0,    0, 0, 0, 0,    0,    0,    0,    0,    0,    0x01,
                                           0, 0, 0x03, 0, 0, 0, 0x10, 0x84, 0x61, 0x62, 0x63, 0x38, 0x97};
    EXPECT_EQ(build("abc"), expected);
    EXPECT_TRUE(frameOf(expected).IsValid());
}

TEST(ZephronBuild, EmptyCommandHasZeroPayloadCrc) {
    auto frame = build("");
    ASSERT_EQ(frame.size(), 23u);
    EXPECT_EQ(frame[21], 0);
    EXPECT_EQ(frame[22], 0);
    auto parsed = frameOf(frame);
    EXPECT_TRUE(parsed.IsHeaderCrcValid());
    EXPECT_FALSE(parsed.HasPayload());
    EXPECT_TRUE(parsed.IsValid()); // the CRC of no bytes is 0
    EXPECT_EQ(parsed.GetPayloadText(), "");
}

TEST(ZephronAccessors, ReadEveryField) {
    std::vector<uint8_t> f(21 + 3 + 2, 0);
    const uint8_t head[] = {0x0A, 0x00, 0x00, 0xFE, 0x34, 0x12, 0xC0, 0xA8, 0x01, 0x02,
                            0x05, 0x00, 0x52, 0xCD, 0xAB, 0x03, 0x00, 0x00, 0x00};
    std::memcpy(f.data(), head, sizeof head);
    setHeaderCrc(f);
    f[21] = 0xDE;
    f[22] = 0xAD;
    f[23] = 0x01;
    const uint16_t pcrc = kvtZephronFrame::Crc16(f.data() + 21, 3);
    f[24] = pcrc & 0xFF;
    f[25] = pcrc >> 8;

    auto z = frameOf(f);
    EXPECT_TRUE(z.IsValid());
    EXPECT_EQ(z.GetBufferLength(), 26u);
    EXPECT_EQ(z.GetSourceAddress(), 0xFE00000Au);
    EXPECT_EQ(z.GetSourceAddressText(), "0A:00:00:FE");
    EXPECT_EQ(z.GetSourcePort(), 0x1234);
    EXPECT_EQ(z.GetDestinationAddress(), 0x0201A8C0u);
    EXPECT_EQ(z.GetDestinationAddressText(), "C0:A8:01:02");
    EXPECT_EQ(z.GetDestinationPort(), 5);
    EXPECT_EQ(z.GetType(), 2);
    EXPECT_EQ(z.GetSubType(), 5);
    EXPECT_EQ(z.GetCode(), 0xABCD);
    EXPECT_EQ(z.GetPayloadLength(), 3u);
    EXPECT_TRUE(z.HasPayload());
    EXPECT_EQ(z.GetPayload(), z.GetBuffer() + 21);
    EXPECT_EQ(z.GetHeaderCrc(), kvtZephronFrame::Crc16(f.data(), 19));
    EXPECT_EQ(z.GetPayloadCrc(), pcrc);
    EXPECT_EQ(z.ToString(), "[0A:00:00:FE:4660][C0:A8:01:02:05][2][43981][DE AD 01 ]");
}

TEST(ZephronToString, NoPayloadAndSizeLimit) {
    auto empty = frameOf(build(""));
    EXPECT_EQ(empty.ToString(), "[00:00:00:00:00][00:00:00:00:00][1][0]");

    auto big = frameOf(build(std::string(1000, 'x')));
    const std::string text = big.ToString();
    EXPECT_LE(text.size(), kvtZephronFrame::kMaxTextLength);
    EXPECT_EQ(text.back(), ']');
    EXPECT_NE(text.find("78 78 "), std::string::npos);
}

TEST(ZephronValidity, ShortAndCorruptFrames) {
    const auto good = build("hello");
    struct Case {
        const char *name;
        std::vector<uint8_t> bytes;
        bool header;
        bool payload;
    } cases[] = {
        {"empty", {}, false, true},
        {"20 bytes", std::vector<uint8_t>(good.begin(), good.begin() + 20), false, false},
        {"header only, n=5", std::vector<uint8_t>(good.begin(), good.begin() + 21), true, false},
        {"truncated payload", std::vector<uint8_t>(good.begin(), good.end() - 3), true, false},
        {"missing last CRC byte", std::vector<uint8_t>(good.begin(), good.end() - 1), true, false},
        {"complete", good, true, true},
    };
    auto oneCrcByte = build("");
    oneCrcByte.resize(22); // n = 0 but a stray byte where a 2-byte CRC should be
    EXPECT_FALSE(frameOf(oneCrcByte).IsPayloadCrcValid());
    for (const auto &c : cases) {
        auto z = frameOf(c.bytes);
        EXPECT_EQ(z.IsHeaderCrcValid(), c.header) << c.name;
        EXPECT_EQ(z.IsPayloadCrcValid(), c.payload) << c.name;
        EXPECT_EQ(z.IsValid(), c.header && c.payload) << c.name;
    }

    auto headerFlip = good;
    headerFlip[3] ^= 0x01;
    EXPECT_FALSE(frameOf(headerFlip).IsHeaderCrcValid());
    auto payloadFlip = good;
    payloadFlip[22] ^= 0x80;
    EXPECT_TRUE(frameOf(payloadFlip).IsHeaderCrcValid());
    EXPECT_FALSE(frameOf(payloadFlip).IsPayloadCrcValid());
}

TEST(ZephronValidity, ProblemNamesWhatIsWrong) {
    const std::vector<uint8_t> good = build("abc");
    std::vector<uint8_t> badHeader = good;
    badHeader[2] ^= 1;
    std::vector<uint8_t> badPayload = good;
    badPayload[22] ^= 1;
    std::vector<uint8_t> huge = good;
    huge[15] = huge[16] = huge[17] = huge[18] = 0xFF;
    setHeaderCrc(huge);
    const struct {
        std::vector<uint8_t> bytes;
        const char *problem;
    } cases[] = {
        {good, nullptr},
        {build(""), nullptr},
        {std::vector<uint8_t>(good.begin(), good.begin() + 20), "frame shorter than its header"},
        {badHeader, "header CRC mismatch"},
        {std::vector<uint8_t>(good.begin(), good.begin() + 24), "payload shorter than announced"},
        {huge, "payload shorter than announced"},
        {badPayload, "payload CRC mismatch"},
    };
    for (const auto &c : cases) {
        const char *problem = frameOf(c.bytes).GetProblem();
        EXPECT_STREQ(problem, c.problem) << c.bytes.size() << " bytes";
        EXPECT_EQ(problem == nullptr, frameOf(c.bytes).IsValid());
    }
}

TEST(ZephronValidity, HeaderOnlyFrameWithoutPayloadIsValid) {
    auto frame = build("");
    frame.resize(21);
    auto z = frameOf(frame);
    EXPECT_TRUE(z.IsValid());
    EXPECT_EQ(z.GetPayload(), nullptr);
    EXPECT_EQ(z.GetPayloadCrc(), 0);
}

TEST(ZephronValidity, HugeAnnouncedLengthDoesNotWrap) {
    auto frame = build("abc");
    frame[15] = frame[16] = frame[17] = frame[18] = 0xFF; // n = 2^32 - 1, n + 23 wraps in 32 bits
    setHeaderCrc(frame);
    auto z = frameOf(frame);
    EXPECT_TRUE(z.IsHeaderCrcValid());
    EXPECT_FALSE(z.IsPayloadCrcValid());
    EXPECT_EQ(z.GetPayloadText(), "");
    EXPECT_LE(z.ToString().size(), kvtZephronFrame::kMaxTextLength);
}

TEST(ZephronPayloadText, StopsAtNulAndAtPayloadEnd) {
    EXPECT_EQ(frameOf(build("abc")).GetPayloadText(), "abc");
    EXPECT_EQ(frameOf(build(std::string("ab\0cd", 5))).GetPayloadText(), "ab");
    auto corrupt = build("abc");
    corrupt[22] ^= 1;
    EXPECT_EQ(frameOf(corrupt).GetPayloadText(), "");
}

TEST(ZephronRobustness, RandomAndTruncatedBytesStayInsideTheBuffer) {
    std::mt19937 rng(12345);
    const auto good = build("a fairly ordinary zephron payload text");
    auto exercise = [](const std::vector<uint8_t> &bytes) {
        // Exact-size heap copy, so a sanitizer build catches any read past the end.
        std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size() ? bytes.size() : 1]);
        if (!bytes.empty())
            std::memcpy(copy.get(), bytes.data(), bytes.size());
        kvtZephronFrame z(copy.get(), static_cast<uint32_t>(bytes.size()));
        (void)z.IsValid();
        (void)z.GetSourceAddressText();
        (void)z.GetDestinationAddressText();
        (void)z.GetSourcePort();
        (void)z.GetDestinationPort();
        (void)z.GetType();
        (void)z.GetSubType();
        (void)z.GetCode();
        (void)z.GetPayloadCrc();
        (void)z.GetPayloadText();
        EXPECT_LE(z.ToString().size(), kvtZephronFrame::kMaxTextLength);
    };
    for (size_t len = 0; len <= good.size(); ++len)
        exercise(std::vector<uint8_t>(good.begin(), good.begin() + len));
    std::uniform_int_distribution<int> byte(0, 255), length(0, 80);
    for (int round = 0; round < 20000; ++round) {
        std::vector<uint8_t> bytes(length(rng));
        for (auto &b : bytes)
            b = static_cast<uint8_t>(byte(rng));
        if (bytes.size() >= 21 && round % 2 == 0) {
            // Half of the rounds carry a correct header CRC so the payload checks are reached.
            bytes[15] = static_cast<uint8_t>(bytes.size() - 21 + (round % 7) - 3);
            bytes[16] = bytes[17] = bytes[18] = 0;
            setHeaderCrc(bytes);
        }
        exercise(bytes);
    }
    auto mutated = good;
    for (int round = 0; round < 5000; ++round) {
        mutated = good;
        mutated[std::uniform_int_distribution<size_t>(0, good.size() - 1)(rng)] =
            static_cast<uint8_t>(byte(rng));
        mutated.resize(std::uniform_int_distribution<size_t>(0, good.size())(rng));
        exercise(mutated);
    }
}
