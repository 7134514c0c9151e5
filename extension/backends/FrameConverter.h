#pragma once

#include "playback/PixelBuffer.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace quellon {

/// The packed layouts a camera sink delivers.
enum class OutputPixelFormat { yuyv, i420 };

/// A sink's fixed frame format.
struct OutputFormat {
    int width = 1280;
    int height = 720;
    OutputPixelFormat pixelFormat = OutputPixelFormat::yuyv;

    std::size_t frameBytes() const;
    bool operator==(const OutputFormat&) const = default;
};

/// Turns BGRA frames of any size into the sink's format (BT.601, limited range). A frame of
/// another size is scaled to fit, keeping its proportions, centred on black. The result of the
/// last frame is kept: re-sending the same frame costs no conversion. The scaling scratch (a
/// whole BGRA output frame) is kept only while frames of another size come, so a card primed
/// once at another size does not pin it for the sink's life.
class FrameConverter {
public:
    explicit FrameConverter(OutputFormat format);

    const OutputFormat& format() const { return format_; }
    /// The frame in the output format, or null for a frame that is not BGRA. Valid until the
    /// next call.
    const std::vector<std::uint8_t>* convert(const PixelBufferRef& frame);
    /// Bytes held for scaling now.
    std::size_t scratchBytes() const { return scaled_.capacity(); }

private:
    void convertInto(const std::uint8_t* bgra, int stride, int width, int height, int x, int y);

    OutputFormat format_;
    std::vector<std::uint8_t> output_;
    std::vector<std::uint8_t> scaled_;
    std::weak_ptr<PixelBuffer> lastFrame_;
};

} // namespace quellon
