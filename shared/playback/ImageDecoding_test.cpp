#include "playback/ImageDecoding.h"

#include "platform/FileIO.h"
#include "platform/FuzzFindings.h"
#include "playback/ImageContext.h"
#include "playback/LoopFrameProvider.h"
#include "playback/PNGWriter.h"
#include "playback/TestFrames.h"
#include "reports/TestScratchDirectory.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <fstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace quellon {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::Pixel;

/// A JPEG of a smooth colour ramp, made with TurboJPEG itself.
Bytes makeJPEG(int width, int height, int flags = 0)
{
    Bytes rgb(static_cast<std::size_t>(width) * height * 3);
    for (std::size_t i = 0; i < rgb.size(); i += 3) {
        rgb[i] = static_cast<std::uint8_t>(static_cast<int>(i / 3 % width) * 255 / std::max(width - 1, 1));
        rgb[i + 1] = static_cast<std::uint8_t>(static_cast<int>(i / 3 / width) * 255 / std::max(height - 1, 1));
        rgb[i + 2] = 90;
    }
    tjhandle compressor = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    Bytes bytes;
    if (tjCompress2(compressor, rgb.data(), width, 0, height, TJPF_RGB, &jpeg, &size, TJSAMP_420, 90, flags) == 0)
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
            jpeg[i + 5] = static_cast<std::uint8_t>(height >> 8), jpeg[i + 6] = static_cast<std::uint8_t>(height);
            jpeg[i + 7] = static_cast<std::uint8_t>(width >> 8), jpeg[i + 8] = static_cast<std::uint8_t>(width);
            break;
        }
    return jpeg;
}

void appendBigEndian(Bytes& out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

/// Appends a PNG chunk (type and data in body) with its length and CRC, the CRC spoilt if asked.
void appendChunk(Bytes& png, const Bytes& body, bool goodCRC = true)
{
    appendBigEndian(png, static_cast<std::uint32_t>(body.size() - 4));
    png.insert(png.end(), body.begin(), body.end());
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::uint8_t byte : body) {
        crc ^= byte;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    appendBigEndian(png, ~crc ^ (goodCRC ? 0u : 1u));
}

/// A PNG of a signature, an IHDR claiming width × height and IEND, with no image data.
Bytes pngHeaderOnly(std::uint32_t width, std::uint32_t height, bool goodCRC = true)
{
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes header = {'I', 'H', 'D', 'R'};
    appendBigEndian(header, width);
    appendBigEndian(header, height);
    header.insert(header.end(), {8, 6, 0, 0, 0});
    appendChunk(png, header, goodCRC);
    appendChunk(png, {'I', 'E', 'N', 'D'});
    return png;
}

Bytes validPNG()
{
    testing_support::ScratchDirectory dir;
    PNGWriter::writePNG(testing::makeFrame(40, 30, [](int x, int y) {
        return Pixel{static_cast<std::uint8_t>(x * 6), static_cast<std::uint8_t>(y * 8), 200, 255};
    }), dir.path() / "valid.png");
    const std::string bytes = readRegularFile(dir.path() / "valid.png").value_or("");
    return Bytes(bytes.begin(), bytes.end());
}

TEST(ImageDecoding, JPEGDecodesIntoAFrameExactlyAsTurboJPEGDoes)
{
    const Bytes jpeg = makeJPEG(97, 61);
    ASSERT_FALSE(jpeg.empty());
    ImageContext context;
    auto image = decodeImage(jpeg, context);
    ASSERT_TRUE(image.has_value());
    ASSERT_EQ(std::pair(image->width, image->height), std::pair(97, 61));
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
    auto half = [](const Bytes& bytes) { return Bytes(bytes.begin(), bytes.begin() + std::ssize(bytes) / 2); };
    const std::pair<const char*, Bytes> cases[] = {
        {"empty", {}}, {"garbage", garbage}, {"JPEG start only", {0xFF, 0xD8, 0xFF}}, {"truncated JPEG", half(jpeg)},
        {"JPEG of 0 width", withJPEGSize(jpeg, 0, 48)}, {"JPEG of 60000 x 60000", withJPEGSize(jpeg, 60000, 60000)},
        {"JPEG of 16000 x 16000", withJPEGSize(jpeg, 16000, 16000)},
        {"PNG signature only", Bytes(png.begin(), png.begin() + 8)}, {"truncated PNG", half(png)},
        {"PNG with damaged data", badIDAT}, {"PNG header 0 x 10", pngHeaderOnly(0, 10)},
        {"PNG header 100000 x 100000", pngHeaderOnly(100000, 100000)},
        {"PNG header 16000 x 16000", pngHeaderOnly(16000, 16000)},
        {"PNG header 16384 x 4097", pngHeaderOnly(16384, 4097)},
        {"PNG header 4 x 4 without data", pngHeaderOnly(4, 4)},
        {"PNG header with a bad CRC", pngHeaderOnly(4, 4, false)},
    };
    ImageContext context;
    for (const auto& [name, bytes] : cases)
        EXPECT_FALSE(decodeImage(bytes, context).has_value()) << name;
    EXPECT_TRUE(decodeImage(jpeg, context).has_value()) << "the context still works after all that";
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// The size a header declares, read without decoding: what push checks before sending.
TEST(ImageDecoding, DeclaredSizeComesFromTheHeaderAlone)
{
    ImageContext context;
    const std::string damaged("\xFF\xD8\xFF\xE0 not really decodable", 25);
    const std::pair<Bytes, std::optional<std::pair<std::int64_t, std::int64_t>>> cases[] = {
        {makeJPEG(64, 48), std::pair<std::int64_t, std::int64_t>{64, 48}},
        {withJPEGSize(makeJPEG(64, 48), 5000, 8), std::pair<std::int64_t, std::int64_t>{5000, 8}},
        {pngHeaderOnly(16384, 7), std::pair<std::int64_t, std::int64_t>{16384, 7}},
        {validPNG(), std::pair<std::int64_t, std::int64_t>{40, 30}},
        {pngHeaderOnly(0, 7), std::nullopt},
        {Bytes(damaged.begin(), damaged.end()), std::nullopt},
        {Bytes{'G', 'I', 'F', '8', '9', 'a'}, std::nullopt},
        {{}, std::nullopt},
    };
    for (const auto& [bytes, size] : cases)
        EXPECT_EQ(declaredImageSize(bytes, context), size) << bytes.size() << " bytes";
}

TEST(ImageDecoding, AbsurdDeclaredSizesAllocateNothingLarge)
{
    // In a child whose address space may grow by only 128 MiB: decoding any of these must neither
    // succeed nor run out of memory.
    for (const Bytes& image : {pngHeaderOnly(16000, 16000), pngHeaderOnly(16384, 16384),
                               withJPEGSize(makeJPEG(64, 48), 16000, 16000)}) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            long pages = 0;
            std::ifstream("/proc/self/statm") >> pages;
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

/// Runs decode in a child whose address space may grow by only `headroom` bytes; true when it
/// returned without running out of memory. Without a limit under the sanitizers, whose
/// shadow memory does not fit one.
template <typename Decode>
bool decodesWithin([[maybe_unused]] std::size_t headroom, Decode decode)
{
    const pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + headroom;
        const rlimit capped{limit, limit};
        ::setrlimit(RLIMIT_AS, &capped);
#endif
        decode();
        ::_exit(0);
    }
    int status = 0;
    return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(ImageDecoding, PNGTextChunkBombsFoundByFuzzingAreSkipped)
{
    for (const char* name : {"image-png-text-length-2gib.png", "image-png-text-length-fuzzed.png",
                             "image-png-ztxt-bomb-600mib.png"}) {
        QUELLON_LOAD_FUZZ_FINDING(text, name);
        const Bytes png(text.begin(), text.end());
        EXPECT_TRUE(decodesWithin(64u << 20, [&] {
            ImageContext context;
            auto image = decodeImage(png, context);
            // Either refused or a real picture; never an out-of-memory abort.
            if (image && (!image->pixels || image->pixels->width() != image->width))
                ::_exit(2);
        })) << name;
    }
}

TEST(ImageDecoding, ChunksAFrameDoesNotUseAreDroppedUnread)
{
    const Bytes png = validPNG();
    ASSERT_GT(png.size(), 33u);
    ImageContext context;
    const auto plain = decodeImage(png, context);
    ASSERT_TRUE(plain.has_value());

    // After IHDR, each with a correct CRC: a tEXt just over 8 MiB, beyond what libspng is allowed to
    // hold, a zTXt whose stream is not zlib at all, an iCCP cut short and a private chunk.
    Bytes text = {'t', 'E', 'X', 't', 'K', 'e', 'y', 0};
    text.insert(text.end(), (8u << 20) + 16, 'a');
    Bytes ztxt = {'z', 'T', 'X', 't', 'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 0};
    ztxt.insert(ztxt.end(), 4096, 0xA5);
    const Bytes extras[] = {text, ztxt, {'i', 'C', 'C', 'P', 'p', 0, 0, 0x78}, {'p', 'r', 'I', 'v', 1, 2, 3}};
    Bytes dressed(png.begin(), png.begin() + 33);
    for (const Bytes& extra : extras)
        appendChunk(dressed, extra);
    dressed.insert(dressed.end(), png.begin() + 33, png.end());
    const auto image = decodeImage(dressed, context);
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(testing::pixelOf(*image->pixels, 39, 29), testing::pixelOf(*plain->pixels, 39, 29));
    EXPECT_EQ(testing::pixelOf(*image->pixels, 7, 3), testing::pixelOf(*plain->pixels, 7, 3));
}

TEST(ImageDecoding, LimitsDependOnWhereThePictureComesFrom)
{
    struct Case {
        const char* name;
        Bytes bytes;
        bool asClip;
        bool asPushed;
    };
    const Case cases[] = {
        {"PNG 4096 x 4", pngHeaderOnly(4096, 4), false, false}, // no data: refused by both, after the check
        {"JPEG 4096 x 8", makeJPEG(4096, 8), true, true},
        {"JPEG 4104 x 8", makeJPEG(4104, 8), true, false},
        {"JPEG 8 x 4104", makeJPEG(8, 4104), true, false},
        {"progressive JPEG 4096 x 8", makeJPEG(4096, 8, TJFLAG_PROGRESSIVE), true, true},
        {"progressive JPEG 4104 x 8", makeJPEG(4104, 8, TJFLAG_PROGRESSIVE), false, false},
    };
    ImageContext context;
    for (const auto& [name, bytes, asClip, asPushed] : cases) {
        ASSERT_FALSE(bytes.empty()) << name;
        EXPECT_EQ(decodeImage(bytes, context, kClipImageLimit).has_value(), asClip) << name;
        EXPECT_EQ(decodeImage(bytes, context, kPushedImageLimit).has_value(), asPushed) << name;
    }
    EXPECT_TRUE(isAcceptableImageSize(4096, 4096, kPushedImageLimit));
    EXPECT_FALSE(isAcceptableImageSize(4097, 4096, kPushedImageLimit));
    EXPECT_TRUE(isAcceptableImageSize(16384, 4096, kClipImageLimit));
    EXPECT_FALSE(isAcceptableImageSize(16384, 4097, kClipImageLimit));
}

TEST(ImageDecoding, OversizedScratchIsReleasedAfterTheDecode)
{
    testing_support::ScratchDirectory dir;
    const auto write = [&](int width, int height) {
        PNGWriter::writePNG(testing::makeFrame(width, height, [](int, int) { return Pixel{20, 40, 9, 255}; }),
                            dir.path() / "frame.png");
        const std::string text = readRegularFile(dir.path() / "frame.png", 256u << 20).value_or("");
        return Bytes(text.begin(), text.end());
    };
    ImageContext context;
    ASSERT_TRUE(decodeImage(write(640, 360), context));
    EXPECT_EQ(context.scratchCapacity(), 640u * 360 * 4) << "a camera-sized scratch is kept for the next frame";
    ASSERT_TRUE(decodeImage(write(2600, 1700), context));
    EXPECT_EQ(context.scratchCapacity(), 0u) << "a scratch above the retained size is released";
}

TEST(LoopFrameProvider, PixelBufferCopiesSharedPixelsAndTakesOverASoleOwnersPixels)
{
    for (auto [width, height] : {std::pair{1, 1}, std::pair{640, 360}}) {
        ImageContext context;
        auto image = decodeImage(makeJPEG(width, height), context);
        ASSERT_TRUE(image.has_value());
        auto copy = LoopFrameProvider::pixelBuffer(*image, context);
        ASSERT_NE(copy, nullptr);
        EXPECT_NE(copy, image->pixels) << "a copy must not share the image's pixels";
        EXPECT_EQ(std::tuple(copy->width(), copy->height(), copy->isBGRA()), std::tuple(width, height, true));
        EXPECT_EQ(testing::pixelOf(*copy, width - 1, height - 1), testing::pixelOf(*image->pixels, width - 1, height - 1));

        const PixelBuffer* decoded = image->pixels.get();
        EXPECT_NE(LoopFrameProvider::pixelBuffer(DecodedImage(*image), context).get(), decoded) << "shared: copied";
        EXPECT_EQ(LoopFrameProvider::pixelBuffer(std::move(*image), context).get(), decoded)
            << "a sole owner hands its pixels over without a copy";
    }
    ImageContext context;
    EXPECT_EQ(LoopFrameProvider::pixelBuffer(DecodedImage{}, context), nullptr);
}

} // namespace
} // namespace quellon
