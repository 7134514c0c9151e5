#pragma once

#include "analysis/FrameSignature.h"
#include "playback/SplitMix64.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

namespace quellon {

/// An endless walk through a clip that never settles into a period: playback runs forward and,
/// where two frames look alike, now and then jumps between them under a short crossfade. Jumps
/// are scored by how much they show (frame distances filtered over neighbours, so motion keeps
/// its direction) plus what they lead to (a jump towards the end of the clip must find a way
/// out again), and drawn at random with probability falling off exponentially with that score.
namespace LoopWalk {

struct Parameters {
    /// Frames each side of a transition compared with their counterparts; motion that runs the
    /// other way (a reversal) differs on them even where the frames themselves match.
    std::int64_t filterTaps = 2;
    /// How much the cheapest way out of a target weighs in a jump's score (below 1).
    double futureWeight = 0.995;
    /// Jumps kept show less than this quantile of all possible jumps' costs, and less than
    /// this fraction of the clip's typical step from one frame to the next.
    double thresholdQuantile = 0.04;
    double maxCostInSteps = 0.7;
    /// Each frame keeps at most this many jumps: the cheapest local minima of its row.
    std::int64_t maxJumpsPerFrame = 6;
    /// A frame at the clip's end keeps at least this many, so its way out varies.
    std::int64_t minExitsAtEnd = 3;
    /// Jumps shorter than this (either way) would read as a stutter.
    std::int64_t minJumpFrames = 15;
    /// The blend's length: the outgoing path fades out over this many frames.
    std::int64_t crossfadeFrames = 8;
    /// The average chance of a jump on a tick where going on costs least (away from the
    /// clip's end); the exponential's width is chosen to meet it.
    double jumpsPerFrame = 1.0 / 45.0;

    bool operator==(const Parameters&) const = default;
};

struct Transition {
    std::int64_t target = 0;
    /// What the jump shows: the filtered distance (0 for going on to the following frame).
    double cost = 0;
    /// The cost plus the discounted cost of the cheapest way on from the target.
    double score = 0;
    double probability = 0;
    bool operator==(const Transition&) const = default;
};

/// Per frame, where the walk may go next: the following frame (cost 0) when there is one, and
/// the jumps kept for it, each with its cost, score and probability (they sum to 1 per frame):
/// probability ∝ exp(−score / sigma).
struct TransitionTable {
    std::int64_t frameCount = 0;
    std::int64_t crossfadeFrames = 0;
    std::vector<std::vector<Transition>> transitions;
    /// Per frame: no jump kept for it costs more than this.
    std::vector<double> thresholds;
    /// The exponential's width the probabilities were drawn with.
    double sigma = 0;
    bool operator==(const TransitionTable&) const = default;
};

/// Row-major frameCount × frameCount distances between the signatures.
std::vector<double> distanceMatrix(const std::vector<FrameSignature>& signatures);

/// The transitions of a clip of frameCount frames from its row-major distance matrix (a matrix
/// of another size gives a table with no jumps). Deterministic.
TransitionTable buildTransitionTable(const std::vector<double>& distances, std::int64_t frameCount,
                                     const Parameters& parameters = {});

/// One tick of the walk: the frame to show and, during a jump, the frame of the path left
/// behind, to be blended over it with the given weight.
struct Step {
    std::int64_t frame = 0;
    std::optional<std::int64_t> partner;
    double partnerWeight = 0;
    bool operator==(const Step&) const = default;
};

/// Walks a table with a seeded random source: a given seed and start always give the same walk.
/// A jump taken within the last frameCount ticks is not taken again while another way exists,
/// so no stretch shorter than the clip can repeat back to back. Without any jump (a clip too
/// short for one) the walk runs forward and starts over.
class Walker {
public:
    Walker(std::shared_ptr<const TransitionTable> table, std::uint64_t seed, std::int64_t start = 0);

    /// The current step, then one step on.
    Step next();
    /// Continues from `frame` (limited to the clip), dropping any crossfade in progress.
    void restartAt(std::int64_t frame);
    const TransitionTable& table() const { return *table_; }

private:
    struct Jump {
        std::int64_t from = 0, to = 0, at = 0;
    };
    void advance();

    std::shared_ptr<const TransitionTable> table_;
    SplitMix64 random_;
    Step current_;
    // The jump being blended: the left path continues from partnerFrom_, for fadeLeft_ more ticks.
    std::int64_t partnerFrom_ = 0;
    std::int64_t fadeIndex_ = 0;
    std::int64_t fadeLeft_ = 0;
    std::int64_t tick_ = 0;
    std::deque<Jump> recentJumps_;
};

} // namespace LoopWalk
} // namespace quellon
