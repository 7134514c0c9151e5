#pragma once

#include "playback/PixelBuffer.h"

namespace quellon {

/// Conversions between the frames the system shows (BGRA) and the compact form loops keep
/// (J420: full-range BT.601, the one pair of matrix and range libyuv converts both ways, and
/// full range loses the least on a round trip). The clip's own colour tags were honoured when
/// it was decoded into BGRA, so the compact form only has to give back the same BGRA.
namespace YuvFrames {

/// The frame in J420 (a new buffer); nothing for a null or non-BGRA frame or when memory is
/// short. Alpha is dropped: loop frames are opaque.
PixelBufferRef compact(const PixelBufferRef& frame);

/// The frame in BGRA, opaque: a new buffer for a J420 frame, the frame itself when it is BGRA
/// already, nothing for another format, a null frame or when memory is short.
PixelBufferRef bgra(const PixelBufferRef& frame);

} // namespace YuvFrames

} // namespace quellon
