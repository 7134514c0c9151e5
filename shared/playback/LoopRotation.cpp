#include "playback/LoopRotation.h"

#include "playback/FrameBlender.h"

#include <algorithm>

namespace quellon::LoopRotation {

std::vector<std::string> rotatedLeadOrder(const std::vector<std::string>& names,
                                          const std::optional<std::string>& previousLead)
{
    if (names.size() < 2 || !previousLead)
        return names;
    const auto found = std::find(names.begin(), names.end(), *previousLead);
    if (found == names.end())
        return names;
    const auto next = static_cast<std::size_t>(found - names.begin() + 1) % names.size();
    std::vector<std::string> rotated(names.begin() + static_cast<std::ptrdiff_t>(next), names.end());
    rotated.insert(rotated.end(), names.begin(), names.begin() + static_cast<std::ptrdiff_t>(next));
    return rotated;
}

std::int64_t perClipFrameCap(std::int64_t totalBudget, std::int64_t clipCount, std::int64_t minPerClip)
{
    if (clipCount < 1)
        return 0;
    return std::max(minPerClip, totalBudget / clipCount);
}

std::vector<PixelBufferRef> concatenate(const std::vector<std::vector<PixelBufferRef>>& clips,
                                        std::int64_t crossfadeFrames)
{
    std::vector<const std::vector<PixelBufferRef>*> nonEmpty;
    for (const auto& clip : clips)
        if (!clip.empty())
            nonEmpty.push_back(&clip);
    std::vector<PixelBufferRef> joined;
    // Weights only when a second clip follows, and never more than the cap: the count comes
    // from the state record, which anyone on the socket can set.
    std::vector<double> weights;
    if (nonEmpty.size() > 1)
        weights = FrameBlender::crossfadeWeights(std::min(crossfadeFrames, kMaxCrossfadeFrames));
    for (std::size_t i = 0; i < nonEmpty.size(); ++i) {
        const auto& clip = *nonEmpty[i];
        joined.insert(joined.end(), clip.begin(), clip.end());
        if (i + 1 == nonEmpty.size())
            break;
        const PixelBufferRef& last = clip.back();
        const PixelBufferRef& first = nonEmpty[i + 1]->front();
        for (double weight : weights)
            joined.push_back(FrameBlender::blend(last, first, weight));
    }
    return joined;
}

} // namespace quellon::LoopRotation
