#pragma once

#include "ExtensionServices.h"
#include "backends/CameraBackend.h"
#include "playback/PixelBuffer.h"
#include "state/QuellonMode.h"
#include "state/QuellonState.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quellon {

class FrameTimer;
class SerialQueue;

/// A frame duration as a rational number of seconds: value / timescale.
struct FrameDuration {
    std::int64_t value = 1;
    std::int32_t timescale = 30;
    bool operator==(const FrameDuration&) const = default;
};

/// The one format the stream offers, fixed for its life.
struct StreamFormat {
    PixelFormatCode pixelFormat = kPixelFormatBGRA;
    int width = 1280;
    int height = 720;
    FrameDuration minFrameDuration;
    FrameDuration maxFrameDuration;
    bool operator==(const StreamFormat&) const = default;
};

/// The stream's properties: the two standard ones and the three channels.
enum class StreamProperty { activeFormatIndex, frameDuration, state, frame, name };

/// A property value as the camera system hands it over; the channels take byte buffers only.
using StreamPropertyValue = std::variant<std::monostate, std::int64_t, FrameDuration, std::string>;

/// Requested properties, each filled only when asked for.
struct StreamPropertyValues {
    std::optional<std::int64_t> activeFormatIndex;
    std::optional<FrameDuration> frameDuration;
    std::optional<std::string> state;
    std::optional<std::string> frame;
    std::optional<std::string> name;
    bool operator==(const StreamPropertyValues&) const = default;
};

/// The source of the camera's only video stream: receives the state, frame and name channels
/// and, while clients stream, sends one frame per tick: the latest pushed frame while it is
/// fresh, otherwise the standby card.
///
/// Everything a tick touches lives on the serial "com.quellon.ext.frames" queue. Channel
/// writes decode on the caller's thread and hop there; client starts and stops do their
/// counting and timer work there too, so they can never run at the same time as a tick.
class QuellonExtensionStreamSource final : public CameraStreamHandler,
                                           public std::enable_shared_from_this<QuellonExtensionStreamSource> {
public:
    static constexpr const char* kFramesQueueLabel = "com.quellon.ext.frames";
    /// How long a pushed frame is shown before the standby card takes over.
    static constexpr double kPushedFrameFreshness = 0.7;
    static constexpr double kHeartbeatInterval = 1.0;
    static constexpr std::int64_t kMinFPS = 5;
    static constexpr std::int64_t kMaxFPS = 30;
    /// The smallest card drawn; the largest is the stream's format.
    static constexpr std::int64_t kMinCardSide = 16;

    /// Makes the source and last its stream on device (not yet added to it).
    static std::shared_ptr<QuellonExtensionStreamSource> create(std::string localizedName, std::string streamID,
                                                                std::shared_ptr<CameraDevice> device,
                                                                const ExtensionServices& services);
    ~QuellonExtensionStreamSource() override;

    const std::shared_ptr<CameraStream>& stream() const { return stream_; }
    const std::shared_ptr<CameraDevice>& device() const { return device_; }
    const StreamFormat& streamFormat() const { return streamFormat_; }

    std::vector<StreamFormat> formats() const { return {streamFormat_}; }
    std::vector<StreamProperty> availableProperties() const;
    StreamPropertyValues streamProperties(const std::set<StreamProperty>& requested) const;
    /// Handles the frame, state and name channels in that order; anything else, and any value
    /// that is not a byte buffer, is ignored.
    void setStreamProperties(const std::map<StreamProperty, StreamPropertyValue>& values);
    bool authorizedToStartStream() const { return true; }

    void startStream() override;
    void stopStream() override;
    /// The standby card for the current mode, made on the frames queue; never call it from there.
    PixelBufferRef primeFrame() override;

    // The channels, one write each.
    void setFrameProperty(std::string_view bytes);
    void setStateProperty(std::string_view bytes);
    void setNameProperty(std::string_view bytes);
    /// A frame already in memory (the raw frame channel): shown like a decoded JPEG, under the
    /// same freshness rule. Null or non-BGRA frames are ignored.
    void setPushedFrame(PixelBufferRef frame);

    /// The rate ticks run at now (5 to 30).
    std::int64_t fps() const;

    /// The fields the frames queue owns, read there; for tests and diagnostics.
    struct Snapshot {
        std::int64_t startClients = 0;
        bool timerRunning = false;
        std::int64_t lastRevision = -1;
        QuellonMode currentMode = QuellonMode::standby;
        std::int64_t width = 1280;
        std::int64_t height = 720;
        std::int64_t fps = 30;
        std::optional<QuellonState> appliedState;
        std::string lastStateData;
        PixelBufferRef latestPushedFrame;
        PixelBufferRef cachedStandby;
        std::uint64_t framesReceived = 0;
    };
    Snapshot snapshot() const;

    /// Waits until the work already queued on the frames queue has run.
    void drain() const;

    /// Ends the ticks for good, once the device is withdrawn: waits for a tick in progress, and
    /// no frame is sent afterwards, whatever starts still arrive. A tick holds the source while
    /// it runs, so without this the last release could come from a tick, after the program has
    /// let the backend, the clock and the log go.
    void close();

    QuellonExtensionStreamSource(const QuellonExtensionStreamSource&) = delete;
    QuellonExtensionStreamSource& operator=(const QuellonExtensionStreamSource&) = delete;

private:
    QuellonExtensionStreamSource(std::shared_ptr<CameraDevice> device, const ExtensionServices& services);

    // On the frames queue.
    void startTimer();
    void stopTimer();
    void applyState(bool force);
    void tick();
    PixelBufferRef currentFrame();
    PixelBufferRef standbyCard(const std::string& caption);
    /// "standby.png" decoded, or null (logged) when it is too large or no picture.
    PixelBufferRef standbyPicture(const std::filesystem::path& url, std::uintmax_t size);
    bool sendFrame(const PixelBufferRef& frame);
    void writeHeartbeatIfDue();
    // Any thread.
    void countReceivedFrame(const std::string& what);
    void showPushedFrame(PixelBufferRef frame);

    // Declared first so it goes last: work still queued may refer to the fields below.
    std::unique_ptr<SerialQueue> timerQueue_;
    ExtensionServices services_;
    std::shared_ptr<CameraDevice> device_;
    StreamFormat streamFormat_;
    std::shared_ptr<CameraStream> stream_;

    // Owned by the frames queue.
    std::unique_ptr<FrameTimer> timer_;
    bool closed_ = false;
    std::int64_t startClients_ = 0;
    std::optional<double> lastHeartbeatHostTime_;
    std::int64_t lastRevision_ = -1;
    QuellonMode currentMode_ = QuellonMode::standby;
    PixelBufferRef cachedStandby_;
    std::string cachedStandbyCaption_;
    /// What "standby.png" was when the cached card was made: a replaced, rewritten or removed
    /// picture makes the card anew. Absent when there was none.
    struct FileStamp {
        std::uintmax_t device = 0, inode = 0, size = 0;
        std::int64_t modifiedNanos = 0, changedNanos = 0;
        bool operator==(const FileStamp&) const = default;
    };
    std::optional<FileStamp> cachedStandbyStamp_;
    std::optional<QuellonState> appliedState_;
    std::string lastStateData_;
    PixelBufferRef latestPushedFrame_;
    std::optional<double> lastPushedHostTime_;
    std::int64_t width_ = 1280;
    std::int64_t height_ = 720;
    std::int64_t fps_ = 30;

    // Written by the channel callbacks.
    std::atomic<std::uint64_t> framesReceived_{0};
};

} // namespace quellon
