#include "playback/PNGWriter.h"

#include "platform/FileIO.h"
#include "playback/ImageContext.h"
#include "playback/ImageDecoding.h"
#include "playback/TestFrames.h"
#include "reports/TestScratchDirectory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace quellon {
namespace {

using testing::Pixel;
namespace fs = std::filesystem;

struct PNGWriterTest : ::testing::Test {
    testing_support::ScratchDirectory scratch;
    const fs::path dir = scratch.path();

    static std::optional<DecodedImage> readBack(const fs::path& path)
    {
        const std::string bytes = readRegularFile(path).value_or("");
        ImageContext context;
        return decodeImage(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), context);
    }
};

TEST_F(PNGWriterTest, WrittenFrameDecodesToTheSamePixels)
{
    // Premultiplied pixels over every alpha level: the round trip goes through straight alpha
    // and back, which may move a channel by one; opaque pixels (row 0) come back exactly.
    auto frame = testing::makeFrame(256, 9, [](int x, int y) {
        const auto alpha = static_cast<std::uint8_t>(y == 0 ? 255 : x);
        auto channel = [alpha](int value) { return static_cast<std::uint8_t>(value * alpha / 255); };
        return Pixel{channel(x), channel(255 - x), channel((x * 7 + y * 31) % 256), alpha};
    });
    PNGWriter::writePNG(frame, dir / "frame.png");
    auto image = readBack(dir / "frame.png");
    ASSERT_TRUE(image.has_value());
    ASSERT_EQ(std::pair(image->width, image->height), std::pair(256, 9));
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 256; ++x) {
            const Pixel expected = testing::pixelOf(*frame, x, y);
            const Pixel actual = testing::pixelOf(*image->pixels, x, y);
            EXPECT_EQ(actual[3], expected[3]);
            for (int c = 0; c < 3; ++c)
                ASSERT_LE(std::abs(actual[c] - expected[c]), y == 0 ? 0 : 1) << x << "," << y << " channel " << c;
        }
}

TEST_F(PNGWriterTest, FailuresLeaveNoFileAndRaiseNothing)
{
    auto frame = testing::makeFrame(4, 4, [](int, int) { return Pixel{1, 2, 3, 255}; });
    const fs::path missing = dir / "no-such-directory" / "x.png";
    EXPECT_NO_THROW(PNGWriter::writePNG(*frame, missing));
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_TRUE(PNGWriter::tryWritePNG(*frame, missing));

    auto grey = PixelBuffer::create(4, 4, kPixelFormatGray8);
    PNGWriter::writePNG(*grey, dir / "grey.png");
    EXPECT_FALSE(fs::exists(dir / "grey.png"));
    EXPECT_NO_THROW(PNGWriter::writePNG(PixelBufferRef{}, dir / "null.png"));
    EXPECT_FALSE(fs::exists(dir / "null.png"));

    // A directory in the way: nothing is written and nothing thrown.
    fs::create_directories(dir / "taken.png");
    EXPECT_TRUE(PNGWriter::tryWritePNG(*frame, dir / "taken.png"));
    EXPECT_TRUE(fs::is_directory(dir / "taken.png"));
}

TEST_F(PNGWriterTest, WritesInPlaceOverAnExistingFile)
{
    const fs::path path = dir / "standby.png";
    std::ofstream(path) << "old contents";
    fs::create_symlink(path, dir / "link.png");
    auto frame = testing::makeFrame(3, 2, [](int, int) { return Pixel{9, 8, 7, 255}; });
    EXPECT_FALSE(PNGWriter::tryWritePNG(*frame, dir / "link.png"));
    // Written through the link, not replacing it.
    EXPECT_TRUE(fs::is_symlink(dir / "link.png"));
    auto image = readBack(path);
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(testing::pixelOf(*image->pixels, 2, 1), (Pixel{9, 8, 7, 255}));
}

} // namespace
} // namespace quellon
