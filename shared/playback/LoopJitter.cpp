#include "playback/LoopJitter.h"

#include <algorithm>

namespace quellon {

namespace {

double clampedProbability(double p)
{
    if (!(p > 0))
        return 0;
    return std::min(p, 1.0);
}

} // namespace

LoopJitter::LoopJitter(double holdProbability, std::int64_t minGapFrames, std::uint64_t seed)
    : holdProbability_(clampedProbability(holdProbability)), minGapFrames_(minGapFrames), rng_(seed),
      framesSinceHold_(minGapFrames), holdingNow_(false)
{
}

LoopJitter LoopJitter::gentle(std::uint64_t seed)
{
    return LoopJitter(0.04, 15, seed);
}

LoopJitter LoopJitter::disabled()
{
    return LoopJitter(0, kNever, 0);
}

bool LoopJitter::shouldHold()
{
    if (!(holdProbability_ > 0))
        return false;
    if (holdingNow_) {
        holdingNow_ = false;
        framesSinceHold_ = 0;
        return false;
    }
    // At the largest value the count has stopped and the gap is taken as passed.
    if (framesSinceHold_ != kNever) {
        ++framesSinceHold_;
        if (framesSinceHold_ < minGapFrames_)
            return false;
    }
    if (!(rng_.nextUnit() < holdProbability_))
        return false;
    holdingNow_ = true;
    return true;
}

} // namespace quellon
