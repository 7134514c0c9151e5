// Loop analysis on 1280×720 frames of a real photograph (python3-skimage's astronaut, her face a
// third of the frame tall). Read the medians:
//   FaceGeometry_720p: every loaded frame; goal at most 10 ms.
//   FaceGeometry_720p_Laptop/15..35: the astronaut cut out over a wall, her face 15–35 % of the
//     height (laptop framing); reported only. FaceGeometry_720p_Laptop_Near/15..35: the same
//     searched near the face of a neighbouring frame, as a load searches all but its first.
//   EyesClosed_720p: frames at the best seam candidates; goal at most 15 ms.
//   Signature_720p: every loaded frame; reported only.
//   DetectOffset_720p and Stabilize_720p (per frame): every loaded clip; reported only.
//   Stabilize_720p/j420:1: the same frames in the form a loop load measures and moves; reported
//     only (quellon-loop-bench holds the load's goal).

#include "analysis/AnalysisTestImages.h"
#include "analysis/FaceDetector.h"
#include "analysis/LoopEntry.h"
#include "analysis/LoopEyeOpenness.h"
#include "analysis/LoopStabilizer.h"
#include "playback/YuvFrames.h"

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {

using namespace quellon;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;

/// The photo scaled to 1205 px square so that the face is 240 px tall, moved by (dx, dy).
cv::Mat portrait(double dx = 0, double dy = 0)
{
    static const cv::Mat canvas = [] {
        cv::Mat photo = testing::astronaut();
        cv::Mat out(kHeight, kWidth, CV_8UC4, cv::Scalar(90, 110, 120, 255));
        if (photo.empty())
            return out;
        cv::resize(photo, photo, cv::Size(1205, 1205), 0, 0, cv::INTER_AREA);
        photo(cv::Rect(0, 140, kWidth - 500, kHeight)).copyTo(out(cv::Rect(500, 0, kWidth - 500, kHeight)));
        return out;
    }();
    return dx == 0 && dy == 0 ? canvas : testing::shifted(canvas, dx, dy);
}

void requireFace(benchmark::State& state, const PixelBuffer& frame)
{
    if (!LoopEntry::faceGeometry(frame))
        state.SkipWithError("no face found: is python3-skimage installed?");
}

void FaceGeometry_720p(benchmark::State& state)
{
    const auto frame = testing::frameOf(portrait());
    requireFace(state, *frame); // also loads the model and this thread's detector
    for (auto _ : state)
        benchmark::DoNotOptimize(LoopEntry::faceGeometry(*frame));
}
BENCHMARK(FaceGeometry_720p)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

void FaceGeometry_720p_Laptop(benchmark::State& state)
{
    const testing::PersonScene scene(cv::Size(kWidth, kHeight), static_cast<double>(state.range(0)) / 100);
    const auto frame = testing::frameOf(scene.frame());
    requireFace(state, *frame);
    for (auto _ : state)
        benchmark::DoNotOptimize(LoopEntry::faceGeometry(*frame));
}
BENCHMARK(FaceGeometry_720p_Laptop)->Arg(15)->Arg(25)->Arg(35)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

/// The same faces searched near where a neighbouring frame had them, 20 px away, as a loop
/// load searches all but the first frame.
void FaceGeometry_720p_Laptop_Near(benchmark::State& state)
{
    const testing::PersonScene scene(cv::Size(kWidth, kHeight), static_cast<double>(state.range(0)) / 100);
    const auto frame = testing::frameOf(scene.frame(20));
    requireFace(state, *frame);
    const NormalizedRect near = scene.face();
    for (auto _ : state)
        benchmark::DoNotOptimize(LoopEntry::faceGeometry(*frame, threadFaceDetector(), near));
}
BENCHMARK(FaceGeometry_720p_Laptop_Near)->Arg(15)->Arg(25)->Arg(35)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

/// A person moving in front of a still wall, eight frames; the time is per frame.
void Stabilize_720p_Person(benchmark::State& state)
{
    const testing::PersonScene scene(cv::Size(kWidth, kHeight), 0.25);
    std::vector<PixelBufferRef> frames;
    for (int k = 0; k < 8; ++k)
        frames.push_back(testing::frameOf(scene.frame(5.0 * k - 20, 0.5 * k, -0.25 * k)));
    for (auto _ : state)
        benchmark::DoNotOptimize(LoopStabilizer::stabilize(frames, 0.03, 0.08).data());
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(frames.size()));
}
BENCHMARK(Stabilize_720p_Person)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

void EyesClosed_720p(benchmark::State& state)
{
    const auto frame = testing::frameOf(portrait());
    requireFace(state, *frame);
    for (auto _ : state)
        benchmark::DoNotOptimize(LoopEyeOpenness::eyesClosed(*frame));
}
BENCHMARK(EyesClosed_720p)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

void Signature_720p(benchmark::State& state)
{
    const auto frame = testing::frameOf(portrait());
    for (auto _ : state)
        benchmark::DoNotOptimize(LoopEntry::signature(*frame, 12));
}
BENCHMARK(Signature_720p)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

void DetectOffset_720p(benchmark::State& state)
{
    const auto reference = testing::frameOf(portrait());
    const auto moved = testing::frameOf(portrait(6.5, -3.25));
    for (auto _ : state)
        benchmark::DoNotOptimize(LoopStabilizer::detectOffset(*moved, *reference));
}
BENCHMARK(DetectOffset_720p)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

/// Eight frames drifting by up to 10 px, as BGRA (0) or as J420 (1), the form a loop load
/// hands over; the time is per frame.
void Stabilize_720p(benchmark::State& state)
{
    std::vector<PixelBufferRef> frames;
    for (int k = 0; k < 8; ++k) {
        PixelBufferRef frame = testing::frameOf(portrait(1.25 * k, -0.75 * k));
        frames.push_back(state.range(0) == 1 ? YuvFrames::compact(frame) : frame);
    }
    for (auto _ : state) {
        const auto result = LoopStabilizer::stabilize(frames, 0.03, 0.08);
        if (result[1] == frames[1])
            state.SkipWithError("the frames were not stabilised");
        benchmark::DoNotOptimize(result.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(frames.size()));
}
BENCHMARK(Stabilize_720p)->ArgName("j420")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

} // namespace
