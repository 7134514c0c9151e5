#pragma once

#include "playback/SplitMix64.h"

#include <cstdint>
#include <limits>

namespace quellon {

/// Now and then the picture stalls for several frames, like a congested connection. After a
/// stall more than minGapFrames frames pass before the next can start.
class SimulatedLag {
public:
    /// stallProbability is clamped to 0…1 (not a number counts as 0); minStallFrames is at least 0
    /// and maxStallFrames at least minStallFrames.
    SimulatedLag(double stallProbability, std::int64_t minStallFrames, std::int64_t maxStallFrames,
                 std::int64_t minGapFrames, std::uint64_t seed);

    /// Probability 0.02 of a stall of 6 to 18 frames, at least 60 frames apart.
    static SimulatedLag realistic(std::uint64_t seed);
    /// Never stalls.
    static SimulatedLag disabled();

    bool isActive() const { return stallProbability_ > 0 && maxStallFrames_ > 0; }
    bool isStalling() const { return stallRemaining_ > 0; }
    double stallProbability() const { return stallProbability_; }
    std::int64_t minStallFrames() const { return minStallFrames_; }
    std::int64_t maxStallFrames() const { return maxStallFrames_; }
    std::int64_t minGapFrames() const { return minGapFrames_; }
    std::int64_t stallRemaining() const { return stallRemaining_; }
    std::int64_t framesSinceStall() const { return framesSinceStall_; }
    const SplitMix64& rng() const { return rng_; }

    /// Whether the frame now due should repeat the previous one. A stall of L frames answers true
    /// L times in a row, the call that starts it included.
    bool shouldHold();

    bool operator==(const SimulatedLag&) const = default;

private:
    static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

    /// One held frame of the running stall; the gap count restarts on the stall's last frame.
    bool continueStall();

    double stallProbability_ = 0;
    std::int64_t minStallFrames_ = 0;
    std::int64_t maxStallFrames_ = 0;
    std::int64_t minGapFrames_ = kNever;
    SplitMix64 rng_;
    std::int64_t stallRemaining_ = 0;
    std::int64_t framesSinceStall_ = kNever;
};

} // namespace quellon
