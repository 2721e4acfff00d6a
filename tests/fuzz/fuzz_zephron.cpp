// The Zephron frame reader on arbitrary bytes: every accessor, the text forms and the checks must
// stay inside the buffer, whatever the header claims.
#include "kvt_zephronframe.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const kvt::kvtZephronFrame frame(data, uint32_t(size));
    volatile uint64_t sink = 0;
    sink += frame.IsValid() + frame.IsHeaderCrcValid() + frame.IsPayloadCrcValid() + frame.HasPayload();
    sink += frame.GetSourceAddress() + frame.GetSourcePort() + frame.GetDestinationAddress() +
            frame.GetDestinationPort() + frame.GetType() + frame.GetSubType() + frame.GetCode() +
            frame.GetHeaderCrc() + frame.GetPayloadCrc();
    sink += frame.GetSourceAddressText().size() + frame.GetDestinationAddressText().size();
    if (frame.ToString().size() > kvt::kvtZephronFrame::kMaxTextLength)
        std::abort();
    const std::string text = frame.GetPayloadText();
    if (!frame.IsValid() && !text.empty())
        std::abort();
    // A frame the reader accepts, built again from its fields, reads back the same text.
    if (frame.IsValid()) {
        const std::vector<uint8_t> again = kvt::kvtZephronFrame::Build(
            frame.GetType(), frame.GetSubType(), frame.GetCode(), frame.GetPayload(),
            frame.GetPayload() ? frame.GetPayloadLength() : 0);
        const kvt::kvtZephronFrame rebuilt(again.data(), uint32_t(again.size()));
        if (!rebuilt.IsValid() || rebuilt.GetPayloadText() != text)
            std::abort();
    }
    (void)sink;
    return 0;
}
