#include "analysis/ClipFaces.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <mutex>
#include <set>

namespace quellon {
namespace {

using LoopEntry::FaceGeometry;

/// A finder over known answers that records which frames it was asked about. Asked near a box,
/// it sees a face only within the box grown by its own size on every side, as a detector does.
class KnownFaces {
public:
    explicit KnownFaces(std::vector<std::optional<FaceGeometry>> truth) : truth_(std::move(truth)) {}

    ClipFaces::Finder finder()
    {
        return [this](std::size_t i, const std::optional<NormalizedRect>& near) -> std::optional<FaceGeometry> {
            std::lock_guard lock(mutex_);
            asked_.insert(i);
            (near ? askedNear_ : askedWhole_).insert(i);
            const auto& face = truth_.at(i);
            if (face && near
                && (std::abs(face->box.midX() - near->midX()) > 1.5 * near->width
                    || std::abs(face->box.midY() - near->midY()) > 1.5 * near->height))
                return std::nullopt;
            return face;
        };
    }
    const std::vector<std::optional<FaceGeometry>>& truth() const { return truth_; }
    const std::set<std::size_t>& asked() const { return asked_; }
    const std::set<std::size_t>& askedWhole() const { return askedWhole_; }
    const std::set<std::size_t>& askedNear() const { return askedNear_; }

private:
    std::vector<std::optional<FaceGeometry>> truth_;
    std::mutex mutex_;
    std::set<std::size_t> asked_, askedWhole_, askedNear_;
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

TEST(ClipFaces, OnlyTheFirstFrameIsSearchedWholeWhileTheFaceStaysNearIt)
{
    std::vector<std::optional<FaceGeometry>> truth;
    for (std::size_t i = 0; i < 23; ++i)
        truth.push_back(drifting(i));
    KnownFaces steady(truth);
    expectMatches(ClipFaces::geometries(truth.size(), steady.finder()), truth);
    EXPECT_EQ(steady.askedWhole(), (std::set<std::size_t>{0}));
    EXPECT_EQ(steady.askedNear(), (std::set<std::size_t>{4, 8, 12, 16, 20, 22}));

    // From frame 12 on the face sits across the picture: not near the first one, so those frames
    // are searched whole after their near search finds nobody, and nothing is missed.
    for (std::size_t i = 12; i < truth.size(); ++i)
        truth[i] = FaceGeometry{{0.75, 0.2, 0.1, 0.18}, std::nullopt};
    KnownFaces moved(truth);
    expectMatches(ClipFaces::geometries(truth.size(), moved.finder()), truth);
    for (std::size_t i : {0u, 12u, 16u, 20u, 22u})
        EXPECT_EQ(moved.askedWhole().count(i), 1u) << i;
    for (std::size_t i : {4u, 8u})
        EXPECT_EQ(moved.askedWhole().count(i), 0u) << i;
    // Between 8 and 12 the finds disagree: each frame is searched near the face beside it.
    for (std::size_t i : {9u, 10u, 11u})
        EXPECT_EQ(moved.askedNear().count(i), 1u) << i;
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
    EXPECT_TRUE(ClipFaces::geometries(0, [](std::size_t, const std::optional<NormalizedRect>&) {
                    return std::optional<FaceGeometry>();
                }).empty());
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
