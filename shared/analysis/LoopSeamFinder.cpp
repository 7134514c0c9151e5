#include "analysis/LoopSeamFinder.h"

#include <algorithm>
#include <limits>
#include <unordered_map>

namespace quellon::LoopSeamFinder {

namespace {

struct Candidate {
    Seam seam;
    std::int64_t startIndex;
    std::int64_t endIndex;
};

/// Calls visit(i, j, seam) for every pair inside the duration window, start index ascending,
/// then end index ascending. Nothing when the lists are unusable.
template <typename Visit>
void forEachCandidate(const std::vector<FrameSignature>& signatures, const std::vector<double>& frameTimes,
                      double minDuration, double maxDuration, Visit&& visit)
{
    const std::size_t n = signatures.size();
    if (n < 2 || n != frameTimes.size())
        return;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) {
            const double d = frameTimes[j] - frameTimes[i];
            // Written so that a NaN duration fails both tests.
            if (!(minDuration <= d && d <= maxDuration))
                continue;
            visit(i, j, Seam{frameTimes[i], frameTimes[j], signatureDistance(signatures[i], signatures[j])});
        }
    }
}

} // namespace

std::optional<Seam> bestSeam(const std::vector<FrameSignature>& signatures, const std::vector<double>& frameTimes,
                             double minDuration, double maxDuration)
{
    std::optional<Seam> best;
    double bestJump = std::numeric_limits<double>::infinity();
    forEachCandidate(signatures, frameTimes, minDuration, maxDuration, [&](std::size_t, std::size_t, const Seam& seam) {
        if (seam.boundaryJump < bestJump) {
            bestJump = seam.boundaryJump;
            best = seam;
        }
    });
    return best;
}

std::optional<Seam> bestSeam(const std::vector<FrameSignature>& signatures, const std::vector<double>& frameTimes,
                             double minDuration, double maxDuration, std::int64_t maxCandidates,
                             const EyesClosedAt& eyesClosedAt)
{
    std::vector<Candidate> candidates;
    forEachCandidate(signatures, frameTimes, minDuration, maxDuration, [&](std::size_t i, std::size_t j, const Seam& seam) {
        candidates.push_back({seam, static_cast<std::int64_t>(i), static_cast<std::int64_t>(j)});
    });
    if (candidates.empty())
        return std::nullopt;
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.seam.boundaryJump < b.seam.boundaryJump; });

    // A negative count tests nothing rather than failing: the smallest jump still wins.
    const std::size_t limit = maxCandidates <= 0
        ? 0
        : std::min(candidates.size(), static_cast<std::size_t>(maxCandidates));
    std::unordered_map<std::int64_t, bool> memo;
    const auto closedAt = [&](std::int64_t index) {
        if (auto it = memo.find(index); it != memo.end())
            return it->second;
        const bool closed = eyesClosedAt ? eyesClosedAt(index).value_or(false) : false;
        memo.emplace(index, closed);
        return closed;
    };
    for (std::size_t k = 0; k < limit; ++k) {
        const Candidate& candidate = candidates[k];
        if (closedAt(candidate.startIndex))
            continue;
        if (!closedAt(candidate.endIndex))
            return candidate.seam;
    }
    return candidates.front().seam;
}

} // namespace quellon::LoopSeamFinder
