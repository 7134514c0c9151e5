#include "playback/ImageDecoding.h"

#include "playback/ImageContext.h"
#include "playback/LoopFrameProvider.h"
#include "playback/PNGWriter.h"
#include "playback/TestFrames.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace quellon {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::Pixel;

/// A JPEG of a smooth colour ramp, made with TurboJPEG itself.
Bytes makeJPEG(int width, int height)
{
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            auto* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
            p[0] = static_cast<std::uint8_t>(x * 255 / std::max(width - 1, 1));
            p[1] = static_cast<std::uint8_t>(y * 255 / std::max(height - 1, 1));
            p[2] = 90;
        }
    tjhandle compressor = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    const int result = tjCompress2(compressor, rgb.data(), width, 0, height, TJPF_RGB, &jpeg, &size, TJSAMP_420, 90, 0);
    Bytes bytes;
    if (result == 0)
        bytes.assign(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(compressor);
    return bytes;
}

/// Replaces the frame size in a JPEG's SOF0 segment.
Bytes withJPEGSize(Bytes jpeg, std::uint16_t width, std::uint16_t height)
{
    for (std::size_t i = 0; i + 8 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
            jpeg[i + 5] = static_cast<std::uint8_t>(height >> 8);
            jpeg[i + 6] = static_cast<std::uint8_t>(height);
            jpeg[i + 7] = static_cast<std::uint8_t>(width >> 8);
            jpeg[i + 8] = static_cast<std::uint8_t>(width);
            break;
        }
    return jpeg;
}

std::uint32_t crc32(const std::uint8_t* data, std::size_t size)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void appendBigEndian(Bytes& out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

/// A PNG made of a signature and an IHDR claiming width × height, followed by the given
/// compressed data as one IDAT (possibly none) and IEND.
Bytes pngHeaderOnly(std::uint32_t width, std::uint32_t height, bool goodCRC = true)
{
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes chunk = {'I', 'H', 'D', 'R'};
    appendBigEndian(chunk, width);
    appendBigEndian(chunk, height);
    chunk.insert(chunk.end(), {8, 6, 0, 0, 0});
    appendBigEndian(png, 13);
    png.insert(png.end(), chunk.begin(), chunk.end());
    appendBigEndian(png, crc32(chunk.data(), chunk.size()) ^ (goodCRC ? 0u : 1u));
    const Bytes end = {'I', 'E', 'N', 'D'};
    appendBigEndian(png, 0);
    png.insert(png.end(), end.begin(), end.end());
    appendBigEndian(png, crc32(end.data(), end.size()));
    return png;
}

Bytes readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

struct TemporaryDirectory {
    std::filesystem::path path = std::filesystem::temp_directory_path()
        / ("quellon-frames-" + std::to_string(::getpid()) + "-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    TemporaryDirectory() { std::filesystem::create_directories(path); }
    ~TemporaryDirectory() { std::filesystem::remove_all(path); }
};

Bytes validPNG()
{
    TemporaryDirectory dir;
    auto frame = testing::makeFrame(40, 30, [](int x, int y) {
        return Pixel{static_cast<std::uint8_t>(x * 6), static_cast<std::uint8_t>(y * 8), 200, 255};
    });
    PNGWriter::writePNG(*frame, dir.path / "valid.png");
    return readFile(dir.path / "valid.png");
}

TEST(ImageDecoding, JPEGDecodesIntoAFrameExactlyAsTurboJPEGDoes)
{
    const Bytes jpeg = makeJPEG(97, 61);
    ASSERT_FALSE(jpeg.empty());
    ImageContext context;
    auto image = decodeImage(jpeg, context);
    ASSERT_TRUE(image.has_value());
    ASSERT_EQ(image->width, 97);
    ASSERT_EQ(image->height, 61);
    ASSERT_TRUE(image->pixels && image->pixels->isBGRA());

    std::vector<std::uint8_t> reference(97 * 61 * 4);
    tjhandle decompressor = tjInitDecompress();
    ASSERT_EQ(tjDecompress2(decompressor, jpeg.data(), jpeg.size(), reference.data(), 97, 0, 61, TJPF_BGRA, 0), 0);
    tjDestroy(decompressor);
    auto lock = image->pixels->lockForReading();
    for (int y = 0; y < 61; ++y)
        ASSERT_TRUE(std::equal(reference.begin() + y * 97 * 4, reference.begin() + (y + 1) * 97 * 4, lock.row(y)))
            << "row " << y;
    EXPECT_EQ(lock.row(5)[4 * 7 + 3], 255);
}

TEST(ImageDecoding, HostileInputIsRejected)
{
    const Bytes jpeg = makeJPEG(64, 48);
    const Bytes png = validPNG();
    ASSERT_FALSE(png.empty());
    Bytes garbage(1024);
    for (std::size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<std::uint8_t>(i * 131 + 7);
    Bytes badIDAT = png;
    for (std::size_t i = 60; i < badIDAT.size() - 20; ++i)
        badIDAT[i] ^= 0x5A;
    const struct {
        const char* name;
        Bytes bytes;
    } cases[] = {
        {"empty", {}},
        {"garbage", garbage},
        {"JPEG start only", {0xFF, 0xD8, 0xFF}},
        {"truncated JPEG", Bytes(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(jpeg.size() / 2))},
        {"JPEG of 0 width", withJPEGSize(jpeg, 0, 48)},
        {"JPEG of 60000 x 60000", withJPEGSize(jpeg, 60000, 60000)},
        {"JPEG of 16000 x 16000", withJPEGSize(jpeg, 16000, 16000)},
        {"PNG signature only", Bytes(png.begin(), png.begin() + 8)},
        {"truncated PNG", Bytes(png.begin(), png.begin() + static_cast<std::ptrdiff_t>(png.size() / 2))},
        {"PNG with damaged data", badIDAT},
        {"PNG header 0 x 10", pngHeaderOnly(0, 10)},
        {"PNG header 100000 x 100000", pngHeaderOnly(100000, 100000)},
        {"PNG header 16000 x 16000", pngHeaderOnly(16000, 16000)},
        {"PNG header 16384 x 4097", pngHeaderOnly(16384, 4097)},
        {"PNG header 4 x 4 without data", pngHeaderOnly(4, 4)},
        {"PNG header with a bad CRC", pngHeaderOnly(4, 4, false)},
    };
    ImageContext context;
    for (const auto& c : cases)
        EXPECT_FALSE(decodeImage(c.bytes, context).has_value()) << c.name;
    // The context still works after all that.
    EXPECT_TRUE(decodeImage(jpeg, context).has_value());
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST(ImageDecoding, AbsurdDeclaredSizesAllocateNothingLarge)
{
    // In a child whose address space may grow by only 128 MiB: decoding any of these must neither
    // succeed nor run out of memory.
    const Bytes images[] = {pngHeaderOnly(16000, 16000), pngHeaderOnly(16384, 16384),
                            withJPEGSize(makeJPEG(64, 48), 16000, 16000)};
    for (const Bytes& image : images) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            long pages = 0;
            if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
                if (std::fscanf(statm, "%ld", &pages) != 1)
                    pages = 0;
                std::fclose(statm);
            }
            const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (128u << 20);
            const rlimit capped{limit, limit};
            ::setrlimit(RLIMIT_AS, &capped);
            ImageContext context;
            ::_exit(decodeImage(image, context).has_value() ? 1 : 0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
}
#endif

TEST(LoopFrameProvider, PixelBufferKeepsTheImageSizeAndPixels)
{
    for (auto [width, height] : {std::pair{1, 1}, std::pair{640, 360}}) {
        ImageContext context;
        auto image = decodeImage(makeJPEG(width, height), context);
        ASSERT_TRUE(image.has_value());
        auto copy = LoopFrameProvider::pixelBuffer(*image, context);
        ASSERT_NE(copy, nullptr);
        EXPECT_NE(copy, image->pixels) << "a copy must not share the image's pixels";
        EXPECT_EQ(copy->width(), width);
        EXPECT_EQ(copy->height(), height);
        EXPECT_TRUE(copy->isBGRA());
        EXPECT_EQ(testing::pixelOf(*copy, width - 1, height - 1), testing::pixelOf(*image->pixels, width - 1, height - 1));

        const PixelBuffer* decoded = image->pixels.get();
        auto moved = LoopFrameProvider::pixelBuffer(std::move(*image), context);
        EXPECT_EQ(moved.get(), decoded) << "a sole owner hands its pixels over without a copy";
    }
}

TEST(LoopFrameProvider, PixelBufferCopiesPixelsThatAreStillShared)
{
    ImageContext context;
    auto image = decodeImage(makeJPEG(8, 8), context);
    ASSERT_TRUE(image.has_value());
    PixelBufferRef stillHeld = image->pixels;
    auto frame = LoopFrameProvider::pixelBuffer(std::move(*image), context);
    ASSERT_NE(frame, nullptr);
    EXPECT_NE(frame, stillHeld);
    EXPECT_EQ(LoopFrameProvider::pixelBuffer(DecodedImage{}, context), nullptr);
}

} // namespace
} // namespace quellon
