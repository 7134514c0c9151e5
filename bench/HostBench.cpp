// The host service in Away at 720p30, measured beside FFmpeg in one run; run by hand:
//   build/bench/quellon-host-bench [seconds, default 10]
// It starts the real camera daemon (FIFO sink) in a private container, read by the real ffmpeg
// as a meeting app, with a lavfi source as the physical camera and a 240-frame 1280×720 loop,
// and prints:
//   - CPU of host + camera per served frame in Away against `ffmpeg -re -stream_loop -1 -i clip
//     -f yuv4mpegpipe` writing the same stream to the same kind of reader;
//   - switch latency from setMode(away) to the first loop frame read from the sink (median of
//     five switches), beside the frame period;
//   - the host's resident memory with the loop loaded, against the loop's own frame bytes.

#include "host/HostService.h"
#include "platform/Log.h"
#include "platform/TemporaryDirectory.h"
#include "host/HostSettingsStore.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
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

double residentMiB()
{
    unsigned long size = 0, resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%lu %lu", &size, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

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

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10;
    TemporaryDirectory directory("quellon-host-bench");
    const fs::path home = directory.path();
    const fs::path container = home / "data" / "group.com.quellon.shared";
    fs::create_directories(container / "Clips");
    fs::create_directories(home / "config");
    ::setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    ::setenv("HOME", home.c_str(), 1);

    // 8 s at 30 fps: 240 frames, bluish and never the same twice.
    const fs::path clip = container / "Clips" / "loop.mp4";
    if (std::system(("ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i "
                     "\"color=c=blue:s=1280x720:r=30:d=8,noise=alls=12:allf=t\" -c:v libx264 -preset veryfast -pix_fmt yuv420p '"
                     + clip.string() + "'")
                        .c_str())
        != 0) {
        std::fprintf(stderr, "cannot make the clip\n");
        return 1;
    }

    const pid_t daemon = spawn({QUELLON_EXTENSION_PATH, "--sink", "y4m"});
    const fs::path fifo = container / "camera.y4m";
    for (int i = 0; i < 500 && !(fs::exists(container / "camera.sock") && fs::exists(fifo)); ++i)
        std::this_thread::sleep_for(10ms);
    Reader sink("-f yuv4mpegpipe -i '" + fifo.string() + "'");

    CapturingLogSink log;
    host::HostSettingsStore settings(directory.path() / "settings.json");
    host::HostOptions options;
    options.inputURL = "lavfi:color=c=lime:s=1280x720:r=30";
    options.socketPath = container / "camera.sock";
    options.log = &log;
    options.settings = &settings;
    host::HostService service(options);
    service.start();
    const double before = residentMiB();
    service.setActiveLoop("loop.mp4", "bench");
    while (service.status().loopFrames == 0 && !service.status().loopError)
        std::this_thread::sleep_for(50ms);
    const host::HostStatus loaded = service.status();
    const double withLoop = residentMiB();
    std::printf("loop: %lld frames, %.1f MiB of frames\n", static_cast<long long>(loaded.loopFrames),
                static_cast<double>(loaded.loopBytes) / (1024.0 * 1024.0));
    std::printf("host RSS with the loop loaded: %.1f MiB (%.1f MiB before loading): %.2f x the frames\n", withLoop, before,
                withLoop / (static_cast<double>(loaded.loopBytes) / (1024.0 * 1024.0)));

    // Switch latency, live -> away, five times.
    std::vector<double> latencies;
    for (int round = 0; round < 5; ++round) {
        service.setMode(QuellonMode::live, "bench");
        for (int i = 0; i < 90; ++i)
            sink.next();
        const auto start = Clock::now();
        service.setMode(QuellonMode::away, "bench");
        while (auto frame = sink.next())
            if (isBlue(*frame))
                break;
        latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("switch to away, to the first loop frame in the sink: median %.1f ms (min %.1f, max %.1f); a frame is 33.3 ms\n",
                latencies[2], latencies.front(), latencies.back());
    // The host's own share: from the tick that saw the switch to the frame on the socket.
    std::vector<double> hostShare;
    for (const auto& line : log.lines())
        if (auto at = line.message.find("first away frame sent "); at != std::string::npos)
            hostShare.push_back(std::atof(line.message.c_str() + at + 22));
    std::sort(hostShare.begin(), hostShare.end());
    if (!hostShare.empty())
        std::printf("  of which the host, from the switch's tick to the frame on the socket: median %.0f ms\n",
                    hostShare[hostShare.size() / 2]);

    // Away CPU per served frame: the host process and the daemon, while the sink reads.
    std::this_thread::sleep_for(1s);
    double hostCPU = processCPUSeconds(0), cameraCPU = processCPUSeconds(daemon);
    auto start = Clock::now();
    long served = 0;
    while (std::chrono::duration<double>(Clock::now() - start).count() < seconds && sink.next())
        ++served;
    hostCPU = processCPUSeconds(0) - hostCPU;
    cameraCPU = processCPUSeconds(daemon) - cameraCPU;
    const double ours = (hostCPU + cameraCPU) / static_cast<double>(std::max(served, 1L)) * 1000;
    service.stop();
    finish(daemon);

    // The baseline: ffmpeg writing the same loop as y4m at its rate into the same kind of reader.
    const fs::path baselineFifo = home / "baseline.y4m";
    ::mkfifo(baselineFifo.c_str(), 0600);
    const pid_t writer = spawn({"ffmpeg", "-loglevel", "error", "-nostdin", "-y", "-re", "-stream_loop", "-1", "-i", clip.string(),
                                "-f", "yuv4mpegpipe", "-pix_fmt", "yuv420p", baselineFifo.string()});
    Reader baseline("-f yuv4mpegpipe -i '" + baselineFifo.string() + "'");
    for (int i = 0; i < 30; ++i)
        baseline.next();
    double writerCPU = processCPUSeconds(writer);
    start = Clock::now();
    long written = 0;
    while (std::chrono::duration<double>(Clock::now() - start).count() < seconds && baseline.next())
        ++written;
    writerCPU = processCPUSeconds(writer) - writerCPU;
    finish(writer);
    const double theirs = writerCPU / static_cast<double>(std::max(written, 1L)) * 1000;

    std::printf("away at 720p30, CPU per served frame: host %.2f ms + camera %.2f ms = %.2f ms (%ld frames); "
                "ffmpeg -re -stream_loop -1 ... -f yuv4mpegpipe %.2f ms (%ld frames); ratio %.2f\n",
                hostCPU / std::max(served, 1L) * 1000, cameraCPU / std::max(served, 1L) * 1000, ours, served, theirs, written,
                ours / std::max(theirs, 1e-9));
    return 0;
}
