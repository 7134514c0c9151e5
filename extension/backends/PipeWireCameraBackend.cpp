#include "backends/PipeWireCameraBackend.h"

#include "backends/PipeWireFrameFormats.h"
#include "platform/Log.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <utility>
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>

namespace quellon {

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kFramesPerSecond = 30;

/// Reconnection waits: the first retry comes soon after PipeWire went, later ones less often,
/// but never so rarely that a restarted PipeWire waits more than this for its camera.
constexpr std::chrono::milliseconds kFirstRetry{100};
constexpr std::chrono::milliseconds kLongestRetry{1000};

const char* formatName(PipeWirePixelFormat format)
{
    switch (format) {
    case PipeWirePixelFormat::bgra:
        return "BGRA";
    case PipeWirePixelFormat::i420:
        return "I420";
    case PipeWirePixelFormat::yuy2:
        return "YUY2";
    case PipeWirePixelFormat::bgrx:
        return "BGRx";
    }
    return "?";
}

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

} // namespace

/// The thread loop, context and core shared by every device, and the registry that tells
/// which links end at which node. When PipeWire goes away (a restart closes our socket) the
/// core is dropped and made again as soon as PipeWire answers, retrying with a growing wait.
class PipeWireCameraBackend::Connection {
public:
    explicit Connection(LogSink* log) : log_(log)
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
        if (!connectCore()) {
            const int error = errno;
            lock.unlock();
            pw_thread_loop_stop(loop_);
            pw_context_destroy(context_);
            pw_thread_loop_destroy(loop_);
            throw CameraBackendError(std::string("No PipeWire daemon answers: ") + std::strerror(error));
        }
        retryTimer_ = pw_loop_add_timer(pw_thread_loop_get_loop(loop_), &Connection::onRetry, this);
    }

    ~Connection()
    {
        {
            Lock lock(*this);
            if (retryTimer_)
                pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), retryTimer_);
            dropCore();
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

    /// The live core, or null while PipeWire is away; on the loop thread or under the lock.
    pw_core* core() const { return core_; }
    /// False from the moment PipeWire went until it answers again.
    bool connected() const { return connected_; }

    /// Links whose output is node; on the loop thread or under the lock.
    int linksFrom(std::uint32_t node) const
    {
        return static_cast<int>(std::count_if(links_.begin(), links_.end(), [&](const auto& link) { return link.second == node; }));
    }
    /// Called on the loop thread whenever the links change.
    std::function<void()> onLinksChanged;
    /// Called on the loop thread when the core is gone, before it is dropped: whatever was made
    /// on it must go.
    std::function<void()> onLost;
    /// Called on the loop thread when a new core answers after a loss.
    std::function<void()> onBack;

private:
    /// Under the lock. False with errno set when no daemon answers.
    bool connectCore()
    {
        core_ = pw_context_connect(context_, nullptr, 0);
        if (!core_)
            return false;
        static const pw_core_events coreEvents = [] {
            pw_core_events events{};
            events.version = PW_VERSION_CORE_EVENTS;
            events.error = &Connection::onCoreError;
            return events;
        }();
        pw_core_add_listener(core_, &coreListener_, &coreEvents, this);
        registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
        static const pw_registry_events registryEvents = {
            .version = PW_VERSION_REGISTRY_EVENTS,
            .global = &Connection::onGlobal,
            .global_remove = &Connection::onGlobalRemove,
        };
        pw_registry_add_listener(registry_, &registryListener_, &registryEvents, this);
        connected_ = true;
        return true;
    }

    /// Under the lock.
    void dropCore()
    {
        if (!core_)
            return;
        spa_hook_remove(&registryListener_);
        spa_hook_remove(&coreListener_);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
        registry_ = nullptr;
        pw_core_disconnect(std::exchange(core_, nullptr));
        links_.clear();
    }

    void retryIn(std::chrono::nanoseconds wait)
    {
        timespec value{static_cast<std::time_t>(wait.count() / 1'000'000'000), static_cast<long>(wait.count() % 1'000'000'000)};
        pw_loop_update_timer(pw_thread_loop_get_loop(loop_), retryTimer_, &value, nullptr, false);
    }

    // The core cannot be dropped inside its own event, so the drop waits for the timer.
    static void onCoreError(void* data, std::uint32_t id, int, int result, const char* message)
    {
        auto* self = static_cast<Connection*>(data);
        if (id != PW_ID_CORE)
            return;
        if (result != -EPIPE) {
            self->log(LogLevel::error, std::string("Quellon: PipeWire: ") + (message ? message : spa_strerror(result)));
            return;
        }
        if (!self->connected_)
            return;
        self->connected_ = false;
        self->log(LogLevel::error, "Quellon: PipeWire went away; the camera is withdrawn until it answers again");
        self->retryWait_ = kFirstRetry;
        self->retryIn(std::chrono::nanoseconds(1));
    }

    static void onRetry(void* data, std::uint64_t)
    {
        auto* self = static_cast<Connection*>(data);
        if (self->connected_)
            return;
        if (self->core_) {
            if (self->onLost)
                self->onLost();
            self->dropCore();
        }
        if (!self->connectCore()) {
            self->retryIn(self->retryWait_);
            self->retryWait_ = std::min(self->retryWait_ * 2, kLongestRetry);
            return;
        }
        self->log(LogLevel::info, "Quellon: PipeWire answers again; publishing the camera");
        if (self->onBack)
            self->onBack();
    }

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

    void log(LogLevel level, const std::string& message)
    {
        if (log_)
            log_->write(level, message);
    }

    LogSink* log_;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    spa_hook coreListener_{};
    pw_registry* registry_ = nullptr;
    spa_hook registryListener_{};
    spa_source* retryTimer_ = nullptr;
    std::chrono::milliseconds retryWait_ = kFirstRetry;
    std::atomic<bool> connected_{false};
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

    /// Publishes the node with the standby card as its first picture, and again whenever
    /// PipeWire comes back. Throws.
    void connect()
    {
        std::shared_ptr<CameraStreamHandler> handler = streamHandler();
        if (auto card = handler ? handler->primeFrame() : nullptr) {
            std::lock_guard lock(mutex_);
            latest_ = card;
        }
        Connection::Lock lock(connection_);
        publish();
        wanted_ = true;
        connection_.onLinksChanged = [this] { recount(); };
        connection_.onLost = [this] {
            unpublish();
            setClients(0);
        };
        connection_.onBack = [this] {
            try {
                publish();
            } catch (const CameraBackendError& error) {
                log_.write(LogLevel::error, std::string("Quellon: ") + error.what());
            }
        };
    }

    /// Withdraws the node and reports its clients gone.
    void disconnect()
    {
        {
            Connection::Lock lock(connection_);
            if (!wanted_)
                return;
            wanted_ = false;
            connection_.onLinksChanged = nullptr;
            connection_.onLost = nullptr;
            connection_.onBack = nullptr;
            unpublish();
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

    /// Under the loop's lock. Makes the node on the live core; while PipeWire is away there is
    /// none, and the node is made when it answers again.
    void publish()
    {
        if (!connection_.core())
            return;
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

        std::uint8_t buffer[2048];
        spa_pod_builder builder{};
        spa_pod_builder_init(&builder, buffer, sizeof buffer);
        std::vector<const spa_pod*> params = buildEnumFormats(builder, kWidth, kHeight, kFramesPerSecond);
        const int result = pw_stream_connect(stream_pw_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                                             static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
                                             params.data(), static_cast<std::uint32_t>(params.size()));
        if (result < 0) {
            spa_hook_remove(&listener_);
            pw_stream_destroy(std::exchange(stream_pw_, nullptr));
            throw CameraBackendError(std::string("Cannot publish the PipeWire camera: ") + spa_strerror(result));
        }
    }

    /// Under the loop's lock.
    void unpublish()
    {
        if (!stream_pw_)
            return;
        spa_hook_remove(&listener_);
        pw_stream_destroy(std::exchange(stream_pw_, nullptr));
        holding_.clear();
        layout_.reset();
        streaming_ = false;
    }

    static void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error)
    {
        auto* self = static_cast<Device*>(data);
        if (state == PW_STREAM_STATE_ERROR)
            self->log_.write(LogLevel::error, std::string("Quellon: PipeWire camera: ") + (error ? error : "error"));
        self->streaming_ = state == PW_STREAM_STATE_STREAMING;
        self->recount();
    }

    // A client picked one of the offered formats: frames are written in it from now on, and
    // buffers are asked for in its size.
    static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param)
    {
        auto* self = static_cast<Device*>(data);
        if (id != SPA_PARAM_Format)
            return;
        for (auto& held : self->holding_)
            held.second.reset();
        self->layout_.reset();
        if (!param)
            return;
        NegotiatedLayout negotiated = parseNegotiatedFormat(param, kWidth, kHeight);
        if (!negotiated.layout) {
            self->log_.write(LogLevel::error, "Quellon: PipeWire camera: refused a format: " + negotiated.refusal);
            return;
        }
        const PipeWireFrameLayout layout = *negotiated.layout;
        self->log_.write(LogLevel::info, std::string("Quellon: PipeWire camera: a client takes ") + formatName(layout.format)
                                             + " " + std::to_string(layout.width) + "x" + std::to_string(layout.height));
        std::uint8_t buffer[1024];
        spa_pod_builder builder{};
        spa_pod_builder_init(&builder, buffer, sizeof buffer);
        const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(4, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
            SPA_POD_Int(static_cast<int>(layout.frameBytes())), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(layout.stride())))};
        self->layout_ = layout;
        pw_stream_update_params(self->stream_pw_, params, 1);
    }

    // Each buffer remembers the frame it holds, so a frame sent again (the card, a held
    // picture) is not converted again into a buffer that has it already.
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
        if (!self->layout_)
            return;
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
        const PipeWireFrameLayout& layout = *self->layout_;
        spa_data& plane = buffer->buffer->datas[0];
        if (plane.data && plane.maxsize >= layout.frameBytes()) {
            auto& held = self->holding_[buffer];
            if (held.lock() != frame && self->writer_.write(*frame, layout, static_cast<std::uint8_t*>(plane.data)))
                held = frame;
            plane.chunk->offset = 0;
            plane.chunk->size = static_cast<std::uint32_t>(layout.frameBytes());
            plane.chunk->stride = layout.stride();
        }
        pw_stream_queue_buffer(self->stream_pw_, buffer);
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
    /// Under the loop's lock: whether the device is meant to be published (between connect
    /// and disconnect), and its node while PipeWire answers.
    bool wanted_ = false;
    pw_stream* stream_pw_ = nullptr;
    spa_hook listener_{};
    /// On the loop thread only.
    std::map<pw_buffer*, std::weak_ptr<PixelBuffer>> holding_;
    std::optional<PipeWireFrameLayout> layout_;
    PipeWireFrameWriter writer_;
    std::atomic<bool> streaming_{false};
    std::mutex countMutex_;
    int clients_ = 0;
};

void PipeWireStream::send(const PixelBufferRef& frame, std::uint64_t)
{
    device_.push(frame);
}

PipeWireCameraBackend::PipeWireCameraBackend(LogSink& log) : log_(log), connection_(std::make_unique<Connection>(&log)) {}

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
        Connection connection(nullptr);
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
    const std::string sink = std::string("pipewire:") + kNodeName;
    return connection_->connected() ? sink : sink + " (withdrawn: PipeWire is not answering; reconnecting)";
}

} // namespace quellon
