#include "backends/FrameConverter.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

namespace quellon {
namespace {

PixelBufferRef solid(int width, int height, std::uint8_t b, std::uint8_t g, std::uint8_t r)
{
    auto frame = PixelBuffer::create(width, height);
    auto pixels = frame->lockForWriting();
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = pixels.row(y);
        // Fill the padding too, with a colour that must never show.
        std::memset(row, 0x7F, frame->bytesPerRow());
        const std::uint8_t bgra[4] = {b, g, r, 255};
        for (int x = 0; x < width; ++x)
            std::memcpy(row + x * 4, bgra, 4);
    }
    return frame;
}

struct YUV {
    int y, u, v;
};

YUV at(const OutputFormat& format, const std::vector<std::uint8_t>& bytes, int x, int y)
{
    if (format.pixelFormat == OutputPixelFormat::yuyv) {
        const std::size_t pair = (static_cast<std::size_t>(y) * format.width + (x & ~1)) * 2;
        return {bytes[pair + (x & 1) * 2], bytes[pair + 1], bytes[pair + 3]};
    }
    const std::size_t luma = static_cast<std::size_t>(format.width) * format.height;
    const std::size_t chroma = static_cast<std::size_t>(y / 2) * (format.width / 2) + x / 2;
    return {bytes[static_cast<std::size_t>(y) * format.width + x], bytes[luma + chroma],
            bytes[luma + luma / 4 + chroma]};
}

void expectNear(YUV actual, YUV expected, const std::string& where)
{
    EXPECT_TRUE(std::abs(actual.y - expected.y) <= 2 && std::abs(actual.u - expected.u) <= 2
                && std::abs(actual.v - expected.v) <= 2)
        << where << ": YUV " << actual.y << " " << actual.u << " " << actual.v;
}

constexpr YUV kWhite{235, 128, 128};
constexpr YUV kBlack{16, 128, 128};
constexpr YUV kRed{82, 90, 240};

// Colours convert in both layouts; other sizes fill the frame where proportions allow and sit
// centred on black where not; padded rows never leak into the picture; each new frame is converted.
TEST(FrameConverterTest, ConvertsAndScalesToFitKeepingProportions)
{
    struct Case {
        int width, height;
        std::uint8_t b, g, r;
        std::vector<std::tuple<int, int, YUV>> expected;
    };
    const Case cases[] = {
        {1280, 720, 255, 255, 255, {{0, 0, kWhite}, {639, 359, kWhite}, {1279, 719, kWhite}}},
        {1280, 720, 0, 0, 0, {{0, 0, kBlack}, {639, 359, kBlack}, {1279, 719, kBlack}}},
        {1280, 720, 0, 0, 255, {{0, 0, kRed}, {639, 359, kRed}, {1279, 719, kRed}}},
        {640, 360, 255, 255, 255, {{0, 0, kWhite}}},                      // same shape: fills the frame
        {333, 187, 255, 255, 255, {{640, 360, kWhite}}},                  // odd sizes with padded rows
        {640, 480, 255, 255, 255, {{100, 360, kBlack}, {640, 360, kWhite}}}, // 4:3: bars left and right
        {1280, 200, 255, 255, 255, {{640, 100, kBlack}, {640, 360, kWhite}}}, // wide: bars above and below
        {3840, 2160, 255, 255, 255, {{1279, 719, kWhite}}},               // larger: scaled down
    };
    for (OutputPixelFormat layout : {OutputPixelFormat::yuyv, OutputPixelFormat::i420}) {
        FrameConverter converter({1280, 720, layout});
        const OutputFormat& format = converter.format();
        for (const Case& c : cases) {
            const auto* bytes = converter.convert(solid(c.width, c.height, c.b, c.g, c.r));
            ASSERT_TRUE(bytes);
            ASSERT_EQ(bytes->size(), format.frameBytes());
            for (auto [x, y, yuv] : c.expected)
                expectNear(at(format, *bytes, x, y), yuv,
                           std::to_string(c.width) + "x" + std::to_string(c.height) + " at " + std::to_string(x) + "," + std::to_string(y));
        }
        // The last case was scaled; a frame of the output's size lets the scratch go.
        EXPECT_GT(converter.scratchBytes(), 0u);
        ASSERT_TRUE(converter.convert(solid(1280, 720, 0, 0, 0)));
        EXPECT_EQ(converter.scratchBytes(), 0u);
        EXPECT_EQ(converter.convert(PixelBuffer::create(16, 16, kPixelFormatGray8)), nullptr);
        EXPECT_EQ(converter.convert(nullptr), nullptr);
    }
}

} // namespace
} // namespace quellon
