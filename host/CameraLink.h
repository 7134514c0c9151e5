#pragma once
// The host's one connection to the camera daemon, used from the pump thread only (the client
// is not thread-safe). A lost connection is retried with a growing pause, forever, and logged
// once when it goes and once when it comes back.

#include "channel/CameraClient.h"
#include "playback/JPEGEncoder.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

namespace quellon {
class LogSink;
class PixelBuffer;
}

namespace quellon::host {

class CameraLink {
public:
    static constexpr double kPollSeconds = 1.0;
    static constexpr double kFirstRetrySeconds = 0.25;
    static constexpr double kLongestRetrySeconds = 2.0;

    /// rawFrames false: never use the raw channel, send every picture as JPEG.
    CameraLink(std::filesystem::path socketPath, LogSink& log, std::chrono::milliseconds timeout = std::chrono::milliseconds(1000),
               bool rawFrames = true);

    /// What a poll learnt: the camera answers and holds a state of this revision (nothing: it
    /// holds none yet).
    struct Contact {
        std::optional<std::int64_t> revision;
    };

    /// When a poll is due at now (monotonic seconds), asks the camera which state it holds.
    /// Nothing when no poll was due or the camera did not answer.
    std::optional<Contact> pollIfDue(double now);

    /// Sends a state record; false when the camera is unreachable (the link then waits for
    /// its next poll).
    bool sendState(const QuellonState& state, double now);

    /// Sends one picture: jpeg as it is when given, else the frame over the raw channel, or as
    /// JPEG where the camera has none. False when the camera is unreachable or refused it.
    bool sendFrame(const PixelBuffer& frame, const std::string* jpeg, double now);

    bool connected() const { return connected_; }
    /// Makes the next pollIfDue ask at once.
    void pollSoon() { nextPoll_ = 0; }

private:
    void lost(double now, const std::exception& error);

    CameraClient client_;
    LogSink& log_;
    JPEGEncoder encoder_;
    bool connected_ = false;
    bool everConnected_ = false;
    const bool rawWanted_;
    bool rawChannel_; // until the camera says it has none
    double nextPoll_ = 0;
    double retry_ = kFirstRetrySeconds;
};

} // namespace quellon::host
