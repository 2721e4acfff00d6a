#pragma once
// Splits fuzz input into Olmo frames as the frame reader delivers them: a 9-byte header (its
// checksum made valid, so that every frame reaches the handlers) and the payload it announces,
// cut to the bytes that are left.
#include "kvt_olmoframe.h"

#include <cstring>
#include <functional>

namespace fuzzframes {

inline void forEachFrame(const uint8_t *data, size_t size,
                         const std::function<void(const kvt::kvtOlmoFrame &)> &handle) {
    using kvt::kvtOlmoHeaderSize;
    while (size >= kvtOlmoHeaderSize) {
        kvt::kvtOlmoFrame frame;
        if (!frame.adjust_buffer(kvtOlmoHeaderSize))
            return;
        uint8_t *header = frame.GetMutableBuffer();
        std::memcpy(header, data, kvtOlmoHeaderSize);
        data += kvtOlmoHeaderSize;
        size -= kvtOlmoHeaderSize;
        uint32_t length = 0;
        if (!frame.IsInlineType()) {
            length = uint32_t(header[4]) | uint32_t(header[5]) << 8 | uint32_t(header[6]) << 16 |
                     uint32_t(header[7]) << 24;
            if (length > size)
                length = uint32_t(size);
            for (int i = 0; i < 4; ++i)
                header[4 + i] = uint8_t(length >> (8 * i));
        }
        uint8_t sum = 0;
        for (uint32_t i = 0; i < kvtOlmoHeaderSize - 1; ++i)
            sum ^= header[i];
        header[kvtOlmoHeaderSize - 1] = sum;
        if (!frame.reinterpret_frame()) {
            if (frame.GetBufferLength() != kvtOlmoHeaderSize + length)
                return;
            std::memcpy(frame.GetMutableBuffer() + kvtOlmoHeaderSize, data, length);
            data += length;
            size -= length;
        }
        handle(frame);
    }
}

} // namespace fuzzframes
