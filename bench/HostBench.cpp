// The host service at 720p30, measured beside FFmpeg in one run; run by hand:
//   build/bench/quellon-host-bench [seconds per measurement, default 10]
// It starts the real camera daemon (FIFO sink) in a private container, read as a meeting app
// would, with a 240-frame 1280×720 loop, and prints:
//   - the host's resident memory with the loop loaded, against the loop's own frame bytes;
//   - switch latency from setMode(away) to the first loop frame read from the sink (median of
//     nine switches), beside the frame period;
//   - CPU of host + camera per served frame in Away, once with raw frames and once forced to
//     JPEG (HostOptions::rawFrames), against `ffmpeg -re -stream_loop -1 -i clip -f
//     yuv4mpegpipe` writing the same stream to the same kind of reader;
//   - Live from an MJPEG file (testsrc2 with its frame number painted in): CPU of host + camera
//     per served frame, beside `ffmpeg -re -stream_loop -1 -i file -f yuv4mpegpipe`, and the time from the
//     capture handing a frame to the host to that frame being read whole from the sink (median
//     and p99, over three times the given seconds; the bench reads the sink itself and takes its
//     own reading off the host's CPU).

#include "ResidentMemory.h"
#include "Y4MReader.h"
#include "capture/CaptureInput.h"
#include "capture/FFmpegCapture.h"
#include "host/HostService.h"
#include "playback/PixelBuffer.h"
#include "platform/Log.h"
#include "platform/TemporaryDirectory.h"
#include "host/HostSettingsStore.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using namespace quellon;
using bench::Y4MReader;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kSide = 32; // the reader scales to 32 × 18 RGB to judge colours cheaply
constexpr int kFrameBytes = kSide * 18 * 3;

double processCPUSeconds(pid_t pid)
{
    const std::string path = pid == 0 ? "/proc/self/stat" : "/proc/" + std::to_string(pid) + "/stat";
    FILE* file = std::fopen(path.c_str(), "r");
    if (!file)
        return 0;
    char buffer[2048] = {};
    const std::size_t got = std::fread(buffer, 1, sizeof buffer - 1, file);
    std::fclose(file);
    const std::string text(buffer, got);
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    // Fields after the command: state is field 3; utime and stime are fields 14 and 15.
    unsigned long utime = 0, stime = 0;
    std::sscanf(text.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

using bench::residentMiB;

pid_t spawn(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    return pid;
}

void finish(pid_t pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
}

bool isBlue(const std::string& frame)
{
    long r = 0, g = 0, b = 0;
    for (int i = 0; i < kFrameBytes; i += 3) {
        r += static_cast<unsigned char>(frame[i]);
        g += static_cast<unsigned char>(frame[i + 1]);
        b += static_cast<unsigned char>(frame[i + 2]);
    }
    return b > 2 * r && b > 2 * g;
}

// A meeting app: ffmpeg reading a y4m stream and handing over tiny RGB frames.
struct Reader {
    FILE* pipe = nullptr;
    explicit Reader(const std::string& input)
    {
        pipe = ::popen(("ffmpeg -loglevel error " + input + " -vf scale=32:18 -f rawvideo -pix_fmt rgb24 -").c_str(), "r");
    }
    ~Reader()
    {
        if (pipe)
            ::pclose(pipe);
    }
    std::optional<std::string> next()
    {
        std::string frame(kFrameBytes, '\0');
        if (std::fread(frame.data(), 1, frame.size(), pipe) != frame.size())
            return std::nullopt;
        return frame;
    }
};

// A 1280×720 MJPEG file as the physical camera: testsrc2 with the frame number (0..239) painted
// as eight black or white squares along the top, so a frame can be recognised in the sink.
constexpr int kBitSide = 80;

int paintedNumber(const PixelBuffer& image)
{
    const auto lock = image.lockForReading();
    int number = 0;
    for (int bit = 0; bit < 8; ++bit) {
        const std::uint8_t* pixel = lock.row(kBitSide / 2) + (bit * kBitSide + kBitSide / 2) * 4;
        if (pixel[0] + pixel[1] + pixel[2] > 3 * 128)
            number |= 1 << bit;
    }
    return number;
}

int paintedNumber(const std::string& y4mFrame, int width)
{
    int number = 0;
    for (int bit = 0; bit < 8; ++bit)
        if (static_cast<unsigned char>(y4mFrame[static_cast<std::size_t>(kBitSide / 2 * width + bit * kBitSide + kBitSide / 2)]) > 128)
            number |= 1 << bit;
    return number;
}

// When the capture handed out each numbered frame, in steady-clock nanoseconds.
struct CaptureTimes {
    std::array<std::atomic<std::int64_t>, 256> at{};
};

// The physical camera as the host opens it, noting when each frame was read.
class TimedCapture final : public CaptureSource {
public:
    TimedCapture(std::unique_ptr<CaptureSource> inner, CaptureTimes& times) : inner_(std::move(inner)), times_(times) {}
    CaptureFormat format() const override { return inner_->format(); }
    void interrupt() override { inner_->interrupt(); }
    std::optional<CapturedFrame> read() override
    {
        auto frame = inner_->read();
        if (frame && frame->image)
            times_.at[static_cast<std::size_t>(paintedNumber(*frame->image))] = Clock::now().time_since_epoch().count();
        return frame;
    }

private:
    std::unique_ptr<CaptureSource> inner_;
    CaptureTimes& times_;
};

double threadCPUSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(fraction * static_cast<double>(values.size())))];
}

struct BenchFiles {
    fs::path home, container, clip, camera;
    double seconds = 10;
};

pid_t startCamera(const BenchFiles& env)
{
    fs::remove(env.container / "camera.sock");
    fs::remove(env.container / "camera.y4m");
    const pid_t daemon = spawn({QUELLON_EXTENSION_PATH, "--sink", "y4m"});
    for (int i = 0; i < 500 && !(fs::exists(env.container / "camera.sock") && fs::exists(env.container / "camera.y4m")); ++i)
        std::this_thread::sleep_for(10ms);
    return daemon;
}

struct AwayRun {
    double hostMs = 0, cameraMs = 0;
    long served = 0;
    double total() const { return hostMs + cameraMs; }
};

// Away at 720p30 with the host sending raw frames or JPEG; the first run also measures the
// host's memory and the switch latency.
AwayRun measureAway(const BenchFiles& env, bool rawFrames, bool measureSwitch)
{
    const pid_t daemon = startCamera(env);
    Reader sink("-f yuv4mpegpipe -i '" + (env.container / "camera.y4m").string() + "'");

    CapturingLogSink log;
    host::HostSettingsStore settings(env.home / "settings.json");
    host::HostOptions options;
    options.inputURL = "lavfi:color=c=lime:s=1280x720:r=30";
    options.socketPath = env.container / "camera.sock";
    options.log = &log;
    options.settings = &settings;
    options.rawFrames = rawFrames;
    host::HostService service(options);
    service.start();
    service.setMode(QuellonMode::live, "bench");
    const double before = residentMiB();
    service.setActiveLoop("loop.mp4", "bench");
    while (service.status().loopFrames == 0 && !service.status().loopError)
        std::this_thread::sleep_for(50ms);
    const host::HostStatus loaded = service.status();
    const double withLoop = residentMiB();
    if (measureSwitch) {
        std::printf("loop: %lld frames, %.1f MiB of frames\n", static_cast<long long>(loaded.loopFrames),
                    static_cast<double>(loaded.loopBytes) / (1024.0 * 1024.0));
        std::printf("host RSS with the loop loaded: %.1f MiB (%.1f MiB before loading): %.2f x the frames\n", withLoop, before,
                    withLoop / (static_cast<double>(loaded.loopBytes) / (1024.0 * 1024.0)));

        // Switch latency, live -> away.
        std::vector<double> latencies;
        for (int round = 0; round < 9; ++round) {
            service.setMode(QuellonMode::live, "bench");
            for (int i = 0; i < 45; ++i)
                sink.next();
            const auto start = Clock::now();
            service.setMode(QuellonMode::away, "bench");
            while (auto frame = sink.next())
                if (isBlue(*frame))
                    break;
            latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        std::sort(latencies.begin(), latencies.end());
        std::printf("switch to away, to the first loop frame in the sink: median %.1f ms (min %.1f, max %.1f, 9 switches); "
                    "a frame is 33.3 ms\n",
                    latencies[4], latencies.front(), latencies.back());
        // The host's own share: from the tick that saw the switch to the frame on the socket.
        std::vector<double> hostShare;
        for (const auto& line : log.lines())
            if (auto at = line.message.find("first away frame sent "); at != std::string::npos)
                hostShare.push_back(std::atof(line.message.c_str() + at + 22));
        if (!hostShare.empty())
            std::printf("  of which the host, from the switch's tick to the frame on the socket: median %.0f ms\n",
                        percentile(hostShare, 0.5));
    }
    service.setMode(QuellonMode::away, "bench");

    // Away CPU per served frame: the host process and the daemon, while the sink reads.
    std::this_thread::sleep_for(1s);
    double hostCPU = processCPUSeconds(0), cameraCPU = processCPUSeconds(daemon);
    const auto start = Clock::now();
    long served = 0;
    while (std::chrono::duration<double>(Clock::now() - start).count() < env.seconds && sink.next())
        ++served;
    hostCPU = processCPUSeconds(0) - hostCPU;
    cameraCPU = processCPUSeconds(daemon) - cameraCPU;
    service.stop();
    finish(daemon);
    const double frames = static_cast<double>(std::max(served, 1L));
    return {hostCPU / frames * 1000, cameraCPU / frames * 1000, served};
}

// The baseline: ffmpeg writing the same input as y4m at its rate into the same kind of reader.
AwayRun measureFFmpeg(const BenchFiles& env, const fs::path& input)
{
    const fs::path baselineFifo = env.home / "baseline.y4m";
    ::mkfifo(baselineFifo.c_str(), 0600);
    const pid_t writer = spawn({"ffmpeg", "-loglevel", "error", "-nostdin", "-y", "-re", "-stream_loop", "-1", "-i", input.string(),
                                "-f", "yuv4mpegpipe", "-pix_fmt", "yuv420p", baselineFifo.string()});
    Reader baseline("-f yuv4mpegpipe -i '" + baselineFifo.string() + "'");
    for (int i = 0; i < 30; ++i)
        baseline.next();
    double writerCPU = processCPUSeconds(writer);
    const auto start = Clock::now();
    long written = 0;
    while (std::chrono::duration<double>(Clock::now() - start).count() < env.seconds && baseline.next())
        ++written;
    writerCPU = processCPUSeconds(writer) - writerCPU;
    finish(writer);
    return {writerCPU / static_cast<double>(std::max(written, 1L)) * 1000, 0, written};
}

// Live at 720p30 from the MJPEG file: CPU of both processes per frame, and each numbered
// frame's way from the capture's read to the sink.
void measureLive(const BenchFiles& env, const AwayRun& ffmpeg)
{
    const pid_t daemon = startCamera(env);
    Y4MReader sink(env.container / "camera.y4m");

    CaptureTimes times;
    CapturingLogSink log;
    host::HostSettingsStore settings(env.home / "settings.json");
    host::HostOptions options;
    options.inputURL = env.camera.string();
    options.socketPath = env.container / "camera.sock";
    options.log = &log;
    options.settings = &settings;
    options.openCamera = [&times](const std::string& spelling) -> std::unique_ptr<CaptureSource> {
        return std::make_unique<TimedCapture>(openCapture(*CaptureInput::parse(spelling)), times);
    };
    host::HostService service(options);
    service.start();
    service.setMode(QuellonMode::live, "bench");
    // The active loop is still chosen: let its loading in the background finish first.
    for (int i = 0; i < 600 && service.status().loopFrames == 0 && !service.status().loopError; ++i)
        sink.next();
    for (int i = 0; i < 60; ++i)
        sink.next();

    // The bench's own reading runs on this thread: its CPU is taken off the host's.
    double hostCPU = processCPUSeconds(0), cameraCPU = processCPUSeconds(daemon), readerCPU = threadCPUSeconds();
    const auto start = Clock::now();
    long served = 0;
    int previous = -1;
    std::vector<double> latencies;
    // Three times as long: the camera's tick and the capture's pacing keep one phase between
    // them until the file starts over (every 8 s), and the latency depends on that phase.
    while (std::chrono::duration<double>(Clock::now() - start).count() < 3 * env.seconds) {
        const auto frame = sink.next();
        if (!frame)
            break;
        const auto now = Clock::now().time_since_epoch().count();
        ++served;
        const int number = paintedNumber(*frame, sink.width);
        if (number == previous)
            continue; // the camera repeated the last picture
        previous = number;
        if (const std::int64_t read = times.at[static_cast<std::size_t>(number)]; read != 0)
            latencies.push_back(static_cast<double>(now - read) / 1e6);
    }
    readerCPU = threadCPUSeconds() - readerCPU;
    hostCPU = processCPUSeconds(0) - hostCPU - readerCPU;
    cameraCPU = processCPUSeconds(daemon) - cameraCPU;
    service.stop();
    finish(daemon);
    const double frames = static_cast<double>(std::max(served, 1L));
    const double ours = (hostCPU + cameraCPU) / frames * 1000;
    std::printf("live at 720p30 from MJPEG, CPU per served frame: host %.2f ms + camera %.2f ms = %.2f ms (%ld frames, %zu new); "
                "ffmpeg -re -stream_loop -1 -i file -f yuv4mpegpipe %.2f ms (%ld frames); ratio %.2f\n",
                hostCPU / frames * 1000, cameraCPU / frames * 1000, ours, served, latencies.size(), ffmpeg.hostMs, ffmpeg.served,
                ours / std::max(ffmpeg.hostMs, 1e-9));
    std::printf("  from the capture's read to the frame in the sink: median %.1f ms, p99 %.1f ms (max %.1f)\n",
                percentile(latencies, 0.5), percentile(latencies, 0.99), percentile(latencies, 1.0));
}

} // namespace

int main(int argc, char** argv)
{
    BenchFiles env;
    env.seconds = argc > 1 ? std::atof(argv[1]) : 10;
    TemporaryDirectory directory("quellon-host-bench");
    env.home = directory.path();
    env.container = env.home / "data" / "group.com.quellon.shared";
    fs::create_directories(env.container / "Clips");
    fs::create_directories(env.home / "config");
    ::setenv("XDG_DATA_HOME", (env.home / "data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (env.home / "config").c_str(), 1);
    ::setenv("HOME", env.home.c_str(), 1);

    // 8 s at 30 fps: 240 frames, bluish and never the same twice.
    env.clip = env.container / "Clips" / "loop.mp4";
    env.camera = env.home / "camera.avi";
    std::string bits = "drawbox=x=0:y=0:w=" + std::to_string(8 * kBitSide) + ":h=" + std::to_string(kBitSide) + ":c=black:t=fill";
    for (int bit = 0; bit < 8; ++bit)
        bits += ",drawbox=x=" + std::to_string(bit * kBitSide) + ":y=0:w=" + std::to_string(kBitSide) + ":h="
            + std::to_string(kBitSide) + ":c=white:t=fill:enable='mod(floor(n/" + std::to_string(1 << bit) + "),2)'";
    if (std::system(("ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i "
                     "\"color=c=blue:s=1280x720:r=30:d=8,noise=alls=12:allf=t\" -c:v libx264 -preset veryfast -pix_fmt yuv420p '"
                     + env.clip.string() + "'")
                        .c_str())
            != 0
        || std::system(("ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i \"testsrc2=s=1280x720:r=30:d=8," + bits
                        + "\" -c:v mjpeg -q:v 4 -pix_fmt yuvj420p '" + env.camera.string() + "'")
                           .c_str())
            != 0) {
        std::fprintf(stderr, "cannot make the clips\n");
        return 1;
    }

    const AwayRun raw = measureAway(env, true, true);
    const AwayRun jpeg = measureAway(env, false, false);
    const AwayRun ffmpeg = measureFFmpeg(env, env.clip);
    std::printf("away at 720p30, CPU per served frame against ffmpeg -re -stream_loop -1 -i clip -f yuv4mpegpipe "
                "(%.2f ms, %ld frames):\n",
                ffmpeg.hostMs, ffmpeg.served);
    for (const auto& [name, run] : {std::pair{"raw frames", raw}, std::pair{"JPEG      ", jpeg}})
        std::printf("  %s: host %.2f ms + camera %.2f ms = %.2f ms (%ld frames); ratio %.2f\n", name, run.hostMs, run.cameraMs,
                    run.total(), run.served, run.total() / std::max(ffmpeg.hostMs, 1e-9));
    measureLive(env, measureFFmpeg(env, env.camera));
    return 0;
}
