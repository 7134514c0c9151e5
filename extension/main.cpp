// quellon-extension: the camera daemon. Publishes the Quellon camera through v4l2loopback or a
// Y4M FIFO and takes its state, frames and name from hosts on the property socket.

#include "CameraPropertyRouter.h"
#include "FrameFactory.h"
#include "FrameTimer.h"
#include "QuellonExtensionProviderSource.h"
#include "QuellonRenameBridge.h"
#include "backends/V4L2LoopbackBackend.h"
#include "backends/Y4MFifoBackend.h"
#include "platform/Clock.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "state/QuellonIdentifiers.h"
#include "state/QuellonStorage.h"
#include "transport/PropertySocketServer.h"

#include <CLI/CLI.hpp>
#include <csignal>
#include <iostream>
#include <malloc.h>
#include <pthread.h>

namespace {

using namespace quellon;

constexpr const char* kSocketFilename = "camera.sock";
constexpr const char* kFifoFilename = "camera.y4m";

struct SinkChoice {
    enum class Kind { automatic, v4l2, y4m } kind = Kind::automatic;
    std::optional<std::filesystem::path> path;
    OutputPixelFormat v4l2Format = OutputPixelFormat::yuyv;
};

std::optional<SinkChoice> parseSink(const std::string& text, const std::string& format)
{
    SinkChoice choice;
    choice.v4l2Format = format == "i420" ? OutputPixelFormat::i420 : OutputPixelFormat::yuyv;
    if (text == "auto")
        choice.kind = SinkChoice::Kind::automatic;
    else if (text == "v4l2")
        choice.kind = SinkChoice::Kind::v4l2;
    else if (text == "y4m")
        choice.kind = SinkChoice::Kind::y4m;
    else if (text.starts_with("y4m:") && text.size() > 4) {
        choice.kind = SinkChoice::Kind::y4m;
        choice.path = std::filesystem::absolute(text.substr(4));
    } else
        return std::nullopt;
    return choice;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"quellon-extension: the Quellon camera daemon.", "quellon-extension"};
    std::string sinkText = "auto";
    std::string formatText = "yuyv";
    app.add_option("--sink", sinkText,
                   "Where frames go: auto (v4l2loopback when its control node is usable, else the FIFO "
                   "camera.y4m in the shared container), v4l2, y4m or y4m:PATH")
        ->capture_default_str();
    app.add_option("--v4l2-format", formatText, "Pixel format of the v4l2loopback device")
        ->check(CLI::IsMember({"yuyv", "i420"}))
        ->capture_default_str();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error);
    }
    auto sink = parseSink(sinkText, formatText);
    if (!sink) {
        std::cerr << "quellon-extension: --sink must be auto, v4l2, y4m or y4m:PATH, not \"" << sinkText << "\"\n";
        return 2;
    }

    // Frames are megabytes each and come and go 30 times a second on several threads. A fixed
    // mmap threshold returns each one to the system when freed; glibc's adaptive threshold would
    // otherwise move them into per-thread heaps that keep growing.
    mallopt(M_MMAP_THRESHOLD, 512 * 1024);

    // Signals are taken by sigwait below; every thread started from here on inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    UserDefaults::setStandardDomain(QuellonIdentifiers::extensionBundleID);
    SystemLogSink log("quellon-extension");

    auto container = QuellonStorage::containerURL();
    if (!container) {
        log.write(LogLevel::error, "Quellon: no shared container (set XDG_DATA_HOME or HOME)");
        return 1;
    }
    std::error_code ignored;
    std::filesystem::create_directories(*container, ignored);

    std::unique_ptr<CameraProvider> backend;
    const bool useV4L2 = sink->kind == SinkChoice::Kind::v4l2
        || (sink->kind == SinkChoice::Kind::automatic && V4L2LoopbackBackend::controlNodeUsable());
    if (useV4L2)
        backend = std::make_unique<V4L2LoopbackBackend>(V4L2Syscalls::system(), log, sink->v4l2Format);
    else
        backend = std::make_unique<Y4MFifoBackend>(sink->path.value_or(*container / kFifoFilename), log);

    PlaybackFrameFactory frames;
    ExtensionServices services{Clock::system(), log, UserDefaults::standard(), ContainerPlatform::system(),
                               frames, FrameTimerFactory::steady(), QuellonRenameBridge::shared()};
    auto provider = QuellonExtensionProviderSource::create(*backend, services);
    log.write(LogLevel::info, "Quellon: camera sink " + backend->sinkDescription());
    auto router = std::make_unique<CameraPropertyRouter>(provider, [&backend] { return backend->sinkDescription(); });
    PropertySocketServer server(*container / kSocketFilename, *router, log);
    try {
        server.start();
    } catch (const std::exception& error) {
        log.write(LogLevel::error, std::string("Quellon: cannot listen on the camera socket: ") + error.what());
        provider->removeDevice();
        return 1;
    }

    int signal = 0;
    sigwait(&stopSignals, &signal);
    log.write(LogLevel::info, std::string("Quellon: stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    server.stop();
    QuellonRenameBridge::shared().setApply({});
    provider->removeDevice();
    // The sources go before the backend whose devices they hold.
    router.reset();
    provider.reset();
    backend.reset();
    return 0;
}
