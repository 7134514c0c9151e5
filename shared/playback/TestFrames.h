#pragma once

// Helpers for the frame tests: fill and compare BGRA frames.

#include "playback/PixelBuffer.h"

#include <array>
#include <cstdint>
#include <functional>

namespace quellon::testing {

using Pixel = std::array<std::uint8_t, 4>; // B, G, R, A

/// A BGRA frame whose every pixel is pixelAt(x, y); padding bytes are set to 0xEE.
inline PixelBufferRef makeFrame(int width, int height, const std::function<Pixel(int, int)>& pixelAt,
                                std::size_t minimumBytesPerRow = 0)
{
    auto buffer = PixelBuffer::create(width, height, kPixelFormatBGRA, minimumBytesPerRow);
    if (!buffer)
        return nullptr;
    auto lock = buffer->lockForWriting();
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = lock.row(y);
        std::fill_n(row, buffer->bytesPerRow(), std::uint8_t{0xEE});
        for (int x = 0; x < width; ++x) {
            const Pixel p = pixelAt(x, y);
            std::copy(p.begin(), p.end(), row + x * 4);
        }
    }
    return buffer;
}

inline Pixel pixelOf(const PixelBuffer& buffer, int x, int y)
{
    auto lock = buffer.lockForReading();
    const std::uint8_t* p = lock.row(y) + x * 4;
    return {p[0], p[1], p[2], p[3]};
}

} // namespace quellon::testing
