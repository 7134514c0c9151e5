#include "host/LoopRecorder.h"

#include "analysis/LoopClipAnalysis.h"
#include "capture/LoopRecording.h"
#include "capture/LoopSaving.h"
#include "host/FrameTee.h"
#include "host/HostController.h"
#include "host/LiveCapture.h"
#include "platform/Log.h"
#include "platform/TemporaryFiles.h"

#include <chrono>
#include <set>

namespace quellon::host {

namespace fs = std::filesystem;

LoopRecorder::LoopRecorder(LiveCapture& capture, fs::path clipsDirectory, LogSink& log)
    : capture_(capture), clipsDirectory_(std::move(clipsDirectory)), log_(log)
{
}

LoopRecorder::~LoopRecorder()
{
    stop();
}

void LoopRecorder::start(double seconds, Done done)
{
    if (!(seconds > 0) || seconds > kLongestSeconds)
        throw HostError("a recording must last more than 0 and at most 600 seconds");
    std::lock_guard lock(mutex_);
    if (running_)
        throw HostError("a recording is already running");
    if (thread_.joinable())
        thread_.join(); // the previous one has finished
    cancel_ = false;
    running_ = true;
    thread_ = std::thread([this, seconds, done = std::move(done)] {
        std::optional<std::string> saved;
        try {
            saved = record(seconds);
        } catch (const std::exception& error) {
            log_.write(LogLevel::error, std::string("host: recording failed: ") + error.what());
        }
        running_ = false;
        if (done)
            done(saved);
    });
}

void LoopRecorder::stop()
{
    {
        std::lock_guard lock(mutex_);
        cancel_ = true;
        if (tee_)
            tee_->interrupt();
    }
    if (thread_.joinable())
        thread_.join();
}

std::optional<std::string> LoopRecorder::record(double seconds)
{
    // The capture opens on its own thread once the recording wants it.
    std::optional<CaptureFormat> format;
    const auto openBy = std::chrono::steady_clock::now() + std::chrono::duration<double>(kOpenSeconds);
    while (!cancel_ && !(format = capture_.format()) && std::chrono::steady_clock::now() < openBy)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (cancel_)
        return std::nullopt;
    if (!format)
        throw CaptureError("the camera did not open");

    FrameTee tee(*format);
    {
        std::lock_guard lock(mutex_);
        if (cancel_)
            return std::nullopt;
        tee_ = &tee;
    }
    const int tap = capture_.addTap([&tee](const CapturedFrame& frame) { tee.push(frame); });
    struct Untap {
        LoopRecorder& self;
        int tap;
        ~Untap()
        {
            self.capture_.removeTap(tap);
            std::lock_guard lock(self.mutex_);
            self.tee_ = nullptr;
        }
    } untap{*this, tap};

    // Locked while we record and save, so no library command takes it for an interrupted run's.
    const OwnedTemporaryFile recordingFile(clipsDirectory_, ".quellon-recording-", ".mov");
    const fs::path& recording = recordingFile.path();

    log_.write(LogLevel::info, "host: recording " + std::to_string(seconds) + " s");
    LoopClipAnalysis analysis{LoopClipAnalysis::EyeFrames::none}; // the eye test reads its frames again from the file
    const RecordingSummary summary = recordLoop(tee, recording, seconds, analysis, &boxDetector(), {}, cancel_);
    if (summary.cancelled || cancel_ || summary.frames == 0)
        return std::nullopt;

    std::set<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(clipsDirectory_, error), end; !error && it != end; it.increment(error))
        names.insert(it->path().filename().string());
    const std::string filename = uniqueName(defaultLoopName(), names);
    try {
        const SavedLoop saved = saveRecordedLoop(recording, analysis, *format, summary.duration, clipsDirectory_ / filename,
                                                 std::nullopt, cancel_);
        log_.write(LogLevel::info, "host: saved the loop " + saved.filename);
        return saved.filename;
    } catch (const RecordingCancelled&) {
        return std::nullopt;
    }
}

} // namespace quellon::host
