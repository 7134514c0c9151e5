#pragma once

#include "playback/PixelBuffer.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct spa_pod;
struct spa_pod_builder;

namespace quellon {

/// The raw layouts the PipeWire camera offers, in the order offered. BGRA comes first: both
/// browsers take it and show its colours exactly. I420 and YUY2 are for clients that take only
/// YUV. BGRx, which GStreamer and OBS have always been given, comes last; the browsers have no
/// BGRx and drop a node that offers nothing else.
enum class PipeWirePixelFormat { bgra, i420, yuy2, bgrx };

/// One negotiated frame layout; every plane lies in one block, one plane after the other.
struct PipeWireFrameLayout {
    PipeWirePixelFormat format = PipeWirePixelFormat::bgra;
    int width = 1280;
    int height = 720;

    /// Bytes per row of the first (or only) plane.
    int stride() const;
    /// Bytes of one whole frame.
    std::size_t frameBytes() const;
    bool operator==(const PipeWireFrameLayout&) const = default;
};

/// Every offered layout at width × height, preferred first.
std::vector<PipeWireFrameLayout> offeredLayouts(int width, int height);

/// One fixed EnumFormat param per offered layout, built into builder in order (clients reject
/// a choice of formats inside one param). YUV params state BT.601 limited range, which is how
/// the frames are encoded; RGB params state full range.
std::vector<const spa_pod*> buildEnumFormats(spa_pod_builder& builder, int width, int height, int fps);

/// The layout a negotiated Format param asks for, or why it is none of the offered ones.
struct NegotiatedLayout {
    std::optional<PipeWireFrameLayout> layout;
    std::string refusal;
};
NegotiatedLayout parseNegotiatedFormat(const spa_pod* format, int width, int height);

/// Writes BGRA frames into PipeWire buffers in a negotiated layout with one libyuv pass per
/// frame; YUV as BT.601 limited range, which is how Chromium decodes PipeWire YUV. A frame of
/// another size is scaled to the layout's size first (the scratch is kept only while such
/// frames come).
class PipeWireFrameWriter {
public:
    /// Writes frame into destination (layout.frameBytes() bytes). False for a frame that is
    /// not BGRA.
    bool write(const PixelBuffer& frame, const PipeWireFrameLayout& layout, std::uint8_t* destination);
    std::size_t scratchBytes() const { return scaled_.capacity(); }

private:
    std::vector<std::uint8_t> scaled_;
};

} // namespace quellon
