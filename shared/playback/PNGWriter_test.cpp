#include "playback/PNGWriter.h"

#include "playback/ImageContext.h"
#include "playback/ImageDecoding.h"
#include "playback/StandbyFrameRenderer.h"
#include "playback/TestFrames.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace quellon {
namespace {

using testing::Pixel;
namespace fs = std::filesystem;

struct PNGWriterTest : ::testing::Test {
    fs::path dir = fs::temp_directory_path() / ("quellon-png-" + std::to_string(::getpid()));
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }

    std::optional<DecodedImage> readBack(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::vector<std::uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
        ImageContext context;
        return decodeImage(bytes, context);
    }
};

TEST_F(PNGWriterTest, WrittenFrameDecodesToTheSamePixels)
{
    // Premultiplied pixels over every alpha level: the round trip goes through straight alpha
    // and back, which may move a channel by one.
    auto frame = testing::makeFrame(256, 9, [](int x, int y) {
        const auto alpha = static_cast<std::uint8_t>(y == 0 ? 255 : x);
        auto channel = [alpha](int value) { return static_cast<std::uint8_t>(value * alpha / 255); };
        return Pixel{channel(x), channel(255 - x), channel((x * 7 + y * 31) % 256), alpha};
    });
    ASSERT_NE(frame, nullptr);
    const fs::path path = dir / "frame.png";
    PNGWriter::writePNG(frame, path);
    auto image = readBack(path);
    ASSERT_TRUE(image.has_value());
    ASSERT_EQ(image->width, 256);
    ASSERT_EQ(image->height, 9);
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 256; ++x) {
            const Pixel expected = testing::pixelOf(*frame, x, y);
            const Pixel actual = testing::pixelOf(*image->pixels, x, y);
            EXPECT_EQ(actual[3], expected[3]);
            for (int c = 0; c < 3; ++c)
                ASSERT_LE(std::abs(actual[c] - expected[c]), y == 0 ? 0 : 1) << x << "," << y << " channel " << c;
        }
}

TEST_F(PNGWriterTest, TheCardSurvivesARoundTripUnchanged)
{
    auto card = StandbyFrameRenderer::makeFrame(320, 240, "Quellon", "Camera paused");
    ASSERT_NE(card, nullptr);
    PNGWriter::writePNG(*card, dir / "card.png");
    auto image = readBack(dir / "card.png");
    ASSERT_TRUE(image.has_value());
    for (int y = 0; y < 240; ++y) {
        auto a = card->lockForReading();
        auto b = image->pixels->lockForReading();
        ASSERT_TRUE(std::equal(a.row(y), a.row(y) + 320 * 4, b.row(y))) << "row " << y;
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
    { std::ofstream(path) << "old contents"; }
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
