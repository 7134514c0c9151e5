#include "backends/PipeWireFrameFormats.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/pod/filter.h>

namespace quellon {
namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;

struct RGB {
    int r, g, b;
};

// Every EnumFormat is fixed (browsers drop a param with a choice inside), in the order that
// puts the formats both browsers show exactly first, and says how its colours are encoded.
TEST(PipeWireFrameFormatsTest, OffersOneFixedParamPerFormatWithItsColourEncoding)
{
    std::uint8_t storage[2048];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, storage, sizeof storage);
    const auto params = buildEnumFormats(builder, kWidth, kHeight, 30);
    const spa_video_format expectedOrder[] = {SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_I420, SPA_VIDEO_FORMAT_YUY2,
                                              SPA_VIDEO_FORMAT_BGRx};
    ASSERT_EQ(params.size(), std::size(expectedOrder));
    for (std::size_t i = 0; i < params.size(); ++i) {
        ASSERT_TRUE(params[i]);
        for (std::uint32_t key : {SPA_FORMAT_VIDEO_format, SPA_FORMAT_VIDEO_size, SPA_FORMAT_VIDEO_framerate}) {
            const spa_pod_prop* prop = spa_pod_find_prop(params[i], nullptr, key);
            ASSERT_TRUE(prop) << "param " << i << " key " << key;
            EXPECT_NE(SPA_POD_TYPE(&prop->value), static_cast<std::uint32_t>(SPA_TYPE_Choice)) << "param " << i << " key " << key;
        }
        spa_video_info_raw info{};
        ASSERT_GE(spa_format_video_raw_parse(params[i], &info), 0);
        EXPECT_EQ(info.format, expectedOrder[i]);
        EXPECT_EQ(info.size.width, 1280u);
        EXPECT_EQ(info.size.height, 720u);
        EXPECT_EQ(info.framerate.num, 30u);
        EXPECT_EQ(info.framerate.denom, 1u);
        const bool yuv = info.format == SPA_VIDEO_FORMAT_I420 || info.format == SPA_VIDEO_FORMAT_YUY2;
        EXPECT_EQ(info.color_range, yuv ? SPA_VIDEO_COLOR_RANGE_16_235 : SPA_VIDEO_COLOR_RANGE_0_255) << "param " << i;
        EXPECT_EQ(info.color_matrix, yuv ? SPA_VIDEO_COLOR_MATRIX_BT601 : SPA_VIDEO_COLOR_MATRIX_RGB) << "param " << i;
    }
}

/// A client's EnumFormat: raw video, any of formats, at any size.
const spa_pod* clientFilter(spa_pod_builder& builder, const std::vector<spa_video_format>& formats)
{
    spa_pod_frame object{};
    spa_pod_frame choice{};
    spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_prop(&builder, SPA_FORMAT_mediaType, 0);
    spa_pod_builder_id(&builder, SPA_MEDIA_TYPE_video);
    spa_pod_builder_prop(&builder, SPA_FORMAT_mediaSubtype, 0);
    spa_pod_builder_id(&builder, SPA_MEDIA_SUBTYPE_raw);
    spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_format, 0);
    spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Enum, 0);
    spa_pod_builder_id(&builder, formats.front());
    for (spa_video_format format : formats)
        spa_pod_builder_id(&builder, format);
    spa_pod_builder_pop(&builder, &choice);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));
}

/// What PipeWire settles on between our params and a client's: the first of ours that the
/// client's filter admits, read back as a layout.
NegotiatedLayout negotiate(const std::vector<spa_video_format>& clientFormats)
{
    std::uint8_t storage[8192];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, storage, sizeof storage);
    const auto ours = buildEnumFormats(builder, kWidth, kHeight, 30);
    const spa_pod* filter = clientFilter(builder, clientFormats);
    for (const spa_pod* param : ours) {
        spa_pod* result = nullptr;
        if (spa_pod_filter(&builder, &result, param, filter) >= 0 && result)
            return parseNegotiatedFormat(result, kWidth, kHeight);
    }
    return {std::nullopt, "no common format"};
}

// The browsers' lists have no BGRx and get BGRA; clients that take one YUV layout or BGRx
// only get that, with the buffer size and stride of its layout; nothing common, no layout.
TEST(PipeWireFrameFormatsTest, ClientsGetTheirFirstCommonFormatInItsLayout)
{
    const std::vector<spa_video_format> browsers = {SPA_VIDEO_FORMAT_I420, SPA_VIDEO_FORMAT_NV12, SPA_VIDEO_FORMAT_YUY2,
                                                    SPA_VIDEO_FORMAT_UYVY, SPA_VIDEO_FORMAT_RGB,  SPA_VIDEO_FORMAT_BGR,
                                                    SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBA, SPA_VIDEO_FORMAT_ARGB};
    struct Case {
        std::vector<spa_video_format> client;
        PipeWirePixelFormat format;
        int stride;
        std::size_t bytes;
    };
    const Case cases[] = {
        {browsers, PipeWirePixelFormat::bgra, 5120, 5120u * 720},
        {{SPA_VIDEO_FORMAT_I420}, PipeWirePixelFormat::i420, 1280, 1280u * 720 * 3 / 2},
        {{SPA_VIDEO_FORMAT_NV12, SPA_VIDEO_FORMAT_YUY2}, PipeWirePixelFormat::yuy2, 2560, 2560u * 720},
        {{SPA_VIDEO_FORMAT_BGRx}, PipeWirePixelFormat::bgrx, 5120, 5120u * 720},
    };
    for (const Case& c : cases) {
        const NegotiatedLayout negotiated = negotiate(c.client);
        ASSERT_TRUE(negotiated.layout) << negotiated.refusal;
        EXPECT_EQ(*negotiated.layout, (PipeWireFrameLayout{c.format, kWidth, kHeight}));
        EXPECT_EQ(negotiated.layout->stride(), c.stride);
        EXPECT_EQ(negotiated.layout->frameBytes(), c.bytes);
    }
    EXPECT_FALSE(negotiate({SPA_VIDEO_FORMAT_NV12}).layout);
}

// A Format we never offered (another size, layout or media type) is refused with its reason.
TEST(PipeWireFrameFormatsTest, RefusesFormatsThatWereNotOffered)
{
    std::uint8_t storage[1024];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, storage, sizeof storage);
    auto raw = [&](spa_video_format format, std::uint32_t width, std::uint32_t height) {
        spa_video_info_raw info{};
        info.format = format;
        info.size = {width, height};
        info.framerate = {30, 1};
        return spa_format_video_raw_build(&builder, SPA_PARAM_Format, &info);
    };
    const NegotiatedLayout otherSize = parseNegotiatedFormat(raw(SPA_VIDEO_FORMAT_BGRA, 640, 480), kWidth, kHeight);
    EXPECT_FALSE(otherSize.layout);
    EXPECT_NE(otherSize.refusal.find("640x480"), std::string::npos) << otherSize.refusal;
    EXPECT_FALSE(parseNegotiatedFormat(raw(SPA_VIDEO_FORMAT_NV12, 1280, 720), kWidth, kHeight).layout);
    const auto* mjpeg = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_Format, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_mjpg)));
    EXPECT_EQ(parseNegotiatedFormat(mjpeg, kWidth, kHeight).refusal, "the format is not raw video");
    EXPECT_FALSE(parseNegotiatedFormat(nullptr, kWidth, kHeight).layout);
    EXPECT_TRUE(parseNegotiatedFormat(raw(SPA_VIDEO_FORMAT_YUY2, 1280, 720), kWidth, kHeight).layout);
}

/// A BGRA frame whose left half is left and right half right; padding filled with a colour
/// that must never show.
PixelBufferRef halves(int width, int height, RGB left, RGB right)
{
    auto frame = PixelBuffer::create(width, height);
    auto pixels = frame->lockForWriting();
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = pixels.row(y);
        std::memset(row, 0x7F, frame->bytesPerRow());
        for (int x = 0; x < width; ++x) {
            const RGB& c = x < width / 2 ? left : right;
            const std::uint8_t bgra[4] = {static_cast<std::uint8_t>(c.b), static_cast<std::uint8_t>(c.g),
                                          static_cast<std::uint8_t>(c.r), 255};
            std::memcpy(row + x * 4, bgra, 4);
        }
    }
    return frame;
}

/// The colour at x, y as a client reads it: RGB as stored, YUV decoded as BT.601 limited range
/// (how Chromium decodes PipeWire YUV), written out here rather than taken from libyuv.
RGB readBack(const PipeWireFrameLayout& layout, const std::vector<std::uint8_t>& bytes, int x, int y)
{
    const int W = layout.width;
    int Y = 0, U = 0, V = 0;
    switch (layout.format) {
    case PipeWirePixelFormat::bgra:
    case PipeWirePixelFormat::bgrx: {
        const std::uint8_t* p = bytes.data() + static_cast<std::size_t>(y) * layout.stride() + x * 4;
        return {p[2], p[1], p[0]};
    }
    case PipeWirePixelFormat::yuy2: {
        const std::uint8_t* pair = bytes.data() + static_cast<std::size_t>(y) * layout.stride() + (x / 2) * 4;
        Y = pair[(x & 1) * 2];
        U = pair[1];
        V = pair[3];
        break;
    }
    case PipeWirePixelFormat::i420: {
        const std::size_t luma = static_cast<std::size_t>(W) * layout.height;
        const std::size_t chroma = static_cast<std::size_t>(y / 2) * (W / 2) + x / 2;
        Y = bytes[static_cast<std::size_t>(y) * W + x];
        U = bytes[luma + chroma];
        V = bytes[luma + luma / 4 + chroma];
        break;
    }
    }
    const double l = 1.164 * (Y - 16);
    auto clamp = [](double v) { return static_cast<int>(std::lround(std::clamp(v, 0.0, 255.0))); };
    return {clamp(l + 1.596 * (V - 128)), clamp(l - 0.392 * (U - 128) - 0.813 * (V - 128)), clamp(l + 2.017 * (U - 128))};
}

bool near(RGB a, RGB b, int tolerance)
{
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance;
}

std::string text(RGB c)
{
    return "(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

// libyuv's bilinear upscaling darkens flat colours by up to 2 (255 becomes 253).
constexpr int kScalingLoss = 2;

// Each layout carries the colours sent: RGB exactly, YUV within rounding once decoded as
// BT.601 limited range (BT.709 or full range would be off by far more). Other sizes and padded
// rows are scaled to fill the frame; a frame that is not BGRA is not written.
TEST(PipeWireFrameFormatsTest, WritesTheColoursSentInEveryLayout)
{
    const RGB colours[][2] = {
        {{255, 0, 0}, {0, 255, 0}},   {{0, 0, 255}, {255, 255, 255}}, {{0, 0, 0}, {128, 128, 128}},
        {{200, 40, 40}, {40, 180, 60}}, {{30, 60, 200}, {235, 200, 20}},
    };
    struct Size {
        int width, height;
    };
    const Size sizes[] = {{1280, 720}, {640, 360}, {333, 187}};
    for (const PipeWireFrameLayout& layout : offeredLayouts(kWidth, kHeight)) {
        const bool rgb = layout.format == PipeWirePixelFormat::bgra || layout.format == PipeWirePixelFormat::bgrx;
        PipeWireFrameWriter writer;
        std::vector<std::uint8_t> bytes(layout.frameBytes() + 64, 0xEE);
        for (const Size& size : sizes) {
            for (const auto& pair : colours) {
                ASSERT_TRUE(writer.write(*halves(size.width, size.height, pair[0], pair[1]), layout, bytes.data()));
                // Away from the middle, where scaling blends the halves.
                for (auto [x, y, expected] : {std::tuple{8, 8, pair[0]}, std::tuple{500, 700, pair[0]},
                                              std::tuple{1270, 8, pair[1]}, std::tuple{800, 719, pair[1]}}) {
                    const RGB got = readBack(layout, bytes, x, y);
                    EXPECT_TRUE(near(got, expected, (rgb ? 0 : 3) + (size.width == kWidth ? 0 : kScalingLoss)))
                        << "layout " << static_cast<int>(layout.format) << " from " << size.width << "x" << size.height
                        << " at " << x << "," << y << ": sent " << text(expected) << ", read " << text(got);
                }
            }
            EXPECT_EQ(writer.scratchBytes() > 0, !rgb && size.width != kWidth);
        }
        if (layout.format == PipeWirePixelFormat::bgra) {
            ASSERT_TRUE(writer.write(*halves(kWidth, kHeight, colours[0][0], colours[0][1]), layout, bytes.data()));
            EXPECT_EQ(bytes[3], 255);
        }
        // The writer never writes past the frame.
        EXPECT_EQ(bytes[layout.frameBytes()], 0xEE);
        EXPECT_FALSE(writer.write(*PixelBuffer::create(16, 16, kPixelFormatGray8), layout, bytes.data()));
    }
}

} // namespace
} // namespace quellon
