#pragma once

#include "playback/PixelBuffer.h"

namespace quellon {

class ImageContext;
struct DecodedImage;

/// Plays recorded loops as a stream of frames.
// Only the image conversion exists so far; playback and loading arrive with the loop provider.
class LoopFrameProvider {
public:
    /// A frame buffer of the image's own size holding its pixels (never scaled or cropped), or
    /// nothing when the image is empty or no buffer can be made. The result is a new buffer the
    /// image does not share.
    static PixelBufferRef pixelBuffer(const DecodedImage& image, ImageContext& context);

    /// The same for an image that is no longer needed: its pixels become the frame without a
    /// copy.
    static PixelBufferRef pixelBuffer(DecodedImage&& image, ImageContext& context);
};

} // namespace quellon
