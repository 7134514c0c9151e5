#pragma once
// What the running host reports of itself: `quellon status`, the tray's status notification.

#include "state/QuellonMode.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quellon::host {

/// A snapshot of the running host. Plain values, so it crosses the bus as JSON.
struct HostStatus {
    QuellonMode mode = QuellonMode::standby;
    /// Who or what made the last mode change: "command", "tray", "camera lost", "schedule Lunch", ...
    std::string modeCause;
    /// The active loop's clip file name, and what its preload holds.
    std::optional<std::string> activeLoop;
    std::int64_t loopFrames = 0;
    std::int64_t loopBytes = 0;
    /// Clips played one after another (1 without a rotation) and the frames they share.
    std::int64_t rotationClips = 0;
    std::int64_t rotationFrameBudget = 0;
    /// Why the active loop could not be loaded; nothing when it loaded or none is chosen.
    std::optional<std::string> loopError;
    /// The physical camera's input, whether it delivers frames, and why not.
    std::string physicalCamera;
    bool physicalCameraAvailable = false;
    std::optional<std::string> physicalCameraError;
    /// The camera daemon answers on its socket.
    bool cameraConnected = false;
    /// Some application reads the virtual camera (from the camera's heartbeat).
    bool appStreaming = false;
    bool autoReturn = false;
    bool hasLoops = false;
    bool recording = false;
    /// Recordings that have ended in this run; the clip the last one saved (nothing when it
    /// failed), and whether that clip became the active loop because none was chosen.
    std::int64_t recordingsFinished = 0;
    std::optional<std::string> lastRecording;
    bool lastRecordingActivated = false;
    /// Mode changes refused in this run, and the last one: who asked and why it could not be
    /// done ("hotkey toggleAway: there is no loop to play: ...").
    std::int64_t refusals = 0;
    std::optional<std::string> lastRefusal;
    std::int64_t stateRevision = 0;
    /// What the host does by itself: the armed triggers and the next schedule change, as
    /// lines of text; nothing when the automation is not running.
    std::optional<std::string> automation;

    bool operator==(const HostStatus&) const = default;
};

/// Compact JSON of the snapshot. Throws EncodingError.
std::string encodeJSON(const HostStatus& status);
/// Decodes a snapshot or throws DecodingError.
HostStatus decodeHostStatus(std::string_view json);

} // namespace quellon::host
