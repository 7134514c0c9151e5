#pragma once

#include <stdexcept>
#include <string_view>

namespace quellon {

class PixelBuffer;

/// A frame could not be encoded (no memory, or the encoder refused it).
class JPEGEncodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Encodes BGRA frames as the camera's frame channel takes them (4:2:0, quality 85). Keeps one
/// worst-case output buffer, so encoding frames of one size allocates nothing. Not
/// thread-safe: one encoder per thread.
class JPEGEncoder {
public:
    static constexpr int kQuality = 85;

    JPEGEncoder();
    ~JPEGEncoder();
    JPEGEncoder(const JPEGEncoder&) = delete;
    JPEGEncoder& operator=(const JPEGEncoder&) = delete;

    /// The JPEG bytes of frame, valid until the next call. Throws JPEGEncodingError.
    std::string_view encode(const PixelBuffer& frame);

private:
    void* handle_;
    unsigned char* buffer_ = nullptr;
    unsigned long capacity_ = 0;
};

} // namespace quellon
