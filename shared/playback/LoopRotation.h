#pragma once

#include "playback/PixelBuffer.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quellon {

/// Turns several recorded loops into one playable loop, so a long absence does not show the
/// same few seconds over and over. Deterministic: the same inputs give the same order and frames.
namespace LoopRotation {

/// The clip names with the one after `previousLead` first and `previousLead` last, so every clip
/// leads in turn. Unchanged for fewer than 2 names, no previous lead, or one not in the list.
std::vector<std::string> rotatedLeadOrder(const std::vector<std::string>& names,
                                          const std::optional<std::string>& previousLead);

/// max(minPerClip, totalBudget / clipCount), truncating; 0 for fewer than 1 clip. The sum over
/// all clips may exceed the budget.
std::int64_t perClipFrameCap(std::int64_t totalBudget, std::int64_t clipCount, std::int64_t minPerClip);

/// Most blended frames in any crossfade (between two clips, and at a forward loop's wrap), and
/// the most the command line and the host accept: three seconds at the highest rate, each a
/// whole frame.
inline constexpr std::int64_t kMaxCrossfadeFrames = 90;

/// The clips' frames one after another, skipping empty clips, with crossfadeFrames (at most
/// kMaxCrossfadeFrames) blended frames leading from each clip's last frame into the next
/// clip's first. No crossfade follows the last clip.
std::vector<PixelBufferRef> concatenate(const std::vector<std::vector<PixelBufferRef>>& clips,
                                        std::int64_t crossfadeFrames);

} // namespace LoopRotation

} // namespace quellon
