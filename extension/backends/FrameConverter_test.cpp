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
        for (int x = 0; x < width; ++x) {
            row[x * 4] = b;
            row[x * 4 + 1] = g;
            row[x * 4 + 2] = r;
            row[x * 4 + 3] = 255;
        }
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
    EXPECT_LE(std::abs(actual.y - expected.y), 2) << where << " Y " << actual.y;
    EXPECT_LE(std::abs(actual.u - expected.u), 2) << where << " U " << actual.u;
    EXPECT_LE(std::abs(actual.v - expected.v), 2) << where << " V " << actual.v;
}

constexpr YUV kWhite{235, 128, 128};
constexpr YUV kBlack{16, 128, 128};
constexpr YUV kRed{82, 90, 240};

TEST(FrameConverterTest, ConvertsColoursInBothLayouts)
{
    struct Case {
        std::uint8_t b, g, r;
        YUV expected;
    };
    const Case colours[] = {{255, 255, 255, kWhite}, {0, 0, 0, kBlack}, {0, 0, 255, kRed}};
    for (OutputPixelFormat layout : {OutputPixelFormat::yuyv, OutputPixelFormat::i420}) {
        const OutputFormat format{1280, 720, layout};
        FrameConverter converter(format);
        for (const Case& c : colours) {
            const auto* bytes = converter.convert(solid(1280, 720, c.b, c.g, c.r));
            ASSERT_TRUE(bytes);
            ASSERT_EQ(bytes->size(), format.frameBytes());
            for (auto [x, y] : {std::pair{0, 0}, {639, 359}, {1279, 719}})
                expectNear(at(format, *bytes, x, y), c.expected, std::to_string(x) + "," + std::to_string(y));
        }
    }
}

// Other sizes fill the frame where proportions allow, and sit centred on black where not;
// padded rows never leak into the picture.
TEST(FrameConverterTest, ScalesToFitKeepingProportions)
{
    struct Case {
        int width, height;
        std::pair<int, int> blackAt, whiteAt;
    };
    const Case cases[] = {
        {640, 360, {-1, -1}, {0, 0}},      // same shape: fills the frame
        {333, 187, {-1, -1}, {640, 360}},  // odd sizes with padded rows
        {640, 480, {100, 360}, {640, 360}}, // 4:3: bars left and right
        {1280, 200, {640, 100}, {640, 360}}, // wide: bars above and below
        {3840, 2160, {-1, -1}, {1279, 719}}, // larger: scaled down
    };
    for (OutputPixelFormat layout : {OutputPixelFormat::yuyv, OutputPixelFormat::i420}) {
        const OutputFormat format{1280, 720, layout};
        FrameConverter converter(format);
        for (const Case& c : cases) {
            const std::string name = std::to_string(c.width) + "x" + std::to_string(c.height);
            const auto* bytes = converter.convert(solid(c.width, c.height, 255, 255, 255));
            ASSERT_TRUE(bytes) << name;
            ASSERT_EQ(bytes->size(), format.frameBytes());
            if (c.blackAt.first >= 0)
                expectNear(at(format, *bytes, c.blackAt.first, c.blackAt.second), kBlack, name + " bar");
            expectNear(at(format, *bytes, c.whiteAt.first, c.whiteAt.second), kWhite, name + " picture");
        }
    }
}

TEST(FrameConverterTest, ConvertsEachNewFrameAndRefusesOtherFormats)
{
    FrameConverter converter({1280, 720, OutputPixelFormat::i420});
    const OutputFormat& format = converter.format();
    auto white = solid(1280, 720, 255, 255, 255);
    expectNear(at(format, *converter.convert(white), 10, 10), kWhite, "first");
    expectNear(at(format, *converter.convert(solid(1280, 720, 0, 0, 0)), 10, 10), kBlack, "second");
    expectNear(at(format, *converter.convert(white), 10, 10), kWhite, "first again");
    EXPECT_EQ(converter.convert(PixelBuffer::create(16, 16, kPixelFormatGray8)), nullptr);
    EXPECT_EQ(converter.convert(nullptr), nullptr);
}

} // namespace
} // namespace quellon
