// Loading and playing a loop, measured beside FFmpeg in one run; run by hand (it takes a while):
//   build/bench/quellon-loop-bench [seconds of clip, default 10]
// It makes a 1280×720 30 fps H.264 clip of a real photograph drifting slowly (so the
// stabiliser has work and the face search finds a face) and prints:
//   - loop load wall time (decode + stabilise + signatures + faces, maxFrames 240) against
//     `ffmpeg -threads 2 -i clip -f null -` on the same clip; goal at most 4×; and each stage's
//     share, the stages timed one after another as the load runs them;
//   - the loaded loop's memory (RSS after load minus before) against
//     1.1 × frames × bytesPerRow × height + 64 MiB;
//   - CPU per served frame at 30 fps as `quellon loop play` spends it: nextFrame (with the
//     brightness drift on) and the JPEG encoding.

#include "ResidentMemory.h"
#include "analysis/LoopEntry.h"
#include "analysis/LoopStabilizer.h"
#include "platform/TemporaryDirectory.h"
#include "playback/ClipDecoder.h"
#include "playback/LoopFrameProvider.h"
#include "playback/ParallelFor.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <turbojpeg.h>
#include <unistd.h>

namespace {

using namespace quellon;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

using bench::residentMiB;

double threadCPU()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

int run(const std::string& command)
{
    return std::system(command.c_str());
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    TemporaryDirectory temp{"quellon-loop-bench"};
    const std::string clip = (temp.path() / "clip.mp4").string();
    const std::string photo = "/usr/lib/python3/dist-packages/skimage/data/astronaut.png";
    if (run("ffmpeg -hide_banner -loglevel error -y -loop 1 -framerate 30 -i " + photo
            + " -vf \"scale=1344:1344,crop=1280:720:x='24+2*t':y='180+2*t',format=yuv420p\" -t " + std::to_string(seconds)
            + " -r 30 -c:v libx264 -preset veryfast '" + clip + "'")
        != 0) {
        std::fprintf(stderr, "cannot make the clip (ffmpeg with libx264 and %s are needed)\n", photo.c_str());
        return 1;
    }
    std::printf("clip: %d s, 1280x720, 30 fps, H.264; %u cores\n", seconds, std::thread::hardware_concurrency());

    // The face model loads once per process; load it before measuring memory.
    {
        FFmpegClipDecoder decoder;
        const auto first = decoder.decode(clip, 1);
        (void)LoopEntry::faceGeometry(*first.frames[0]);
    }

    // Memory and wall time of the whole load, beside ffmpeg's decoding of the same clip.
    const auto ffmpegStart = Clock::now();
    run("ffmpeg -hide_banner -loglevel error -threads 2 -i '" + clip + "' -f null -");
    const double ffmpegSeconds = since(ffmpegStart);
    LoopFrameProvider provider(LoopMode::pingpong, LoopJitter::disabled(), SimulatedLag::disabled(), AliveMotion::gentle(1));
    const double before = residentMiB();
    const auto loadStart = Clock::now();
    provider.load(clip, 240, 0);
    const double loadSeconds = since(loadStart);
    const double loopMiB = residentMiB() - before;
    const std::int64_t frames = provider.frameCount();
    const PixelBufferRef sample = provider.nextFrame();
    const double frameMiB = static_cast<double>(sample->bytesPerRow()) * sample->height() / (1024.0 * 1024.0);
    const double memoryGoal = 1.1 * static_cast<double>(frames) * frameMiB + 64;
    std::printf("load:     %.2f s for %lld frames; ffmpeg -threads 2 decode %.2f s; ratio %.2f (goal <= 4)\n", loadSeconds,
                static_cast<long long>(frames), ffmpegSeconds, loadSeconds / ffmpegSeconds);
    std::printf("memory:   %.1f MiB after load minus before; goal <= %.1f MiB (1.1 x %lld x %.2f MiB + 64): %s\n", loopMiB,
                memoryGoal, static_cast<long long>(frames), frameMiB, loopMiB <= memoryGoal ? "met" : "missed");

    // The stages one after another, as the load runs them.
    FFmpegClipDecoder decoder;
    auto start = Clock::now();
    DecodedClip decoded = decoder.decode(clip, 240);
    const double decodeSeconds = since(start);
    start = Clock::now();
    const auto stable = LoopStabilizer::stabilize(decoded.frames, 0.03, 0.08);
    const double stabiliseSeconds = since(start);
    decoded.frames.clear();
    start = Clock::now();
    parallelFor(stable.size(), [&](std::size_t i) { (void)LoopEntry::signature(*stable[i], 12); });
    const double signatureSeconds = since(start);
    start = Clock::now();
    parallelFor(stable.size(), [&](std::size_t i) { (void)LoopEntry::faceGeometry(*stable[i]); });
    const double faceSeconds = since(start);
    const double total = decodeSeconds + stabiliseSeconds + signatureSeconds + faceSeconds;
    std::printf("stages:   decode %.2f s (%.0f%%), stabilise %.2f s (%.0f%%), signatures %.3f s (%.1f%%), faces %.2f s (%.0f%%)\n",
                decodeSeconds, 100 * decodeSeconds / total, stabiliseSeconds, 100 * stabiliseSeconds / total, signatureSeconds,
                100 * signatureSeconds / total, faceSeconds, 100 * faceSeconds / total);
    std::printf("decode:   ours %.2f s against ffmpeg %.2f s: %.2fx\n", decodeSeconds, ffmpegSeconds, decodeSeconds / ffmpegSeconds);

    // Playing: what each served frame costs the player's thread.
    tjhandle jpeg = tjInitCompress();
    unsigned long capacity = tjBufSize(sample->width(), sample->height(), TJSAMP_420);
    unsigned char* buffer = tjAlloc(static_cast<int>(capacity));
    constexpr int kServed = 300;
    double nextCPU = 0, jpegCPU = 0;
    for (int i = 0; i < kServed; ++i) {
        const double t0 = threadCPU();
        const PixelBufferRef frame = provider.nextFrame();
        const double t1 = threadCPU();
        unsigned long size = capacity;
        auto lock = frame->lockForReading();
        tjCompress2(jpeg, lock.baseAddress(), frame->width(), static_cast<int>(frame->bytesPerRow()), frame->height(), TJPF_BGRA,
                    &buffer, &size, TJSAMP_420, 85, TJFLAG_NOREALLOC);
        jpegCPU += threadCPU() - t1;
        nextCPU += t1 - t0;
    }
    tjFree(buffer);
    tjDestroy(jpeg);
    const double perFrame = (nextCPU + jpegCPU) / kServed;
    std::printf("play:     CPU per frame %.2f ms: nextFrame %.2f ms, JPEG %.2f ms; at 30 fps %.0f%% of one core\n",
                perFrame * 1000, nextCPU / kServed * 1000, jpegCPU / kServed * 1000, perFrame * 30 * 100);
    return 0;
}
