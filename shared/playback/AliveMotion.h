#pragma once

#include "playback/PixelBuffer.h"

#include <array>
#include <cstdint>

namespace quellon {

/// A slow brightness drift, like changing room light or camera exposure: two sine waves, the
/// second slower by a seeded detune so the drift never repeats visibly.
class AliveMotion {
public:
    static constexpr double maxAmplitude = 0.08;

    /// amplitude is limited to 0…maxAmplitude and periodFrames to at least 1 (not a number gives
    /// 0 and 1). The seed fixes the starting phase and the detune.
    AliveMotion(double amplitude, double periodFrames, std::uint64_t seed);

    /// Amplitude 0.035 over 240 frames.
    static AliveMotion gentle(std::uint64_t seed);
    /// No drift.
    static AliveMotion disabled();

    bool isActive() const { return amplitude_ > 0; }
    double amplitude() const { return amplitude_; }
    double periodFrames() const { return periodFrames_; }
    double phase() const { return phase_; }
    double detune() const { return detune_; }

    /// The brightness factor for the next frame, within 1 ± amplitude; 1 when inactive.
    double nextFactor();

    /// Entry i is factor × i rounded (halves away from zero) and limited to 0…255.
    static std::array<std::uint8_t, 256> brightnessLUT(double factor);

    /// A new frame with blue, green and red scaled by the factor and alpha kept; for a J420 frame
    /// only luma is scaled, so colours keep their hue and saturation. The frame itself comes back
    /// when it is neither, when the factor is within 0.0005 of 1 or not finite, or when no new
    /// frame can be made.
    static PixelBufferRef applyBrightness(double factor, const PixelBufferRef& buffer);

    bool operator==(const AliveMotion&) const = default;

private:
    double amplitude_;
    double periodFrames_;
    double phase_;
    double detune_;
};

} // namespace quellon
