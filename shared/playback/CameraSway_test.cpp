#include "playback/AliveMotion.h"
#include "playback/CameraSway.h"
#include "playback/LoopFrameProviderTesting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

namespace quellon {
namespace {

using PlaneValue = std::function<double(double x, double y)>;

/// A J420 frame whose every plane holds its function's value at each sample, rounded.
PixelBufferRef swayTestFrame(int width, int height, const std::array<PlaneValue, 3>& planes)
{
    PixelBufferRef frame = PixelBuffer::create(width, height, kPixelFormatJ420);
    auto pixels = frame->lockForWriting();
    for (int index = 0; index < 3; ++index) {
        const PixelBuffer::Plane plane = frame->plane(index);
        for (int y = 0; y < plane.rows; ++y)
            for (std::size_t x = 0; x < plane.rowBytes; ++x)
                pixels.baseAddress()[plane.offset + static_cast<std::size_t>(y) * plane.bytesPerRow + x] =
                    static_cast<std::uint8_t>(std::lround(planes[static_cast<std::size_t>(index)](static_cast<double>(x), y)));
    }
    return frame;
}

/// The largest difference between a plane of the frame and what the function says the sample
/// at (x, y) should be.
double worstMiss(const PixelBuffer& frame, int index, const PlaneValue& expected)
{
    auto pixels = frame.lockForReading();
    const PixelBuffer::Plane plane = frame.plane(index);
    double worst = 0;
    for (int y = 0; y < plane.rows; ++y)
        for (std::size_t x = 0; x < plane.rowBytes; ++x) {
            const double value = pixels.baseAddress()[plane.offset + static_cast<std::size_t>(y) * plane.bytesPerRow + x];
            worst = std::max(worst, std::fabs(value - expected(static_cast<double>(x), y)));
        }
    return worst;
}

std::vector<SwayPose> gentlePoses(std::uint64_t seed, int width, int height, int ticks = 10000)
{
    const CameraSway sway = CameraSway::gentle(seed);
    std::vector<SwayPose> poses;
    for (int t = 0; t < ticks; ++t)
        poses.push_back(sway.poseAt(t, width, height));
    return poses;
}

TEST(CameraSway, StaysWithinItsReachAndMovesFarSlowerThanAnyMotion)
{
    EXPECT_EQ(CameraSway(1, 1, 600, 0).reach(), CameraSway::maxReach);
    EXPECT_EQ(CameraSway(1, 1, 600, 0).breath(), CameraSway::maxBreath);
    const CameraSway invalid(std::nan(""), -1, std::nan(""), 0);
    EXPECT_FALSE(invalid.isActive());
    EXPECT_EQ(invalid.periodFrames(), 30);
    EXPECT_EQ(CameraSway::disabled().poseAt(123, 1280, 720), SwayPose{});

    constexpr int width = 1280, height = 720;
    const CameraSway sway = CameraSway::gentle(99);
    const double cover = sway.coverZoom(width, height);
    const double reach = sway.reach(), breath = sway.breath();
    ASSERT_GT(reach, 0);
    // The zoom that hides the reach stays under 4 %, and the breathing within 2 % more.
    EXPECT_GT(cover, 1);
    EXPECT_LT(cover, 1.04);
    EXPECT_LE(2 * breath, 0.02);
    const auto poses = gentlePoses(99, width, height);
    double widest = 0, lowZoom = 2, highZoom = 0, fastest = 0, squares = 0;
    for (std::size_t t = 0; t < poses.size(); ++t) {
        const SwayPose& pose = poses[t];
        ASSERT_LE(std::max(std::fabs(pose.shiftX), std::fabs(pose.shiftY)), reach) << t;
        ASSERT_GE(pose.zoom, cover) << t;
        ASSERT_LE(pose.zoom, cover + 2 * breath) << t;
        widest = std::max({widest, std::fabs(pose.shiftX), std::fabs(pose.shiftY)});
        squares += pose.shiftX * pose.shiftX;
        lowZoom = std::min(lowZoom, pose.zoom), highZoom = std::max(highZoom, pose.zoom);
        if (t > 0) {
            // How far a corner moves in a tick, in pixels: shift and zoom at once.
            const SwayPose& last = poses[t - 1];
            const double across = std::fabs(pose.shiftX - last.shiftX) * width + std::fabs(pose.zoom - last.zoom) * width / 2;
            const double down = std::fabs(pose.shiftY - last.shiftY) * height + std::fabs(pose.zoom - last.zoom) * height / 2;
            fastest = std::max(fastest, std::hypot(across, down));
        }
    }
    const double spread = std::sqrt(squares / static_cast<double>(poses.size()));
    // It uses its range, out to near the reach, ...
    EXPECT_GT(widest, 0.9 * reach);
    EXPECT_GT(spread, 0.55 * reach) << "a sway that keeps near the middle shows a frame again where it sat";
    EXPECT_GT(highZoom - lowZoom, breath);
    // ... but a corner moves less than 0.5 px a frame (15 px a second): a person's or a
    // drifting picture's frame step is pixels.
    EXPECT_LT(fastest, 0.5);
}

TEST(CameraSway, PoseIsSeededAndNeverSettlesIntoAPeriod)
{
    EXPECT_EQ(gentlePoses(5, 1280, 720, 100), gentlePoses(5, 1280, 720, 100));
    EXPECT_NE(gentlePoses(5, 1280, 720, 100), gentlePoses(6, 1280, 720, 100)) << "another seed sways otherwise";
    EXPECT_NE(AliveMotion::gentle(5).sway().poseAt(0, 1280, 720), CameraSway::gentle(5).poseAt(0, 1280, 720))
        << "the light's seed is not the sway's";

    // The mean distance (in pixels of 1280 × 720) between the pose now and `lag` ticks later,
    // for every lag up to far beyond any clip's length: once the picture has moved away from
    // where it was, it must not come back, or a clip frame shown again would sit as before.
    constexpr int ticks = 10000, longestLag = 5000;
    const auto poses = gentlePoses(5, 1280, 720, ticks);
    auto distance = [](const SwayPose& a, const SwayPose& b) {
        return std::hypot((a.shiftX - b.shiftX) * 1280, (a.shiftY - b.shiftY) * 720, (a.zoom - b.zoom) * 640);
    };
    std::vector<double> means;
    for (int lag = 1; lag <= longestLag; ++lag) {
        double sum = 0;
        for (int t = 0; t + lag < ticks; ++t)
            sum += distance(poses[static_cast<std::size_t>(t)], poses[static_cast<std::size_t>(t + lag)]);
        means.push_back(sum / (ticks - lag));
    }
    std::vector<double> sorted = means;
    std::sort(sorted.begin(), sorted.end());
    const double typical = sorted[sorted.size() / 2];
    EXPECT_GT(typical, 2.0) << "pixels apart, typically";
    const auto away = std::find_if(means.begin(), means.end(), [&](double mean) { return mean >= typical; });
    ASSERT_NE(away, means.end());
    EXPECT_LT(away - means.begin() + 1, 30 * 20) << "the picture moves away within a clip's length";
    for (auto it = away; it != means.end(); ++it)
        ASSERT_GT(*it, 0.5 * typical) << "the picture comes back after " << (it - means.begin() + 1) << " ticks";
}

// Ramps in every plane: a linear ramp read bilinearly anywhere inside the plane gives the ramp
// at that point, so each output sample can be checked against where it should have read.
TEST(CameraSway, MovesEveryPlaneByItsShareOfTheShift)
{
    constexpr int width = 64, height = 48;
    // Whole steps, so the ramps are exact in bytes.
    const std::array<PlaneValue, 3> ramps = {[](double x, double y) { return 2 * x + y + 10; },
                                             [](double x, double y) { return 3 * x + y + 20; },
                                             [](double x, double y) { return x + 4 * y + 30; }};
    const PixelBufferRef frame = swayTestFrame(width, height, ramps);
    const SwayPose pose{3.5 / width, 2.25 / height, 1};
    const PixelBufferRef moved = CameraSway::apply(pose, frame);
    ASSERT_NE(moved, frame);
    ASSERT_TRUE(moved->isJ420());
    // Luma moves by (3.5, 2.25) samples, chroma by half that; the strip the shift uncovers
    // holds the edge and is left out.
    const std::array<double, 3> share = {1, 0.5, 0.5};
    for (int index = 0; index < 3; ++index) {
        const double dx = 3.5 * share[static_cast<std::size_t>(index)], dy = 2.25 * share[static_cast<std::size_t>(index)];
        const PlaneValue& ramp = ramps[static_cast<std::size_t>(index)];
        EXPECT_LE(worstMiss(*moved, index,
                            [&](double x, double y) {
                                const double sx = x - dx, sy = y - dy;
                                return sx < 0 || sy < 0 ? ramp(std::max(sx, 0.0), std::max(sy, 0.0)) : ramp(sx, sy);
                            }),
                  0.6)
            << "plane " << index;
    }

    // A zoom spreads each plane about the picture's centre.
    const PixelBufferRef zoomed = CameraSway::apply({0, 0, 1.25}, frame);
    for (int index = 0; index < 3; ++index) {
        const double scale = index == 0 ? 1 : 0.5;
        const PlaneValue& ramp = ramps[static_cast<std::size_t>(index)];
        EXPECT_LE(worstMiss(*zoomed, index,
                            [&](double x, double y) {
                                const double centreX = width / 2.0 * scale, centreY = height / 2.0 * scale;
                                return ramp(centreX + (x + 0.5 - centreX) / 1.25 - 0.5, centreY + (y + 0.5 - centreY) / 1.25 - 0.5);
                            }),
                  0.6)
            << "plane " << index;
    }

    // No move, a pose it cannot take and a packed frame leave the frame as it is.
    EXPECT_EQ(CameraSway::apply({}, frame), frame);
    EXPECT_EQ(CameraSway::apply({std::nan(""), 0, 1.01}, frame), frame);
    EXPECT_EQ(CameraSway::apply({0, 0, 0.9}, frame), frame);
    const PixelBufferRef packed = PixelBuffer::create(8, 8, kPixelFormatBGRA);
    EXPECT_EQ(CameraSway::apply({0.01, 0, 1.05}, packed), packed);
}

// At every pose of the reach, every sample of every plane reads inside the plane: the held
// edge, which would show as a smeared or flat strip, never comes into view.
TEST(CameraSway, ZoomHidesThePicturesEdgeAtEveryPose)
{
    for (const auto& [width, height] : {std::pair{1280, 720}, std::pair{640, 360}, std::pair{321, 181}}) {
        const auto poses = gentlePoses(11, width, height);
        for (int index = 0; index < 3; ++index) {
            const double scale = index == 0 ? 1 : 0.5;
            const int columns = index == 0 ? width : (width + 1) / 2, rows = index == 0 ? height : (height + 1) / 2;
            for (const SwayPose& pose : poses) {
                const double centreX = width / 2.0 * scale, centreY = height / 2.0 * scale;
                const double shiftX = pose.shiftX * width * scale, shiftY = pose.shiftY * height * scale;
                ASSERT_GE(CameraSway::sourceCoordinate(0, centreX, shiftX, pose.zoom), 0) << width << " plane " << index;
                ASSERT_LE(CameraSway::sourceCoordinate(columns - 1, centreX, shiftX, pose.zoom), columns - 1);
                ASSERT_GE(CameraSway::sourceCoordinate(0, centreY, shiftY, pose.zoom), 0);
                ASSERT_LE(CameraSway::sourceCoordinate(rows - 1, centreY, shiftY, pose.zoom), rows - 1);
            }
        }
    }

    // The same in pixels, at the poses furthest out each way: every sample of a smooth picture
    // is what reading the plane bilinearly at its source gives, where a read past the edge
    // counts as a miss.
    constexpr int width = 320, height = 180;
    const PlaneValue pattern = [](double x, double y) { return 128 + 100 * std::sin(x / 7) * std::cos(y / 5); };
    const PixelBufferRef frame = swayTestFrame(width, height, {pattern, pattern, pattern});
    auto pixels = frame->lockForReading();
    const auto poses = gentlePoses(11, width, height);
    auto furthest = [&](auto key) {
        return *std::max_element(poses.begin(), poses.end(), [&](const SwayPose& a, const SwayPose& b) { return key(a) < key(b); });
    };
    for (const SwayPose& pose : {furthest([](const SwayPose& p) { return p.shiftX - p.zoom; }),
                                 furthest([](const SwayPose& p) { return -p.shiftX - p.zoom; }),
                                 furthest([](const SwayPose& p) { return p.shiftY - p.zoom; }),
                                 furthest([](const SwayPose& p) { return -p.shiftY - p.zoom; })}) {
        const PixelBufferRef moved = CameraSway::apply(pose, frame);
        ASSERT_NE(moved, frame);
        for (int index = 0; index < 3; ++index) {
            const PixelBuffer::Plane plane = frame->plane(index);
            const double scale = index == 0 ? 1 : 0.5;
            auto sample = [&](int x, int y) {
                if (x < 0 || y < 0 || x >= static_cast<int>(plane.rowBytes) || y >= plane.rows)
                    return 1e6; // outside the picture
                return static_cast<double>(pixels.baseAddress()[plane.offset + static_cast<std::size_t>(y) * plane.bytesPerRow
                                                                + static_cast<std::size_t>(x)]);
            };
            const double centreX = width / 2.0 * scale, centreY = height / 2.0 * scale;
            EXPECT_LE(worstMiss(*moved, index,
                                [&](double x, double y) {
                                    const double sx = centreX + (x + 0.5 - centreX) / pose.zoom - pose.shiftX * width * scale - 0.5;
                                    const double sy = centreY + (y + 0.5 - centreY) / pose.zoom - pose.shiftY * height * scale - 0.5;
                                    const int x0 = static_cast<int>(std::floor(sx)), y0 = static_cast<int>(std::floor(sy));
                                    const double fx = sx - x0, fy = sy - y0;
                                    // A tap of no weight on the last sample may sit past it.
                                    auto tap = [&](int tx, int ty, double weight) { return weight < 1e-9 ? 0.0 : weight * sample(tx, ty); };
                                    return tap(x0, y0, (1 - fx) * (1 - fy)) + tap(x0 + 1, y0, fx * (1 - fy))
                                        + tap(x0, y0 + 1, (1 - fx) * fy) + tap(x0 + 1, y0 + 1, fx * fy);
                                }),
                      0.75)
                << "plane " << index << " at shift " << pose.shiftX << ", " << pose.shiftY << ", zoom " << pose.zoom;
        }
    }
}

// The provider sways what it serves while alive motion carries a sway, and stops with it.
TEST(CameraSway, ServedFramesSwayWithAliveMotion)
{
    using testing::loop_frames::Fixture;
    Fixture still(LoopMode::freeze);
    // A ramp across, so a shift changes every pixel.
    still.provider.installFramesForTesting({testing::makeFrame(64, 36, [](int x, int) {
        const auto v = static_cast<std::uint8_t>(3 * x + 20);
        return testing::Pixel{v, v, v, 255};
    })});
    auto centre = [&] { return testing::pixelOf(*still.provider.nextFrame(), 32, 18)[1]; };
    const auto unmoved = centre();
    EXPECT_EQ(centre(), unmoved) << "no alive motion, no sway";

    still.provider.setAlive(AliveMotion(0, 0, 30, 0).withSway(CameraSway(CameraSway::maxReach, 0, 30, 1)));
    std::vector<int> levels;
    for (int i = 0; i < 30; ++i)
        levels.push_back(centre());
    const auto [low, high] = std::minmax_element(levels.begin(), levels.end());
    EXPECT_GE(*high - *low, 3) << "the picture moves under the same frame";

    still.provider.setAlive(AliveMotion::disabled());
    EXPECT_EQ(centre(), unmoved);
}

} // namespace
} // namespace quellon
