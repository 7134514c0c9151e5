#include "analysis/ClipFaces.h"

#include "playback/ParallelFor.h"

#include <algorithm>
#include <cmath>

namespace quellon::ClipFaces {

bool sameFace(const LoopEntry::FaceGeometry& a, const LoopEntry::FaceGeometry& b)
{
    const double width = std::max(a.box.width, b.box.width);
    const double height = std::max(a.box.height, b.box.height);
    return std::hypot(a.box.midX() - b.box.midX(), a.box.midY() - b.box.midY()) <= width / 2
        && std::fabs(a.box.height - b.box.height) <= height / 5;
}

namespace {

LoopEntry::FaceGeometry between(const LoopEntry::FaceGeometry& a, const LoopEntry::FaceGeometry& b, double t)
{
    const auto mix = [t](double x, double y) { return x + (y - x) * t; };
    LoopEntry::FaceGeometry g;
    g.box = {mix(a.box.x, b.box.x), mix(a.box.y, b.box.y), mix(a.box.width, b.box.width), mix(a.box.height, b.box.height)};
    if (a.roll && b.roll)
        g.roll = mix(*a.roll, *b.roll);
    return g;
}

} // namespace

std::vector<std::optional<LoopEntry::FaceGeometry>> geometries(std::size_t frameCount, const Finder& find,
                                                              std::size_t stride)
{
    std::vector<std::optional<LoopEntry::FaceGeometry>> result(frameCount);
    if (frameCount == 0)
        return result;
    stride = std::max<std::size_t>(1, stride);
    std::vector<std::size_t> sampled;
    for (std::size_t i = 0; i < frameCount; i += stride)
        sampled.push_back(i);
    if (sampled.back() != frameCount - 1)
        sampled.push_back(frameCount - 1);
    // Near a face the search is quick; where nobody is near, the whole frame is searched.
    const auto findAround = [&](std::size_t index, const std::optional<LoopEntry::FaceGeometry>& neighbour) {
        if (neighbour) {
            if (auto face = find(index, neighbour->box))
                return face;
        }
        return find(index, std::nullopt);
    };
    result[0] = find(0, std::nullopt);
    parallelFor(sampled.size() - 1, [&](std::size_t k) { result[sampled[k + 1]] = findAround(sampled[k + 1], result[0]); });

    struct Search {
        std::size_t index;
        std::optional<LoopEntry::FaceGeometry> neighbour;
    };
    std::vector<Search> searched;
    for (std::size_t k = 0; k + 1 < sampled.size(); ++k) {
        const std::size_t from = sampled[k], to = sampled[k + 1];
        const auto& a = result[from];
        const auto& b = result[to];
        if (a && b && sameFace(*a, *b)) {
            for (std::size_t i = from + 1; i < to; ++i)
                result[i] = between(*a, *b, static_cast<double>(i - from) / static_cast<double>(to - from));
        } else if (a || b) {
            for (std::size_t i = from + 1; i < to; ++i)
                searched.push_back({i, a ? a : b});
        }
        // Two frames without a face: nobody is taken to be in between.
    }
    parallelFor(searched.size(), [&](std::size_t k) { result[searched[k].index] = findAround(searched[k].index, searched[k].neighbour); });
    return result;
}

} // namespace quellon::ClipFaces
