#include "analysis/ClipFaces.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>

namespace quellon {
namespace {

using LoopEntry::FaceGeometry;

/// A finder over known answers that records which frames it was asked about.
class KnownFaces {
public:
    explicit KnownFaces(std::vector<std::optional<FaceGeometry>> truth) : truth_(std::move(truth)) {}

    ClipFaces::Finder finder()
    {
        return [this](std::size_t i) {
            std::lock_guard lock(mutex_);
            asked_.insert(i);
            return truth_.at(i);
        };
    }
    const std::vector<std::optional<FaceGeometry>>& truth() const { return truth_; }
    const std::set<std::size_t>& asked() const { return asked_; }

private:
    std::vector<std::optional<FaceGeometry>> truth_;
    std::mutex mutex_;
    std::set<std::size_t> asked_;
};

/// A face drifting right and growing steadily, tilting as it goes.
FaceGeometry drifting(std::size_t i)
{
    const double k = static_cast<double>(i);
    return {{0.3 + 0.004 * k, 0.4, 0.1 + 0.001 * k, 0.18 + 0.0018 * k}, 0.01 * k};
}

void expectMatches(const std::vector<std::optional<FaceGeometry>>& found, const std::vector<std::optional<FaceGeometry>>& truth)
{
    ASSERT_EQ(found.size(), truth.size());
    for (std::size_t i = 0; i < truth.size(); ++i) {
        ASSERT_EQ(found[i].has_value(), truth[i].has_value()) << i;
        if (!truth[i])
            continue;
        EXPECT_NEAR(found[i]->box.x, truth[i]->box.x, 1e-9) << i;
        EXPECT_NEAR(found[i]->box.y, truth[i]->box.y, 1e-9) << i;
        EXPECT_NEAR(found[i]->box.width, truth[i]->box.width, 1e-9) << i;
        EXPECT_NEAR(found[i]->box.height, truth[i]->box.height, 1e-9) << i;
        ASSERT_EQ(found[i]->roll.has_value(), truth[i]->roll.has_value()) << i;
        if (truth[i]->roll) {
            EXPECT_NEAR(*found[i]->roll, *truth[i]->roll, 1e-9) << i;
        }
    }
}

TEST(ClipFaces, ASteadyFaceIsSearchedForOnEveryFourthFrameAndTheLast)
{
    std::vector<std::optional<FaceGeometry>> truth;
    for (std::size_t i = 0; i < 23; ++i)
        truth.push_back(drifting(i));
    KnownFaces faces(truth);
    expectMatches(ClipFaces::geometries(truth.size(), faces.finder()), truth);
    EXPECT_EQ(faces.asked(), (std::set<std::size_t>{0, 4, 8, 12, 16, 20, 22}));
}

TEST(ClipFaces, WhereFindsDisagreeEveryFrameBetweenIsSearched)
{
    std::vector<std::optional<FaceGeometry>> truth(30);
    for (std::size_t i = 10; i < 18; ++i) // a face comes in at 10 and leaves after 17
        truth[i] = drifting(i);
    truth[25] = truth[26] = FaceGeometry{{0.1, 0.1, 0.1, 0.18}, std::nullopt};
    truth[27] = truth[28] = truth[29] = FaceGeometry{{0.7, 0.5, 0.1, 0.18}, std::nullopt}; // jumps across
    KnownFaces faces(truth);
    expectMatches(ClipFaces::geometries(truth.size(), faces.finder()), truth);
    // The empty stretch at the start is never searched between its samples.
    for (std::size_t i : {1u, 2u, 3u, 5u, 6u, 7u})
        EXPECT_EQ(faces.asked().count(i), 0u) << i;
    for (std::size_t i : {9u, 10u, 11u, 17u, 18u, 19u, 25u, 26u, 27u})
        EXPECT_EQ(faces.asked().count(i), 1u) << i;
}

TEST(ClipFaces, ShortClipsAndAStrideOfOne)
{
    EXPECT_TRUE(ClipFaces::geometries(0, [](std::size_t) { return std::optional<FaceGeometry>(); }).empty());
    std::vector<std::optional<FaceGeometry>> truth{drifting(0)};
    KnownFaces one(truth);
    expectMatches(ClipFaces::geometries(1, one.finder()), truth);
    for (std::size_t i = 1; i < 6; ++i)
        truth.push_back(drifting(i));
    KnownFaces every(truth);
    expectMatches(ClipFaces::geometries(truth.size(), every.finder(), 1), truth);
    EXPECT_EQ(every.asked().size(), truth.size());
}

TEST(ClipFaces, SameFaceToleratesSmallMovesOnly)
{
    const FaceGeometry face{{0.4, 0.4, 0.1, 0.2}, std::nullopt};
    const struct { FaceGeometry other; bool same; } cases[] = {
        {{{0.44, 0.4, 0.1, 0.2}, 0.1}, true},
        {{{0.46, 0.4, 0.1, 0.2}, std::nullopt}, false}, // centre more than half a width away
        {{{0.4, 0.4, 0.1, 0.23}, std::nullopt}, true},
        {{{0.4, 0.4, 0.13, 0.26}, std::nullopt}, false}, // grew by more than a fifth
    };
    for (const auto& c : cases)
        EXPECT_EQ(ClipFaces::sameFace(face, c.other), c.same) << c.other.box.x << " " << c.other.box.height;
}

} // namespace
} // namespace quellon
