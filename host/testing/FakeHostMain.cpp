// The host program around a scripted controller: every call it receives is appended as one
// line to $QUELLON_FAKE_HOST_LOG, so tests see exactly what the commanders asked for.
// With $QUELLON_FAKE_HOST_REFUSE set, every mode change is refused with that text.
// Usage: quellon-fake-host [--no-tray]

#include "host/HostProgram.h"

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>

namespace {

using namespace quellon;
using namespace quellon::host;

class ScriptedController final : public HostController {
public:
    ScriptedController()
    {
        status_.activeLoop = "loop-1.mov";
        status_.loopFrames = 240;
        status_.loopBytes = 240LL * 1280 * 720 * 4;
        status_.rotationClips = 1;
        status_.physicalCamera = "lavfi:testsrc";
        status_.physicalCameraAvailable = true;
        // A physical camera that cannot be opened, as the real host reports one.
        if (const char* error = std::getenv("QUELLON_FAKE_HOST_CAMERA_ERROR")) {
            status_.physicalCamera = "/dev/video97";
            status_.physicalCameraAvailable = false;
            status_.physicalCameraError = error;
        }
        status_.cameraConnected = true;
        status_.appStreaming = true;
        status_.hasLoops = true;
    }

    void setMode(QuellonMode mode, const std::string& cause) override
    {
        if (mode == QuellonMode::error)
            throw std::invalid_argument("the error mode is the host's own");
        if (const char* refusal = std::getenv("QUELLON_FAKE_HOST_REFUSE"))
            throw HostError(refusal);
        change("setMode " + std::string(rawValue(mode)) + " " + cause, [&] {
            status_.mode = mode;
            status_.modeCause = cause;
        });
    }
    QuellonMode mode() const override { return status().mode; }
    HostStatus status() const override
    {
        std::lock_guard lock(mutex_);
        return status_;
    }
    void setActiveLoop(const std::string& clip, const std::string& cause) override
    {
        change("setActiveLoop " + clip + " " + cause, [&] { status_.activeLoop = clip; });
    }
    void setAutoReturn(bool on) override
    {
        change(std::string("setAutoReturn ") + (on ? "on" : "off"), [&] { status_.autoReturn = on; });
    }
    void startRecording(double seconds) override
    {
        if (status().recording)
            throw HostError("a recording is already running");
        change("startRecording " + std::to_string(static_cast<int>(seconds)), [&] { status_.recording = true; });
    }
    PixelBufferRef latestCameraFrame() const override { return {}; }
    PixelBufferRef lastLiveFrame() const override { return {}; }
    void setKeepCameraOpen(bool) override {}
    void setChangeHandler(ChangeHandler handler) override
    {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }

    static void record(const std::string& line)
    {
        if (const char* path = std::getenv("QUELLON_FAKE_HOST_LOG"))
            std::ofstream(path, std::ios::app) << line << '\n' << std::flush;
    }

private:
    template <class Update>
    void change(const std::string& line, Update update)
    {
        record(line);
        HostStatus snapshot;
        ChangeHandler handler;
        {
            std::lock_guard lock(mutex_);
            update();
            snapshot = status_;
            handler = handler_;
        }
        if (handler)
            handler(snapshot);
    }

    mutable std::mutex mutex_;
    HostStatus status_;
    ChangeHandler handler_;
};

} // namespace

int main(int argc, char** argv)
{
    HostProgramOptions options;
    options.automation = false; // the scripted controller logs every call: keep the settings file out of it
    options.tray = !(argc > 1 && std::string(argv[1]) == "--no-tray");
    ScriptedController controller;
    try {
        return runHost(options, controller,
                       ServiceLifecycle{[] { ScriptedController::record("start"); },
                                        [] { ScriptedController::record("stop"); }});
    } catch (const std::exception& error) {
        std::cerr << "quellon-fake-host: " << error.what() << '\n';
        return 1;
    }
}
