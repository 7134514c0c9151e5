#include "playback/ImageContext.h"

#include <new>
#include <turbojpeg.h>
#include <vector>

namespace quellon {

struct ImageContext::Impl {
    tjhandle decompressor = nullptr;
    std::vector<std::uint8_t> scratch;

    ~Impl()
    {
        if (decompressor)
            tjDestroy(decompressor);
    }
};

ImageContext::ImageContext() : impl_(std::make_unique<Impl>()) {}
ImageContext::~ImageContext() = default;
ImageContext::ImageContext(ImageContext&&) noexcept = default;
ImageContext& ImageContext::operator=(ImageContext&&) noexcept = default;

void* ImageContext::jpegDecompressor()
{
    if (!impl_)
        impl_ = std::make_unique<Impl>();
    if (!impl_->decompressor)
        impl_->decompressor = tjInitDecompress();
    return impl_->decompressor;
}

std::uint8_t* ImageContext::scratch(std::size_t size)
{
    if (!impl_)
        impl_ = std::make_unique<Impl>();
    if (impl_->scratch.size() < size) {
        try {
            impl_->scratch.resize(size);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    return impl_->scratch.data();
}

std::size_t ImageContext::scratchCapacity() const
{
    return impl_ ? impl_->scratch.capacity() : 0;
}

void ImageContext::releaseScratchAbove(std::size_t keep)
{
    if (impl_ && impl_->scratch.capacity() > keep)
        std::vector<std::uint8_t>().swap(impl_->scratch);
}

} // namespace quellon
