#pragma once
// The host service: owns the state, keeps the camera daemon told, and feeds it the live
// camera, the away loop or nothing.

#include "host/HostController.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quellon {
class CaptureSource;
class LogSink;
struct CameraDescription;
}

namespace quellon::host {

class HostSettingsStore;

struct HostOptions {
    /// Overrides the state's selectedCameraID.
    std::optional<std::string> cameraID;
    /// Any capture input (a device path, a file, "lavfi:GRAPH") used as the physical camera.
    std::optional<std::string> inputURL;
    /// The camera daemon's socket; the shared container's "camera.sock" when empty.
    std::filesystem::path socketPath;
    /// Where mode changes and connection trouble are logged; standard error when empty.
    LogSink* log = nullptr;
    /// The user's settings, where auto return's switch is kept; the user's settings file when
    /// empty.
    HostSettingsStore* settings = nullptr;
    /// Seconds between attempts to reopen a physical camera that is missing or failing.
    double cameraRetrySeconds = 1.0;
    /// Sends uncompressed pictures over the raw frame channel where the camera offers it; false
    /// sends every picture as JPEG, as for a camera without the channel (benchmarks compare the
    /// two).
    bool rawFrames = true;
    /// Opens the physical camera from its spelling (throws CaptureError); FFmpeg's capture when
    /// empty. Tests give fakes.
    std::function<std::unique_ptr<CaptureSource>(const std::string& input)> openCamera;
    /// The physical cameras connected now, asked whenever no camera is chosen and one must be
    /// opened; listCameras() when empty. Tests give fake listings.
    std::function<std::vector<CameraDescription>()> listCameras;
    /// Watches the system for cameras coming and going, so a camera plugged in is tried at
    /// once rather than at the next retry.
    bool watchDevices = true;
};

class HostService final : public HostController {
public:
    explicit HostService(HostOptions options);
    ~HostService() override;
    HostService(const HostService&) = delete;
    HostService& operator=(const HostService&) = delete;

    /// Loads the stored state and starts talking to the camera and capturing. Throws HostError
    /// when the host cannot run at all (no container).
    void start();
    /// Stops pushing frames and every thread, saving nothing half-written. Idempotent.
    void stop();

    void setMode(QuellonMode mode, const std::string& cause) override;
    QuellonMode mode() const override;
    HostStatus status() const override;
    void setActiveLoop(const std::string& clipFilename, const std::string& cause) override;
    void setCamera(const std::string& id, const std::string& cause) override;
    void setAutoReturn(bool on) override;
    void startRecording(double seconds) override;
    PixelBufferRef latestCameraFrame() const override;
    PixelBufferRef lastLiveFrame() const override;
    void setKeepCameraOpen(bool keep) override;
    void setChangeHandler(ChangeHandler handler) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace quellon::host
