#include "playback/PixelBuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace quellon {
namespace {

TEST(PixelBuffer, RefusesSizesBelowOneAbsurdSizesAndUnknownFormats)
{
    const struct { std::int64_t width, height; PixelFormatCode format; } cases[] = {
        {0, 720, kPixelFormatBGRA},       {1280, 0, kPixelFormatBGRA},         {-1, 10, kPixelFormatBGRA},
        {16385, 1, kPixelFormatBGRA},     {1, 16385, kPixelFormatBGRA},        {16384, 4097, kPixelFormatBGRA},
        {INT64_MAX, INT64_MAX, kPixelFormatBGRA}, {64, 64, fourCharacterCode('R', 'G', 'B', '3')},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PixelBuffer::create(c.width, c.height, c.format), nullptr) << c.width << "x" << c.height;
    EXPECT_EQ(PixelBuffer::create(16, 16, kPixelFormatBGRA, 1u << 30), nullptr);
}

TEST(PixelBuffer, PadsRowsToSixtyFourBytes)
{
    const struct { std::int64_t width; PixelFormatCode format; std::size_t minimumBytesPerRow, bytesPerRow; } cases[] = {
        {1, kPixelFormatBGRA, 0, 64},      {16, kPixelFormatBGRA, 0, 64},     {17, kPixelFormatBGRA, 0, 128},
        {1280, kPixelFormatBGRA, 0, 5120}, {33, kPixelFormatYUYV, 0, 128},    {65, kPixelFormatGray8, 0, 128},
        {10, kPixelFormatBGRA, 100, 128},  {10, kPixelFormatBGRA, 8, 64},
    };
    for (const auto& c : cases) {
        auto buffer = PixelBuffer::create(c.width, 3, c.format, c.minimumBytesPerRow);
        ASSERT_NE(buffer, nullptr);
        EXPECT_EQ(buffer->bytesPerRow(), c.bytesPerRow) << c.width;
        auto lock = buffer->lockForReading();
        EXPECT_EQ(lock.row(2) - lock.row(0), static_cast<std::ptrdiff_t>(2 * c.bytesPerRow));
    }
    EXPECT_NE(PixelBuffer::create(16384, 4096), nullptr) << "the largest frame is allowed";
}

TEST(PixelBuffer, ReaderWaitsUntilTheWriterHasFinished)
{
    auto buffer = PixelBuffer::create(64, 64);
    ASSERT_NE(buffer, nullptr);
    std::atomic<bool> readerEntered{false};
    std::thread reader;
    {
        auto write = buffer->lockForWriting();
        reader = std::thread([&] {
            auto read = buffer->lockForReading();
            readerEntered = true;
            // Every byte must already carry the writer's final value.
            for (int y = 0; y < buffer->height(); ++y)
                for (std::size_t x = 0; x < 64 * 4; ++x)
                    ASSERT_EQ(read.row(y)[x], 0xAB);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_FALSE(readerEntered.load());
        for (int y = 0; y < buffer->height(); ++y)
            std::fill_n(write.row(y), 64 * 4, std::uint8_t{0xAB});
    }
    reader.join();
    EXPECT_TRUE(readerEntered.load());
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(PixelBuffer, FreedFrameSizedBlocksServeTheNextFrameOfTheirSize)
{
    const auto address = [](const PixelBufferRef& buffer) { return buffer->lockForReading().baseAddress(); };
    PixelBufferRef first = PixelBuffer::create(1280, 720);
    PixelBufferRef held = PixelBuffer::create(1280, 720);
    ASSERT_TRUE(first && held);
    const std::uint8_t* freed = address(first);
    first.reset();
    PixelBufferRef next = PixelBuffer::create(1280, 720);
    EXPECT_EQ(address(next), freed) << "the freed block is taken again";
    EXPECT_NE(address(next), address(held)) << "a block in use is never handed out";
    const std::uint8_t* freedAgain = address(next);
    next.reset();
    PixelBufferRef other = PixelBuffer::create(1920, 1080);
    EXPECT_NE(address(other), freedAgain) << "a block of another size is not";
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(address(other)) % PixelBuffer::kRowAlignment, 0u);
}
#endif

} // namespace
} // namespace quellon
