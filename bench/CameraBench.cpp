// The camera daemon's per-frame costs at 1280×720, each beside its baseline in the same run.
//   ServeFrame_720p: CPU per served frame. "baseline_memcpy" copies one BGRA frame;
//     "y4m_resend" is the Y4M sink re-sending the latest pushed frame to a reader (process CPU,
//     the reader's read included); "convert_yuyv" / "convert_i420" are the v4l2 path's
//     conversion of a new frame; "convert_scaled_yuyv" adds scaling from 640×360. Goal: < 1 ms.
//   IngestJPEG_720p: one JPEG from the socket to a decoded frame ("quellon") against
//     tjDecompress2 into BGRA alone ("baseline_tjDecompress"). Goal: at most 1.2×.
//   IngestRaw_720p/quellon: the same road for a raw frame in a sealed memfd.
//   DaemonIngest_720p: the daemon's own CPU per received frame, socket I/O aside: "jpeg" decodes
//     a pushed JPEG into a frame, "raw" copies a raw frame out of its memfd. The raw channel
//     exists to make the second a fraction of the first.
// Tick regularity and resident memory are measured by quellon-camera-soak, not here.

#include "CameraPropertyRouter.h"
#include "FrameFactory.h"
#include "RealCameraWorld.h"
#include "FrameTimer.h"
#include "QuellonExtensionProviderSource.h"
#include "QuellonRenameBridge.h"
#include "backends/FrameConverter.h"
#include "backends/InMemoryCameraBackend.h"
#include "backends/Y4MFifoBackend.h"
#include "channel/CameraClient.h"
#include "channel/QuellonCMIOChannel.h"
#include "channel/RawFrameChannel.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/Log.h"
#include "platform/PlatformDirectories.h"
#include "platform/TemporaryDirectory.h"
#include "platform/UserDefaults.h"
#include "state/QuellonStorage.h"
#include "transport/PropertySocketServer.h"

#include <atomic>
#include <benchmark/benchmark.h>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <turbojpeg.h>
#include <unistd.h>

namespace {

using namespace quellon;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;

PixelBufferRef patternFrame(int width, int height, int seed = 0)
{
    auto frame = PixelBuffer::create(width, height);
    auto lock = frame->lockForWriting();
    std::uint32_t noise = 12345u + static_cast<std::uint32_t>(seed);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = lock.row(y);
        for (int x = 0; x < width; ++x) {
            noise = noise * 1664525u + 1013904223u;
            row[x * 4] = static_cast<std::uint8_t>(x / 5 + (noise >> 28));
            row[x * 4 + 1] = static_cast<std::uint8_t>(y / 3 + seed);
            row[x * 4 + 2] = static_cast<std::uint8_t>((x + y) / 8);
            row[x * 4 + 3] = 255;
        }
    }
    return frame;
}

void ServeFrame_baseline_memcpy(benchmark::State& state)
{
    auto frame = patternFrame(kWidth, kHeight);
    std::vector<std::uint8_t> copy(frame->bytesPerRow() * kHeight);
    for (auto _ : state) {
        auto lock = frame->lockForReading();
        std::memcpy(copy.data(), lock.baseAddress(), copy.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(ServeFrame_baseline_memcpy)->Name("ServeFrame_720p/baseline_memcpy")->Unit(benchmark::kMicrosecond);

// New frames each time (two alternating), so the converter's re-send shortcut never applies.
void ServeFrame_convert(benchmark::State& state, OutputPixelFormat format, int width, int height)
{
    FrameConverter converter({kWidth, kHeight, format});
    PixelBufferRef frames[] = {patternFrame(width, height, 1), patternFrame(width, height, 2)};
    std::size_t i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(converter.convert(frames[i++ & 1]));
}
BENCHMARK_CAPTURE(ServeFrame_convert, yuyv, OutputPixelFormat::yuyv, kWidth, kHeight)
    ->Name("ServeFrame_720p/convert_yuyv")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ServeFrame_convert, i420, OutputPixelFormat::i420, kWidth, kHeight)
    ->Name("ServeFrame_720p/convert_i420")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ServeFrame_convert, scaled, OutputPixelFormat::yuyv, 640, 360)
    ->Name("ServeFrame_720p/convert_scaled_yuyv")->Unit(benchmark::kMicrosecond);

class CountingHandler final : public CameraStreamHandler {
public:
    void startStream() override { ++clients; }
    void stopStream() override { --clients; }
    std::atomic<int> clients{0};
};

// The Y4M sink end to end: each iteration hands the same frame over and waits until a reader
// has taken the whole frame out of the FIFO.
void ServeFrame_y4m_resend(benchmark::State& state)
{
    TemporaryDirectory directory("quellon-bench-y4m");
    CapturingLogSink log;
    Y4MFifoBackend backend(directory.path() / "camera.y4m", log);
    auto handler = std::make_shared<CountingHandler>();
    auto device = backend.makeDevice({});
    auto stream = device->makeStream({}, handler);
    device->addStream(stream);
    backend.addDevice(device);

    constexpr std::size_t kFrameBytes = 6 + kWidth * kHeight * 3 / 2;
    std::atomic<std::uint64_t> bytesRead{0};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        const int fd = ::open((directory.path() / "camera.y4m").c_str(), O_RDONLY);
        std::vector<char> buffer(1 << 20);
        ssize_t n = 0;
        while (!done && (n = ::read(fd, buffer.data(), buffer.size())) > 0)
            bytesRead += static_cast<std::uint64_t>(n);
        ::close(fd);
    });
    while (handler->clients == 0)
        std::this_thread::yield();
    auto frame = patternFrame(kWidth, kHeight);
    stream->send(frame, 0);
    while (bytesRead < kFrameBytes)
        std::this_thread::yield();
    const std::uint64_t header = bytesRead - kFrameBytes;
    std::uint64_t frames = 1;
    for (auto _ : state) {
        stream->send(frame, 0);
        ++frames;
        while (bytesRead < header + frames * kFrameBytes)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    done = true;
    backend.removeDevice(device);
    reader.join();
}
BENCHMARK(ServeFrame_y4m_resend)
    ->Name("ServeFrame_720p/y4m_resend")
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMicrosecond);

std::string jpegOf(const PixelBufferRef& frame)
{
    tjhandle compressor = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    auto lock = frame->lockForReading();
    tjCompress2(compressor, lock.baseAddress(), frame->width(), static_cast<int>(frame->bytesPerRow()), frame->height(),
                TJPF_BGRA, &jpeg, &size, TJSAMP_420, 85, 0);
    std::string bytes(reinterpret_cast<char*>(jpeg), size);
    tjFree(jpeg);
    tjDestroy(compressor);
    return bytes;
}

void IngestJPEG_baseline(benchmark::State& state)
{
    const std::string jpeg = jpegOf(patternFrame(kWidth, kHeight));
    tjhandle decompressor = tjInitDecompress();
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(kWidth) * kHeight * 4);
    for (auto _ : state) {
        tjDecompress2(decompressor, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size(), pixels.data(), kWidth,
                      kWidth * 4, kHeight, TJPF_BGRA, 0);
        benchmark::DoNotOptimize(pixels.data());
    }
    tjDestroy(decompressor);
}
BENCHMARK(IngestJPEG_baseline)->Name("IngestJPEG_720p/baseline_tjDecompress")->Unit(benchmark::kMicrosecond);

// The frame channel's whole road: client write, socket, framing, decode into a frame, reply.
void IngestJPEG_quellon(benchmark::State& state)
{
    RealCameraWorld world("quellon-bench-ingest");
    const ExtensionServices services = world.services();
    auto provider = QuellonExtensionProviderSource::create(world.backend, services);
    CameraPropertyRouter router(provider, [] { return std::string("memory"); });
    PropertySocketServer server(world.directory.path() / "camera.sock", router, world.log);
    server.start();

    const std::string jpeg = jpegOf(patternFrame(kWidth, kHeight));
    CameraClient client(world.directory.path() / "camera.sock");
    client.connect();
    for (auto _ : state)
        client.setProperty(QuellonCMIOChannel::frameSelector, jpeg);
    server.stop();
    if (world.log.contains("Quellon ext: frame decode failed (" + std::to_string(jpeg.size()) + " bytes)"))
        state.SkipWithError("the pushed frames did not decode");
}
BENCHMARK(IngestJPEG_quellon)->Name("IngestJPEG_720p/quellon")->UseRealTime()->Unit(benchmark::kMicrosecond);

// The raw channel's whole road: client write into the memfd, socket, copy into a frame, reply.
void IngestRaw_quellon(benchmark::State& state)
{
    RealCameraWorld world("quellon-bench-ingest-raw");
    auto provider = QuellonExtensionProviderSource::create(world.backend, world.services());
    CameraPropertyRouter router(provider, [] { return std::string("memory"); });
    PropertySocketServer server(world.directory.path() / "camera.sock", router, world.log);
    server.start();

    const PixelBufferRef frame = patternFrame(kWidth, kHeight);
    CameraClient client(world.directory.path() / "camera.sock");
    if (!client.setRawFrame(*frame))
        state.SkipWithError("the camera has no raw channel");
    for (auto _ : state)
        client.setRawFrame(*frame);
    server.stop();
}
BENCHMARK(IngestRaw_quellon)->Name("IngestRaw_720p/quellon")->UseRealTime()->Unit(benchmark::kMicrosecond);

// What the daemon's socket thread spends per frame once a message is in: the router's work
// for each channel, measured as that thread's CPU.
void DaemonIngest(benchmark::State& state, bool raw)
{
    RealCameraWorld world("quellon-bench-daemon-ingest");
    auto provider = QuellonExtensionProviderSource::create(world.backend, world.services());
    CameraPropertyRouter router(provider, [] { return std::string("memory"); });
    const PixelBufferRef frame = patternFrame(kWidth, kHeight);
    const std::string jpeg = jpegOf(frame);
    const RawFrameLayout layout = RawFrameChannel::layoutOf(*frame);
    const FileDescriptor memory = RawFrameChannel::makeSealedMemory(RawFrameChannel::byteCount(layout));
    RawFrameChannel::writeFrame(memory.get(), *frame);
    const std::string layoutBytes = RawFrameChannel::encodeLayout(layout);
    for (auto _ : state) {
        if (raw)
            router.setRawFrame(memory.get(), layoutBytes);
        else
            router.setProperty(QuellonCMIOChannel::frameSelector, jpeg);
    }
    if (world.log.contains("Quellon ext: frame decode failed (" + std::to_string(jpeg.size()) + " bytes)"))
        state.SkipWithError("the pushed frames did not decode");
}
BENCHMARK_CAPTURE(DaemonIngest, jpeg, false)->Name("DaemonIngest_720p/jpeg")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(DaemonIngest, raw, true)->Name("DaemonIngest_720p/raw")->Unit(benchmark::kMicrosecond);

} // namespace
