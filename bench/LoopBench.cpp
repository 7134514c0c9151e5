// Loading and playing a loop, measured beside FFmpeg in one run; run by hand (it takes a while):
//   build/bench/quellon-loop-bench [seconds of clip, default 10] [seconds of the library clip, default 120] [bt709]
//                                  [--runs N] [--load-only]
// With bt709 the clip is encoded and tagged in BT.709 (as phones record) instead of untagged
// BT.601, so the colour conversion of both is measured. The load and ffmpeg's decode run in
// turn N times (default 5) and the ratio quoted is the median of the N pairs; --load-only
// measures nothing else (for a profiler).
// It makes a 1280×720 30 fps H.264 clip of a real photograph drifting slowly (so the
// stabiliser has work and the face search finds a face) and prints:
//   - loop load wall time (decode + stabilise + signatures + faces, the host's 20 s budget)
//     against `ffmpeg -threads 2 -i clip -f null -` on the same clip; goal at most 4×; and each
//     stage's share, the stages timed one after another as the load runs them;
//   - the loaded loop's memory (RSS after load minus before, and the bytes its J420 frames
//     hold, beside what BGRA frames took before) and the load's peak (the high-water mark, reset
//     before the load) against it: goal peak at most 1.3 × the loop;
//   - what a 20 s 720p30 loop holds at this many bytes per frame, J420 and BGRA; goal at most
//     0.6 GB;
//   - CPU per served frame at 30 fps as `quellon loop play` spends it (nextFrame with the
//     brightness drift on, and the JPEG encoding) beside ffmpeg replaying the clip into Y4M, and
//     beside serving BGRA frames as before (the drift on BGRA, no conversion);
//   - `quellon loops list` over a library holding one long clip (2 minutes by default): the
//     program's peak resident memory on its first run (it measures the clip) and on the next
//     (it reads the grade kept in the sidecar), and their times; goal at most 300 MB.

#include "ResidentMemory.h"
#include "analysis/ClipFaces.h"
#include "analysis/DlibFaceDetector.h"
#include "analysis/FaceDetector.h"
#include "analysis/LoopEntry.h"
#include "platform/Log.h"
#include "analysis/LoopStabilizer.h"
#include "platform/TemporaryDirectory.h"
#include "playback/ClipDecoder.h"
#include "playback/LoopFrameProvider.h"
#include "playback/AliveMotion.h"
#include "playback/LightDrift.h"
#include "playback/YuvFrames.h"
#include "playback/ParallelFor.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <turbojpeg.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace quellon;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

using bench::residentMiB;

// Face boxes as the loop provider finds them: no landmark model.
FaceDetector& boxOnlyDetector()
{
    static CapturingLogSink ignored;
    thread_local const std::unique_ptr<FaceDetector> detector = DlibFaceDetection::make({}, ignored);
    return *detector;
}

// The process's resident high-water mark in MiB, from /proc/self/status.
double peakResidentMiB()
{
    double kib = 0;
    if (FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, status))
            if (std::sscanf(line, "VmHWM: %lf kB", &kib) == 1)
                break;
        std::fclose(status);
    }
    return kib / 1024;
}

// Makes the high-water mark start again from what is resident now.
void resetPeakResident()
{
    if (FILE* clear = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", clear);
        std::fclose(clear);
    }
}

// Runs a shell command; its wall time, its CPU time and its peak resident memory (MiB).
struct ChildCost {
    int status = -1;
    double seconds = 0;
    double cpuSeconds = 0;
    double peakMiB = 0;
};

ChildCost measureChild(const std::string& command)
{
    ChildCost cost;
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid > 0 && ::wait4(pid, &status, 0, &usage) == pid) {
        cost.status = status;
        cost.seconds = since(start);
        cost.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
            + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
        cost.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024;
    }
    return cost;
}

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
    std::vector<std::string> positional;
    int runs = 5;
    bool loadOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--load-only")
            loadOnly = true;
        else if (!arg.empty() && arg[0] != '-')
            positional.push_back(arg);
        else {
            std::fprintf(stderr, "usage: %s [clip seconds] [library clip seconds] [bt709] [--runs N] [--load-only]\n", argv[0]);
            return 2;
        }
    }
    const int seconds = positional.size() > 0 ? std::atoi(positional[0].c_str()) : 10;
    const int librarySeconds = positional.size() > 1 ? std::atoi(positional[1].c_str()) : 120;
    const bool bt709 = positional.size() > 2 && positional[2] == "bt709";
    if (seconds < 1 || librarySeconds < 1) {
        std::fprintf(stderr, "the clips must last at least a second\n");
        return 2;
    }
    TemporaryDirectory temp{"quellon-loop-bench"};
    const std::string clip = (temp.path() / "clip.mp4").string();
    const std::string photo = "/usr/lib/python3/dist-packages/skimage/data/astronaut.png";
    if (run("ffmpeg -hide_banner -loglevel error -y -loop 1 -framerate 30 -i " + photo
            + " -vf \"scale=1344:1344" + (bt709 ? ":out_color_matrix=bt709" : "") + ",crop=1280:720:x='24+2*t':y='180+2*t',format=yuv420p\" -t "
            + std::to_string(seconds) + (bt709 ? " -colorspace bt709" : "") + " -r 30 -c:v libx264 -preset veryfast '" + clip + "'")
        != 0) {
        std::fprintf(stderr, "cannot make the clip (ffmpeg with libx264 and %s are needed)\n", photo.c_str());
        return 1;
    }
    std::printf("clip: %d s, 1280x720, 30 fps, H.264, %s; %u cores\n", seconds, bt709 ? "BT.709" : "untagged BT.601",
                std::thread::hardware_concurrency());

    // First, while this process is small: a child's peak resident memory starts from its
    // parent's at the fork.
    // quellon loops list over a library holding one long clip, as the user runs it.
    if (!loadOnly) {
        const auto home = temp.path() / "home";
        const auto clips = home / "data" / "group.com.quellon.shared" / "Clips";
        std::filesystem::create_directories(clips);
        const std::string longClip = (temp.path() / "long.mp4").string();
        if (run("ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1280x720:rate=30 -t " + std::to_string(librarySeconds)
                + " -c:v libx264 -preset ultrafast -pix_fmt yuv420p '" + longClip + "'")
            != 0)
            return 1;
        const std::string environment = "HOME='" + home.string() + "' XDG_DATA_HOME='" + (home / "data").string() + "' ";
        if (run(environment + "'" QUELLON_CLI_PATH "' loops import '" + longClip + "' --name Long >/dev/null") != 0) {
            std::fprintf(stderr, "cannot import the long clip\n");
            return 1;
        }
        const std::string list = environment + "'" QUELLON_CLI_PATH "' loops list >/dev/null";
        const ChildCost measuring = measureChild(list);
        const ChildCost cached = measureChild(list);
        const ChildCost decodeOnly = measureChild("ffmpeg -hide_banner -loglevel error -i '" + longClip + "' -f null -");
        std::printf("list:     %d s 720p clip: first run %.2f s, peak %.0f MiB; next run %.3f s, peak %.0f MiB (goal <= 300 MB); ffmpeg decode %.2f s, peak %.0f MiB\n",
                    librarySeconds, measuring.seconds, measuring.peakMiB, cached.seconds, cached.peakMiB, decodeOnly.seconds, decodeOnly.peakMiB);
    }

    // The dlib detector's one-time set-up (not the landmark model, which a load never reads)
    // happens before measuring memory.
    {
        FFmpegClipDecoder decoder;
        const auto first = decoder.decode(clip, 1);
        (void)LoopEntry::faceGeometry(*first.frames[0], boxOnlyDetector());
    }

    // Wall time of the whole load, beside ffmpeg's decoding of the same clip, in turn; the
    // first load's memory.
    constexpr std::int64_t kBudgetFrames = 20 * 30; // the host's 20 s
    std::vector<double> ratios, loadTimes, ffmpegTimes;
    double peakMiB = 0, loopMiB = 0;
    LoopFrameProvider provider(LoopMode::pingpong, LoopJitter::disabled(), SimulatedLag::disabled(), AliveMotion::gentle(1));
    for (int r = 0; r < runs; ++r) {
        const auto ffmpegStart = Clock::now();
        run("ffmpeg -hide_banner -loglevel error -threads 2 -i '" + clip + "' -f null -");
        ffmpegTimes.push_back(since(ffmpegStart));
        LoopFrameProvider measured(LoopMode::pingpong, LoopJitter::disabled(), SimulatedLag::disabled(), AliveMotion::gentle(1));
        LoopFrameProvider& target = r == 0 ? provider : measured;
        const double before = residentMiB();
        resetPeakResident();
        const auto loadStart = Clock::now();
        target.load(clip, kBudgetFrames, 0);
        loadTimes.push_back(since(loadStart));
        if (r == 0) {
            peakMiB = peakResidentMiB() - before;
            loopMiB = residentMiB() - before;
        }
        ratios.push_back(loadTimes.back() / ffmpegTimes.back());
        std::printf("run %d:    load %.2f s, ffmpeg %.2f s, ratio %.2f\n", r + 1, loadTimes.back(), ffmpegTimes.back(), ratios.back());
        std::fflush(stdout);
    }
    const auto median = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    const double loadSeconds = median(loadTimes), ffmpegSeconds = median(ffmpegTimes);
    const std::int64_t frames = provider.frameCount();
    const PixelBufferRef sample = provider.nextFrame();
    constexpr double kMiB = 1024.0 * 1024.0;
    const double framesMiB = static_cast<double>(provider.byteCount()) / kMiB;
    const double frameMiB = framesMiB / static_cast<double>(std::max<std::int64_t>(frames, 1));
    const double bgraFrameMiB = static_cast<double>(PixelBuffer::byteCount(sample->width(), sample->height(), kPixelFormatBGRA)) / kMiB;
    std::printf("load:     median %.2f s for %lld frames of %dx%d (%.1f s of clip); ffmpeg -threads 2 decode median %.2f s; "
                "median ratio of %d pairs %.2f (goal <= 4)\n",
                loadSeconds, static_cast<long long>(frames), sample->width(), sample->height(), static_cast<double>(frames) / 30,
                ffmpegSeconds, runs, median(ratios));
    if (loadOnly)
        return 0;
    std::printf("memory:   loop %.1f MiB resident, its frames %.1f MiB (%.2f MiB a frame as J420; BGRA as before %.2f MiB, %.1f MiB in all)\n",
                loopMiB, framesMiB, frameMiB, bgraFrameMiB, bgraFrameMiB * static_cast<double>(frames));
    std::printf("memory:   load peak %.1f MiB = %.2f x the loop (goal <= 1.3)\n", peakMiB, peakMiB / std::max(loopMiB, 1.0));
    const double twentySecondsGB = frameMiB * 600 * kMiB / 1e9;
    std::printf("20 s:     600 frames at %.2f MiB hold %.2f GB (goal <= 0.6 GB): %s; as BGRA before %.2f GB\n", frameMiB,
                twentySecondsGB, twentySecondsGB <= 0.6 ? "met" : "missed", bgraFrameMiB * 600 * kMiB / 1e9);

    // The stages one after another, as the load runs them.
    FFmpegClipDecoder decoder;
    auto start = Clock::now();
    // As the provider asks: J420 frames within the loop's own budget.
    DecodedClip decoded = decoder.decode(clip, ClipRequest{.maxFrames = kBudgetFrames, .maxBytes = provider.limits().maxBytes,
                                                           .maxWidth = 1280, .maxHeight = 720, .format = kPixelFormatJ420});
    const double decodeSeconds = since(start);
    start = Clock::now();
    const auto stable = LoopStabilizer::stabilize(std::move(decoded.frames), 0.03, 0.08);
    const double stabiliseSeconds = since(start);
    start = Clock::now();
    parallelFor(stable.size(), [&](std::size_t i) { (void)LoopEntry::signature(*stable[i], 12); });
    const double signatureSeconds = since(start);
    start = Clock::now();
    // As the provider looks for faces: in the J420 frames ClipFaces asks about.
    (void)ClipFaces::geometries(stable.size(), [&](std::size_t i, const std::optional<NormalizedRect>& near) {
        return LoopEntry::faceGeometry(*stable[i], boxOnlyDetector(), near);
    });
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
    // As before: BGRA frames kept, each served frame only the drift's copy on BGRA.
    AliveMotion drift = AliveMotion::gentle(1);
    double bgraCPU = 0;
    for (int i = 0; i < kServed; ++i) {
        const double t0 = threadCPU();
        const PixelBufferRef frame = LightDrift::apply(drift.nextLight(), sample);
        bgraCPU += threadCPU() - t0;
    }
    tjFree(buffer);
    tjDestroy(jpeg);
    const double perFrame = (nextCPU + jpegCPU) / kServed;
    const ChildCost y4m = measureChild("ffmpeg -hide_banner -loglevel error -threads 1 -i '" + clip + "' -f yuv4mpegpipe -pix_fmt yuv420p -y /dev/null");
    const double y4mPerFrame = y4m.cpuSeconds / (seconds * 30.0);
    std::printf("play:     CPU per frame %.2f ms: nextFrame %.2f ms, JPEG %.2f ms; at 30 fps %.0f%% of one core\n",
                perFrame * 1000, nextCPU / kServed * 1000, jpegCPU / kServed * 1000, perFrame * 30 * 100);
    std::printf("play:     ffmpeg replaying the clip into Y4M %.2f ms CPU a frame; nextFrame alone %.2fx, with JPEG %.2fx (goal <= 1)\n",
                y4mPerFrame * 1000, nextCPU / kServed / y4mPerFrame, perFrame / y4mPerFrame);
    std::printf("play:     BGRA frames as before: %.2f ms a frame (%.2fx Y4M, with JPEG %.2fx); J420 costs %.2f ms more a frame\n",
                bgraCPU / kServed * 1000, bgraCPU / kServed / y4mPerFrame, (bgraCPU + jpegCPU) / kServed / y4mPerFrame,
                (nextCPU - bgraCPU) / kServed * 1000);

    return 0;
}
