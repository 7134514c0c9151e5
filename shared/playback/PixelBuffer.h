#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>

namespace quellon {

/// A pixel format as a big-endian four-character code ('B','G','R','A' → 0x42475241).
using PixelFormatCode = std::uint32_t;

constexpr PixelFormatCode fourCharacterCode(char a, char b, char c, char d)
{
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(a)) << 24)
        | (static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 16)
        | (static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 8)
        | static_cast<std::uint32_t>(static_cast<unsigned char>(d));
}

/// 32-bit BGRA: bytes blue, green, red, alpha in memory; alpha premultiplied. Every frame the
/// system shows or sends is in this format.
inline constexpr PixelFormatCode kPixelFormatBGRA = fourCharacterCode('B', 'G', 'R', 'A');
/// Packed 4:2:2 Y0 U Y1 V, two bytes per pixel (what the V4L2 camera sends).
inline constexpr PixelFormatCode kPixelFormatYUYV = fourCharacterCode('Y', 'U', 'Y', 'V');
/// 8-bit grey, one byte per pixel.
inline constexpr PixelFormatCode kPixelFormatGray8 = fourCharacterCode('L', '0', '0', '8');
/// Planar 4:2:0 with full-range BT.601 values (JPEG's colours): a luma plane, then a blue and
/// a red chroma plane of half the width and height (rounded up). 1.5 bytes a pixel against
/// BGRA's 4: how loaded loops keep their frames. Luma is 0.299 R + 0.587 G + 0.114 B of the
/// BGRA picture, to within a level.
inline constexpr PixelFormatCode kPixelFormatJ420 = fourCharacterCode('J', '4', '2', '0');

/// A frame in memory: width × height pixels in rows of bytesPerRow bytes. Rows are padded to
/// a multiple of 64 bytes, so code must step by bytesPerRow, never by width × bytes per pixel.
/// A planar frame (J420) has planes one after another in the same memory; bytesPerRow and
/// row() are its first plane's, plane() says where each one lies.
///
/// Frames are shared by reference (PixelBufferRef) between threads. Access goes through the
/// locks below: any number of readers at once, or one writer alone, so a reader never sees a
/// frame half-written.
class PixelBuffer {
public:
    /// Largest side and pixel count a buffer may have; larger requests fail like any other
    /// allocation failure instead of exhausting memory.
    static constexpr std::int64_t kMaxSide = 16384;
    static constexpr std::int64_t kMaxPixels = 64LL * 1024 * 1024;
    static constexpr std::size_t kRowAlignment = 64;

    /// A new buffer with undefined content, or nothing when a side is below 1, the size is
    /// absurd, the format unknown or memory is short. Rows are at least minimumBytesPerRow long
    /// (rounded up to the alignment), for frames laid out to match a foreign stride. The memory
    /// comes from FramePool::shared() and goes back to it when the last reference is released.
    static std::shared_ptr<PixelBuffer> create(std::int64_t width, std::int64_t height,
                                               PixelFormatCode format = kPixelFormatBGRA,
                                               std::size_t minimumBytesPerRow = 0);

    /// Bytes per pixel of a packed format the buffer can hold; 0 for a planar or unknown one.
    static std::size_t bytesPerPixel(PixelFormatCode format);

    /// Where one plane lies: from offset, rows of bytesPerRow bytes of which the first
    /// rowBytes hold pixels.
    struct Plane {
        std::size_t offset = 0;
        std::size_t bytesPerRow = 0;
        std::size_t rowBytes = 0;
        int rows = 0;

        bool operator==(const Plane&) const = default;
    };
    /// 1 for packed formats, 3 for J420.
    int planeCount() const;
    /// The plane of that index (0 for a packed format); an empty plane for one out of range.
    Plane plane(int index) const;
    /// Bytes of pixel memory the buffer holds, padding included.
    std::size_t byteCount() const;
    /// The same for a buffer create() would make; 0 when it would make none.
    static std::size_t byteCount(std::int64_t width, std::int64_t height, PixelFormatCode format);

    int width() const { return width_; }
    int height() const { return height_; }
    std::size_t bytesPerRow() const { return bytesPerRow_; }
    PixelFormatCode pixelFormat() const { return format_; }
    bool isBGRA() const { return format_ == kPixelFormatBGRA; }
    bool isJ420() const { return format_ == kPixelFormatJ420; }

    /// Shared access to the pixels for as long as the lock lives.
    class ReadLock {
    public:
        const std::uint8_t* baseAddress() const { return buffer_->data_.get(); }
        const std::uint8_t* row(int y) const { return baseAddress() + static_cast<std::size_t>(y) * buffer_->bytesPerRow_; }

    private:
        friend class PixelBuffer;
        explicit ReadLock(const PixelBuffer& buffer) : buffer_(&buffer), lock_(buffer.mutex_) {}
        const PixelBuffer* buffer_;
        std::shared_lock<std::shared_mutex> lock_;
    };

    /// Exclusive access to the pixels for as long as the lock lives.
    class WriteLock {
    public:
        std::uint8_t* baseAddress() const { return buffer_->data_.get(); }
        std::uint8_t* row(int y) const { return baseAddress() + static_cast<std::size_t>(y) * buffer_->bytesPerRow_; }

    private:
        friend class PixelBuffer;
        explicit WriteLock(PixelBuffer& buffer) : buffer_(&buffer), lock_(buffer.mutex_) {}
        PixelBuffer* buffer_;
        std::unique_lock<std::shared_mutex> lock_;
    };

    ReadLock lockForReading() const { return ReadLock(*this); }
    WriteLock lockForWriting() { return WriteLock(*this); }

    PixelBuffer(const PixelBuffer&) = delete;
    PixelBuffer& operator=(const PixelBuffer&) = delete;

private:
    struct AlignedFree {
        void operator()(std::uint8_t* p) const;
    };

    PixelBuffer(int width, int height, std::size_t bytesPerRow, PixelFormatCode format,
                std::unique_ptr<std::uint8_t[], AlignedFree> data);

    int width_;
    int height_;
    std::size_t bytesPerRow_;
    PixelFormatCode format_;
    std::unique_ptr<std::uint8_t[], AlignedFree> data_;
    mutable std::shared_mutex mutex_;
};

using PixelBufferRef = std::shared_ptr<PixelBuffer>;

} // namespace quellon
