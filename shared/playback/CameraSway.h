#pragma once

#include "playback/PixelBuffer.h"

#include <array>
#include <cstdint>

namespace quellon {

/// Where the picture sits on one frame: moved by shiftX of its width and shiftY of its height
/// (positive is right and down) and magnified by zoom about its centre.
struct SwayPose {
    double shiftX = 0;
    double shiftY = 0;
    double zoom = 1;

    bool operator==(const SwayPose&) const = default;
};

/// The slow sway of a camera standing on a desk: the picture drifts by a few pixels and breathes
/// by a fraction of a percent, each a sum of three sines with periods in irrational ratios (and
/// a seeded detune), so a frame shown again never sits where it sat before. The zoom always
/// covers the reach, so the picture's edge never comes into view.
class CameraSway {
public:
    static constexpr double maxReach = 0.02;
    static constexpr double maxBreath = 0.01;

    /// reach (the furthest shift, as a fraction of the width across and of the height down) is
    /// limited to 0…maxReach,
    /// breath (the zoom's swing above the covering zoom) to 0…maxBreath, periodFrames (the
    /// slowest sine's period) to at least 30; not a number gives 0, 0 and 30.
    CameraSway(double reach, double breath, double periodFrames, std::uint64_t seed);

    /// The setting Away uses: up to 20 px each way across a 1280 × 720 picture (11 px down),
    /// typically 13 px, behind a zoom of 3.5 %, breathing within 2 % more, the slowest sine 36 s
    /// to 44 s at 30 fps (by seed), the quickest 10 s to 12 s: a corner moves at most 0.4 px a
    /// frame. Chosen with quellon-periodicity-bench: less lets a loop of a moving picture show
    /// frames again where they sat.
    static CameraSway gentle(std::uint64_t seed);
    static CameraSway disabled();

    bool isActive() const { return reach_ > 0 || breath_ > 0; }
    double reach() const { return reach_; }
    double breath() const { return breath_; }
    double periodFrames() const { return periodFrames_; }

    /// The zoom that keeps a shift of the full reach inside the picture, with a pixel to spare
    /// for the filter, on a picture of that size (1 when inactive or the size is empty).
    double coverZoom(int width, int height) const;
    /// The pose at a tick for a picture of that size: zoom within coverZoom … coverZoom + 2 × breath.
    SwayPose poseAt(std::int64_t tick, int width, int height) const;

    /// Where output pixel centre `index` of a plane `planeSize` samples across, in source
    /// samples: (centre + (index + ½ − centre) / zoom − shift − ½), centre and shift given in
    /// the plane's own samples. Public so tests can check the reach never leaves the picture.
    static double sourceCoordinate(int index, double centre, double shift, double zoom);

    /// A new J420 frame: every plane resampled bilinearly at the pose (chroma planes at half
    /// the luma's shift and centre). Any other frame, a pose of no shift and zoom 1, a value not
    /// finite, a zoom outside 1…1.5, or no new frame comes back as the frame itself.
    static PixelBufferRef apply(const SwayPose& pose, const PixelBufferRef& buffer);

    bool operator==(const CameraSway&) const = default;

private:
    double reach_;
    double breath_;
    double periodFrames_;
    double detune_;
    std::array<double, 9> phases_{};
};

} // namespace quellon
