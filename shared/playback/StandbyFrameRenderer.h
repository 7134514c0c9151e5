#pragma once

#include "playback/PixelBuffer.h"

#include <cstdint>
#include <string_view>

namespace quellon {

/// The calm card the camera shows when it has nothing else: a dark blue-grey gradient, a small
/// blue dot, a bold title and a smaller subtitle, all centred.
namespace StandbyFrameRenderer {

/// A new BGRA frame of width × height with the card drawn into it, or nothing when no such
/// frame can be made. Text that does not fit is neither wrapped nor shrunk: it stays centred
/// and runs over both edges.
PixelBufferRef makeFrame(std::int64_t width, std::int64_t height, std::string_view title, std::string_view subtitle);

/// Loads what drawing text needs once per process (fontconfig's configuration and caches, the
/// two faces, FreeType): a long-running program calls it at start, so its first card does not
/// wait for them and its memory does not step up whenever that first card happens to come.
void prepare();

} // namespace StandbyFrameRenderer

} // namespace quellon
