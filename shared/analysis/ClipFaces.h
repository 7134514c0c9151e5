#pragma once

#include "analysis/LoopEntry.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

namespace quellon {

/// The main face of every frame of a clip without looking at every frame, nor at the whole of
/// most: a face moves little from one frame to the next, so it is searched for on every
/// stride-th frame (and the last), and the frames between two finds that agree take a box
/// between theirs. Where the two disagree (a face comes or goes, or jumps) every frame between
/// them is searched. Only the first frame is searched whole at first: the others are searched
/// near the face found there (or near a neighbour's, between two that disagree), and whole only
/// when no face is near.
namespace ClipFaces {

/// Searching a frame for faces small enough for laptop framing costs tens of milliseconds.
inline constexpr std::size_t kStride = 4;

/// The main face of frame `index`, looked for only near `near` when given, else in the whole
/// frame. Called from several threads at once.
using Finder = std::function<std::optional<LoopEntry::FaceGeometry>(std::size_t index, const std::optional<NormalizedRect>& near)>;

/// One geometry per frame, from find or between two of its answers.
std::vector<std::optional<LoopEntry::FaceGeometry>> geometries(std::size_t frameCount, const Finder& find,
                                                              std::size_t stride = kStride);

/// Whether two finds are the same face moved a little: centres within half a box width and
/// heights within a fifth of each other.
bool sameFace(const LoopEntry::FaceGeometry& a, const LoopEntry::FaceGeometry& b);

} // namespace ClipFaces
} // namespace quellon
