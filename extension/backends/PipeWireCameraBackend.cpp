#include "backends/PipeWireCameraBackend.h"

#include "platform/Log.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <libyuv.h>
#include <map>
#include <utility>
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>

namespace quellon {

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kStride = kWidth * 4;

class PipeWireStream final : public CameraStream {
public:
    PipeWireStream(StreamIdentity identity, std::weak_ptr<CameraStreamHandler> handler, PipeWireCameraBackend::Device& device)
        : identity_(std::move(identity)), handler_(std::move(handler)), device_(device) {}

    const StreamIdentity& identity() const override { return identity_; }
    void send(const PixelBufferRef& frame, std::uint64_t hostTimeNanos) override;
    const std::weak_ptr<CameraStreamHandler>& handler() const { return handler_; }

private:
    StreamIdentity identity_;
    std::weak_ptr<CameraStreamHandler> handler_;
    PipeWireCameraBackend::Device& device_;
};

/// Copies a BGRA frame into a 1280 × 720 BGRx buffer, scaling when its size differs.
void copyFrame(const PixelBuffer& frame, std::uint8_t* destination, int stride)
{
    auto pixels = frame.lockForReading();
    if (frame.width() == kWidth && frame.height() == kHeight && frame.bytesPerRow() == static_cast<std::size_t>(stride)) {
        std::memcpy(destination, pixels.baseAddress(), static_cast<std::size_t>(stride) * kHeight);
        return;
    }
    if (frame.width() == kWidth && frame.height() == kHeight) {
        for (int y = 0; y < kHeight; ++y)
            std::memcpy(destination + static_cast<std::size_t>(y) * static_cast<std::size_t>(stride), pixels.row(y), kWidth * 4);
        return;
    }
    libyuv::ARGBScale(pixels.baseAddress(), static_cast<int>(frame.bytesPerRow()), frame.width(), frame.height(),
                      destination, stride, kWidth, kHeight, libyuv::kFilterBilinear);
}

} // namespace

/// The thread loop, context and core shared by every device, and the registry that tells
/// which links end at which node.
class PipeWireCameraBackend::Connection {
public:
    Connection()
    {
        pw_init(nullptr, nullptr);
        loop_ = pw_thread_loop_new("quellon-pipewire", nullptr);
        if (!loop_)
            throw CameraBackendError("Cannot make a PipeWire loop.");
        context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
        if (!context_) {
            pw_thread_loop_destroy(loop_);
            throw CameraBackendError("Cannot make a PipeWire context.");
        }
        if (pw_thread_loop_start(loop_) < 0) {
            pw_context_destroy(context_);
            pw_thread_loop_destroy(loop_);
            throw CameraBackendError("Cannot start the PipeWire loop.");
        }
        Lock lock(*this);
        core_ = pw_context_connect(context_, nullptr, 0);
        if (!core_) {
            const int error = errno;
            lock.unlock();
            pw_thread_loop_stop(loop_);
            pw_context_destroy(context_);
            pw_thread_loop_destroy(loop_);
            throw CameraBackendError(std::string("No PipeWire daemon answers: ") + std::strerror(error));
        }
        registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
        static const pw_registry_events registryEvents = {
            .version = PW_VERSION_REGISTRY_EVENTS,
            .global = &Connection::onGlobal,
            .global_remove = &Connection::onGlobalRemove,
        };
        pw_registry_add_listener(registry_, &registryListener_, &registryEvents, this);
    }

    ~Connection()
    {
        {
            Lock lock(*this);
            spa_hook_remove(&registryListener_);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
            pw_core_disconnect(core_);
        }
        pw_thread_loop_stop(loop_);
        pw_context_destroy(context_);
        pw_thread_loop_destroy(loop_);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    /// Holds the loop's lock: every call into PipeWire outside its callbacks needs it.
    class Lock {
    public:
        explicit Lock(Connection& connection) : loop_(connection.loop_) { pw_thread_loop_lock(loop_); }
        ~Lock() { unlock(); }
        void unlock()
        {
            if (loop_)
                pw_thread_loop_unlock(std::exchange(loop_, nullptr));
        }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pw_thread_loop* loop_;
    };

    pw_core* core() const { return core_; }

    /// Links whose output is node; on the loop thread or under the lock.
    int linksFrom(std::uint32_t node) const
    {
        return static_cast<int>(std::count_if(links_.begin(), links_.end(), [&](const auto& link) { return link.second == node; }));
    }
    /// Called on the loop thread whenever the links change.
    std::function<void()> onLinksChanged;

private:
    static void onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t, const spa_dict* props)
    {
        auto* self = static_cast<Connection*>(data);
        if (std::strcmp(type, PW_TYPE_INTERFACE_Link) != 0 || !props)
            return;
        const char* output = spa_dict_lookup(props, PW_KEY_LINK_OUTPUT_NODE);
        if (!output)
            return;
        self->links_[id] = static_cast<std::uint32_t>(std::strtoul(output, nullptr, 10));
        if (self->onLinksChanged)
            self->onLinksChanged();
    }
    static void onGlobalRemove(void* data, std::uint32_t id)
    {
        auto* self = static_cast<Connection*>(data);
        if (self->links_.erase(id) && self->onLinksChanged)
            self->onLinksChanged();
    }

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_registry* registry_ = nullptr;
    spa_hook registryListener_{};
    std::map<std::uint32_t, std::uint32_t> links_;
};

class PipeWireCameraBackend::Device final : public CameraDevice {
public:
    Device(DeviceIdentity identity, Connection& connection, LogSink& log)
        : identity_(std::move(identity)), connection_(connection), log_(log) {}
    ~Device() override { disconnect(); }

    const DeviceIdentity& identity() const override { return identity_; }

    std::shared_ptr<CameraStream> makeStream(StreamIdentity identity, std::weak_ptr<CameraStreamHandler> handler) override
    {
        return std::make_shared<PipeWireStream>(std::move(identity), std::move(handler), *this);
    }

    void addStream(const std::shared_ptr<CameraStream>& stream) override
    {
        auto ours = ownedByThisBackend<PipeWireStream>(stream, "stream");
        std::lock_guard lock(mutex_);
        if (stream_)
            throw CameraBackendError("The device already has a stream.");
        stream_ = ours;
    }

    /// Publishes the node with the standby card as its first picture. Throws.
    void connect()
    {
        std::shared_ptr<CameraStreamHandler> handler = streamHandler();
        if (auto card = handler ? handler->primeFrame() : nullptr) {
            std::lock_guard lock(mutex_);
            latest_ = card;
        }
        Connection::Lock lock(connection_);
        pw_properties* props = pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_TYPE, "Video",
                                                 PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Camera",
                                                 PW_KEY_NODE_NAME, kNodeName, PW_KEY_NODE_DESCRIPTION,
                                                 identity_.localizedName.c_str(), nullptr);
        stream_pw_ = pw_stream_new(connection_.core(), kNodeName, props);
        if (!stream_pw_)
            throw CameraBackendError("Cannot make the PipeWire stream.");
        static const pw_stream_events events = [] {
            pw_stream_events callbacks{};
            callbacks.version = PW_VERSION_STREAM_EVENTS;
            callbacks.state_changed = &Device::onStateChanged;
            callbacks.param_changed = &Device::onParamChanged;
            callbacks.add_buffer = &Device::onAddBuffer;
            callbacks.remove_buffer = &Device::onRemoveBuffer;
            callbacks.process = &Device::onProcess;
            return callbacks;
        }();
        pw_stream_add_listener(stream_pw_, &listener_, &events, this);

        std::uint8_t buffer[1024];
        spa_pod_builder builder{};
        spa_pod_builder_init(&builder, buffer, sizeof buffer);
        spa_video_info_raw info{};
        info.format = SPA_VIDEO_FORMAT_BGRx;
        info.size = {kWidth, kHeight};
        info.framerate = {30, 1};
        const spa_pod* params[] = {spa_format_video_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
        const int result = pw_stream_connect(stream_pw_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                                             static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
                                             params, 1);
        if (result < 0) {
            spa_hook_remove(&listener_);
            pw_stream_destroy(std::exchange(stream_pw_, nullptr));
            throw CameraBackendError(std::string("Cannot publish the PipeWire camera: ") + spa_strerror(result));
        }
        connection_.onLinksChanged = [this] { recount(); };
    }

    /// Withdraws the node and reports its clients gone.
    void disconnect()
    {
        {
            Connection::Lock lock(connection_);
            if (!stream_pw_)
                return;
            connection_.onLinksChanged = nullptr;
            spa_hook_remove(&listener_);
            pw_stream_destroy(std::exchange(stream_pw_, nullptr));
            holding_.clear();
            streaming_ = false;
        }
        setClients(0);
    }

    void push(const PixelBufferRef& frame)
    {
        if (!frame || !frame->isBGRA())
            return;
        {
            std::lock_guard lock(mutex_);
            latest_ = frame;
        }
        Connection::Lock lock(connection_);
        if (stream_pw_ && streaming_)
            pw_stream_trigger_process(stream_pw_);
    }

private:
    std::shared_ptr<CameraStreamHandler> streamHandler()
    {
        std::lock_guard lock(mutex_);
        return stream_ ? stream_->handler().lock() : nullptr;
    }

    static void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error)
    {
        auto* self = static_cast<Device*>(data);
        if (state == PW_STREAM_STATE_ERROR)
            self->log_.write(LogLevel::error, std::string("Quellon: PipeWire camera: ") + (error ? error : "error"));
        self->streaming_ = state == PW_STREAM_STATE_STREAMING;
        self->recount();
    }

    static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param)
    {
        auto* self = static_cast<Device*>(data);
        if (id != SPA_PARAM_Format || !param)
            return;
        std::uint8_t buffer[1024];
        spa_pod_builder builder{};
        spa_pod_builder_init(&builder, buffer, sizeof buffer);
        const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(4, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
            SPA_POD_Int(kStride * kHeight), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(kStride)))};
        pw_stream_update_params(self->stream_pw_, params, 1);
    }

    // Each buffer remembers the frame it holds, so a frame sent again (the card, a held
    // picture) is not copied again into a buffer that has it already.
    static void onAddBuffer(void* data, pw_buffer* buffer)
    {
        static_cast<Device*>(data)->holding_[buffer].reset();
    }
    static void onRemoveBuffer(void* data, pw_buffer* buffer)
    {
        static_cast<Device*>(data)->holding_.erase(buffer);
    }

    static void onProcess(void* data)
    {
        auto* self = static_cast<Device*>(data);
        PixelBufferRef frame;
        {
            std::lock_guard lock(self->mutex_);
            frame = self->latest_;
        }
        if (!frame)
            return;
        pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream_pw_);
        if (!buffer)
            return; // none free: this frame is skipped
        spa_data& plane = buffer->buffer->datas[0];
        if (plane.data && plane.maxsize >= static_cast<std::uint32_t>(kStride * kHeight)) {
            auto& held = self->holding_[buffer];
            if (held.lock() != frame) {
                copyFrame(*frame, static_cast<std::uint8_t*>(plane.data), kStride);
                held = frame;
            }
            plane.chunk->offset = 0;
            plane.chunk->size = kStride * kHeight;
            plane.chunk->stride = kStride;
        }
        pw_stream_queue_buffer(self->stream_pw_, buffer);
        ++self->framesPushed_;
    }

    /// On the loop thread: none unless streaming, else the links from our node, at least one.
    void recount()
    {
        if (!stream_pw_)
            return;
        const int links = connection_.linksFrom(pw_stream_get_node_id(stream_pw_));
        setClients(streaming_ ? std::max(links, 1) : 0);
    }

    void setClients(int count)
    {
        auto handler = streamHandler();
        // Counted before the handler hears of it, as in the v4l2loopback backend.
        std::lock_guard counting(countMutex_);
        while (clients_ < count) {
            ++clients_;
            if (handler)
                handler->startStream();
        }
        while (clients_ > count) {
            --clients_;
            if (handler)
                handler->stopStream();
        }
    }

    DeviceIdentity identity_;
    Connection& connection_;
    LogSink& log_;
    std::mutex mutex_;
    std::shared_ptr<PipeWireStream> stream_;
    PixelBufferRef latest_;
    pw_stream* stream_pw_ = nullptr;
    spa_hook listener_{};
    /// On the loop thread only.
    std::map<pw_buffer*, std::weak_ptr<PixelBuffer>> holding_;
    std::atomic<bool> streaming_{false};
    std::atomic<std::uint64_t> framesPushed_{0};
    std::mutex countMutex_;
    int clients_ = 0;
};

void PipeWireStream::send(const PixelBufferRef& frame, std::uint64_t)
{
    device_.push(frame);
}

PipeWireCameraBackend::PipeWireCameraBackend(LogSink& log) : log_(log), connection_(std::make_unique<Connection>()) {}

PipeWireCameraBackend::~PipeWireCameraBackend()
{
    std::vector<std::shared_ptr<Device>> devices;
    {
        std::lock_guard lock(mutex_);
        devices = std::move(published_);
    }
    for (const auto& device : devices)
        device->disconnect();
}

bool PipeWireCameraBackend::probe()
{
    try {
        Connection connection;
        return true;
    } catch (const CameraBackendError&) {
        return false;
    }
}

std::shared_ptr<CameraDevice> PipeWireCameraBackend::makeDevice(DeviceIdentity identity)
{
    return std::make_shared<Device>(std::move(identity), *connection_, log_);
}

void PipeWireCameraBackend::addDevice(const std::shared_ptr<CameraDevice>& device)
{
    auto ours = ownedByThisBackend<Device>(device, "device");
    std::lock_guard lock(mutex_);
    if (!published_.empty())
        throw CameraBackendError("The PipeWire camera publishes one device at a time.");
    ours->connect();
    published_.push_back(ours);
}

void PipeWireCameraBackend::removeDevice(const std::shared_ptr<CameraDevice>& device)
{
    std::shared_ptr<Device> removed;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find(published_.begin(), published_.end(), device);
        if (it == published_.end())
            throw CameraBackendError("The device is not published.");
        removed = *it;
        published_.erase(it);
    }
    removed->disconnect();
}

std::string PipeWireCameraBackend::sinkDescription() const
{
    return std::string("pipewire:") + kNodeName;
}

} // namespace quellon
