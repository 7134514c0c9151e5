// quellon-extension: the camera daemon. Publishes the Quellon camera through v4l2loopback,
// PipeWire or a Y4M FIFO and takes its state, frames and name from hosts on the property socket.

#include "CameraPropertyRouter.h"
#include "FrameFactory.h"
#include "FrameTimer.h"
#include "QuellonExtensionProviderSource.h"
#include "QuellonRenameBridge.h"
#include "SerialQueue.h"
#include "backends/PipeWireCameraBackend.h"
#include "backends/SinkSelection.h"
#include "backends/V4L2LoopbackBackend.h"
#include "backends/Y4MFifoBackend.h"
#include "platform/Clock.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "playback/StandbyFrameRenderer.h"
#include "reports/QuellonBuild.h"
#include "state/QuellonIdentifiers.h"
#include "state/QuellonStorage.h"
#include "transport/PropertySocketServer.h"
#include "transport/PropertyTarget.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <csignal>
#include <iostream>
#include <chrono>
#include <condition_variable>
#include <malloc.h>
#include <mutex>
#include <pthread.h>

namespace {

using namespace quellon;

constexpr const char* kSocketFilename = "camera.sock";
constexpr const char* kFifoFilename = "camera.y4m";

struct SinkChoice {
    enum class Kind { automatic, v4l2, pipewire, y4m } kind = Kind::automatic;
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
    else if (text.starts_with("v4l2:") && text.size() > 5) {
        choice.kind = SinkChoice::Kind::v4l2;
        // The node as /proc shows it, so openers of a by-id or by-path link are counted too.
        std::error_code ignored;
        choice.path = std::filesystem::weakly_canonical(text.substr(5), ignored);
        if (choice.path->empty())
            choice.path = text.substr(5);
    }
    else if (text == "pipewire")
        choice.kind = SinkChoice::Kind::pipewire;
    else if (text == "y4m")
        choice.kind = SinkChoice::Kind::y4m;
    else if (text.starts_with("y4m:") && text.size() > 4) {
        choice.kind = SinkChoice::Kind::y4m;
        choice.path = std::filesystem::absolute(text.substr(4));
    } else
        return std::nullopt;
    return choice;
}

/// What the socket serves. It listens before the camera is set up, so requests arriving in
/// between wait for the router (as if the daemon had started a moment later); once closed
/// without one, they get nothing.
class DeferredPropertyTarget final : public PropertyTarget {
public:
    void set(std::shared_ptr<PropertyTarget> target)
    {
        {
            std::lock_guard lock(mutex_);
            target_ = std::move(target);
            closed_ = !target_;
        }
        ready_.notify_all();
    }
    void close() { set(nullptr); }

    void setProperty(std::uint32_t selector, std::string bytes) override
    {
        if (auto target = current())
            target->setProperty(selector, std::move(bytes));
    }
    std::optional<std::string> property(std::uint32_t selector) override
    {
        auto target = current();
        return target ? target->property(selector) : std::nullopt;
    }
    void setRawFrame(int memory, std::string_view layout) override
    {
        if (auto target = current())
            target->setRawFrame(memory, layout);
        else
            PropertyTarget::setRawFrame(memory, layout);
    }

private:
    std::shared_ptr<PropertyTarget> current()
    {
        std::unique_lock lock(mutex_);
        ready_.wait_for(lock, std::chrono::seconds(10), [&] { return target_ || closed_; });
        return target_;
    }
    std::mutex mutex_;
    std::condition_variable ready_;
    std::shared_ptr<PropertyTarget> target_;
    bool closed_ = false;
};

/// Ends start-up with message: it goes to the log and, where the log is the journal and
/// standard error is not, also to standard error for whoever started the daemon by hand.
void failStart(SystemLogSink& log, const std::string& message)
{
    log.write(LogLevel::error, message);
    if (log.usesJournal() && !std::getenv("JOURNAL_STREAM"))
        std::cerr << "quellon-extension: " << message << "\n";
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"quellon-extension: the Quellon camera daemon.", "quellon-extension"};
    app.set_version_flag("--version", "quellon-extension " + std::string(quellon::QuellonBuild::version()) + " (build "
                                          + std::string(quellon::QuellonBuild::buildNumber()) + ")");
    std::string sinkText = "auto";
    std::string formatText = "yuyv";
    app.add_option("--sink", sinkText,
                   "Where frames go: auto (v4l2loopback when its control node or a loopback device is "
                   "there, else PipeWire when its daemon answers, else the FIFO camera.y4m in the shared "
                   "container), v4l2, v4l2:/dev/videoN, pipewire, y4m or y4m:PATH")
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
        std::cerr << "quellon-extension: --sink must be auto, v4l2, v4l2:/dev/videoN, pipewire, y4m or y4m:PATH, not \"" << sinkText << "\"\n";
        return 2;
    }

    // Frames, most JPEG payloads and the smaller sizes' conversions (a 640x360 I420 frame is
    // 338 KiB) come and go 30 times a second on several threads. A fixed 128 KiB mmap threshold
    // gives each of those pages of its own, returned to the system when freed; glibc's adaptive
    // threshold would otherwise move them into per-thread heaps, whose high-water mark grows a
    // step whenever their lifetimes happen to overlap differently.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);

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

    // The socket first: a second daemon must find the first one answering and leave before it
    // touches any device or the first one's FIFO.
    DeferredPropertyTarget target;
    PropertySocketServer server(*container / kSocketFilename, target, log);
    try {
        server.start();
    } catch (const std::exception& error) {
        failStart(log, std::string("Quellon: cannot listen on the camera socket: ") + error.what());
        return 1;
    }

    // `auto` tries each sink whose probe claims it, in order, and moves on when one cannot be
    // set up; a sink the user named either works or ends the daemon with its reason, so that a
    // service manager sees the failure instead of a daemon serving nothing.
    std::vector<CameraSink> order;
    if (sink->kind == SinkChoice::Kind::automatic) {
        // Only a loopback device labelled as ours counts: another program's virtual camera is skipped.
        const std::vector<std::string> ownLabels = {
            V4L2LoopbackBackend::cardLabel(QuellonIdentifiers::effectiveVirtualCameraName(UserDefaults::standard())),
            V4L2LoopbackBackend::cardLabel(V4L2Loopback::kDefaultCardLabel)};
        order = automaticSinkOrder({[&] { return V4L2LoopbackBackend::probe(ownLabels); },
                                    [] { return PipeWireCameraBackend::probe(); }});
    } else {
        order = {sink->kind == SinkChoice::Kind::v4l2       ? CameraSink::v4l2
                 : sink->kind == SinkChoice::Kind::pipewire ? CameraSink::pipewire
                                                            : CameraSink::y4m};
    }

    StandbyFrameRenderer::prepare();
    PlaybackFrameFactory frames;
    ExtensionServices services{Clock::system(), log, UserDefaults::standard(), ContainerPlatform::system(),
                               frames, FrameTimerFactory::steady(), QuellonRenameBridge::shared()};
    std::unique_ptr<CameraProvider> backend;
    std::shared_ptr<QuellonExtensionProviderSource> provider;
    // `auto` moves on from a sink that cannot be set up; a sink the user named either works or
    // ends the daemon with its reason, so a service manager sees the failure instead of a
    // daemon serving nothing.
    const SinkSetUp setUp = setUpFirstWorkingSink(order, [&](CameraSink kind) -> std::optional<std::string> {
        std::string failure;
        try {
            if (kind == CameraSink::v4l2) {
                V4L2LoopbackBackend::Options options;
                options.pixelFormat = sink->v4l2Format;
                if (sink->path)
                    options.staticDevice = sink->path->string();
                backend = std::make_unique<V4L2LoopbackBackend>(V4L2Syscalls::system(), log, std::move(options));
            } else if (kind == CameraSink::pipewire) {
                backend = std::make_unique<PipeWireCameraBackend>(log);
            } else {
                backend = std::make_unique<Y4MFifoBackend>(sink->path.value_or(*container / kFifoFilename), log);
            }
            provider = QuellonExtensionProviderSource::create(*backend, services);
            if (!provider->publishError())
                return std::nullopt;
            failure = *provider->publishError();
        } catch (const CameraBackendError& error) {
            failure = error.what();
        }
        QuellonRenameBridge::shared().setApply({});
        provider.reset();
        backend.reset();
        return failure;
    });
    const std::size_t movedOn = setUp.failures.size() - (setUp.sink ? 0 : 1);
    for (std::size_t i = 0; i < movedOn; ++i)
        log.write(LogLevel::info, std::string("Quellon: camera sink ") + sinkName(setUp.failures[i].first)
                                      + " unavailable, tried the next: " + setUp.failures[i].second);
    if (!setUp.sink) {
        failStart(log, "Quellon: camera sink unavailable: " + setUp.failures.back().second);
        target.close();
        return 1;
    }

    log.write(LogLevel::info, "Quellon: camera sink " + backend->sinkDescription());
    auto router = std::make_shared<CameraPropertyRouter>(provider, [&backend] { return backend->sinkDescription(); });
    target.set(router);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    log.write(LogLevel::info, std::string("Quellon: stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    server.stop();
    QuellonRenameBridge::shared().setApply({});
    // Withdrawn with the socket closed and the backend's threads for the device stopped, then
    // closed: no tick runs from here on, and nothing else holds the sources, so releasing them
    // below destroys them here, before the backend whose devices and streams they hold.
    provider->removeDevice();
    target.close();
    router.reset();
    provider.reset();
    backend.reset();
    // A queue destroyed from its own work (a device renamed away, released by a channel write
    // that still reached it) lets its thread finish that item alone; it must be done before the
    // clock and the log go.
    if (!SerialQueue::waitForDetachedThreads(std::chrono::seconds(5)))
        log.write(LogLevel::error, "Quellon: a frames queue did not finish within 5 s of stopping");
    return 0;
}
