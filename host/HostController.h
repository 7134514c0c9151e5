#pragma once
// The running host as its commanders see it: the bus interface, the tray, hotkeys and the
// automatic triggers all act through this, never on the host's insides.

#include "host/HostStatus.h"
#include "playback/PixelBuffer.h"

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

namespace quellon::host {

/// The host cannot do what was asked (no loop to play, a recording already running, ...).
/// The message is for the user.
class HostError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Every call is safe from any thread and returns promptly; slow work runs on the host's own
/// threads.
class HostController {
public:
    virtual ~HostController() = default;

    /// Switches to live, away or standby; cause names who asked ("command", "tray", "hotkey",
    /// "schedule Lunch", ...) and is logged with the change. Error is the host's own mode:
    /// asking for it throws std::invalid_argument.
    virtual void setMode(QuellonMode mode, const std::string& cause) = 0;
    virtual QuellonMode mode() const = 0;
    virtual HostStatus status() const = 0;

    /// Makes clipFilename (a file in the clips directory) the active loop and preloads it.
    virtual void setActiveLoop(const std::string& clipFilename, const std::string& cause) = 0;

    /// Makes id the physical camera Live shows (an ID from the camera list, or any capture
    /// input), kept as the state's selectedCameraID, and opens it in place of the one open.
    /// Throws HostError for an empty id or one that names no input. A host that cannot change
    /// its camera refuses.
    virtual void setCamera(const std::string& id, const std::string& cause)
    {
        (void)id;
        (void)cause;
        throw HostError("this host cannot change its camera");
    }

    /// Auto return's switch, kept in the host's user defaults.
    virtual void setAutoReturn(bool on) = 0;

    /// Records a new loop of seconds from the physical camera the host already captures, in
    /// the background, into the clips directory. Throws HostError when it cannot start.
    virtual void startRecording(double seconds) = 0;

    /// The newest frame of the physical camera; nothing while it is closed or failing.
    virtual PixelBufferRef latestCameraFrame() const = 0;
    /// The last frame shown live before the latest switch away from Live.
    virtual PixelBufferRef lastLiveFrame() const = 0;
    /// Keeps the physical camera open outside Live (auto return samples it); what it reads then
    /// never reaches the virtual camera.
    virtual void setKeepCameraOpen(bool keep) = 0;

    /// Called after every change of mode, auto return, loops or recording, from whichever host
    /// thread made it; handlers hand the work to their own thread and do not call back into the
    /// host. Statuses arrive in the order they were taken, so the last one is the newest; one
    /// overtaken before its delivery is skipped. One handler; a new one replaces the old.
    using ChangeHandler = std::function<void(const HostStatus&)>;
    virtual void setChangeHandler(ChangeHandler handler) = 0;
};

} // namespace quellon::host
