#pragma once

#include "playback/CameraSway.h"
#include "playback/LightDrift.h"
#include "playback/PixelBuffer.h"

#include <array>
#include <cstdint>

namespace quellon {

/// Slowly changing light, like a room's daylight or a camera's exposure: an overall gain and a
/// tilt across the picture each way, every one a sum of three sines whose periods stand in
/// irrational ratios (and a seeded detune), so the light never comes back to an earlier state
/// the same way: a clip shown again is never lit as before. It may carry a camera sway too
/// (the picture drifting by a few pixels on the same kind of path), ticking with the light.
class AliveMotion {
public:
    static constexpr double maxAmplitude = 0.08;
    static constexpr double maxTilt = 0.16;

    /// amplitude (the gain's reach either side of 1) is limited to 0…maxAmplitude, tilt (the
    /// reach of each tilt) to 0…maxTilt and periodFrames (the gain's slowest sine's period) to
    /// at least 30 frames; not a number gives 0, 0 and 30. The seed fixes the phases and the detune.
    AliveMotion(double amplitude, double tilt, double periodFrames, std::uint64_t seed);

    /// The setting Away uses: gain within 1 ± 0.03, tilts within ± 0.08 (an edge ± 4 %), the
    /// slowest gain sine 36 s to 44 s at 30 fps (by seed), the quickest tilt sine 10 s to 12 s;
    /// and CameraSway::gentle, seeded apart from the light.
    static AliveMotion gentle(std::uint64_t seed);
    /// No drift.
    static AliveMotion disabled();

    /// The same light with that sway.
    AliveMotion withSway(const CameraSway& sway) const;
    const CameraSway& sway() const { return sway_; }

    bool isActive() const { return amplitude_ > 0 || tilt_ > 0 || sway_.isActive(); }
    double amplitude() const { return amplitude_; }
    double tilt() const { return tilt_; }
    double periodFrames() const { return periodFrames_; }
    std::int64_t tick() const { return tick_; }

    /// The light at a given tick; a flat field of gain 1 when inactive.
    LightField lightAt(std::int64_t tick) const;
    /// The light for the next frame (the sway's pose is sway().poseAt(tick())), then one tick on.
    LightField nextLight();

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
    double tilt_;
    double periodFrames_;
    double detune_;
    std::array<double, 9> phases_{};
    CameraSway sway_ = CameraSway::disabled();
    std::int64_t tick_ = 0;
};

} // namespace quellon
