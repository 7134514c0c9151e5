#pragma once

#include "capture/CaptureSource.h"

#include <atomic>
#include <cstdint>
#include <functional>

namespace quellon {

/// Frames drawn by a function, as fast as they are read; for tests of what consumes a capture.
class FakeCaptureSource final : public CaptureSource {
public:
    /// draw(index) returns frame index's picture, or nothing to end the input.
    using Draw = std::function<PixelBufferRef(std::int64_t index)>;

    FakeCaptureSource(CaptureFormat format, Draw draw) : format_(std::move(format)), draw_(std::move(draw)) {}

    CaptureFormat format() const override { return format_; }

    std::optional<CapturedFrame> read() override
    {
        if (interrupted_)
            return std::nullopt;
        PixelBufferRef image = draw_(next_);
        if (!image)
            return std::nullopt;
        const double time = static_cast<double>(next_++) / (format_.fps > 0 ? format_.fps : 30);
        return CapturedFrame{std::move(image), time};
    }

    void interrupt() override { interrupted_ = true; }

private:
    CaptureFormat format_;
    Draw draw_;
    std::int64_t next_ = 0;
    std::atomic<bool> interrupted_ = false;
};

} // namespace quellon
