#pragma once
// The host's one connection to the camera daemon, used from the pump thread only (the client
// is not thread-safe). A lost connection is retried with a growing pause, forever, and logged
// once when it goes and once when it comes back.

#include "channel/CameraClient.h"
#include "playback/JPEGEncoder.h"
#include "playback/PixelBuffer.h"
#include "state/QuellonState.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

namespace quellon {
class LogSink;
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
        std::optional<QuellonState> state; // the record itself, when it decodes
    };

    /// When a poll is due at now (monotonic seconds), asks the camera which state it holds.
    /// Nothing when no poll was due or the camera did not answer.
    std::optional<Contact> pollIfDue(double now);

    /// Sends a state record; false when the camera is unreachable (the link then waits for
    /// its next poll).
    bool sendState(const QuellonState& state, double now);

    /// The camera's stream is at most this large; it shows nothing larger.
    static constexpr int kLargestWidth = 1280;
    static constexpr int kLargestHeight = 720;

    /// The size pictures are fitted into: the state's target size as the camera clamps it.
    void setFrameSize(std::int64_t width, std::int64_t height);

    /// Sends one picture: jpeg as it is when given and the frame fits the frame size, else the
    /// frame (scaled down to fit, keeping its proportions) over the raw channel, or as JPEG where
    /// the camera has none. A picture too large for the channel is never dropped for its size.
    /// False when the camera is unreachable or refused it.
    bool sendFrame(const PixelBuffer& original, const std::string* jpeg, double now);

    /// frame scaled down to fit inside width × height, keeping its proportions (into reuse when
    /// that has the size); nothing when it fits already.
    static PixelBufferRef scaledToFit(const PixelBuffer& frame, int width, int height, PixelBufferRef reuse = nullptr);

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
    int frameWidth_ = kLargestWidth;
    int frameHeight_ = kLargestHeight;
    PixelBufferRef scaled_; // reused while frames of one size come
    std::string lastFrameError_;
};

} // namespace quellon::host
