#include "QuellonExtensionStreamSource.h"

#include "FrameFactory.h"
#include "FrameTimer.h"
#include "QuellonRenameBridge.h"
#include "SerialQueue.h"
#include "channel/QuellonCMIOChannel.h"
#include "platform/Clock.h"
#include "platform/FileIO.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "playback/ImageDecoding.h"
#include "state/QuellonIdentifiers.h"
#include "state/QuellonStorage.h"
#include "state/UnicodeText.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace quellon {

namespace {

constexpr const char* kStandbyTitle = "Quellon";
constexpr const char* kPausedCaption = "Camera paused";
constexpr const char* kUnavailableCaption = "Camera unavailable";
// A standby picture is a single still; anything near this size is not one.
constexpr std::size_t kMaxStandbyImageBytes = 32 * 1024 * 1024;

std::span<const std::uint8_t> byteSpan(std::string_view bytes)
{
    return {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
}

std::uint64_t hostTimeNanos(double seconds)
{
    const double nanos = seconds * 1e9;
    if (!std::isfinite(nanos) || nanos <= 0)
        return 0;
    if (nanos >= static_cast<double>(std::numeric_limits<std::uint64_t>::max()))
        return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(nanos);
}

} // namespace

QuellonExtensionStreamSource::QuellonExtensionStreamSource(std::shared_ptr<CameraDevice> device,
                                                           const ExtensionServices& services)
    : timerQueue_(std::make_unique<SerialQueue>(kFramesQueueLabel)), services_(services), device_(std::move(device))
{
}

std::shared_ptr<QuellonExtensionStreamSource> QuellonExtensionStreamSource::create(std::string localizedName,
                                                                                   std::string streamID,
                                                                                   std::shared_ptr<CameraDevice> device,
                                                                                   const ExtensionServices& services)
{
    std::shared_ptr<QuellonExtensionStreamSource> source(new QuellonExtensionStreamSource(device, services));
    source->stream_ = device->makeStream({std::move(localizedName), std::move(streamID)}, source);
    return source;
}

QuellonExtensionStreamSource::~QuellonExtensionStreamSource()
{
    // The timer belongs to the frames queue: cancel it there. No queued closure can reach a
    // source that is being destroyed (they all hold it weakly), so waiting for the queue is safe.
    if (timerQueue_->isCurrent())
        stopTimer();
    else
        timerQueue_->sync([this] { stopTimer(); });
}

std::vector<StreamProperty> QuellonExtensionStreamSource::availableProperties() const
{
    return {StreamProperty::activeFormatIndex, StreamProperty::frameDuration, StreamProperty::state,
            StreamProperty::frame, StreamProperty::name};
}

StreamPropertyValues QuellonExtensionStreamSource::streamProperties(const std::set<StreamProperty>& requested) const
{
    StreamPropertyValues values;
    const bool wantsDuration = requested.contains(StreamProperty::frameDuration);
    const bool wantsState = requested.contains(StreamProperty::state);
    if (wantsDuration || wantsState) {
        timerQueue_->sync([&] {
            if (wantsDuration)
                values.frameDuration = FrameDuration{1, static_cast<std::int32_t>(fps_)};
            if (wantsState)
                values.state = lastStateData_;
        });
    }
    if (requested.contains(StreamProperty::activeFormatIndex))
        values.activeFormatIndex = 0;
    if (requested.contains(StreamProperty::frame))
        values.frame = std::string();
    if (requested.contains(StreamProperty::name))
        values.name = std::string();
    return values;
}

void QuellonExtensionStreamSource::setStreamProperties(const std::map<StreamProperty, StreamPropertyValue>& values)
{
    auto bytesOf = [&](StreamProperty property) -> const std::string* {
        auto it = values.find(property);
        return it == values.end() ? nullptr : std::get_if<std::string>(&it->second);
    };
    if (const std::string* frame = bytesOf(StreamProperty::frame))
        setFrameProperty(*frame);
    if (const std::string* state = bytesOf(StreamProperty::state))
        setStateProperty(*state);
    if (const std::string* name = bytesOf(StreamProperty::name))
        setNameProperty(*name);
}

// Client counting: only the first start and the last stop act; a stop without a start does
// no harm. The counting runs on the frames queue with the timer it controls.
void QuellonExtensionStreamSource::startStream()
{
    timerQueue_->async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self)
            return;
        self->startClients_ += 1;
        if (self->startClients_ == 1)
            self->startTimer();
    });
}

PixelBufferRef QuellonExtensionStreamSource::primeFrame()
{
    PixelBufferRef card;
    timerQueue_->sync([&] {
        card = standbyCard(currentMode_ == QuellonMode::error ? kUnavailableCaption : kPausedCaption);
    });
    return card;
}

void QuellonExtensionStreamSource::stopStream()
{
    timerQueue_->async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self)
            return;
        const std::int64_t remaining = self->startClients_ - 1;
        self->startClients_ = std::max<std::int64_t>(remaining, 0);
        if (remaining <= 0)
            self->stopTimer();
    });
}

void QuellonExtensionStreamSource::startTimer()
{
    stopTimer();
    if (closed_)
        return;
    applyState(true);
    timer_ = services_.timers.start(*timerQueue_, 1.0 / static_cast<double>(fps_), [weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->tick();
    });
}

void QuellonExtensionStreamSource::stopTimer()
{
    if (timer_) {
        timer_->cancel();
        timer_.reset();
    }
}

void QuellonExtensionStreamSource::applyState(bool force)
{
    if (!appliedState_) {
        currentMode_ = QuellonMode::standby;
        return;
    }
    const QuellonState& state = *appliedState_;
    if (!force && state.revision == lastRevision_)
        return;
    lastRevision_ = state.revision;
    // The card is drawn at most at the size the camera sends; the stored state keeps its values.
    const std::int64_t width = std::clamp<std::int64_t>(state.targetWidth, kMinCardSide, streamFormat_.width);
    const std::int64_t height = std::clamp<std::int64_t>(state.targetHeight, kMinCardSide, streamFormat_.height);
    if (width != width_ || height != height_)
        cachedStandby_.reset();
    width_ = width;
    height_ = height;
    fps_ = std::clamp(state.targetFPS, kMinFPS, kMaxFPS);
    currentMode_ = state.mode;
    stream_->setFrameRate(static_cast<int>(fps_));
}

void QuellonExtensionStreamSource::tick()
{
    applyState(false);
    if (PixelBufferRef frame = currentFrame()) {
        if (sendFrame(frame))
            writeHeartbeatIfDue();
    }
}

PixelBufferRef QuellonExtensionStreamSource::currentFrame()
{
    if (latestPushedFrame_ && lastPushedHostTime_
        && services_.clock.hostTimeSeconds() - *lastPushedHostTime_ < kPushedFrameFreshness)
        return latestPushedFrame_;
    return standbyCard(currentMode_ == QuellonMode::error ? kUnavailableCaption : kPausedCaption);
}

PixelBufferRef QuellonExtensionStreamSource::standbyCard(const std::string& caption)
{
    // One stat a tick while the card shows, so a picture that is replaced or removed is seen
    // at the next frame rather than never.
    std::optional<std::filesystem::path> url;
    std::optional<FileStamp> stamp;
    if (QuellonStorage::containerURL(services_.container)) {
        url = QuellonStorage::standbyImageURL(services_.container);
        struct stat info{};
        if (::stat(url->c_str(), &info) == 0 && S_ISREG(info.st_mode))
            stamp = FileStamp{static_cast<std::uintmax_t>(info.st_dev), static_cast<std::uintmax_t>(info.st_ino),
                              static_cast<std::uintmax_t>(info.st_size),
                              info.st_mtim.tv_sec * 1'000'000'000LL + info.st_mtim.tv_nsec,
                              info.st_ctim.tv_sec * 1'000'000'000LL + info.st_ctim.tv_nsec};
    }
    if (cachedStandby_ && cachedStandbyCaption_ == caption && cachedStandbyStamp_ == stamp)
        return cachedStandby_;

    PixelBufferRef card = stamp ? standbyPicture(*url, stamp->size) : nullptr;
    if (!card)
        card = services_.frames.renderStandbyCard(width_, height_, kStandbyTitle, caption);
    if (!card)
        return nullptr;
    cachedStandby_ = card;
    cachedStandbyCaption_ = caption;
    cachedStandbyStamp_ = stamp;
    return card;
}

PixelBufferRef QuellonExtensionStreamSource::standbyPicture(const std::filesystem::path& url, std::uintmax_t size)
{
    if (size > kMaxStandbyImageBytes) {
        services_.log.write(LogLevel::error, "Quellon ext: standby.png refused: " + std::to_string(size)
                                                 + " bytes, more than the 32 MiB limit; showing the drawn card");
        return nullptr;
    }
    const auto bytes = readRegularFile(url, kMaxStandbyImageBytes);
    if (!bytes) // Changed since the stat: its new stamp makes a later tick look again.
        return nullptr;
    PixelBufferRef picture = services_.frames.decodeStandbyPNG(byteSpan(*bytes));
    if (!picture)
        services_.log.write(LogLevel::error, "Quellon ext: standby.png refused: not a PNG of at most "
                                                 + std::to_string(kPushedImageLimit.maxSide) + " pixels a side ("
                                                 + std::to_string(bytes->size()) + " bytes); showing the drawn card");
    return picture;
}

bool QuellonExtensionStreamSource::sendFrame(const PixelBufferRef& frame)
{
    const double presentation = services_.clock.hostTimeSeconds();
    // The stream carries BGRA only; anything else has no format description.
    if (!frame || !frame->isBGRA() || frame->width() < 1 || frame->height() < 1)
        return false;
    stream_->send(frame, hostTimeNanos(presentation));
    return true;
}

void QuellonExtensionStreamSource::writeHeartbeatIfDue()
{
    const double now = services_.clock.hostTimeSeconds();
    if (lastHeartbeatHostTime_ && now - *lastHeartbeatHostTime_ < kHeartbeatInterval)
        return;
    lastHeartbeatHostTime_ = now;
    QuellonStorage::writeHeartbeat(services_.clock.now(), services_.container);
}

void QuellonExtensionStreamSource::setFrameProperty(std::string_view bytes)
{
    if (bytes.empty())
        return;
    countReceivedFrame(std::to_string(bytes.size()) + " bytes");
    PixelBufferRef frame = services_.frames.decodePushedFrame(byteSpan(bytes));
    if (!frame) {
        services_.log.write(LogLevel::error,
                            "Quellon ext: frame decode failed (" + std::to_string(bytes.size()) + " bytes)");
        return;
    }
    showPushedFrame(std::move(frame));
}

void QuellonExtensionStreamSource::countReceivedFrame(const std::string& what)
{
    const std::uint64_t count = framesReceived_.fetch_add(1) + 1;
    if (count == 1 || count % 60 == 0)
        services_.log.write(LogLevel::info, "Quellon ext: frame #" + std::to_string(count) + " (" + what + ")");
}

void QuellonExtensionStreamSource::setPushedFrame(PixelBufferRef frame)
{
    if (!frame || !frame->isBGRA())
        return;
    countReceivedFrame("raw " + std::to_string(frame->width()) + " × " + std::to_string(frame->height()));
    showPushedFrame(std::move(frame));
}

void QuellonExtensionStreamSource::showPushedFrame(PixelBufferRef frame)
{
    const double receivedAt = services_.clock.hostTimeSeconds();
    timerQueue_->async([weak = weak_from_this(), frame = std::move(frame), receivedAt] {
        if (auto self = weak.lock()) {
            self->latestPushedFrame_ = frame;
            self->lastPushedHostTime_ = receivedAt;
        }
    });
}

void QuellonExtensionStreamSource::setStateProperty(std::string_view bytes)
{
    auto state = QuellonCMIOChannel::decodeState(bytes);
    if (!state) {
        services_.log.write(LogLevel::error,
                            "Quellon ext: state decode failed (" + std::to_string(bytes.size()) + " bytes)");
        return;
    }
    services_.log.write(LogLevel::info, "Quellon ext: state (" + std::to_string(bytes.size())
                                            + " bytes) mode=" + std::string(rawValue(state->mode)));
    timerQueue_->async([weak = weak_from_this(), data = std::string(bytes), state = std::move(*state)] {
        if (auto self = weak.lock()) {
            self->lastStateData_ = data;
            self->appliedState_ = state;
            self->applyState(false);
        }
    });
}

void QuellonExtensionStreamSource::setNameProperty(std::string_view bytes)
{
    auto name = QuellonCMIOChannel::decodeName(bytes);
    if (!name)
        return;
    if (services_.defaults.string(QuellonIdentifiers::customCameraNameKey) == *name)
        return;
    try {
        services_.defaults.setString(QuellonIdentifiers::customCameraNameKey, *name);
    } catch (const std::exception& error) {
        // The live rename below still applies; only the next launch falls back to the old name.
        services_.log.write(LogLevel::error, std::string("Quellon ext: custom camera name not saved: ") + error.what());
    }
    services_.log.write(LogLevel::info, "Quellon ext: custom camera name → " + labelSafeText(*name));
    if (auto apply = services_.renameBridge.apply())
        apply(*name);
}

std::int64_t QuellonExtensionStreamSource::fps() const
{
    std::int64_t value = 0;
    timerQueue_->sync([&] { value = fps_; });
    return value;
}

QuellonExtensionStreamSource::Snapshot QuellonExtensionStreamSource::snapshot() const
{
    Snapshot snapshot;
    timerQueue_->sync([&] {
        snapshot.startClients = startClients_;
        snapshot.timerRunning = timer_ != nullptr;
        snapshot.lastRevision = lastRevision_;
        snapshot.currentMode = currentMode_;
        snapshot.width = width_;
        snapshot.height = height_;
        snapshot.fps = fps_;
        snapshot.appliedState = appliedState_;
        snapshot.lastStateData = lastStateData_;
        snapshot.latestPushedFrame = latestPushedFrame_;
        snapshot.cachedStandby = cachedStandby_;
    });
    snapshot.framesReceived = framesReceived_.load();
    return snapshot;
}

void QuellonExtensionStreamSource::drain() const
{
    timerQueue_->sync([] {});
}

void QuellonExtensionStreamSource::close()
{
    services_.log.write(LogLevel::debug, "Quellon ext: stream closing after the frame in progress");
    // The queue runs one item at a time: this one comes after any tick that has begun, and a
    // timer cancelled on its own queue fires no more.
    timerQueue_->sync([this] {
        closed_ = true;
        stopTimer();
    });
}

} // namespace quellon
