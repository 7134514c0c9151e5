// quellon-camera-soak: the camera's long-running measurements, kept out of the test run.
//   ticks [SECONDS]: tick regularity of the real frame pump at 30 fps while another thread
//     keeps a core busy; prints the p50 and p99 deviation of send times from the ideal schedule.
//   rss DAEMON: the daemon's resident memory while it serves the card and while it serves
//     pushed frames to a reader of its FIFO.

#include "FrameFactory.h"
#include "RealCameraWorld.h"
#include "FrameTimer.h"
#include "QuellonExtensionStreamSource.h"
#include "QuellonRenameBridge.h"
#include "backends/InMemoryCameraBackend.h"
#include "channel/CameraClient.h"
#include "channel/QuellonCMIOChannel.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/FileIO.h"
#include "platform/Log.h"
#include "platform/PlatformDirectories.h"
#include "platform/TemporaryDirectory.h"
#include "platform/UserDefaults.h"
#include "state/QuellonStorage.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace quellon;
using namespace std::chrono_literals;

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(std::min<double>(values.size() - 1, p * (values.size() - 1) + 0.5))];
}

int ticks(double seconds)
{
    RealCameraWorld world("quellon-soak");
    const ExtensionServices services = world.services();
    auto device = world.backend.makeDevice({});
    auto source = QuellonExtensionStreamSource::create("Soak", "ID", device, services);
    device->addStream(source->stream());
    auto stream = std::dynamic_pointer_cast<InMemoryCameraBackend::Stream>(source->stream());

    std::atomic<bool> busy{true};
    std::thread spinner([&] {
        volatile std::uint64_t sink = 0;
        while (busy)
            sink = sink + 1;
    });
    source->startStream();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    source->stopStream();
    source->drain();
    busy = false;
    spinner.join();

    const auto sent = stream->sent();
    // The first tick draws the standby card before it sends, so the schedule is anchored on the
    // second.
    if (sent.size() < 3) {
        std::cerr << "quellon-camera-soak: nothing was sent\n";
        return 1;
    }
    const double interval = 1.0 / 30.0;
    const double first = static_cast<double>(sent[1].hostTimeNanos) / 1e9;
    std::vector<double> deviations;
    std::size_t skipped = 0;
    long previous = 0;
    for (std::size_t i = 1; i < sent.size(); ++i) {
        const auto& frame = sent[i];
        const double t = static_cast<double>(frame.hostTimeNanos) / 1e9 - first;
        const long k = std::lround(t / interval);
        skipped += k > previous + 1 ? static_cast<std::size_t>(k - previous - 1) : 0;
        previous = k;
        deviations.push_back(std::abs(t - k * interval) * 1000.0);
    }
    std::printf("ticks: %zu frames over %.0f s at 30 fps, other core busy\n", sent.size(), seconds);
    std::printf("deviation from the ideal schedule: p50 %.3f ms, p99 %.3f ms, max %.3f ms; skipped ticks %zu\n",
                percentile(deviations, 0.5), percentile(deviations, 0.99), percentile(deviations, 1.0), skipped);
    return 0;
}

long residentKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

int rss(const std::string& daemonPath)
{
    TemporaryDirectory home("quellon-soak-rss");
    const auto container = home.path() / "data" / "group.com.quellon.shared";
    std::filesystem::create_directories(container);
    const std::string dataHome = "XDG_DATA_HOME=" + (home.path() / "data").string();
    const std::string configHome = "XDG_CONFIG_HOME=" + (home.path() / "config").string();
    const char* args[] = {daemonPath.c_str(), "--sink", "y4m", nullptr};
    const char* env[] = {dataHome.c_str(), configHome.c_str(), nullptr};
    pid_t daemon = -1;
    if (posix_spawn(&daemon, daemonPath.c_str(), nullptr, nullptr, const_cast<char**>(args), const_cast<char**>(env)) != 0) {
        std::cerr << "quellon-camera-soak: cannot start " << daemonPath << "\n";
        return 1;
    }
    const auto fifo = container / "camera.y4m";
    const auto socket = container / "camera.sock";
    for (int i = 0; i < 500 && !(std::filesystem::exists(fifo) && std::filesystem::exists(socket)); ++i)
        std::this_thread::sleep_for(10ms);

    std::atomic<bool> reading{true};
    std::thread reader([&] {
        const int fd = ::open(fifo.c_str(), O_RDONLY);
        std::vector<char> buffer(1 << 20);
        while (reading && ::read(fd, buffer.data(), buffer.size()) > 0) {
        }
        ::close(fd);
    });
    const long idle = residentKiB(daemon);
    std::this_thread::sleep_for(3s);
    const long card = residentKiB(daemon);

    // A 1280×720 JPEG from ffmpeg's test source, pushed at 30 fps.
    const auto jpegPath = home.path() / "push.jpg";
    const std::string make = "ffmpeg -loglevel error -y -f lavfi -i testsrc2=s=1280x720 -frames:v 1 '" + jpegPath.string() + "'";
    if (std::system(make.c_str()) != 0)
        std::cerr << "quellon-camera-soak: ffmpeg could not make the test picture\n";
    const std::string jpeg = readRegularFile(jpegPath).value_or("");
    CameraClient client(socket);
    long pushed = 0;
    for (int i = 0; i < 90 && !jpeg.empty(); ++i) {
        client.setProperty(QuellonCMIOChannel::frameSelector, jpeg);
        std::this_thread::sleep_for(33ms);
        pushed = std::max(pushed, residentKiB(daemon));
    }
    std::printf("resident memory: %ld KiB at start, %ld KiB serving the card, %ld KiB (peak) serving pushed frames\n",
                idle, card, pushed);
    reading = false;
    ::kill(daemon, SIGTERM);
    ::waitpid(daemon, nullptr, 0);
    reader.join();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "ticks")
        return ticks(argc > 2 ? std::stod(argv[2]) : 60.0);
    if (mode == "rss" && argc > 2)
        return rss(argv[2]);
    std::cerr << "usage: quellon-camera-soak ticks [SECONDS] | rss PATH-TO-quellon-extension\n";
    return 2;
}
