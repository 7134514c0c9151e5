#include "host/HostService.h"

#include "capture/CameraListing.h"
#include "capture/CaptureInput.h"
#include "capture/FFmpegCapture.h"
#include "host/AwayPlayer.h"
#include "host/CameraLink.h"
#include "host/CameraWatch.h"
#include "host/FramePump.h"
#include "host/LiveCapture.h"
#include "host/LoopRecorder.h"
#include "host/StateKeeper.h"
#include "platform/Clock.h"
#include "platform/Log.h"
#include "host/HostSettings.h"
#include "host/HostSettingsStore.h"
#include "platform/Environment.h"
#include "state/QuellonStorage.h"

#include <chrono>
#include <cmath>
#include <mutex>
#include <stdexcept>

namespace quellon::host {

namespace fs = std::filesystem;

namespace {

constexpr double kStreamingWithinSeconds = 3;
// How often the pump looks whether another program wrote "state.json".
constexpr double kStateFileCheckSeconds = 0.25;

bool isLoopFile(const fs::directory_entry& entry)
{
    const std::string name = entry.path().filename().string();
    std::error_code error;
    return entry.is_regular_file(error) && !name.starts_with(".") && entry.path().extension() != ".json";
}

bool clipsExist(const fs::path& directory)
{
    std::error_code error;
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error))
        if (isLoopFile(*it))
            return true;
    return false;
}

double monotonicSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

SystemLogSink& defaultLog()
{
    static SystemLogSink sink("quellon");
    return sink;
}

} // namespace

struct HostService::Impl {
    HostOptions options;
    LogSink& log;
    // Auto return's switch lives in the user's settings record, which the settings commands
    // and the automation also change; the host keeps the last value it read or wrote.
    std::unique_ptr<HostSettingsStore> ownSettings;
    HostSettingsStore* settings = nullptr;
    bool autoReturn = false;

    mutable std::mutex mutex;
    bool started = false;
    bool stopped = false;
    std::optional<StateKeeper> keeper;
    QuellonMode requested = QuellonMode::live; // what commanders asked; error is never asked
    std::string modeCause;
    std::optional<std::string> cameraError;    // the physical camera failing
    bool keepCameraOpen = false;
    bool recording = false;
    bool stateDirty = true;
    PixelBufferRef lastLiveFrame;
    PixelBufferRef startNearFrame;             // taken by the pump on the first away frame
    bool cameraConnected = false;
    std::string physicalCamera;                // the input Live opens; empty while none is found
    bool cameraChosen = false;                 // named by an option or the state; else the first camera listed
    std::unique_ptr<CameraWatch> cameraWatch;
    std::int64_t recordingsFinished = 0;
    std::optional<std::string> lastRecording;
    bool lastRecordingActivated = false;
    std::int64_t refusals = 0;
    std::optional<std::string> lastRefusal;
    fs::path clipsDirectory;
    ChangeHandler handler;
    // Snapshots are numbered under the lock and delivered in that order: two threads that
    // change the host at once must not leave the older status as the last one reported.
    mutable std::uint64_t snapshotsTaken = 0;
    mutable std::mutex deliveryMutex;
    mutable std::uint64_t lastDelivered = 0;

    std::unique_ptr<LiveCapture> capture;
    std::unique_ptr<AwayPlayer> away;
    std::unique_ptr<FramePump> pump;
    std::unique_ptr<LoopRecorder> recorder;

    // The pump thread's own.
    std::unique_ptr<CameraLink> link;
    std::uint64_t lastLiveSequence = 0;
    double nextStateFileCheck = 0;
    std::optional<std::pair<fs::file_time_type, std::uintmax_t>> stateFileSeen;

    Impl(HostOptions chosen)
        : options(std::move(chosen)),
          log(options.log ? *options.log : defaultLog()),
          settings(options.settings)
    {
        if (!settings) {
            if (auto file = HostSettingsStore::defaultFile(Environment::process()))
                ownSettings = std::make_unique<HostSettingsStore>(*file);
            settings = ownSettings.get();
        }
        if (settings) {
            try {
                autoReturn = settings->load().autoReturnEnabled;
            } catch (const std::exception& error) {
                // The automation reports an unreadable file at start; auto return stays off.
                log.write(LogLevel::debug, std::string("host: settings not read: ") + error.what());
            }
        }
    }

    QuellonMode effectiveMode() const
    {
        return requested == QuellonMode::live && cameraError ? QuellonMode::error : requested;
    }

    // Under the lock: brings the state's mode to what the host shows; true when it changed.
    bool applyMode(const std::string& cause)
    {
        const QuellonMode from = keeper->state().mode;
        const QuellonMode to = effectiveMode();
        if (from == to)
            return false;
        keeper->change([to](QuellonState& state) { state.mode = to; }, Clock::system().now());
        modeCause = cause;
        stateDirty = true;
        log.write(LogLevel::info, "host: mode " + std::string(rawValue(from)) + " -> " + std::string(rawValue(to)) + " (" + cause + ")");
        return true;
    }

    // Under the lock: the camera is read while Live shows it, auto return samples it, or a
    // recording takes it.
    bool captureWanted() const { return !stopped && (requested == QuellonMode::live || keepCameraOpen || recording); }

    void updateCaptureWanted()
    {
        if (capture)
            capture->setWanted(captureWanted());
    }

    // Under the lock: closes the input and opens it again at once (the retry pause skipped).
    void reopenCamera()
    {
        if (capture && captureWanted())
            capture->reopen();
    }

    // The device watch's: a camera came or went. One that is missing or failing is tried again
    // now rather than at the next retry; a camera that works needs nothing.
    void camerasChanged()
    {
        std::lock_guard lock(mutex);
        if (stopped || !capture || capture->latest().available)
            return;
        log.write(LogLevel::info, "host: cameras changed; opening the camera again");
        reopenCamera();
    }

    void chooseLoop()
    {
        if (away)
            away->choose(AwayPlayer::choiceFor(keeper->state(), clipsDirectory), AwayPlayer::effectsFor(keeper->state()));
    }

    // Under the lock: why Away could show no loop for state; nothing when it can, or when its
    // loop is still loading.
    std::optional<std::string> whyUnplayable(const QuellonState& state) const
    {
        if (!state.activeClipFilename)
            return "there is no loop to play: record or choose one first";
        const std::string& name = *state.activeClipFilename;
        std::error_code error;
        if (name.empty() || name.find('/') != std::string::npos || !fs::is_regular_file(clipsDirectory / name, error))
            return "the loop \"" + name + "\" is not in the clips directory";
        if (away) {
            if (auto failure = away->failure(AwayPlayer::choiceFor(state, clipsDirectory)))
                return "the loop \"" + name + "\" cannot be played (" + *failure + ")";
        }
        return std::nullopt;
    }

    // Under the lock: the mode commanders asked for becomes mode.
    void request(QuellonMode mode)
    {
        if (requested == QuellonMode::live && capture) {
            lastLiveFrame = capture->latest().frame.image;
            if (mode == QuellonMode::away)
                startNearFrame = lastLiveFrame;
        }
        requested = mode;
    }

    // Under the lock: Live opens id from now on, in place of whatever is open.
    void useCamera(const std::optional<std::string>& id)
    {
        cameraChosen = id.has_value();
        physicalCamera = id.value_or("");
        reopenCamera();
    }

    // The capture thread's: the input to open now. Without a chosen one, the first camera
    // listed, asked afresh at every attempt so that a camera plugged in later is found.
    std::string cameraToOpen()
    {
        {
            std::lock_guard lock(mutex);
            if (cameraChosen)
                return physicalCamera;
        }
        // Outside the lock: listing asks every device.
        const auto cameras = options.listCameras ? options.listCameras() : listCameras();
        const std::string first = cameras.empty() ? std::string() : cameras.front().id;
        std::lock_guard lock(mutex);
        if (cameraChosen)
            return physicalCamera;
        physicalCamera = first;
        return first;
    }

    // The loader's: a loop that cannot be played ends an Away that waited for it, so Away is
    // never reported while the camera shows its card.
    void loopLoaded()
    {
        {
            std::lock_guard lock(mutex);
            if (keeper && !stopped && requested == QuellonMode::away) {
                if (const auto reason = whyUnplayable(keeper->state())) {
                    log.write(LogLevel::error, "host: Away ended: " + *reason);
                    request(QuellonMode::standby);
                    try {
                        applyMode("loop failed");
                    } catch (const std::exception& failure) {
                        log.write(LogLevel::error, std::string("host: cannot save the state: ") + failure.what());
                    }
                    updateCaptureWanted();
                }
            }
        }
        if (pump)
            pump->wake();
        notify();
    }

    // The pump thread's: takes in a newer record another program wrote, field by field.
    void adoptIfNewer(const QuellonState& theirs, bool fromFile)
    {
        bool adopted = false;
        Snapshot snapshot;
        {
            std::lock_guard lock(mutex);
            if (!keeper || stopped || !keeper->isNewer(theirs))
                return;
            const QuellonState before = keeper->state();
            const char* source = fromFile ? "state.json" : "the camera";
            std::optional<QuellonMode> wanted;
            std::optional<std::string> refusal;
            std::vector<std::string> changed;
            try {
                changed = keeper->adopt(theirs, [&](QuellonState& merged) {
                    QuellonMode next = requested;
                    // Error is the host's own verdict on the camera, never asked for.
                    if (merged.mode != before.mode && merged.mode != QuellonMode::error) {
                        if (merged.mode == QuellonMode::away)
                            refusal = whyUnplayable(merged);
                        if (!refusal)
                            next = merged.mode;
                    }
                    if (next != requested)
                        wanted = next;
                    merged.mode = next == QuellonMode::live && cameraError ? QuellonMode::error : next;
                }, Clock::system().now(), fromFile);
            } catch (const std::exception& failure) {
                log.write(LogLevel::error, std::string("host: cannot save the state: ") + failure.what());
                return;
            }
            std::string fields;
            for (const std::string& name : changed)
                fields += (fields.empty() ? "" : ", ") + name;
            log.write(LogLevel::info, "host: took revision " + std::to_string(theirs.revision) + " from " + source
                                          + (fields.empty() ? "" : " (" + fields + ")"));
            if (refusal)
                log.write(LogLevel::error, std::string("host: Away from ") + source + " refused: " + *refusal);
            if (wanted) {
                request(*wanted);
                modeCause = std::string("another program (") + source + ")";
                log.write(LogLevel::info, "host: mode " + std::string(rawValue(before.mode)) + " -> "
                                              + std::string(rawValue(keeper->state().mode)) + " (" + modeCause + ")");
            }
            if (keeper->state().selectedCameraID != before.selectedCameraID && !options.inputURL)
                useCamera(keeper->state().selectedCameraID);
            chooseLoop();
            updateCaptureWanted();
            stateDirty = true;
            adopted = true;
            snapshot = snapshotLocked();
        }
        if (adopted)
            report(std::move(snapshot));
    }

    // The pump thread's: looks at "state.json" now and then, and reads it when it changed.
    void checkStateFile(double now)
    {
        if (now < nextStateFileCheck)
            return;
        nextStateFileCheck = now + kStateFileCheckSeconds;
        try {
            const fs::path file = QuellonStorage::stateURL();
            std::error_code error;
            const auto time = fs::last_write_time(file, error);
            if (error)
                return;
            const auto size = fs::file_size(file, error);
            if (error || stateFileSeen == std::pair(time, size))
                return;
            stateFileSeen = std::pair(time, size);
            adoptIfNewer(QuellonStorage::readState(), true);
        } catch (const std::exception& failure) {
            log.write(LogLevel::debug, std::string("host: state.json not read: ") + failure.what());
        }
    }

    HostStatus statusLocked() const
    {
        HostStatus status;
        status.mode = keeper ? keeper->state().mode : requested;
        status.modeCause = modeCause;
        if (keeper) {
            status.activeLoop = keeper->state().activeClipFilename;
            status.stateRevision = keeper->state().revision;
        }
        if (away) {
            const AwayPlayer::Info info = away->info();
            status.loopFrames = info.frames;
            status.loopBytes = info.bytes;
            status.rotationClips = info.clips;
            status.rotationFrameBudget = info.frameBudget;
            status.loopError = info.error;
        }
        status.physicalCamera = physicalCamera;
        status.recordingsFinished = recordingsFinished;
        status.lastRecording = lastRecording;
        status.lastRecordingActivated = lastRecordingActivated;
        status.refusals = refusals;
        status.lastRefusal = lastRefusal;
        if (capture) {
            const LiveCapture::Latest latest = capture->latest();
            status.physicalCameraAvailable = latest.available;
            status.physicalCameraError = latest.error;
        }
        status.cameraConnected = cameraConnected;
        status.autoReturn = autoReturn;
        status.recording = recording;
        return status;
    }

    struct Snapshot {
        HostStatus status;
        std::uint64_t number = 0;
    };

    Snapshot snapshotLocked() const { return {statusLocked(), ++snapshotsTaken}; }

    HostStatus fullStatus() const
    {
        HostStatus status;
        fs::path clips;
        {
            std::lock_guard lock(mutex);
            status = statusLocked();
            clips = clipsDirectory;
        }
        addFileFacts(status, clips);
        return status;
    }

    // What the file system says; read outside the lock.
    static void addFileFacts(HostStatus& status, const fs::path& clips)
    {
        status.hasLoops = !clips.empty() && clipsExist(clips);
        try {
            status.appStreaming = QuellonStorage::isExtensionStreaming(kStreamingWithinSeconds, Clock::system().now());
        } catch (const std::exception&) {
            status.appStreaming = false;
        }
    }

    // Fills in what the file system says and hands the snapshot to the handler, unless a newer
    // one has gone out already: it holds all this one says.
    void report(Snapshot snapshot) const
    {
        std::lock_guard delivering(deliveryMutex);
        if (snapshot.number <= lastDelivered)
            return;
        lastDelivered = snapshot.number;
        ChangeHandler current;
        fs::path clips;
        {
            std::lock_guard lock(mutex);
            current = handler;
            clips = clipsDirectory;
        }
        if (!current)
            return;
        addFileFacts(snapshot.status, clips);
        current(snapshot.status);
    }

    void notify()
    {
        Snapshot snapshot;
        {
            std::lock_guard lock(mutex);
            snapshot = snapshotLocked();
        }
        report(std::move(snapshot));
    }

    void cameraAvailability(bool available, const std::optional<std::string>& error)
    {
        bool changed = false;
        Snapshot snapshot;
        {
            std::lock_guard lock(mutex);
            if (!keeper || stopped)
                return;
            if (error && !cameraError)
                log.write(LogLevel::error, "host: the physical camera failed: " + *error);
            cameraError = available ? std::nullopt : error;
            try {
                changed = applyMode(available ? "camera back" : "camera lost");
            } catch (const std::exception& failure) {
                log.write(LogLevel::error, std::string("host: cannot save the state: ") + failure.what());
            }
            snapshot = snapshotLocked();
        }
        if (pump)
            pump->wake();
        if (changed)
            report(std::move(snapshot));
    }

    void tick()
    {
        const double now = monotonicSeconds();
        const auto contact = link->pollIfDue(now);
        if (contact && contact->state)
            adoptIfNewer(*contact->state, false);
        checkStateFile(now);
        std::optional<QuellonState> toSend;
        QuellonMode mode;
        PixelBufferRef nearFrame;
        {
            std::lock_guard lock(mutex);
            if (contact) {
                try {
                    if (keeper->noteCameraRevision(contact->revision, Clock::system().now()))
                        stateDirty = true;
                } catch (const std::exception& failure) {
                    log.write(LogLevel::error, std::string("host: cannot save the state: ") + failure.what());
                }
            }
            cameraConnected = link->connected();
            if (stateDirty && cameraConnected) {
                toSend = keeper->state();
                stateDirty = false;
            }
            mode = keeper->state().mode;
            link->setFrameSize(keeper->state().targetWidth, keeper->state().targetHeight);
            if (mode == QuellonMode::away)
                nearFrame = std::move(startNearFrame);
        }
        if (toSend && !link->sendState(*toSend, now)) {
            std::lock_guard lock(mutex);
            stateDirty = true;
        }

        switch (mode) {
        case QuellonMode::live: {
            const LiveCapture::Latest latest = capture->latest();
            if (latest.frame.image && latest.sequence != lastLiveSequence) {
                lastLiveSequence = latest.sequence;
                link->sendFrame(*latest.frame.image, latest.frame.jpeg.get(), now);
            }
            break;
        }
        case QuellonMode::away:
            if (nearFrame)
                away->startNear(nearFrame);
            if (PixelBufferRef frame = away->nextFrame()) {
                link->sendFrame(*frame, nullptr, now);
                if (nearFrame)
                    log.write(LogLevel::debug, "host: first away frame sent " + std::to_string(std::lround((monotonicSeconds() - now) * 1000)) + " ms into the tick");
            }
            break;
        case QuellonMode::standby:
        case QuellonMode::error:
            // Nothing pushed: the camera shows its card.
            break;
        }
    }

    double period() const
    {
        std::lock_guard lock(mutex);
        return FramePump::periodFor(keeper->state().targetFPS);
    }
};

HostService::HostService(HostOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

HostService::~HostService()
{
    stop();
}

void HostService::start()
{
    Impl& impl = *impl_;
    std::lock_guard lock(impl.mutex);
    if (impl.started)
        return;

    fs::path socket = impl.options.socketPath;
    QuellonState stored;
    try {
        if (socket.empty()) {
            auto path = CameraClient::defaultSocketPath();
            if (!path)
                throw HostError("there is no shared container");
            socket = *path;
        }
        stored = QuellonStorage::readState();
        impl.clipsDirectory = QuellonStorage::clipsDirectory();
    } catch (const StorageError& error) {
        throw HostError(std::string("the host cannot run: ") + error.what());
    } catch (const fs::filesystem_error& error) {
        throw HostError(std::string("the host cannot run: ") + error.what());
    }

    // Error is the host's own verdict on the camera: a new run tries Live again.
    impl.requested = stored.mode == QuellonMode::error ? QuellonMode::live : stored.mode;
    if (impl.requested == QuellonMode::away) {
        if (const auto reason = impl.whyUnplayable(stored)) {
            impl.log.write(LogLevel::error, "host: not starting Away: " + *reason);
            impl.requested = QuellonMode::standby;
        }
    }
    impl.keeper.emplace(stored, [](const QuellonState& state) { QuellonStorage::writeState(state); });
    try {
        impl.keeper->change([&](QuellonState& state) { state.mode = impl.requested; }, Clock::system().now());
    } catch (const std::exception& error) {
        throw HostError(std::string("cannot save the state: ") + error.what());
    }
    impl.modeCause = "start";
    impl.log.write(LogLevel::info, "host: mode " + std::string(rawValue(impl.requested)) + " (start)");

    if (impl.options.inputURL)
        impl.physicalCamera = *impl.options.inputURL;
    else if (impl.options.cameraID)
        impl.physicalCamera = *impl.options.cameraID;
    else if (stored.selectedCameraID)
        impl.physicalCamera = *stored.selectedCameraID;
    // Otherwise the capture asks for the first camera connected whenever it opens one.
    impl.cameraChosen = impl.options.inputURL || impl.options.cameraID || stored.selectedCameraID;
    auto opener = impl.options.openCamera;
    if (!opener)
        opener = [](const std::string& spelling) {
            const auto parsed = CaptureInput::parse(spelling);
            if (!parsed)
                throw CaptureError("no camera is chosen and none is connected");
            return openCapture(*parsed);
        };

    impl.link = std::make_unique<CameraLink>(socket, impl.log, std::chrono::milliseconds(1000), impl.options.rawFrames);
    impl.capture = std::make_unique<LiveCapture>(
        [&impl, opener] { return opener(impl.cameraToOpen()); },
        [&impl](bool available, const std::optional<std::string>& error) { impl.cameraAvailability(available, error); },
        impl.options.cameraRetrySeconds);
    if (impl.options.watchDevices) {
        try {
            impl.cameraWatch = std::make_unique<CameraWatch>([&impl] { impl.camerasChanged(); });
        } catch (const std::exception& error) {
            impl.log.write(LogLevel::info, std::string("host: cameras plugged in or out are not watched (") + error.what()
                                               + "); a missing camera is looked for every retry");
        }
    }
    impl.away = std::make_unique<AwayPlayer>([&impl] { impl.loopLoaded(); }, AwayPlayer::ProviderFactory{}, &impl.log);
    impl.recorder = std::make_unique<LoopRecorder>(*impl.capture, impl.clipsDirectory, impl.log);
    impl.chooseLoop();
    impl.updateCaptureWanted();
    impl.pump = std::make_unique<FramePump>([&impl] { impl.tick(); }, [&impl] { return impl.period(); });
    impl.started = true;
}

void HostService::stop()
{
    Impl& impl = *impl_;
    {
        std::lock_guard lock(impl.mutex);
        if (!impl.started || impl.stopped)
            return;
        impl.stopped = true;
    }
    // Outside the lock: the threads being joined take it.
    impl.cameraWatch.reset();
    if (impl.recorder)
        impl.recorder->stop();
    impl.pump->stop();
    impl.capture->stop();
    impl.away->stop();
}

void HostService::setMode(QuellonMode mode, const std::string& cause)
{
    if (mode == QuellonMode::error)
        throw std::invalid_argument("the error mode is the host's own");
    Impl& impl = *impl_;
    bool changed = false;
    std::optional<std::string> refusal;
    Impl::Snapshot snapshot;
    {
        std::lock_guard lock(impl.mutex);
        if (!impl.keeper)
            throw HostError("the host is not running");
        if (mode == QuellonMode::away)
            refusal = impl.whyUnplayable(impl.keeper->state());
        if (refusal) {
            // Reported too, so that a commander with no one to answer (a hotkey, a schedule)
            // is heard: the tray link shows it.
            ++impl.refusals;
            impl.lastRefusal = cause + ": " + *refusal;
            impl.log.write(LogLevel::error, "host: Away refused (" + cause + "): " + *refusal);
            snapshot = impl.snapshotLocked();
        } else {
            if (mode == impl.requested)
                return;
            const QuellonMode previous = impl.requested;
            const PixelBufferRef previousLast = impl.lastLiveFrame;
            const PixelBufferRef previousNear = impl.startNearFrame;
            impl.request(mode);
            try {
                changed = impl.applyMode(cause);
            } catch (const std::exception& error) {
                impl.requested = previous;
                impl.lastLiveFrame = previousLast;
                impl.startNearFrame = previousNear;
                throw HostError(std::string("cannot save the state: ") + error.what());
            }
            impl.updateCaptureWanted();
            snapshot = impl.snapshotLocked();
        }
    }
    if (refusal) {
        impl.report(std::move(snapshot));
        throw HostError(*refusal);
    }
    impl.pump->wake();
    if (changed)
        impl.report(std::move(snapshot));
}

QuellonMode HostService::mode() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->keeper ? impl_->keeper->state().mode : impl_->requested;
}

HostStatus HostService::status() const
{
    return impl_->fullStatus();
}

void HostService::setActiveLoop(const std::string& clipFilename, const std::string& cause)
{
    Impl& impl = *impl_;
    if (clipFilename.empty() || clipFilename.starts_with(".") || clipFilename.find('/') != std::string::npos
        || fs::path(clipFilename).extension() == ".json")
        throw HostError("\"" + clipFilename + "\" is not the name of a loop");
    {
        std::lock_guard lock(impl.mutex);
        if (!impl.keeper)
            throw HostError("the host is not running");
        std::error_code error;
        if (!fs::is_regular_file(impl.clipsDirectory / clipFilename, error))
            throw HostError("there is no loop named \"" + clipFilename + "\"");
        if (impl.keeper->state().activeClipFilename == clipFilename)
            return;
        try {
            impl.keeper->change([&](QuellonState& state) { state.activeClipFilename = clipFilename; }, Clock::system().now());
        } catch (const std::exception& failure) {
            throw HostError(std::string("cannot save the state: ") + failure.what());
        }
        impl.stateDirty = true;
        impl.log.write(LogLevel::info, "host: active loop " + clipFilename + " (" + cause + ")");
        impl.chooseLoop();
    }
    impl.pump->wake();
    impl.notify();
}

void HostService::setCamera(const std::string& id, const std::string& cause)
{
    Impl& impl = *impl_;
    if (id.empty() || id.find('\0') != std::string::npos || !CaptureInput::parse(id))
        throw HostError("\"" + id + "\" names no camera: give an ID from `quellon cameras`");
    {
        std::lock_guard lock(impl.mutex);
        if (!impl.keeper || impl.stopped)
            throw HostError("the host is not running");
        if (impl.keeper->state().selectedCameraID == id && impl.cameraChosen && impl.physicalCamera == id)
            return;
        try {
            impl.keeper->change([&](QuellonState& state) { state.selectedCameraID = id; }, Clock::system().now());
        } catch (const std::exception& failure) {
            throw HostError(std::string("cannot save the state: ") + failure.what());
        }
        impl.stateDirty = true;
        impl.log.write(LogLevel::info, "host: camera " + id + " (" + cause + ")");
        impl.useCamera(id);
    }
    impl.pump->wake();
    impl.notify();
}

void HostService::setAutoReturn(bool on)
{
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->autoReturn == on)
            return; // the automation echoes every switch it applies: no write, no change
    }
    if (impl_->settings) {
        try {
            impl_->settings->update([on](HostSettings& settings) { settings.autoReturnEnabled = on; });
        } catch (const std::exception& error) {
            throw HostError(std::string("cannot save auto return: ") + error.what());
        }
    }
    {
        std::lock_guard lock(impl_->mutex);
        impl_->autoReturn = on;
    }
    impl_->notify();
}

void HostService::startRecording(double seconds)
{
    Impl& impl = *impl_;
    {
        std::lock_guard lock(impl.mutex);
        if (!impl.recorder || impl.stopped)
            throw HostError("the host is not running");
        if (impl.recording)
            throw HostError("a recording is already running");
        impl.recording = true;
        impl.updateCaptureWanted();
    }
    try {
        impl.recorder->start(seconds, [&impl](const std::optional<std::string>& saved) {
            {
                std::lock_guard lock(impl.mutex);
                impl.recording = false;
                impl.updateCaptureWanted();
                ++impl.recordingsFinished;
                impl.lastRecording = saved;
                impl.lastRecordingActivated = false;
                // A first loop is what Away should play: nobody has to choose it.
                if (saved && impl.keeper && !impl.stopped && !impl.keeper->state().activeClipFilename) {
                    try {
                        impl.keeper->change([&](QuellonState& state) { state.activeClipFilename = *saved; },
                                            Clock::system().now());
                        impl.stateDirty = true;
                        impl.lastRecordingActivated = true;
                        impl.log.write(LogLevel::info, "host: active loop " + *saved + " (recorded)");
                        impl.chooseLoop();
                    } catch (const std::exception& failure) {
                        impl.log.write(LogLevel::error, std::string("host: cannot save the state: ") + failure.what());
                    }
                }
            }
            impl.notify();
        });
    } catch (...) {
        std::lock_guard lock(impl.mutex);
        impl.recording = false;
        impl.updateCaptureWanted();
        throw;
    }
    impl.notify();
}

PixelBufferRef HostService::latestCameraFrame() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->capture ? impl_->capture->latest().frame.image : nullptr;
}

PixelBufferRef HostService::lastLiveFrame() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->lastLiveFrame;
}

void HostService::setKeepCameraOpen(bool keep)
{
    std::lock_guard lock(impl_->mutex);
    impl_->keepCameraOpen = keep;
    impl_->updateCaptureWanted();
}

void HostService::setChangeHandler(ChangeHandler handler)
{
    std::lock_guard lock(impl_->mutex);
    impl_->handler = std::move(handler);
}

} // namespace quellon::host
