#include "playback/SimulatedLag.h"

#include <algorithm>

namespace quellon {

SimulatedLag::SimulatedLag(double stallProbability, std::int64_t minStallFrames, std::int64_t maxStallFrames,
                           std::int64_t minGapFrames, std::uint64_t seed)
    : stallProbability_(stallProbability > 0 ? std::min(stallProbability, 1.0) : 0),
      minStallFrames_(std::max<std::int64_t>(minStallFrames, 0)), maxStallFrames_(std::max(maxStallFrames, minStallFrames_)),
      minGapFrames_(minGapFrames), rng_(seed), stallRemaining_(0), framesSinceStall_(minGapFrames)
{
}

SimulatedLag SimulatedLag::realistic(std::uint64_t seed)
{
    return SimulatedLag(0.02, 6, 18, 60, seed);
}

SimulatedLag SimulatedLag::disabled()
{
    return SimulatedLag(0, 0, 0, kNever, 0);
}

bool SimulatedLag::continueStall()
{
    --stallRemaining_;
    if (stallRemaining_ == 0)
        framesSinceStall_ = 0;
    return true;
}

bool SimulatedLag::shouldHold()
{
    if (!(stallProbability_ > 0 && maxStallFrames_ >= 1))
        return false;
    if (stallRemaining_ >= 1)
        return continueStall();
    if (framesSinceStall_ != kNever)
        ++framesSinceStall_;
    // The gap must be exceeded, not merely reached.
    if (minGapFrames_ >= framesSinceStall_)
        return false;
    if (!(rng_.nextUnit() < stallProbability_))
        return false;
    // Unsigned span: maxStallFrames may be as large as the type allows.
    const std::uint64_t span = static_cast<std::uint64_t>(maxStallFrames_ - minStallFrames_) + 1;
    const std::int64_t length
        = span < 2 ? minStallFrames_ : minStallFrames_ + static_cast<std::int64_t>(rng_.next() % span);
    stallRemaining_ = length;
    if (length < 1)
        return false;
    return continueStall();
}

} // namespace quellon
