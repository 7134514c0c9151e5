// quellon-camera-soak: the camera's long-running measurements, kept out of the test run.
//   ticks [SECONDS]: tick regularity of the real frame pump at 30 fps while another thread
//     keeps a core busy; prints the p50 and p99 deviation of send times from the ideal schedule.
//   rss DAEMON: the daemon's resident memory while it serves the card and while it serves
//     pushed frames to a reader of its FIFO.
//   soak SECONDS [DAEMON]: drives the real daemon (Y4M FIFO sink) with pushed frames at 30 fps,
//     a state change every 3 s, a rename every minute, FIFO readers coming and going and a
//     hostile connection every second; samples its resident memory, descriptors and threads
//     every 10 s. Fails on growth beyond 5 % after warm-up, on a crash, or on a stall: a reader
//     waiting more than 2 s for a frame. Gaps over 200 ms are counted and printed; on a loaded
//     machine a few are the scheduler's, not the daemon's, so they are a figure, not a failure.
//   bounds [DAEMON]: the daemon's peak resident memory while the worst input of each kind
//     arrives (pushed frames, standby.png, state sizes, the socket's byte budget).

#include "FrameFactory.h"
#include "RealCameraWorld.h"
#include "FrameTimer.h"
#include "QuellonExtensionStreamSource.h"
#include "QuellonRenameBridge.h"
#include "backends/InMemoryCameraBackend.h"
#include "channel/CameraClient.h"
#include "channel/PropertyFraming.h"
#include "channel/QuellonCMIOChannel.h"
#include "state/QuellonState.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/FileIO.h"
#include "platform/Log.h"
#include "platform/PlatformDirectories.h"
#include "platform/TemporaryDirectory.h"
#include "platform/UserDefaults.h"
#include "playback/PNGWriter.h"
#include "state/QuellonStorage.h"

#include <turbojpeg.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <sys/socket.h>
#include <sys/un.h>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>
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

// ---- the real daemon, driven from outside ----------------------------------------------------

/// The daemon started on a private container with the Y4M FIFO sink; stopped when destroyed.
class Daemon {
public:
    explicit Daemon(const std::string& path) : home_("quellon-soak-daemon")
    {
        container_ = home_.path() / "data" / "group.com.quellon.shared";
        std::filesystem::create_directories(container_);
        const std::string dataHome = "XDG_DATA_HOME=" + (home_.path() / "data").string();
        const std::string configHome = "XDG_CONFIG_HOME=" + (home_.path() / "config").string();
        const char* args[] = {path.c_str(), "--sink", "y4m", nullptr};
        const char* env[] = {dataHome.c_str(), configHome.c_str(), nullptr};
        // Its log goes to a file: thousands of hostile connections are logged.
        const std::string logPath = (home_.path() / "daemon.log").string();
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, STDERR_FILENO, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int spawned = posix_spawn(&pid_, path.c_str(), &files, nullptr, const_cast<char**>(args), const_cast<char**>(env));
        posix_spawn_file_actions_destroy(&files);
        if (spawned != 0)
            throw std::runtime_error("cannot start " + path);
        for (int i = 0; i < 1000 && !(std::filesystem::exists(fifo()) && std::filesystem::exists(socket())); ++i)
            std::this_thread::sleep_for(10ms);
    }
    ~Daemon()
    {
        if (pid_ > 0 && alive()) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    pid_t pid() const { return pid_; }
    std::filesystem::path container() const { return container_; }
    std::filesystem::path fifo() const { return container_ / "camera.y4m"; }
    std::filesystem::path socket() const { return container_ / "camera.sock"; }

    /// False once the daemon has exited, for whatever reason; the status says how.
    bool alive()
    {
        if (exited_)
            return false;
        if (::waitpid(pid_, &status_, WNOHANG) == pid_)
            exited_ = true;
        return !exited_;
    }
    int status() const { return status_; }

private:
    TemporaryDirectory home_;
    std::filesystem::path container_;
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = 0;
};

long statusField(pid_t pid, const char* field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.rfind(prefix, 0) == 0)
            return std::stol(line.substr(prefix.size()));
    return -1;
}

long openDescriptors(pid_t pid)
{
    std::error_code error;
    long count = 0;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end; !error && it != end;
         it.increment(error))
        ++count;
    return count;
}

/// Starts the peak resident memory (VmHWM) afresh.
void resetPeak(pid_t pid)
{
    std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5";
}

/// A JPEG of a gradient with noise: `noise` 128 is hard for the coder, like a picture at its
/// worst; 12 is about a camera's.
std::string makeJPEG(int width, int height, int flags, std::uint32_t seed, unsigned noise = 128)
{
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
    std::minstd_rand random(seed);
    for (std::size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = static_cast<std::uint8_t>((i / 3 % static_cast<std::size_t>(width)) * 255 / width / 2 + random() % noise);
    tjhandle compressor = tjInitCompress();
    unsigned char* bytes = nullptr;
    unsigned long size = 0;
    std::string jpeg;
    if (compressor && tjCompress2(compressor, rgb.data(), width, 0, height, TJPF_RGB, &bytes, &size, TJSAMP_444, 90, flags) == 0)
        jpeg.assign(reinterpret_cast<const char*>(bytes), size);
    tjFree(bytes);
    if (compressor)
        tjDestroy(compressor);
    return jpeg;
}

/// A JPEG whose frame header claims another size (the data stays that of the small picture).
std::string withDeclaredSize(std::string jpeg, std::uint16_t width, std::uint16_t height)
{
    for (std::size_t i = 0; i + 8 < jpeg.size(); ++i)
        if (static_cast<std::uint8_t>(jpeg[i]) == 0xFF && (static_cast<std::uint8_t>(jpeg[i + 1]) & 0xF0) == 0xC0
            && jpeg[i + 1] != '\xC4' && jpeg[i + 1] != '\xC8' && jpeg[i + 1] != '\xCC') {
            jpeg[i + 5] = static_cast<char>(height >> 8), jpeg[i + 6] = static_cast<char>(height);
            jpeg[i + 7] = static_cast<char>(width >> 8), jpeg[i + 8] = static_cast<char>(width);
            break;
        }
    return jpeg;
}

std::string bigEndian(std::uint32_t value)
{
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8), static_cast<char>(value)};
}

/// A PNG whose first chunk after IHDR declares a 2 GB text that is not there.
std::string pngWithHugeTextChunk()
{
    std::string png = "\x89PNG\r\n\x1A\n";
    png += bigEndian(13) + "IHDR" + bigEndian(64) + bigEndian(64) + std::string("\x08\x06\x00\x00\x00", 5) + bigEndian(0);
    png += bigEndian(2000000000u) + "tEXtComment" + std::string(1, '\0') + std::string(4096, 'x');
    return png;
}

/// A PNG of two bits of noise per byte: as large a picture as fits the frame cap.
std::string noisyPNG(const std::filesystem::path& scratch, int width, int height)
{
    PixelBufferRef frame = PixelBuffer::create(width, height, kPixelFormatBGRA);
    {
        auto lock = frame->lockForWriting();
        std::minstd_rand random(7);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width * 4; ++x)
                lock.row(y)[x] = static_cast<std::uint8_t>(random() & 3);
    }
    const auto path = scratch / "big.png";
    PNGWriter::writePNG(frame, path);
    return readRegularFile(path, 512u << 20).value_or("");
}

int connectRaw(const std::filesystem::path& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const timeval timeout{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void sendAll(int fd, std::string_view bytes)
{
    for (ssize_t sent; !bytes.empty() && (sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL)) > 0;)
        bytes.remove_prefix(static_cast<std::size_t>(sent));
}

std::string request(PropertyFraming::Operation operation, std::uint32_t selector, std::uint32_t length)
{
    const auto header = PropertyFraming::encodeRequestHeader({operation, selector, length});
    return std::string(header.begin(), header.end());
}

/// One whole message (or what there is of it) on a connection of its own, then hang up after
/// reading whatever the daemon answers.
void sendHostile(const std::filesystem::path& socket, std::string_view bytes, bool readReply = true)
{
    const int fd = connectRaw(socket);
    if (fd < 0)
        return;
    sendAll(fd, bytes);
    ::shutdown(fd, SHUT_WR);
    char buffer[4096];
    while (readReply && ::recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
    ::close(fd);
}

/// Reads the FIFO as a camera client does, session after session, and records the longest
/// wait between two whole frames within a session.
class FifoReaders {
public:
    FifoReaders(std::filesystem::path fifo, std::uint32_t seed) : fifo_(std::move(fifo)), random_(seed) {}

    void run(const std::atomic<bool>& running)
    {
        while (running) {
            const int fd = ::open(fifo_.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                std::this_thread::sleep_for(100ms);
                continue;
            }
            // Each reader stays 5 to 20 s, then leaves for up to 2 s.
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(5000 + random_() % 15000);
            readSession(fd, running, until);
            ::close(fd);
            sessions_ += 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(random_() % 2000));
        }
    }

    double worstGapMs() const { return worstGapMs_.load(); }
    std::uint64_t frames() const { return frames_.load(); }
    std::uint64_t sessions() const { return sessions_.load(); }
    std::uint64_t longGaps() const { return longGaps_.load(); }

private:
    void readSession(int fd, const std::atomic<bool>& running, std::chrono::steady_clock::time_point until)
    {
        std::string pending;
        std::size_t frameBytes = 0;
        bool header = false;
        std::optional<std::chrono::steady_clock::time_point> lastFrame;
        std::vector<char> buffer(1 << 20);
        while (running && std::chrono::steady_clock::now() < until) {
            const ssize_t got = ::read(fd, buffer.data(), buffer.size());
            if (got <= 0)
                return; // the device went away (a rename): a new session starts
            pending.append(buffer.data(), static_cast<std::size_t>(got));
            for (;;) {
                if (!header) {
                    const auto end = pending.find('\n');
                    if (end == std::string::npos)
                        break;
                    const auto w = pending.find(" W"), h = pending.find(" H");
                    frameBytes = static_cast<std::size_t>(std::stol(pending.substr(w + 2)) * std::stol(pending.substr(h + 2)) * 3 / 2);
                    pending.erase(0, end + 1);
                    header = true;
                }
                const auto end = pending.find('\n');
                if (end == std::string::npos || pending.size() < end + 1 + frameBytes)
                    break;
                pending.erase(0, end + 1 + frameBytes);
                const auto now = std::chrono::steady_clock::now();
                if (lastFrame) {
                    const double gap = std::chrono::duration<double, std::milli>(now - *lastFrame).count();
                    if (gap > worstGapMs_)
                        worstGapMs_ = gap;
                    if (gap > 200)
                        longGaps_ += 1;
                }
                lastFrame = now;
                frames_ += 1;
            }
        }
    }

    std::filesystem::path fifo_;
    std::minstd_rand random_;
    std::atomic<double> worstGapMs_{0};
    std::atomic<std::uint64_t> frames_{0}, sessions_{0}, longGaps_{0};
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

int soak(double seconds, const std::string& daemonPath)
{
    Daemon daemon(daemonPath);
    if (!daemon.alive()) {
        std::cerr << "quellon-camera-soak: the daemon did not start\n";
        return 1;
    }
    const std::string frame = makeJPEG(1280, 720, 0, 1, 12);
    const std::string hugeProgressive = withDeclaredSize(makeJPEG(64, 48, TJFLAG_PROGRESSIVE, 2), 16384, 4096);
    const std::string hugeText = pngWithHugeTextChunk();
    std::atomic<bool> running{true};
    std::atomic<std::uint64_t> pushed{0}, failures{0}, hostile{0};

    FifoReaders readers(daemon.fifo(), 11);
    std::thread readerThread([&] { readers.run(running); });

    std::thread pusher([&] {
        CameraClient client(daemon.socket(), 2s);
        auto next = std::chrono::steady_clock::now();
        while (running) {
            try {
                client.setProperty(QuellonCMIOChannel::frameSelector, frame);
                pushed += 1;
            } catch (const CameraClientError&) {
                failures += 1;
            }
            next += std::chrono::microseconds(33333);
            std::this_thread::sleep_until(next);
        }
    });

    std::thread controller([&] {
        CameraClient client(daemon.socket(), 2s);
        const auto start = std::chrono::steady_clock::now();
        std::int64_t revision = 1;
        int renames = 0;
        for (int second = 1; running; ++second) {
            std::this_thread::sleep_until(start + std::chrono::seconds(second));
            try {
                if (second % 3 == 0) {
                    QuellonState state;
                    const QuellonMode modes[] = {QuellonMode::away, QuellonMode::standby, QuellonMode::live};
                    state.mode = modes[second / 3 % 3];
                    state.revision = revision++;
                    state.targetWidth = second % 2 ? 1280 : 640;
                    state.targetHeight = second % 2 ? 720 : 360;
                    client.sendState(state);
                }
                if (second % 60 == 30)
                    client.setProperty(QuellonCMIOChannel::nameSelector, "Soak Camera " + std::to_string(++renames));
            } catch (const CameraClientError&) {
                failures += 1;
            }
            // A hostile connection every second, each kind in turn.
            using PropertyFraming::Operation;
            const auto frameSelector = QuellonCMIOChannel::frameSelector;
            switch (second % 8) {
            case 0: {
                std::string noise(4096, '\0');
                for (std::size_t i = 0; i < noise.size(); ++i)
                    noise[i] = static_cast<char>((i * 7919 + static_cast<std::size_t>(second)) % 251);
                sendHostile(daemon.socket(), noise);
                break;
            }
            case 1: // declares a whole frame, sends a megabyte, leaves
                sendHostile(daemon.socket(), request(Operation::set, frameSelector, PropertyFraming::kMaxFrameBytes)
                                                 + std::string(1u << 20, 'x'));
                break;
            case 2:
                sendHostile(daemon.socket(), request(Operation::set, frameSelector, static_cast<std::uint32_t>(hugeProgressive.size()))
                                                 + hugeProgressive);
                break;
            case 3:
                sendHostile(daemon.socket(), request(Operation::set, frameSelector, static_cast<std::uint32_t>(hugeText.size())) + hugeText);
                break;
            case 4: {
                const std::string state = R"({"mode":"away","targetWidth":16384,"targetHeight":4096,"revision":"x"})";
                sendHostile(daemon.socket(), request(Operation::set, QuellonCMIOChannel::stateSelector,
                                                     static_cast<std::uint32_t>(state.size())) + state);
                break;
            }
            case 5: {
                const std::string name = std::string(70, '\x1B');
                sendHostile(daemon.socket(), request(Operation::set, QuellonCMIOChannel::nameSelector,
                                                     static_cast<std::uint32_t>(name.size())) + name);
                break;
            }
            case 6:
                sendHostile(daemon.socket(), request(Operation::get, QuellonCMIOChannel::stateSelector, 3) + "abc");
                break;
            default: // connects and leaves mid-header
                sendHostile(daemon.socket(), request(Operation::set, frameSelector, 10).substr(0, 5), false);
                break;
            }
            hostile += 1;
        }
    });

    // Samples every 10 s; the first quarter of the run (at most 5 minutes) is warm-up.
    struct Sample {
        double at;
        double rss, fds, threads;
    };
    std::vector<Sample> samples;
    const double warmUp = std::min(seconds / 4, 300.0);
    const auto start = std::chrono::steady_clock::now();
    bool crashed = false;
    std::printf("%8s %10s %6s %8s %10s %10s %9s\n", "second", "RSS KiB", "fds", "threads", "frames", "worst gap", "hostile");
    for (int tick = 1; tick * 10.0 <= seconds; ++tick) {
        std::this_thread::sleep_until(start + std::chrono::seconds(10 * tick));
        if (!daemon.alive()) {
            crashed = true;
            break;
        }
        const Sample sample{10.0 * tick, static_cast<double>(statusField(daemon.pid(), "VmRSS")),
                            static_cast<double>(openDescriptors(daemon.pid())),
                            static_cast<double>(statusField(daemon.pid(), "Threads"))};
        samples.push_back(sample);
        std::printf("%8.0f %10.0f %6.0f %8.0f %10llu %8.1fms %9llu\n", sample.at, sample.rss, sample.fds, sample.threads,
                    static_cast<unsigned long long>(readers.frames()), readers.worstGapMs(),
                    static_cast<unsigned long long>(hostile.load()));
        std::fflush(stdout);
    }
    running = false;
    pusher.join();
    controller.join();
    // The reader may sit in a blocking read of a FIFO that no longer gets frames: stopping the
    // daemon ends it.
    const bool aliveAtEnd = !crashed && daemon.alive();
    if (aliveAtEnd)
        ::kill(daemon.pid(), SIGTERM);
    readerThread.join();

    bool failed = false;
    if (!aliveAtEnd) {
        std::printf("FAIL: the daemon exited during the soak (status %d)\n", daemon.status());
        failed = true;
    }
    // Growth: the median of the last three samples against the median of the first three after
    // warm-up, so one transient frame or connection does not count as growth.
    std::vector<Sample> steady;
    for (const auto& sample : samples)
        if (sample.at > warmUp)
            steady.push_back(sample);
    if (steady.size() >= 4) {
        const std::size_t n = std::min<std::size_t>(3, steady.size() / 2);
        const auto growth = [&](double Sample::*field, const char* what, double slack) {
            std::vector<double> first, last;
            for (std::size_t i = 0; i < n; ++i) {
                first.push_back(steady[i].*field);
                last.push_back(steady[steady.size() - 1 - i].*field);
            }
            const double before = median(first), after = median(last);
            const bool grew = after > before * 1.05 + slack;
            std::printf("%s: %.0f after warm-up, %.0f at the end (%+.1f %%)%s\n", what, before, after,
                        before > 0 ? (after / before - 1) * 100 : 0.0, grew ? "  FAIL: grew beyond 5 %" : "");
            failed = failed || grew;
        };
        // Descriptors and threads are small counts: one in flight is not growth.
        growth(&Sample::rss, "resident KiB", 0);
        growth(&Sample::fds, "descriptors", 1);
        growth(&Sample::threads, "threads", 1);
    } else {
        std::printf("too short for a growth check after %.0f s of warm-up\n", warmUp);
    }
    std::printf("frames pushed %llu (failed calls %llu), frames read %llu in %llu reader sessions, hostile connections %llu\n",
                static_cast<unsigned long long>(pushed.load()), static_cast<unsigned long long>(failures.load()),
                static_cast<unsigned long long>(readers.frames()), static_cast<unsigned long long>(readers.sessions()),
                static_cast<unsigned long long>(hostile.load()));
    std::printf("worst gap between frames read: %.1f ms (%llu gaps over 200 ms)\n", readers.worstGapMs(),
                static_cast<unsigned long long>(readers.longGaps()));
    if (readers.worstGapMs() > 2000) {
        std::printf("FAIL: the stream stalled: a reader waited more than 2 s for a frame\n");
        failed = true;
    }
    if (readers.frames() == 0) {
        std::printf("FAIL: no frame reached a reader\n");
        failed = true;
    }
    std::printf(failed ? "soak: FAILED\n" : "soak: passed\n");
    return failed ? 1 : 0;
}

/// Peak resident memory (VmHWM, reset before each) while each worst input arrives.
int bounds(const std::string& daemonPath)
{
    Daemon daemon(daemonPath);
    TemporaryDirectory scratch("quellon-soak-bounds");
    std::atomic<bool> running{true};
    FifoReaders readers(daemon.fifo(), 5);
    std::thread readerThread([&] { readers.run(running); });
    CameraClient client(daemon.socket(), 30s);
    std::this_thread::sleep_for(1s);

    const auto measure = [&](const char* what, const std::function<void()>& deliver) {
        std::this_thread::sleep_for(500ms);
        resetPeak(daemon.pid());
        const long before = statusField(daemon.pid(), "VmRSS");
        try {
            deliver();
        } catch (const std::exception& error) {
            std::printf("  (%s: %s)\n", what, error.what());
        }
        std::this_thread::sleep_for(1500ms);
        std::printf("%-58s %8ld KiB before, peak %8ld KiB%s\n", what, before, statusField(daemon.pid(), "VmHWM"),
                    daemon.alive() ? "" : "  DAEMON EXITED");
        std::fflush(stdout);
    };
    using PropertyFraming::Operation;
    const auto frameSelector = QuellonCMIOChannel::frameSelector;
    std::int64_t revision = 1;
    const auto sendSize = [&](std::int64_t width, std::int64_t height) {
        QuellonState state;
        state.mode = QuellonMode::standby;
        state.revision = revision++;
        state.targetWidth = width;
        state.targetHeight = height;
        client.sendState(state);
    };

    measure("idle, serving the card", [] {});
    const std::string frame = makeJPEG(1280, 720, 0, 1, 12);
    measure("pushed 1280x720 JPEG x 30", [&] {
        for (int i = 0; i < 30; ++i)
            client.setProperty(frameSelector, frame);
    });
    const std::string worstJPEG = makeJPEG(4096, 4096, TJFLAG_PROGRESSIVE, 3);
    measure("pushed progressive 4096x4096 JPEG (largest accepted)", [&] { client.setProperty(frameSelector, worstJPEG); });
    const std::string refusedJPEG = withDeclaredSize(makeJPEG(64, 48, TJFLAG_PROGRESSIVE, 2), 16384, 4096);
    measure("pushed progressive JPEG declaring 16384x4096", [&] { client.setProperty(frameSelector, refusedJPEG); });
    const std::string bigPNG = noisyPNG(scratch.path(), 4096, 4096);
    measure("pushed 4096x4096 PNG of noise", [&] { client.setProperty(frameSelector, bigPNG); });
    measure("pushed PNG declaring a 2 GB text chunk", [&] { client.setProperty(frameSelector, pngWithHugeTextChunk()); });

    std::this_thread::sleep_for(1s); // pushed frames go stale: the card is served again
    replaceFileAtomically(daemon.container() / "standby.png", bigPNG);
    measure("standby.png 4096x4096 of noise", [&] { sendSize(1280, 719); });
    if (auto bomb = readRegularFile(std::filesystem::path(QUELLON_SOURCE_DIR) / "../shared/fuzz-findings/image-png-ztxt-bomb-600mib.png")) {
        replaceFileAtomically(daemon.container() / "standby.png", *bomb);
        measure("standby.png with a zTXt inflating to 604 MiB", [&] { sendSize(1280, 718); });
    }
    std::filesystem::remove(daemon.container() / "standby.png");
    measure("state asking for a 16384x4096 card", [&] { sendSize(16384, 4096); });
    measure("state asking for a 9e18 x 9e18 card", [&] { sendSize(std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::max()); });

    measure("64 connections each sending 32 MiB minus one byte", [&] {
        std::vector<std::thread> senders;
        const std::string payload(PropertyFraming::kMaxFrameBytes - 1, 'x');
        const std::string head = request(Operation::set, frameSelector, PropertyFraming::kMaxFrameBytes);
        std::vector<int> fds;
        std::mutex mutex;
        for (int i = 0; i < 64; ++i)
            senders.emplace_back([&] {
                const int fd = connectRaw(daemon.socket());
                if (fd < 0)
                    return;
                sendAll(fd, head);
                sendAll(fd, payload);
                std::lock_guard lock(mutex);
                fds.push_back(fd);
            });
        for (auto& sender : senders)
            sender.join();
        std::this_thread::sleep_for(1s);
        for (int fd : fds)
            ::close(fd);
    });
    running = false;
    ::kill(daemon.pid(), SIGTERM);
    readerThread.join();
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
    const std::string daemon = QUELLON_EXTENSION_PATH;
    if (mode == "soak" && argc > 2)
        return soak(std::stod(argv[2]), argc > 3 ? argv[3] : daemon);
    if (mode == "bounds")
        return bounds(argc > 2 ? argv[2] : daemon);
    std::cerr << "usage: quellon-camera-soak ticks [SECONDS] | rss PATH-TO-quellon-extension | soak SECONDS [DAEMON]"
                 " | bounds [DAEMON]\n";
    return 2;
}
