// The compact (J420) form of loop frames: its layout, its colour round trip, and the crossfade
// and brightness drift worked on it.

#include "playback/AliveMotion.h"
#include "playback/FrameBlender.h"
#include "playback/LightDrift.h"
#include "playback/TestFrames.h"
#include "playback/YuvFrames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace quellon {
namespace {

using testing::Pixel;

// Every plane filled from a function of (plane, x, y); padding set to 0xEE.
PixelBufferRef makePlanar(int width, int height, const std::function<std::uint8_t(int, int, int)>& value)
{
    auto frame = PixelBuffer::create(width, height, kPixelFormatJ420);
    if (!frame)
        return nullptr;
    auto lock = frame->lockForWriting();
    std::memset(lock.baseAddress(), 0xEE, frame->byteCount());
    for (int index = 0; index < frame->planeCount(); ++index) {
        const auto plane = frame->plane(index);
        for (int y = 0; y < plane.rows; ++y)
            for (std::size_t x = 0; x < plane.rowBytes; ++x)
                lock.baseAddress()[plane.offset + static_cast<std::size_t>(y) * plane.bytesPerRow + x] =
                    value(index, static_cast<int>(x), y);
    }
    return frame;
}

std::uint8_t planarByte(const PixelBuffer& frame, int index, std::size_t x, int y)
{
    const auto plane = frame.plane(index);
    return frame.lockForReading().baseAddress()[plane.offset + static_cast<std::size_t>(y) * plane.bytesPerRow + x];
}

TEST(YuvFrames, PlanesLieOneAfterAnotherWithHalfSizedChromaRoundedUp)
{
    const struct { int width, height; std::size_t luma, chroma, chromaWidth; int chromaRows; } cases[] = {
        {1280, 720, 1280, 640, 640, 360}, {320, 180, 320, 160, 160, 90}, {7, 5, 64, 32, 4, 3}, {65, 1, 128, 64, 33, 1},
    };
    for (const auto& c : cases) {
        auto frame = PixelBuffer::create(c.width, c.height, kPixelFormatJ420);
        ASSERT_NE(frame, nullptr);
        ASSERT_EQ(frame->planeCount(), 3);
        const std::size_t lumaBytes = c.luma * static_cast<std::size_t>(c.height);
        const std::size_t chromaBytes = c.chroma * static_cast<std::size_t>(c.chromaRows);
        EXPECT_EQ(frame->plane(0), (PixelBuffer::Plane{0, c.luma, static_cast<std::size_t>(c.width), c.height}));
        EXPECT_EQ(frame->plane(1), (PixelBuffer::Plane{lumaBytes, c.chroma, c.chromaWidth, c.chromaRows}));
        EXPECT_EQ(frame->plane(2), (PixelBuffer::Plane{lumaBytes + chromaBytes, c.chroma, c.chromaWidth, c.chromaRows}));
        EXPECT_EQ(frame->plane(3), PixelBuffer::Plane{});
        EXPECT_EQ(frame->byteCount(), lumaBytes + 2 * chromaBytes);
        EXPECT_EQ(PixelBuffer::byteCount(c.width, c.height, kPixelFormatJ420), frame->byteCount());
    }
    EXPECT_EQ(PixelBuffer::byteCount(1280, 720, kPixelFormatBGRA), 1280u * 720 * 4);
    EXPECT_EQ(PixelBuffer::byteCount(0, 720, kPixelFormatJ420), 0u);
    EXPECT_EQ(PixelBuffer::create(16385, 2, kPixelFormatJ420), nullptr);
}

// What the meeting sees is the picture before compaction: each colour (saturated ones, greys,
// the extremes) comes back within 3 levels per channel, opaque.
TEST(YuvFrames, ColoursSurviveTheRoundTripThroughTheCompactForm)
{
    const Pixel colours[] = {{32, 64, 192, 255},  {0, 0, 255, 255}, {0, 255, 0, 255},     {255, 0, 0, 255},
                             {255, 255, 255, 255}, {0, 0, 0, 255},   {128, 128, 128, 255}, {40, 180, 220, 255},
                             {200, 30, 90, 255}};
    for (const Pixel& colour : colours) {
        // 2×2 blocks of one colour, so chroma subsampling is not what is measured.
        auto frame = testing::makeFrame(6, 4, [&](int, int) { return colour; });
        auto compact = YuvFrames::compact(frame);
        ASSERT_NE(compact, nullptr);
        ASSERT_TRUE(compact->isJ420());
        auto back = YuvFrames::bgra(compact);
        ASSERT_NE(back, nullptr);
        ASSERT_TRUE(back->isBGRA());
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 6; ++x) {
                const Pixel served = testing::pixelOf(*back, x, y);
                for (int channel = 0; channel < 3; ++channel)
                    EXPECT_LE(std::abs(served[channel] - colour[channel]), 3)
                        << "colour " << int(colour[2]) << "," << int(colour[1]) << "," << int(colour[0]) << " channel " << channel;
                EXPECT_EQ(served[3], 255);
            }
        // Greys keep their level in luma and have neutral chroma.
        if (colour[0] == colour[1] && colour[1] == colour[2]) {
            EXPECT_NEAR(planarByte(*compact, 0, 0, 0), colour[0], 1);
            EXPECT_NEAR(planarByte(*compact, 1, 0, 0), 128, 1);
            EXPECT_NEAR(planarByte(*compact, 2, 0, 0), 128, 1);
        }
    }
    auto bgra = testing::makeFrame(4, 4, [](int, int) { return Pixel{1, 2, 3, 255}; });
    EXPECT_EQ(YuvFrames::bgra(bgra), bgra) << "a BGRA frame is served as it is";
    auto grey = PixelBuffer::create(4, 4, kPixelFormatGray8);
    for (const PixelBufferRef& refused : {grey, PixelBufferRef{}}) {
        EXPECT_EQ(YuvFrames::compact(refused), nullptr);
        EXPECT_EQ(YuvFrames::bgra(refused), nullptr);
    }
    EXPECT_EQ(YuvFrames::compact(makePlanar(4, 4, [](int, int, int) { return 0; })), nullptr) << "only BGRA is compacted";
}

// A crossfade in the compact form is the byte blend of every plane, the padding a's.
TEST(YuvFrames, CrossfadesBlendEveryPlaneByTheirWeights)
{
    auto a = makePlanar(9, 5, [](int plane, int x, int y) { return static_cast<std::uint8_t>(plane * 80 + x * 7 + y * 3); });
    auto b = makePlanar(9, 5, [](int plane, int x, int y) { return static_cast<std::uint8_t>(250 - plane * 60 - x * 5 - y); });
    for (double t : FrameBlender::crossfadeWeights(7)) {
        auto out = FrameBlender::blend(a, b, t);
        ASSERT_NE(out, a);
        ASSERT_TRUE(out->isJ420());
        for (int index = 0; index < 3; ++index) {
            const auto plane = a->plane(index);
            for (int y = 0; y < plane.rows; ++y) {
                for (std::size_t x = 0; x < plane.rowBytes; ++x) {
                    const std::uint8_t pa = planarByte(*a, index, x, y), pb = planarByte(*b, index, x, y);
                    const auto expected = FrameBlender::blendBytes({&pa, 1}, {&pb, 1}, t);
                    ASSERT_EQ(planarByte(*out, index, x, y), expected[0]) << "t " << t << " plane " << index;
                }
                for (std::size_t x = plane.rowBytes; x < plane.bytesPerRow; ++x)
                    ASSERT_EQ(planarByte(*out, index, x, y), 0xEE);
            }
        }
    }
    // A compact frame never blends with a BGRA one: the crossfade repeats a instead.
    auto bgra = testing::makeFrame(9, 5, [](int, int) { return Pixel{1, 2, 3, 255}; });
    EXPECT_EQ(FrameBlender::blend(a, bgra, 0.5), a);
    EXPECT_EQ(FrameBlender::blend(bgra, a, 0.5), bgra);
}

// The drift scales luma by the table and leaves chroma alone, so colours keep their hue.
TEST(YuvFrames, BrightnessDriftScalesLumaOnly)
{
    auto frame = makePlanar(256, 3, [](int plane, int x, int y) {
        return static_cast<std::uint8_t>(plane == 0 ? x : 40 + plane * 50 + x % 17 + y);
    });
    EXPECT_EQ(AliveMotion::applyBrightness(1.0003, frame), frame);
    for (double factor : {1.07, 0.93, 1.5}) {
        auto out = AliveMotion::applyBrightness(factor, frame);
        ASSERT_NE(out, frame);
        ASSERT_TRUE(out->isJ420());
        const auto table = AliveMotion::brightnessLUT(factor);
        for (int y = 0; y < 3; ++y)
            for (std::size_t x = 0; x < 256; ++x)
                ASSERT_EQ(planarByte(*out, 0, x, y), table[x]) << "factor " << factor;
        const std::size_t chroma = frame->plane(1).offset;
        EXPECT_EQ(std::memcmp(out->lockForReading().baseAddress() + chroma, frame->lockForReading().baseAddress() + chroma,
                              frame->byteCount() - chroma),
                  0)
            << "chroma and its padding are copied";
    }
    // The light drift's tilted field: each luma sample by the factor at its place, chroma kept.
    constexpr int width = 37, height = 5; // odd: chroma rounds up and the vector loop leaves a tail
    auto odd = makePlanar(width, height, [](int plane, int x, int y) {
        return static_cast<std::uint8_t>(plane == 0 ? 6 * x + 7 * y : 90 + plane * 30 + x + y);
    });
    const LightField field{1.02, 0.16, -0.12};
    auto lit = LightDrift::apply(field, odd);
    ASSERT_NE(lit, odd);
    ASSERT_TRUE(lit->isJ420());
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double factor = field.factorAt((x + 0.5) / width - 0.5, (y + 0.5) / height - 0.5);
            const double expected = std::min(255.0, planarByte(*odd, 0, static_cast<std::size_t>(x), y) * factor);
            ASSERT_NEAR(planarByte(*lit, 0, static_cast<std::size_t>(x), y), expected, 0.51 + 1.0 / 128) << x << "," << y;
        }
    const std::size_t oddChroma = odd->plane(1).offset;
    EXPECT_EQ(std::memcmp(lit->lockForReading().baseAddress() + oddChroma, odd->lockForReading().baseAddress() + oddChroma,
                          odd->byteCount() - oddChroma),
              0);
}

} // namespace
} // namespace quellon
