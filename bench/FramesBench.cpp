// Per-frame work measured beside its baseline at the camera's 1280×720. Each group's names share
// a prefix: "<Group>/quellon" is our code, "<Group>/baseline_*" what it is compared with.
//   ApplyBrightness_720p: served every frame while the drift is on; goal at most 3× memcpy.
//   Blend_720p: crossfade frames at load; goal at most 3× memcpy.
//   JPEGToFrame_720p: every pushed frame; goal at most 1.1× tjDecompress2 into BGRA.
//   Sway_720p: the camera sway on a J420 loop frame, served every frame while alive motion is
//     on; reported beside the J420-to-BGRA conversion every served frame already pays.
//   ServedFrame_720p: a natural walk over 24 J420 frames with Away's effects (jitter, alive
//     motion, and alive motion's light alone) as nextFrame serves it; compare by hand with ffmpeg replaying a 720p clip into
//     Y4M (`ffmpeg -threads 1 -i clip -f yuv4mpegpipe -pix_fmt yuv420p -y /dev/null`), goal
//     at most 1×.
//   StandbyCard_720p: drawn once; reported only.

#include "playback/AliveMotion.h"
#include "playback/CameraSway.h"
#include "playback/FrameBlender.h"
#include "playback/ImageContext.h"
#include "playback/ImageDecoding.h"
#include "playback/LoopFrameProvider.h"
#include "playback/StandbyFrameRenderer.h"
#include "playback/YuvFrames.h"

#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace {

using namespace quellon;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;

/// A frame with some structure and noise, so that neither the blend nor the JPEG coder sees
/// a trivially uniform picture.
PixelBufferRef sampleFrame(std::uint32_t seed)
{
    auto frame = PixelBuffer::create(kWidth, kHeight);
    auto lock = frame->lockForWriting();
    std::uint32_t noise = seed;
    for (int y = 0; y < kHeight; ++y) {
        std::uint8_t* row = lock.row(y);
        for (int x = 0; x < kWidth; ++x) {
            noise = noise * 1664525u + 1013904223u;
            row[x * 4 + 0] = static_cast<std::uint8_t>((x / 5 + (noise >> 28)) & 0xFF);
            row[x * 4 + 1] = static_cast<std::uint8_t>((y / 3 + (noise >> 27)) & 0xFF);
            row[x * 4 + 2] = static_cast<std::uint8_t>(((x + y) / 7 + (noise >> 29)) & 0xFF);
            row[x * 4 + 3] = 255;
        }
    }
    return frame;
}

std::size_t frameBytes(const PixelBuffer& frame)
{
    return frame.bytesPerRow() * static_cast<std::size_t>(frame.height());
}

void memcpyBaseline(benchmark::State& state)
{
    auto frame = sampleFrame(1);
    std::vector<std::uint8_t> target(frameBytes(*frame));
    for (auto _ : state) {
        auto lock = frame->lockForReading();
        std::memcpy(target.data(), lock.baseAddress(), target.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * target.size()));
}

void applyBrightness(benchmark::State& state)
{
    auto frame = sampleFrame(1);
    auto drift = AliveMotion(AliveMotion::maxAmplitude, 0, 240, 7);
    for (auto _ : state) {
        double factor = drift.nextLight().gain;
        if (std::fabs(factor - 1) <= 0.0005)
            factor = 1.01; // keep every iteration a real pass over the frame
        auto out = AliveMotion::applyBrightness(factor, frame);
        benchmark::DoNotOptimize(out.get());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frameBytes(*frame)));
}

// The light Away serves with: gain and tilts, a multiplier per byte.
void applyLight(benchmark::State& state)
{
    auto frame = sampleFrame(1);
    auto drift = AliveMotion::gentle(7);
    for (auto _ : state) {
        auto out = LightDrift::apply(drift.nextLight(), frame);
        benchmark::DoNotOptimize(out.get());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frameBytes(*frame)));
}

// The sway along Away's path, a new pose each frame.
void sway(benchmark::State& state)
{
    const auto frame = YuvFrames::compact(sampleFrame(1));
    const CameraSway path = CameraSway::gentle(7);
    std::int64_t tick = 0;
    for (auto _ : state) {
        auto out = CameraSway::apply(path.poseAt(tick++, kWidth, kHeight), frame);
        benchmark::DoNotOptimize(out.get());
    }
}

void j420ToBGRABaseline(benchmark::State& state)
{
    const auto frame = YuvFrames::compact(sampleFrame(1));
    for (auto _ : state) {
        auto out = YuvFrames::bgra(frame);
        benchmark::DoNotOptimize(out.get());
    }
}

void servedFrame(benchmark::State& state, bool sway)
{
    const AliveMotion alive = sway ? AliveMotion::gentle(3) : AliveMotion::gentle(3).withSway(CameraSway::disabled());
    LoopFrameProvider provider(LoopMode::natural, LoopJitter::gentle(3), SimulatedLag::disabled(), alive);
    std::vector<PixelBufferRef> frames;
    for (std::uint32_t seed = 1; seed <= 24; ++seed)
        frames.push_back(sampleFrame(seed));
    provider.installFramesForTesting(std::move(frames));
    for (auto _ : state) {
        auto out = provider.nextFrame();
        benchmark::DoNotOptimize(out.get());
    }
}

void blend(benchmark::State& state, double t)
{
    auto a = sampleFrame(1);
    auto b = sampleFrame(2);
    for (auto _ : state) {
        auto out = FrameBlender::blend(a, b, t);
        benchmark::DoNotOptimize(out.get());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frameBytes(*a)));
}

std::vector<std::uint8_t> sampleJPEG()
{
    auto frame = sampleFrame(3);
    auto lock = frame->lockForReading();
    tjhandle compressor = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    tjCompress2(compressor, lock.baseAddress(), kWidth, static_cast<int>(frame->bytesPerRow()), kHeight, TJPF_BGRA,
                &jpeg, &size, TJSAMP_420, 85, 0);
    std::vector<std::uint8_t> bytes(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(compressor);
    return bytes;
}

void jpegToFrame(benchmark::State& state)
{
    const auto jpeg = sampleJPEG();
    ImageContext context;
    for (auto _ : state) {
        auto image = decodeImage(jpeg, context);
        auto frame = image ? LoopFrameProvider::pixelBuffer(std::move(*image), context) : nullptr;
        if (!frame)
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(frame.get());
    }
}

void jpegTurboBaseline(benchmark::State& state)
{
    const auto jpeg = sampleJPEG();
    tjhandle decompressor = tjInitDecompress();
    std::vector<std::uint8_t> bgra(static_cast<std::size_t>(kWidth) * kHeight * 4);
    for (auto _ : state) {
        if (tjDecompress2(decompressor, jpeg.data(), jpeg.size(), bgra.data(), kWidth, 0, kHeight, TJPF_BGRA, 0) != 0)
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(bgra.data());
        benchmark::ClobberMemory();
    }
    tjDestroy(decompressor);
}

void standbyCard(benchmark::State& state)
{
    for (auto _ : state) {
        auto card = StandbyFrameRenderer::makeFrame(kWidth, kHeight, "Quellon", "Camera paused");
        benchmark::DoNotOptimize(card.get());
    }
}

BENCHMARK(applyBrightness)->Name("ApplyBrightness_720p/quellon")->Unit(benchmark::kMicrosecond);
BENCHMARK(memcpyBaseline)->Name("ApplyBrightness_720p/baseline_memcpy")->Unit(benchmark::kMicrosecond);
BENCHMARK(applyLight)->Name("ApplyLight_720p/quellon")->Unit(benchmark::kMicrosecond);
BENCHMARK(memcpyBaseline)->Name("ApplyLight_720p/baseline_memcpy")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(blend, half, 0.5)->Name("Blend_720p/quellon_t0.5")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(blend, quarter, 0.25)->Name("Blend_720p/quellon_t0.25")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(blend, third, 1.0 / 3)->Name("Blend_720p/quellon_t0.333")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(blend, sixth, 1.0 / 6)->Name("Blend_720p/quellon_t0.167")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(blend, seventh, 1.0 / 7)->Name("Blend_720p/quellon_t0.143")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(blend, tenth, 0.1)->Name("Blend_720p/quellon_t0.1")->Unit(benchmark::kMicrosecond);
// One of the rare weights whose fit needs a fraction.
BENCHMARK_CAPTURE(blend, fraction, 0.7995987277261966)->Name("Blend_720p/quellon_t0.7996_fraction")->Unit(benchmark::kMicrosecond);
BENCHMARK(memcpyBaseline)->Name("Blend_720p/baseline_memcpy")->Unit(benchmark::kMicrosecond);
BENCHMARK(jpegToFrame)->Name("JPEGToFrame_720p/quellon")->Unit(benchmark::kMicrosecond);
BENCHMARK(jpegTurboBaseline)->Name("JPEGToFrame_720p/baseline_tjDecompress2")->Unit(benchmark::kMicrosecond);
BENCHMARK(sway)->Name("Sway_720p/quellon")->Unit(benchmark::kMicrosecond);
BENCHMARK(j420ToBGRABaseline)->Name("Sway_720p/baseline_j420_to_bgra")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(servedFrame, sway, true)->Name("ServedFrame_720p/quellon")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(servedFrame, light, false)->Name("ServedFrame_720p/quellon_light_only")->Unit(benchmark::kMicrosecond);
BENCHMARK(standbyCard)->Name("StandbyCard_720p/quellon")->Unit(benchmark::kMicrosecond);

} // namespace
