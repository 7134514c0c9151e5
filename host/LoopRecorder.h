#pragma once
// Records a new loop from the frames the host already captures, on a thread of its own, into
// the clips directory: the same flow as `quellon record`, fed by a tap on the live capture.

#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace quellon {
class LogSink;
}

namespace quellon::host {

class FrameTee;
class LiveCapture;

class LoopRecorder {
public:
    static constexpr double kLongestSeconds = 600;
    /// How long a recording waits for the camera to deliver its first picture.
    static constexpr double kOpenSeconds = 10;

    /// Told the saved clip's file name, or nothing when the recording failed or was cancelled;
    /// from the recording thread.
    using Done = std::function<void(const std::optional<std::string>& filename)>;

    LoopRecorder(LiveCapture& capture, std::filesystem::path clipsDirectory, LogSink& log);
    ~LoopRecorder();
    LoopRecorder(const LoopRecorder&) = delete;
    LoopRecorder& operator=(const LoopRecorder&) = delete;

    /// Starts recording seconds (more than 0, at most 10 minutes). Throws HostError when the
    /// length is out of range or a recording runs.
    void start(double seconds, Done done);
    /// Cancels a recording in progress (keeping nothing) and joins its thread. Idempotent.
    void stop();

private:
    std::optional<std::string> record(double seconds);

    LiveCapture& capture_;
    const std::filesystem::path clipsDirectory_;
    LogSink& log_;
    std::mutex mutex_;
    FrameTee* tee_ = nullptr; // interrupted by stop()
    std::atomic<bool> cancel_ = false;
    std::atomic<bool> running_ = false;
    std::thread thread_;
};

} // namespace quellon::host
