#include "backends/V4L2LoopbackBackend.h"

#include "backends/DeviceOpeners.h"
#include "platform/Log.h"
#include "state/UnicodeText.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <thread>

namespace quellon {

namespace {

constexpr int kEventPollMilliseconds = 100;
/// How often the openers are counted again without an open or close: a safety net for
/// missed notifications, cheap enough at this interval.
constexpr auto kOpenerRescanInterval = std::chrono::seconds(5);
/// An open is announced before its descriptor shows in /proc; look once more a moment later.
constexpr auto kOpenerSettleDelay = std::chrono::milliseconds(250);
/// A count beyond any real number of readers is a driver fault; cap it.
constexpr int kMaxClients = 1024;

std::string errorText(int error)
{
    return std::strerror(error);
}

std::uint32_t fourcc(OutputPixelFormat format)
{
    return format == OutputPixelFormat::yuyv ? V4L2_PIX_FMT_YUYV : V4L2_PIX_FMT_YUV420;
}

std::string fixedText(const std::uint8_t* bytes, std::size_t size)
{
    const auto* text = reinterpret_cast<const char*>(bytes);
    return std::string(text, strnlen(text, size));
}

class V4L2Stream final : public CameraStream {
public:
    V4L2Stream(StreamIdentity identity, std::weak_ptr<CameraStreamHandler> handler, V4L2LoopbackBackend::Device& device)
        : identity_(std::move(identity)), handler_(std::move(handler)), device_(device) {}

    const StreamIdentity& identity() const override { return identity_; }
    void send(const PixelBufferRef& frame, std::uint64_t hostTimeNanos) override;
    void setFrameRate(int fps) override;
    const std::weak_ptr<CameraStreamHandler>& handler() const { return handler_; }

private:
    StreamIdentity identity_;
    std::weak_ptr<CameraStreamHandler> handler_;
    V4L2LoopbackBackend::Device& device_;
};

} // namespace

class V4L2LoopbackBackend::Device final : public CameraDevice {
public:
    Device(DeviceIdentity identity, V4L2Syscalls& syscalls, LogSink& log, DeviceOpeners& openers,
           OutputPixelFormat pixelFormat)
        : identity_(std::move(identity)), syscalls_(syscalls), log_(log), openers_(openers),
          converter_({1280, 720, pixelFormat}) {}
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

    /// The node to write into, its number when it was added through the control node, and
    /// the card label apps see.
    void setNode(std::string path, int number, std::string label)
    {
        path_ = std::move(path);
        number_ = number;
        label_ = std::move(label);
    }
    int number() const { return number_; }
    const std::string& path() const { return path_; }
    const std::string& label() const { return label_; }

    /// Opens the node, sets and keeps the output format, sets the rate, shows the first frame
    /// and starts counting readers. Throws.
    void attach()
    {
        const int fd = syscalls_.open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            throw CameraBackendError("Cannot open " + path_ + ": " + errorText(errno));

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
            throw CameraBackendError("Cannot set the format of " + path_ + ": " + errorText(error));
        }
        // Without it the driver forgets format and frame whenever no writer has the node open;
        // a driver without the control simply refuses it.
        v4l2_control keepFormat{V4L2Loopback::kKeepFormatControl, 1};
        syscalls_.ioctl(fd, VIDIOC_S_CTRL, &keepFormat);
        {
            std::lock_guard lock(mutex_);
            fd_ = fd;
            writeErrorLogged_ = false;
            setRateLocked();
        }
        prime();

        v4l2_event_subscription subscription{};
        subscription.type = V4L2Loopback::kClientUsageEvent;
        subscription.flags = V4L2_EVENT_SUB_FL_SEND_INITIAL;
        const bool counted = syscalls_.ioctl(fd, VIDIOC_SUBSCRIBE_EVENT, &subscription) == 0;
        stopWatching_ = false;
        if (counted)
            watcher_ = std::thread([this, fd] { watchEvents(fd); });
        else
            watcher_ = std::thread([this] { watchOpeners(); });
    }

    /// Stops counting, reports the readers gone and closes the node.
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

    /// One frame from the stream; dropped while no reader is counted.
    void write(const PixelBufferRef& frame)
    {
        if (clients_.load() == 0)
            return;
        std::lock_guard lock(mutex_);
        writeLocked(frame);
    }

    void setFrameRate(int fps)
    {
        std::lock_guard lock(mutex_);
        if (fps == fps_ || fps < 1)
            return;
        fps_ = fps;
        setRateLocked();
    }

private:
    void writeLocked(const PixelBufferRef& frame)
    {
        if (fd_ < 0)
            return;
        const std::vector<std::uint8_t>* bytes = converter_.convert(frame);
        if (!bytes)
            return;
        // The node is non-blocking: a frame the driver cannot take now is dropped, never waited for.
        if (syscalls_.write(fd_, bytes->data(), bytes->size()) < 0 && !writeErrorLogged_) {
            writeErrorLogged_ = true;
            log_.write(LogLevel::error, "Quellon: writing to " + path_ + " failed: " + errorText(errno));
        }
    }

    /// The rate clients are told, as the writer's time per frame.
    void setRateLocked()
    {
        if (fd_ < 0)
            return;
        v4l2_streamparm parameters{};
        parameters.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        parameters.parm.output.timeperframe = {1, static_cast<std::uint32_t>(fps_)};
        if (syscalls_.ioctl(fd_, VIDIOC_S_PARM, &parameters) < 0 && !rateErrorLogged_) {
            rateErrorLogged_ = true;
            log_.write(LogLevel::error, "Quellon: cannot set the frame rate of " + path_ + ": " + errorText(errno));
        }
    }

    /// Writes the standby card (black when there is none), so that a device with exclusive
    /// capabilities announces capture before anyone streams.
    void prime()
    {
        std::shared_ptr<CameraStreamHandler> handler;
        {
            std::lock_guard lock(mutex_);
            if (stream_)
                handler = stream_->handler().lock();
        }
        PixelBufferRef frame = handler ? handler->primeFrame() : nullptr;
        if (!frame || !frame->isBGRA())
            frame = PixelBuffer::create(converter_.format().width, converter_.format().height);
        std::lock_guard lock(mutex_);
        writeLocked(frame);
    }

    void watchEvents(int fd)
    {
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
                setClients(static_cast<int>(std::min<std::uint32_t>(count, kMaxClients)));
            }
        }
    }

    /// A driver without the client-usage event: the readers are the other processes holding
    /// the node open, counted again whenever it is opened or closed.
    void watchOpeners()
    {
        using Clock = std::chrono::steady_clock;
        auto watch = openers_.watch(path_);
        Clock::time_point nextScan = Clock::now();
        while (!stopWatching_) {
            if (Clock::now() >= nextScan) {
                setClients(std::min(openers_.countOthers(path_), kMaxClients));
                nextScan = Clock::now() + kOpenerRescanInterval;
            }
            if (watch->wait(std::chrono::milliseconds(kEventPollMilliseconds))) {
                setClients(std::min(openers_.countOthers(path_), kMaxClients));
                nextScan = Clock::now() + kOpenerSettleDelay;
            }
        }
    }

    /// Reports the change from the readers counted so far to count, one start or stop each.
    void setClients(int count)
    {
        std::shared_ptr<CameraStreamHandler> handler;
        {
            std::lock_guard lock(mutex_);
            if (stream_)
                handler = stream_->handler().lock();
        }
        // Counted before the handler hears of it: frames it sends at once find the reader.
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
    V4L2Syscalls& syscalls_;
    LogSink& log_;
    DeviceOpeners& openers_;
    std::mutex mutex_;
    FrameConverter converter_;
    std::shared_ptr<V4L2Stream> stream_;
    std::string path_;
    std::string label_;
    int number_ = -1;
    int fd_ = -1;
    int fps_ = 30;
    bool writeErrorLogged_ = false;
    bool rateErrorLogged_ = false;
    std::atomic<bool> stopWatching_{false};
    std::thread watcher_;
    std::mutex countMutex_;
    std::atomic<int> clients_{0};
};

void V4L2Stream::send(const PixelBufferRef& frame, std::uint64_t)
{
    device_.write(frame);
}

void V4L2Stream::setFrameRate(int fps)
{
    device_.setFrameRate(fps);
}

V4L2LoopbackBackend::V4L2LoopbackBackend(V4L2Syscalls& syscalls, LogSink& log, Options options)
    : syscalls_(syscalls), log_(log), options_(std::move(options)),
      openers_(options_.openers ? *options_.openers : DeviceOpeners::system())
{
    staticDevices_ = options_.staticDevice.has_value() || !controlNodeUsable(syscalls_, options_.controlNode);
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

bool V4L2LoopbackBackend::isLoopbackDevice(V4L2Syscalls& syscalls, const std::string& node, std::string* label)
{
    const int fd = syscalls.open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    v4l2_capability capability{};
    const bool asked = syscalls.ioctl(fd, VIDIOC_QUERYCAP, &capability) == 0;
    syscalls.close(fd);
    if (!asked || fixedText(capability.driver, sizeof capability.driver) != V4L2Loopback::kDriverName)
        return false;
    if (label)
        *label = fixedText(capability.card, sizeof capability.card);
    return true;
}

bool V4L2LoopbackBackend::probe(V4L2Syscalls& syscalls, const std::string& controlNode)
{
    if (controlNodeUsable(syscalls, controlNode))
        return true;
    const auto nodes = syscalls.videoNodes();
    return std::any_of(nodes.begin(), nodes.end(), [&](const std::string& node) { return isLoopbackDevice(syscalls, node); });
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
    return std::make_shared<Device>(std::move(identity), syscalls_, log_, openers_, options_.pixelFormat);
}

int V4L2LoopbackBackend::openControlNode()
{
    const int fd = syscalls_.open(options_.controlNode.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        throw CameraBackendError("Cannot open " + options_.controlNode + ": " + errorText(errno));
    return fd;
}

// The device labelled with the camera name, else the first loopback device not in use here;
// its node and label.
std::pair<std::string, std::string> V4L2LoopbackBackend::findStaticDevice(const std::string& name)
{
    const std::string wanted = cardLabel(name);
    std::optional<std::pair<std::string, std::string>> first;
    for (const std::string& node : syscalls_.videoNodes()) {
        {
            std::lock_guard lock(mutex_);
            if (std::any_of(published_.begin(), published_.end(), [&](const auto& device) { return device->path() == node; }))
                continue;
        }
        std::string label;
        if (!isLoopbackDevice(syscalls_, node, &label))
            continue;
        if (label == wanted)
            return {node, label};
        if (!first)
            first.emplace(node, label);
    }
    if (!first)
        throw CameraBackendError("No v4l2loopback device found; load the module with exclusive_caps=1 card_label=\"" + wanted + "\".");
    log_.write(LogLevel::info, "Quellon: no v4l2loopback device is labelled \"" + wanted + "\"; using " + first->first
                                   + " (\"" + first->second + "\")");
    return *first;
}

void V4L2LoopbackBackend::addDevice(const std::shared_ptr<CameraDevice>& device)
{
    auto ours = ownedByThisBackend<Device>(device, "device");
    if (staticDevices_) {
        std::pair<std::string, std::string> found;
        if (options_.staticDevice) {
            found.first = *options_.staticDevice;
            if (!isLoopbackDevice(syscalls_, found.first, &found.second))
                throw CameraBackendError(found.first + " is not a v4l2loopback device.");
        } else {
            found = findStaticDevice(ours->identity().localizedName);
        }
        ours->setNode(found.first, -1, found.second);
        ours->attach();
        std::lock_guard lock(mutex_);
        published_.push_back(ours);
        return;
    }

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
    ours->setNode("/dev/video" + std::to_string(number), number, label);
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
    if (staticDevices_) {
        // The module's own device stays; it is only let go.
        ours->detach();
        std::lock_guard lock(mutex_);
        published_.erase(std::find(published_.begin(), published_.end(), ours));
        return;
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

void V4L2LoopbackBackend::checkRenamable(const std::string& newName) const
{
    if (!staticDevices_)
        return;
    // A device the module already labelled with the new name can simply be taken.
    const std::string wanted = cardLabel(newName);
    for (const std::string& candidate : syscalls_.videoNodes()) {
        std::string label;
        if (isLoopbackDevice(syscalls_, candidate, &label) && label == wanted)
            return;
    }
    std::string node = "the device";
    {
        std::lock_guard lock(mutex_);
        if (!published_.empty())
            node = published_.back()->path();
    }
    throw CameraBackendError("v4l2loopback without its control node cannot relabel " + node + " while it is loaded; "
                             + deferredRenameHint(newName));
}

std::string V4L2LoopbackBackend::deferredRenameHint(const std::string& name) const
{
    if (!staticDevices_)
        return {};
    {
        std::lock_guard lock(mutex_);
        if (!published_.empty() && published_.back()->label() == cardLabel(name))
            return {};
    }
    return "the name applies when v4l2loopback is reloaded with card_label=\"" + cardLabel(name) + "\"";
}

} // namespace quellon
