// Image decoding under both limits: nothing, or a picture within the limit whose buffer holds
// it. The input's length picks the limit, so whole files can be fed as they are. Run with
// -rss_limit_mb to catch memory bombs.

#include "FuzzSupport.h"
#include "playback/ImageContext.h"
#include "playback/ImageDecoding.h"

using namespace quellon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static ImageContext context;
    const ImageSizeLimit limit = (size & 1) ? kPushedImageLimit : kClipImageLimit;
    const auto image = decodeImage(fuzz::bytes(data, size), context, limit);
    fuzz::require(context.scratchCapacity() <= kRetainedScratchBytes, "oversized scratch is released");
    if (!image)
        return 0;
    fuzz::require(isAcceptableImageSize(image->width, image->height, limit), "a decoded picture is within the limit");
    fuzz::require(image->pixels && image->pixels->width() == image->width && image->pixels->height() == image->height,
                  "the buffer holds the picture");
    fuzz::require(image->pixels->isBGRA(), "the picture is BGRA");
    return 0;
}
