#include "backends/V4L2LoopbackBackend.h"

#include "platform/Log.h"
#include "state/UnicodeText.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <thread>

namespace quellon {

namespace {

constexpr int kEventPollMilliseconds = 100;

std::string errorText(int error)
{
    return std::strerror(error);
}

std::uint32_t fourcc(OutputPixelFormat format)
{
    return format == OutputPixelFormat::yuyv ? V4L2_PIX_FMT_YUYV : V4L2_PIX_FMT_YUV420;
}

class V4L2Stream final : public CameraStream {
public:
    V4L2Stream(StreamIdentity identity, std::weak_ptr<CameraStreamHandler> handler, V4L2LoopbackBackend::Device& device)
        : identity_(std::move(identity)), handler_(std::move(handler)), device_(device) {}

    const StreamIdentity& identity() const override { return identity_; }
    void send(const PixelBufferRef& frame, std::uint64_t hostTimeNanos) override;
    const std::weak_ptr<CameraStreamHandler>& handler() const { return handler_; }

private:
    StreamIdentity identity_;
    std::weak_ptr<CameraStreamHandler> handler_;
    V4L2LoopbackBackend::Device& device_;
};

} // namespace

class V4L2LoopbackBackend::Device final : public CameraDevice {
public:
    Device(DeviceIdentity identity, V4L2Syscalls& syscalls, LogSink& log, OutputPixelFormat pixelFormat)
        : identity_(std::move(identity)), syscalls_(syscalls), log_(log), converter_({1280, 720, pixelFormat}) {}
    ~Device() override { detach(); }

    const DeviceIdentity& identity() const override { return identity_; }

    std::shared_ptr<CameraStream> makeStream(StreamIdentity identity, std::weak_ptr<CameraStreamHandler> handler) override
    {
        return std::make_shared<V4L2Stream>(std::move(identity), std::move(handler), *this);
    }

    void addStream(const std::shared_ptr<CameraStream>& stream) override
    {
        auto ours = ownedByThisBackend<V4L2Stream>(stream, "stream");
        std::lock_guard lock(mutex_);
        if (stream_)
            throw CameraBackendError("The device already has a stream.");
        stream_ = ours;
    }

    int number() const { return number_; }
    void setNumber(int number) { number_ = number; }
    std::string path() const { return "/dev/video" + std::to_string(number_); }

    /// Opens the video node, sets the output format and starts counting clients. Throws.
    void attach()
    {
        const std::string node = path();
        const int fd = syscalls_.open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            throw CameraBackendError("Cannot open " + node + ": " + errorText(errno));

        v4l2_format format{};
        format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        format.fmt.pix.width = static_cast<std::uint32_t>(converter_.format().width);
        format.fmt.pix.height = static_cast<std::uint32_t>(converter_.format().height);
        format.fmt.pix.pixelformat = fourcc(converter_.format().pixelFormat);
        format.fmt.pix.field = V4L2_FIELD_NONE;
        format.fmt.pix.bytesperline = static_cast<std::uint32_t>(
            converter_.format().pixelFormat == OutputPixelFormat::yuyv ? converter_.format().width * 2 : converter_.format().width);
        format.fmt.pix.sizeimage = static_cast<std::uint32_t>(converter_.format().frameBytes());
        format.fmt.pix.colorspace = V4L2_COLORSPACE_SRGB;
        if (syscalls_.ioctl(fd, VIDIOC_S_FMT, &format) < 0) {
            const int error = errno;
            syscalls_.close(fd);
            throw CameraBackendError("Cannot set the format of " + node + ": " + errorText(error));
        }

        v4l2_event_subscription subscription{};
        subscription.type = V4L2Loopback::kClientUsageEvent;
        subscription.flags = V4L2_EVENT_SUB_FL_SEND_INITIAL;
        const bool counted = syscalls_.ioctl(fd, VIDIOC_SUBSCRIBE_EVENT, &subscription) == 0;
        {
            std::lock_guard lock(mutex_);
            fd_ = fd;
        }
        if (!counted) {
            // An older driver: no way to tell readers apart, so the device is one client.
            setClients(1);
            return;
        }
        stopWatching_ = false;
        watcher_ = std::thread([this] { watch(); });
    }

    /// Stops counting, reports the clients gone and closes the video node.
    void detach()
    {
        stopWatching_ = true;
        if (watcher_.joinable())
            watcher_.join();
        setClients(0);
        std::lock_guard lock(mutex_);
        if (fd_ >= 0) {
            syscalls_.close(fd_);
            fd_ = -1;
        }
    }

    void write(const PixelBufferRef& frame)
    {
        std::lock_guard lock(mutex_);
        if (fd_ < 0)
            return;
        const std::vector<std::uint8_t>* bytes = converter_.convert(frame);
        if (!bytes)
            return;
        // The node is non-blocking: a frame the driver cannot take now is dropped, never waited for.
        if (syscalls_.write(fd_, bytes->data(), bytes->size()) < 0 && !writeErrorLogged_) {
            writeErrorLogged_ = true;
            log_.write(LogLevel::error, "Quellon: writing to " + path() + " failed: " + errorText(errno));
        }
    }

private:
    void watch()
    {
        int fd = -1;
        {
            std::lock_guard lock(mutex_);
            fd = fd_;
        }
        while (!stopWatching_) {
            pollfd pfd{fd, POLLPRI, 0};
            const int ready = syscalls_.poll(&pfd, 1, kEventPollMilliseconds);
            if (ready <= 0 || !(pfd.revents & POLLPRI))
                continue;
            v4l2_event event{};
            while (!stopWatching_ && syscalls_.ioctl(fd, VIDIOC_DQEVENT, &event) == 0) {
                if (event.type != V4L2Loopback::kClientUsageEvent)
                    continue;
                std::uint32_t count = 0;
                std::memcpy(&count, event.u.data, sizeof count);
                // A count beyond any real number of readers is a driver fault; cap it.
                setClients(static_cast<int>(std::min<std::uint32_t>(count, 1024)));
            }
        }
    }

    /// Reports the change from the clients counted so far to count, one start or stop each.
    void setClients(int count)
    {
        std::shared_ptr<CameraStreamHandler> handler;
        {
            std::lock_guard lock(mutex_);
            if (stream_)
                handler = stream_->handler().lock();
        }
        std::lock_guard counting(countMutex_);
        for (; clients_ < count; ++clients_)
            if (handler)
                handler->startStream();
        for (; clients_ > count; --clients_)
            if (handler)
                handler->stopStream();
    }

    DeviceIdentity identity_;
    V4L2Syscalls& syscalls_;
    LogSink& log_;
    std::mutex mutex_;
    FrameConverter converter_;
    std::shared_ptr<V4L2Stream> stream_;
    int number_ = -1;
    int fd_ = -1;
    bool writeErrorLogged_ = false;
    std::atomic<bool> stopWatching_{false};
    std::thread watcher_;
    std::mutex countMutex_;
    int clients_ = 0;
};

void V4L2Stream::send(const PixelBufferRef& frame, std::uint64_t)
{
    device_.write(frame);
}

V4L2LoopbackBackend::V4L2LoopbackBackend(V4L2Syscalls& syscalls, LogSink& log, OutputPixelFormat pixelFormat,
                                         std::string controlNode)
    : syscalls_(syscalls), log_(log), pixelFormat_(pixelFormat), controlNode_(std::move(controlNode))
{
}

V4L2LoopbackBackend::~V4L2LoopbackBackend()
{
    std::vector<std::shared_ptr<Device>> devices;
    {
        std::lock_guard lock(mutex_);
        devices = published_;
    }
    for (const auto& device : devices) {
        try {
            removeDevice(device);
        } catch (const CameraBackendError& error) {
            log_.write(LogLevel::error, std::string("Quellon: ") + error.what());
        }
    }
}

bool V4L2LoopbackBackend::controlNodeUsable(V4L2Syscalls& syscalls, const std::string& controlNode)
{
    const int fd = syscalls.open(controlNode.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    syscalls.close(fd);
    return true;
}

std::string V4L2LoopbackBackend::cardLabel(std::string_view received)
{
    // Every program listing cameras shows the label: no controls, NUL or direction overrides.
    const std::string safe = labelSafeText(received);
    const std::string_view name = safe;
    if (name.size() <= V4L2Loopback::kMaxCardLabelBytes)
        return std::string(name);
    std::size_t end = V4L2Loopback::kMaxCardLabelBytes;
    // Step back over continuation bytes so the cut falls between characters.
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80)
        --end;
    return std::string(name.substr(0, end));
}

std::shared_ptr<CameraDevice> V4L2LoopbackBackend::makeDevice(DeviceIdentity identity)
{
    return std::make_shared<Device>(std::move(identity), syscalls_, log_, pixelFormat_);
}

int V4L2LoopbackBackend::openControlNode()
{
    const int fd = syscalls_.open(controlNode_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        throw CameraBackendError("Cannot open " + controlNode_ + ": " + errorText(errno));
    return fd;
}

void V4L2LoopbackBackend::addDevice(const std::shared_ptr<CameraDevice>& device)
{
    auto ours = ownedByThisBackend<Device>(device, "device");
    const int control = openControlNode();
    V4L2Loopback::Config config;
    const std::string label = cardLabel(ours->identity().localizedName);
    std::memcpy(config.cardLabel, label.data(), label.size());
    const int number = syscalls_.ioctl(control, V4L2Loopback::kCtlAdd, &config);
    const int addError = errno;
    if (number < 0) {
        syscalls_.close(control);
        throw CameraBackendError("Cannot add a loopback device: " + errorText(addError));
    }
    ours->setNumber(number);
    try {
        ours->attach();
    } catch (const CameraBackendError&) {
        syscalls_.ioctl(control, V4L2Loopback::kCtlRemove, reinterpret_cast<void*>(static_cast<std::intptr_t>(number)));
        syscalls_.close(control);
        throw;
    }
    syscalls_.close(control);
    std::lock_guard lock(mutex_);
    published_.push_back(ours);
}

void V4L2LoopbackBackend::removeDevice(const std::shared_ptr<CameraDevice>& device)
{
    std::shared_ptr<Device> ours;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find(published_.begin(), published_.end(), device);
        if (it == published_.end())
            throw CameraBackendError("The device is not published.");
        ours = *it;
    }
    const int control = openControlNode();
    // Our own open node would keep the device busy.
    ours->detach();
    if (syscalls_.ioctl(control, V4L2Loopback::kCtlRemove, reinterpret_cast<void*>(static_cast<std::intptr_t>(ours->number()))) < 0) {
        const int error = errno;
        syscalls_.close(control);
        try {
            ours->attach();
        } catch (const CameraBackendError& reattach) {
            log_.write(LogLevel::error, std::string("Quellon: ") + reattach.what());
        }
        throw CameraBackendError("Cannot remove " + ours->path() + ": " + errorText(error));
    }
    syscalls_.close(control);
    std::lock_guard lock(mutex_);
    published_.erase(std::find(published_.begin(), published_.end(), ours));
}

std::string V4L2LoopbackBackend::sinkDescription() const
{
    std::lock_guard lock(mutex_);
    if (published_.empty())
        return "v4l2";
    return "v4l2:" + published_.back()->path();
}

} // namespace quellon
