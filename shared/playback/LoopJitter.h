#pragma once

#include "playback/SplitMix64.h"

#include <cstdint>
#include <limits>

namespace quellon {

/// Now and then shows one frame twice, like a dropped frame on a call. A hold lasts exactly one
/// frame and is followed by at least one normal frame, then at least minGapFrames frames pass
/// before the next.
class LoopJitter {
public:
    /// holdProbability is clamped to 0…1 (not a number counts as 0). A hold is possible from the
    /// first frame.
    LoopJitter(double holdProbability, std::int64_t minGapFrames, std::uint64_t seed);

    /// Probability 0.04 with a gap of 15 frames.
    static LoopJitter gentle(std::uint64_t seed);
    /// Never holds.
    static LoopJitter disabled();

    bool isActive() const { return holdProbability_ > 0; }
    double holdProbability() const { return holdProbability_; }
    std::int64_t minGapFrames() const { return minGapFrames_; }
    std::int64_t framesSinceHold() const { return framesSinceHold_; }
    bool holdingNow() const { return holdingNow_; }
    const SplitMix64& rng() const { return rng_; }

    /// Whether the frame now due should repeat the previous one. Advances the counters and, when
    /// a hold is possible, the generator.
    bool shouldHold();

    bool operator==(const LoopJitter&) const = default;

private:
    static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

    double holdProbability_ = 0;
    std::int64_t minGapFrames_ = kNever;
    SplitMix64 rng_;
    std::int64_t framesSinceHold_ = kNever;
    bool holdingNow_ = false;
};

} // namespace quellon
