#pragma once

#include <cstdint>
#include <memory>

namespace quellon {

/// The reusable state for decoding and converting images: the JPEG decoder handle and scratch
/// memory. Creating it once and passing it to every call spares a clip's worth of images the
/// set-up cost. One context must not be used by two threads at the same time.
class ImageContext {
public:
    ImageContext();
    ~ImageContext();
    ImageContext(ImageContext&&) noexcept;
    ImageContext& operator=(ImageContext&&) noexcept;
    ImageContext(const ImageContext&) = delete;
    ImageContext& operator=(const ImageContext&) = delete;

    /// The TurboJPEG decompressor (a tjhandle), made on first use; null when it cannot be made.
    void* jpegDecompressor();

    /// Scratch memory of at least `size` bytes, kept for the next call. Empty (null) when the
    /// memory cannot be had.
    std::uint8_t* scratch(std::size_t size);

    /// Frees the scratch memory when it holds more than `keep` bytes, so that one oversized
    /// image does not pin its memory for the context's life.
    void releaseScratchAbove(std::size_t keep);

    /// The bytes of scratch memory held now.
    std::size_t scratchCapacity() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace quellon
