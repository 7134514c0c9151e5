// The arithmetic of eyes, entry frames and presence, on given observations.

#include "analysis/LoopEntry.h"
#include "analysis/LoopEyeOpenness.h"
#include "analysis/PresenceMatch.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

namespace quellon {
namespace {

using LoopEntry::FaceGeometry;
using Points = std::vector<NormalizedPoint>;

/// An eye contour whose bounding box is width × height.
Points eye(double width, double height)
{
    return {{0, 0}, {width / 2, height}, {width, height / 3}, {width / 3, 0}};
}

FaceGeometry face(double x, double y, double w, double h, std::optional<double> roll = std::nullopt)
{
    return {{x, y, w, h}, roll};
}

TEST(LoopEyeOpenness, AspectRatioIsBoxHeightOverWidth)
{
    const struct { Points points; std::optional<double> ratio; } cases[] = {
        {{}, std::nullopt},
        {{{0.2, 0.2}}, std::nullopt},
        {{{0.2, 0.1}, {0.2, 0.4}, {0.2, 0.3}}, std::nullopt}, // one common x: no width
        {{{0.1, 0.1}, {0.5, 0.2}}, 0.25},
        {eye(0.2, 0.05), 0.25},
        {{{0.5, 0.5}, {0.1, 0.6}, {0.3, 0.4}}, 0.5},
    };
    for (const auto& c : cases) {
        const auto ratio = LoopEyeOpenness::aspectRatio(c.points);
        ASSERT_EQ(ratio.has_value(), c.ratio.has_value()) << c.points.size();
        if (ratio) {
            EXPECT_NEAR(*ratio, *c.ratio, 1e-12);
        }
    }
}

TEST(LoopEyeOpenness, ClosedWhenTheMeanRatioOfTheUsableEyesIsBelowTheThreshold)
{
    const struct { const char* name; Points left, right; std::optional<bool> closed; } cases[] = {
        {"left alone decides", eye(1, 0.1), {}, true},
        {"right alone decides", {}, eye(1, 0.3), false},
        {"mean 0.2 is open", eye(1, 0.1), eye(1, 0.3), false},
        {"mean 0.15 is closed", eye(1, 0.1), eye(1, 0.2), true},
        {"an unusable eye is left out", eye(1, 0.1), {{0.1, 0.1}}, true},
        {"no usable eye", {{0.4, 0.4}}, {}, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LoopEyeOpenness::areEyesClosed(c.left, c.right, LoopEyeOpenness::closedThreshold), c.closed) << c.name;
    // A mean exactly at the threshold is open.
    EXPECT_EQ(LoopEyeOpenness::areEyesClosed(eye(1, 0.25), eye(1, 0.25), 0.25), false);
    EXPECT_EQ(LoopEyeOpenness::areEyesClosed(eye(1, 0.25), eye(1, 0.25), std::nextafter(0.25, 1.0)), true);
}

TEST(LoopEntry, LargestFaceIsTheFirstOfTheLargestArea)
{
    const auto observation = [](double w, double h, std::optional<double> roll) {
        return FaceObservation{{0.1, 0.2, w, h}, roll, std::nullopt};
    };
    EXPECT_FALSE(LoopEntry::largestFaceGeometry({}));
    EXPECT_EQ(LoopEntry::largestFaceGeometry({observation(0.2, 0.2, 0.1), observation(0.3, 0.3, std::nullopt),
                                               observation(0.1, 0.2, 0.5)}),
              face(0.1, 0.2, 0.3, 0.3));
    EXPECT_EQ(LoopEntry::largestFaceGeometry({observation(0.2, 0.4, 0.1), observation(0.4, 0.2, 0.7)}),
              face(0.1, 0.2, 0.2, 0.4, 0.1));
}

TEST(LoopEntry, EntryBySignatureIsTheFirstNearestOfTheTargetsLength)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct { const char* name; std::vector<FrameSignature> signatures; FrameSignature target; std::optional<std::int64_t> index; } cases[] = {
        {"nearest", {{0.9, 0.9}, {0.4, 0.5}, {0.1, 0.1}}, {0.5, 0.5}, 1},
        {"ties: the lower index", {{0.9, 0.9}, {0.4, 0.4}, {0.6, 0.6}}, {0.5, 0.5}, 1},
        {"other lengths are skipped", {{0.5}, {0.0, 0.0}, {0.5, 0.5, 0.5}}, {0.5, 0.5}, 1},
        {"only other lengths", {{0.5}, {}, {0.5, 0.5, 0.5}}, {0.5, 0.5}, std::nullopt},
        {"a NaN distance is never chosen", {{nan, 0.5}, {1.0, 1.0}}, {0.5, 0.5}, 1},
        {"no signatures", {}, {0.5}, std::nullopt},
        {"no target", {{0.5}}, {}, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LoopEntry::bestEntryIndex(c.signatures, c.target), c.index) << c.name;
}

TEST(LoopEntry, EntryByFaceScoresCentreAreaAndWrappedRoll)
{
    const std::vector<FrameSignature> signatures{{0.0}, {0.2}, {0.9}};
    const FrameSignature target{0.85}; // the signature choice is index 2
    const struct {
        const char* name;
        std::vector<std::optional<FaceGeometry>> faces;
        std::optional<FaceGeometry> target;
        std::optional<std::int64_t> index;
    } cases[] = {
        {"nearest centre", {face(0.1, 0.1, 0.2, 0.2), face(0.4, 0.4, 0.2, 0.2), face(0.7, 0.1, 0.2, 0.2)}, face(0.38, 0.42, 0.2, 0.2), 1},
        {"area counts half", {face(0.1, 0.1, 0.4, 0.4), face(0.0, 0.0, 0.6, 0.6)}, face(0.0, 0.0, 0.6, 0.6), 1},
        // Centres 0.02 apart against a roll of 0.3 (term 0.03): the roll decides.
        {"roll counts a tenth", {face(0.4, 0.4, 0.2, 0.2, 0.3), face(0.42, 0.4, 0.2, 0.2, 0.0)}, face(0.4, 0.4, 0.2, 0.2, 0.0), 1},
        // +3.0 against −3.0 is 0.283 apart, a term of 0.0283: less than a centre 0.03 away.
        {"roll wraps around", {face(0.43, 0.4, 0.2, 0.2, -3.0), face(0.4, 0.4, 0.2, 0.2, 3.0)}, face(0.4, 0.4, 0.2, 0.2, -3.0), 1},
        {"roll wraps the other way", {face(0.43, 0.4, 0.2, 0.2, 3.0), face(0.4, 0.4, 0.2, 0.2, -3.0)}, face(0.4, 0.4, 0.2, 0.2, 3.0), 1},
        {"an absent roll is no difference", {face(0.41, 0.4, 0.2, 0.2, 0.0), face(0.4, 0.4, 0.2, 0.2)}, face(0.4, 0.4, 0.2, 0.2, 2.0), 1},
        {"ties: the lower index", {std::nullopt, face(0.25, 0.5, 0.25, 0.25), face(0.75, 0.5, 0.25, 0.25)}, face(0.5, 0.5, 0.25, 0.25), 1},
        {"absent faces are skipped", {std::nullopt, std::nullopt, face(0.9, 0.9, 0.1, 0.1)}, face(0.0, 0.0, 0.2, 0.2), 2},
        {"no face at all: signatures", {std::nullopt, std::nullopt, std::nullopt}, face(0.0, 0.0, 0.2, 0.2), 2},
        {"no target face: signatures", {face(0.4, 0.4, 0.2, 0.2)}, std::nullopt, 2},
        {"no faces listed: signatures", {}, face(0.4, 0.4, 0.2, 0.2), 2},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LoopEntry::bestEntryIndex(c.faces, c.target, signatures, target), c.index) << c.name;

    // The roll term of ±3.0 is 0.1 × (2π − 6), about 0.0283: a face 0.0284 away loses to it.
    const double term = 0.1 * (2 * std::numbers::pi - 6.0);
    EXPECT_NEAR(term, 0.0283, 1e-4);
    const std::vector<std::optional<FaceGeometry>> close{face(0.4 + term + 1e-6, 0.4, 0.2, 0.2), face(0.4, 0.4, 0.2, 0.2, 3.0)},
        closer{face(0.4 + term - 1e-6, 0.4, 0.2, 0.2), face(0.4, 0.4, 0.2, 0.2, 3.0)};
    EXPECT_EQ(LoopEntry::bestEntryIndex(close, face(0.4, 0.4, 0.2, 0.2, -3.0), signatures, target), 1);
    EXPECT_EQ(LoopEntry::bestEntryIndex(closer, face(0.4, 0.4, 0.2, 0.2, -3.0), signatures, target), 0);
}

TEST(PresenceMatch, DistanceAndTheDecision)
{
    const FaceGeometry reference = face(0.4, 0.3, 0.2, 0.4);
    // Centre moved by (0.3, 0.4): 0.5 away, plus half of the area difference 0.08 − 0.04.
    EXPECT_NEAR(PresenceMatch::distance(face(0.7, 0.7, 0.2, 0.4, 1.0), reference), 0.5, 1e-12);
    EXPECT_NEAR(PresenceMatch::distance(face(0.75, 0.7, 0.1, 0.4), reference), 0.5 + 0.02, 1e-12);

    const FaceGeometry anchor = face(0.25, 0.25, 0.25, 0.5); // binary fractions: exact distances

    const struct {
        const char* name;
        std::optional<FaceGeometry> candidate, reference;
        double tolerance;
        bool confirmed;
    } cases[] = {
        {"no candidate, no reference", std::nullopt, std::nullopt, 0.5, false},
        {"no candidate", std::nullopt, anchor, 0.5, false},
        {"any face without a reference", face(0.9, 0.9, 0.1, 0.1), std::nullopt, 0.0, true},
        {"in place", face(0.3, 0.25, 0.25, 0.5), anchor, PresenceMatch::defaultTolerance, true},
        {"moved away", face(0.875, 0.25, 0.25, 0.5), anchor, PresenceMatch::defaultTolerance, false},
        {"exactly at the tolerance", face(0.5, 0.25, 0.25, 0.5), anchor, 0.25, true},
        {"beyond the tolerance", face(0.5, 0.25, 0.25, 0.5), anchor, 0.2499, false},
        {"roll is not used", face(0.4, 0.3, 0.2, 0.4, 3.0), face(0.4, 0.3, 0.2, 0.4, -1.0), 0.0, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PresenceMatch::isPresenceConfirmed(c.candidate, c.reference, c.tolerance), c.confirmed) << c.name;
}

} // namespace
} // namespace quellon
