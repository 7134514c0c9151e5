// Recording and the loop library: the recorder keeps up with a real-time 720p30 source;
// `quellon loops analyse` of a 12 s 720p clip beside ffmpeg decoding it; atomicCopy of 100 MB
// beside cp.

#include "analysis/LoopClipAnalysis.h"
#include "analysis/LoopImport.h"
#include "capture/ClipEncoder.h"
#include "capture/FFmpegCapture.h"
#include "capture/LoopRecording.h"
#include "platform/TemporaryDirectory.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <ctime>
#include <optional>
#include <filesystem>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

using namespace quellon;
namespace fs = std::filesystem;

int runProgram(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int status = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0)
        waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
    return status;
}

// One 100 MB file and one 12 s 720p clip in a private container, made once for all runs.
struct Fixture {
    TemporaryDirectory temp{"quellon-loop-bench"};
    fs::path big = temp.path() / "big.mov";
    fs::path container = temp.path() / "data" / "group.com.quellon.shared";
    fs::path clip = container / "Clips" / "bench.mov";

    Fixture()
    {
        std::vector<char> block(1 << 20);
        for (std::size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<char>(i * 7919 >> 3);
        std::ofstream out(big, std::ios::binary);
        for (int mb = 0; mb < 100; ++mb)
            out.write(block.data(), static_cast<std::streamsize>(block.size()));

        fs::create_directories(clip.parent_path());
        auto source = openCapture(*CaptureInput::parse("lavfi:testsrc2=size=1280x720:rate=30:duration=12"), {.realtime = false});
        ClipEncoder encoder(clip, 1280, 720, 30);
        while (auto frame = source->read())
            encoder.write(*frame->image, frame->time);
        encoder.finish();
    }
    static Fixture& shared()
    {
        static Fixture fixture;
        return fixture;
    }
};

void atomicCopyQuellon(benchmark::State& state)
{
    Fixture& f = Fixture::shared();
    for (auto _ : state)
        LoopImport::atomicCopy(f.big, f.temp.path() / "copy.mov");
    state.SetBytesProcessed(state.iterations() * 100LL * 1024 * 1024);
}
BENCHMARK(atomicCopyQuellon)->Name("AtomicCopy100MB/quellon_atomicCopy")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void atomicCopyCp(benchmark::State& state)
{
    Fixture& f = Fixture::shared();
    for (auto _ : state)
        runProgram({"/bin/cp", f.big.string(), (f.temp.path() / "cp.mov").string()});
    state.SetBytesProcessed(state.iterations() * 100LL * 1024 * 1024);
}
BENCHMARK(atomicCopyCp)->Name("AtomicCopy100MB/baseline_cp")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// cp does not flush; atomicCopy must (the copy is durable before it replaces anything). This
// baseline pays the same flush, so the ratio against it shows the copy's own cost.
void atomicCopyCpSync(benchmark::State& state)
{
    Fixture& f = Fixture::shared();
    const std::string target = (f.temp.path() / "cp-sync.mov").string();
    for (auto _ : state) {
        runProgram({"/bin/cp", f.big.string(), target});
        runProgram({"/bin/sync", target});
    }
    state.SetBytesProcessed(state.iterations() * 100LL * 1024 * 1024);
}
BENCHMARK(atomicCopyCpSync)->Name("AtomicCopy100MB/baseline_cp_then_sync")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void analyseQuellon(benchmark::State& state)
{
    Fixture& f = Fixture::shared();
    const std::string home = "HOME=" + f.temp.path().string();
    const std::string data = "XDG_DATA_HOME=" + (f.temp.path() / "data").string();
    for (auto _ : state) {
        std::vector<std::string> args{"/usr/bin/env", home, data, QUELLON_CLI_PATH, "loops", "analyse", "bench.mov"};
        if (runProgram(args) != 0)
            state.SkipWithError("quellon loops analyse failed");
    }
}
BENCHMARK(analyseQuellon)->Name("LoopsAnalyse12s720p/quellon_loops_analyse")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void analyseFFmpegDecode(benchmark::State& state)
{
    Fixture& f = Fixture::shared();
    for (auto _ : state)
        if (runProgram({"/usr/bin/ffmpeg", "-v", "error", "-i", f.clip.string(), "-f", "null", "-"}) != 0)
            state.SkipWithError("ffmpeg failed");
}
BENCHMARK(analyseFFmpegDecode)->Name("LoopsAnalyse12s720p/baseline_ffmpeg_decode")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Eight seconds from a real-time 720p30 pattern: frames lost (goal 0) and how many times real
// time the conversion, encoding and analysis of a frame run.
void recordingKeepsUp(benchmark::State& state)
{
    TemporaryDirectory temp;
    for (auto _ : state) {
        auto source = openCapture(*CaptureInput::parse("lavfi:testsrc2=size=1280x720:rate=30"));
        LoopClipAnalysis analysis;
        std::atomic<bool> cancel = false;
        // A paced pattern waits for a slow reader where a camera would drop: a frame handled
        // more than four frame times (a camera's usual buffer count) behind the clock counts
        // as one a camera would have lost.
        std::optional<std::chrono::steady_clock::time_point> start;
        double late = 0;
        RecordingObserver observer{{}, [&](double elapsed) {
                                       const auto now = std::chrono::steady_clock::now();
                                       if (!start)
                                           start = now - std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                             std::chrono::duration<double>(elapsed));
                                       const double lag = std::chrono::duration<double>(now - *start).count() - elapsed;
                                       late += lag > 4.0 / 30;
                                   }};
        timespec cpuBefore{}, cpuAfter{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpuBefore);
        const RecordingSummary summary = recordLoop(*source, temp.path() / "take.mov", 8, analysis, nullptr, observer, cancel);
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpuAfter);
        const double cpu = static_cast<double>(cpuAfter.tv_sec - cpuBefore.tv_sec) + (cpuAfter.tv_nsec - cpuBefore.tv_nsec) / 1e9;
        // Recorded seconds per second of CPU, over every thread (pattern, conversion, x264,
        // analysis): above 1 the recorder keeps up on one free core.
        state.counters["x_realtime_per_cpu"] = summary.duration / cpu;
        state.counters["frames"] = static_cast<double>(summary.frames);
        state.counters["dropped"] = static_cast<double>(summary.dropped);
        state.counters["late_over_4_frames"] = late;
        state.counters["x_realtime"] = summary.encodeSeconds > 0 ? summary.duration / summary.encodeSeconds : 0;
    }
}
BENCHMARK(recordingKeepsUp)->Name("Recording720p30/quellon_record_8s")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

} // namespace
