#include "playback/LoopWalk.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quellon::LoopWalk {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Binomial weights over 2·taps neighbours: the frames around a transition count most.
std::vector<double> binomialWeights(std::int64_t taps)
{
    const std::int64_t count = 2 * std::max<std::int64_t>(taps, 1);
    std::vector<double> weights(static_cast<std::size_t>(count), 1.0);
    for (std::int64_t row = 1; row < count; ++row)
        for (std::int64_t k = row - 1; k >= 1; --k)
            weights[static_cast<std::size_t>(k)] += weights[static_cast<std::size_t>(k - 1)];
    return weights;
}

struct Costs {
    std::int64_t n = 0;
    std::vector<double> values; // row-major: the cost of going from i to j; infinite when not allowed
    double at(std::int64_t i, std::int64_t j) const { return values[static_cast<std::size_t>(i * n + j)]; }
    double& at(std::int64_t i, std::int64_t j) { return values[static_cast<std::size_t>(i * n + j)]; }
};

// How much the jump i -> j shows: after i comes j, as after j - 1, so i is compared with j - 1
// and their neighbours with each other's, from taps - 1 frames before to taps frames after.
Costs filteredJumpCosts(const std::vector<double>& distances, std::int64_t n, const Parameters& parameters)
{
    const std::vector<double> weights = binomialWeights(parameters.filterTaps);
    const std::int64_t first = -(static_cast<std::int64_t>(weights.size()) / 2 - 1);
    const std::int64_t lastTarget = n - std::max<std::int64_t>(parameters.crossfadeFrames, 1);
    Costs costs{n, std::vector<double>(static_cast<std::size_t>(n * n), kInfinity)};
    for (std::int64_t i = 0; i < n; ++i)
        for (std::int64_t j = 1; j <= lastTarget; ++j) {
            if (std::abs(j - (i + 1)) < std::max<std::int64_t>(parameters.minJumpFrames, 1))
                continue;
            double sum = 0, weightSum = 0;
            for (std::size_t k = 0; k < weights.size(); ++k) {
                const std::int64_t a = i + first + static_cast<std::int64_t>(k);
                const std::int64_t b = j - 1 + first + static_cast<std::int64_t>(k);
                if (a < 0 || b < 0 || a >= n || b >= n)
                    continue;
                sum += weights[k] * distances[static_cast<std::size_t>(a * n + b)];
                weightSum += weights[k];
            }
            costs.at(i, j) = weightSum > 0 ? sum / weightSum : kInfinity;
        }
    return costs;
}

// The cheapest way on from each frame, a jump's own cost plus what its target costs later,
// discounted (the future costs of Q-learning). Sweeps run from the end, where the dead end
// is, so the following frame's value is already current.
std::vector<double> futureCosts(const Costs& jumps, const Parameters& parameters)
{
    const std::int64_t n = jumps.n;
    const double alpha = std::clamp(parameters.futureWeight, 0.0, 0.9999);
    std::vector<double> cheapest(static_cast<std::size_t>(n), 0.0);
    for (int sweep = 0; sweep < 200; ++sweep) {
        double change = 0;
        for (std::int64_t i = n - 1; i >= 0; --i) {
            double best = i + 1 < n ? alpha * cheapest[static_cast<std::size_t>(i + 1)] : kInfinity;
            for (std::int64_t j = 0; j < n; ++j)
                best = std::min(best, jumps.at(i, j) + alpha * cheapest[static_cast<std::size_t>(j)]);
            if (!std::isfinite(best))
                best = 0; // nowhere to go: the walk starts over, at no cost of its own
            change = std::max(change, std::abs(best - cheapest[static_cast<std::size_t>(i)]));
            cheapest[static_cast<std::size_t>(i)] = best;
        }
        if (change <= 1e-12)
            break;
    }
    return cheapest;
}

// The chance of a jump on a tick away from the end, averaged, for a width sigma.
double meanJumpChance(const TransitionTable& table, const std::vector<double>& continuationCosts, double sigma)
{
    double sum = 0;
    std::int64_t rows = 0;
    for (std::int64_t i = 0; i + 1 < table.frameCount; ++i) {
        const auto& row = table.transitions[static_cast<std::size_t>(i)];
        if (row.size() < 2)
            continue;
        const double base = continuationCosts[static_cast<std::size_t>(i)];
        bool goingOnIsCheapest = true;
        for (std::size_t k = 1; k < row.size(); ++k)
            goingOnIsCheapest = goingOnIsCheapest && row[k].score > base;
        if (!goingOnIsCheapest)
            continue; // a frame near the end jumps whatever the width
        double jumpWeight = 0;
        for (std::size_t k = 1; k < row.size(); ++k)
            jumpWeight += std::exp(-(row[k].score - base) / sigma);
        sum += jumpWeight / (1 + jumpWeight);
        ++rows;
    }
    return rows > 0 ? sum / static_cast<double>(rows) : 0;
}

void assignProbabilities(TransitionTable& table, double sigma)
{
    table.sigma = sigma;
    for (auto& row : table.transitions) {
        if (row.empty())
            continue;
        double lowest = kInfinity;
        for (const auto& transition : row)
            lowest = std::min(lowest, transition.score);
        double total = 0;
        for (auto& transition : row) {
            transition.probability = std::exp(-(transition.score - lowest) / sigma);
            total += transition.probability;
        }
        for (auto& transition : row)
            transition.probability /= total;
    }
}

} // namespace

std::vector<double> distanceMatrix(const std::vector<FrameSignature>& signatures)
{
    const std::size_t n = signatures.size();
    std::vector<double> distances(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j)
            distances[i * n + j] = distances[j * n + i] = signatureDistance(signatures[i], signatures[j]);
    return distances;
}

TransitionTable buildTransitionTable(const std::vector<double>& distances, std::int64_t frameCount, const Parameters& parameters)
{
    TransitionTable table;
    const std::int64_t n = std::max<std::int64_t>(frameCount, 0);
    table.frameCount = n;
    table.crossfadeFrames = std::max<std::int64_t>(parameters.crossfadeFrames, 0);
    table.transitions.resize(static_cast<std::size_t>(n));
    table.thresholds.assign(static_cast<std::size_t>(n), 0.0);
    table.sigma = 1;
    for (std::int64_t i = 0; i + 1 < n; ++i)
        table.transitions[static_cast<std::size_t>(i)].push_back({i + 1, 0, 0, 1});
    if (n < 2 || distances.size() != static_cast<std::size_t>(n * n))
        return table;
    for (double distance : distances)
        if (!std::isfinite(distance) || distance < 0)
            return table;

    const Costs jumps = filteredJumpCosts(distances, n, parameters);
    const std::vector<double> cheapest = futureCosts(jumps, parameters);
    const double alpha = std::clamp(parameters.futureWeight, 0.0, 0.9999);
    std::vector<double> all, steps;
    for (std::int64_t i = 0; i < n; ++i)
        for (std::int64_t j = 0; j < n; ++j)
            if (std::isfinite(jumps.at(i, j)))
                all.push_back(jumps.at(i, j));
    for (std::int64_t i = 0; i + 1 < n; ++i)
        steps.push_back(distances[static_cast<std::size_t>(i * n + i + 1)]);
    if (all.empty())
        return table;
    const auto quantileAt = static_cast<std::size_t>(
        std::clamp(parameters.thresholdQuantile, 0.0, 1.0) * static_cast<double>(all.size() - 1));
    std::nth_element(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(quantileAt), all.end());
    std::nth_element(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2), steps.end());
    const double threshold = std::min(all[quantileAt], parameters.maxCostInSteps * steps[steps.size() / 2]);

    std::vector<double> continuationCosts(static_cast<std::size_t>(n), 0.0);
    for (std::int64_t i = 0; i < n; ++i) {
        auto& row = table.transitions[static_cast<std::size_t>(i)];
        if (i + 1 < n) {
            continuationCosts[static_cast<std::size_t>(i)] = alpha * cheapest[static_cast<std::size_t>(i + 1)];
            row.front().score = continuationCosts[static_cast<std::size_t>(i)];
        }
        // Of a run of similar targets only the best is worth keeping: local minima of the row.
        std::vector<Transition> minima;
        for (std::int64_t j = 0; j < n; ++j) {
            const double cost = jumps.at(i, j);
            if (!std::isfinite(cost))
                continue;
            if ((j > 0 && jumps.at(i, j - 1) < cost) || (j + 1 < n && jumps.at(i, j + 1) <= cost))
                continue;
            minima.push_back({j, cost, cost + alpha * cheapest[static_cast<std::size_t>(j)], 0});
        }
        std::sort(minima.begin(), minima.end(), [](const Transition& a, const Transition& b) {
            return a.cost < b.cost || (a.cost == b.cost && a.target < b.target);
        });
        const std::int64_t mustKeep = i + 1 < n ? 0 : parameters.minExitsAtEnd;
        double rowThreshold = threshold;
        std::int64_t kept = 0;
        for (const auto& candidate : minima) {
            if (kept >= std::max(parameters.maxJumpsPerFrame, mustKeep))
                break;
            if (candidate.cost >= threshold && kept >= mustKeep)
                break;
            row.push_back(candidate);
            rowThreshold = std::max(rowThreshold, std::nextafter(candidate.cost, kInfinity));
            ++kept;
        }
        table.thresholds[static_cast<std::size_t>(i)] = rowThreshold;
    }

    // The width that gives the asked-for rate of jumps, found by bisection in log space.
    double low = std::max(threshold, 1e-9) * 1e-6, high = std::max(threshold, 1e-9) * 1e6;
    const double goal = std::clamp(parameters.jumpsPerFrame, 1e-6, 0.5);
    for (int round = 0; round < 80; ++round) {
        const double middle = std::sqrt(low * high);
        (meanJumpChance(table, continuationCosts, middle) < goal ? low : high) = middle;
    }
    assignProbabilities(table, std::sqrt(low * high));
    return table;
}

Walker::Walker(std::shared_ptr<const TransitionTable> table, std::uint64_t seed, std::int64_t start)
    : table_(table ? std::move(table) : std::make_shared<const TransitionTable>()), random_(seed)
{
    restartAt(start);
}

void Walker::restartAt(std::int64_t frame)
{
    current_ = Step{std::clamp<std::int64_t>(frame, 0, std::max<std::int64_t>(table_->frameCount - 1, 0)), std::nullopt, 0};
    fadeIndex_ = 0;
}

Step Walker::next()
{
    const Step step = current_;
    advance();
    ++tick_;
    return step;
}

void Walker::advance()
{
    const std::int64_t n = table_->frameCount;
    const std::int64_t fade = table_->crossfadeFrames;
    const std::int64_t frame = current_.frame;
    if (n < 2) {
        current_ = Step{};
        return;
    }
    // Inside a crossfade both paths simply run on; jumps only start from a settled frame.
    if (current_.partner && fadeIndex_ + 1 < fade) {
        ++fadeIndex_;
        current_ = Step{frame + 1, std::min(partnerFrom_ + fadeIndex_, n - 1),
                        1.0 - static_cast<double>(fadeIndex_ + 1) / static_cast<double>(fade + 1)};
        return;
    }
    const auto& row = table_->transitions[static_cast<std::size_t>(frame)];
    while (!recentJumps_.empty() && recentJumps_.front().at <= tick_ - n)
        recentJumps_.pop_front();
    auto allowed = [&](const Transition& transition) {
        if (transition.target == frame + 1)
            return true;
        return std::none_of(recentJumps_.begin(), recentJumps_.end(), [&](const Jump& jump) {
            return jump.from == frame && jump.to == transition.target;
        });
    };
    // Drawn among the allowed ways, weighted by score as the table's probabilities are; the
    // weights are made afresh so that leaving out the likeliest way cannot leave nothing.
    bool anyAllowed = false;
    double lowest = kInfinity;
    for (const auto& transition : row)
        if (allowed(transition)) {
            anyAllowed = true;
            lowest = std::min(lowest, transition.score);
        }
    if (!anyAllowed)
        for (const auto& transition : row)
            lowest = std::min(lowest, transition.score);
    if (row.empty()) {
        current_ = Step{0, std::nullopt, 0}; // no way on: start over
        return;
    }
    const double sigma = table_->sigma > 0 ? table_->sigma : 1;
    std::vector<double> weights;
    double total = 0;
    for (const auto& transition : row) {
        weights.push_back(!anyAllowed || allowed(transition) ? std::exp(-(transition.score - lowest) / sigma) : 0.0);
        total += weights.back();
    }
    double draw = random_.nextUnit() * total;
    const Transition* chosen = nullptr;
    for (std::size_t k = 0; k < row.size(); ++k) {
        if (weights[k] <= 0)
            continue;
        chosen = &row[k];
        draw -= weights[k];
        if (draw < 0)
            break;
    }
    if (chosen->target == frame + 1) {
        current_ = Step{frame + 1, std::nullopt, 0};
        return;
    }
    recentJumps_.push_back({frame, chosen->target, tick_});
    fadeIndex_ = 0;
    partnerFrom_ = std::min(frame + 1, n - 1);
    if (fade < 1) {
        current_ = Step{chosen->target, std::nullopt, 0};
        return;
    }
    current_ = Step{chosen->target, partnerFrom_, 1.0 - 1.0 / static_cast<double>(fade + 1)};
}

} // namespace quellon::LoopWalk
