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

std::string fourccText(std::uint32_t code)
{
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = static_cast<char>((code >> shift) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

/// The format the driver reported as one this camera can write whole frames of, or none.
std::optional<OutputFormat> writableFormat(const v4l2_pix_format& pix)
{
    OutputFormat format;
    if (pix.pixelformat == V4L2_PIX_FMT_YUYV)
        format.pixelFormat = OutputPixelFormat::yuyv;
    else if (pix.pixelformat == V4L2_PIX_FMT_YUV420)
        format.pixelFormat = OutputPixelFormat::i420;
    else
        return std::nullopt;
    // Chroma is subsampled in pairs: odd sizes have no tight layout here.
    if (pix.width < 2 || pix.height < 2 || pix.width > 8192 || pix.height > 8192 || pix.width % 2 || pix.height % 2)
        return std::nullopt;
    format.width = static_cast<int>(pix.width);
    format.height = static_cast<int>(pix.height);
    const std::uint32_t tightLine = format.pixelFormat == OutputPixelFormat::yuyv ? pix.width * 2 : pix.width;
    // 0.12 answers the page-aligned buffer size; a padded line would need another layout.
    if ((pix.bytesperline != 0 && pix.bytesperline != tightLine) || pix.sizeimage < format.frameBytes())
        return std::nullopt;
    return format;
}

std::string formatText(const v4l2_pix_format& pix)
{
    return std::to_string(pix.width) + "x" + std::to_string(pix.height) + " " + fourccText(pix.pixelformat);
}

/// N of "/dev/videoN", or -1.
int nodeNumber(const std::string& node)
{
    constexpr std::string_view prefix = "/dev/video";
    if (!node.starts_with(prefix) || node.size() == prefix.size()
        || node.find_first_not_of("0123456789", prefix.size()) != std::string::npos || node.size() > prefix.size() + 6)
        return -1;
    return std::stoi(node.substr(prefix.size()));
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

    /// Opens the node, agrees on the output format, keeps it, sets the rate, shows the first
    /// frame and starts counting readers. Throws.
    void attach()
    {
        const int fd = syscalls_.open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            throw CameraBackendError("Cannot open " + path_ + ": " + errorText(errno));
        try {
            negotiateFormat(fd);
        } catch (const CameraBackendError&) {
            syscalls_.close(fd);
            throw;
        }
        {
            std::lock_guard lock(mutex_);
            fd_ = fd;
            keptFormat_ = false;
            writeErrorLogged_ = false;
        }
        // The first frame also tells whether the device is free: 0.13 refuses a second writer.
        if (const int error = prime(); error == EINVAL) {
            std::lock_guard lock(mutex_);
            syscalls_.close(fd_);
            fd_ = -1;
            throw CameraBackendError(path_ + " is being written by another program.");
        }
        // Without it the driver forgets format and frame whenever no writer has the node open;
        // a driver without the control simply refuses it.
        v4l2_control keepFormat{V4L2Loopback::kKeepFormatControl, 1};
        const bool kept = syscalls_.ioctl(fd, VIDIOC_S_CTRL, &keepFormat) == 0;
        {
            std::lock_guard lock(mutex_);
            keptFormat_ = kept;
            setRateLocked();
        }

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

    /// Stops counting, reports the readers gone, covers the last picture with the standby card
    /// (black without one), stops keeping the format and closes the node.
    void detach()
    {
        stopWatching_ = true;
        if (watcher_.joinable())
            watcher_.join();
        setClients(0);
        {
            std::lock_guard lock(mutex_);
            if (fd_ < 0)
                return;
        }
        PixelBufferRef cover = standbyFrame();
        std::lock_guard lock(mutex_);
        if (fd_ < 0)
            return;
        writeLocked(cover);
        if (keptFormat_) {
            v4l2_control keepFormat{V4L2Loopback::kKeepFormatControl, 0};
            if (syscalls_.ioctl(fd_, VIDIOC_S_CTRL, &keepFormat) < 0)
                log_.write(LogLevel::error, "Quellon: cannot clear keep_format on " + path_ + ": " + errorText(errno));
            keptFormat_ = false;
        }
        syscalls_.close(fd_);
        fd_ = -1;
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
    /// 0, or the errno of a write the driver refused.
    int writeLocked(const PixelBufferRef& frame)
    {
        if (fd_ < 0)
            return 0;
        const std::vector<std::uint8_t>* bytes = converter_.convert(frame);
        if (!bytes)
            return 0;
        // The node is non-blocking: a frame the driver cannot take now is dropped, never waited for.
        if (syscalls_.write(fd_, bytes->data(), bytes->size()) >= 0)
            return 0;
        const int error = errno;
        if (!writeErrorLogged_) {
            writeErrorLogged_ = true;
            log_.write(LogLevel::error, "Quellon: writing to " + path_ + " failed: " + errorText(error));
        }
        return error;
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

    /// The standby card from the stream's handler; black when there is none.
    PixelBufferRef standbyFrame()
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
        return frame;
    }

    /// Writes the standby card, so that a device with exclusive capabilities announces capture
    /// before anyone streams, and a picture left by an earlier writer is gone. 0, or the errno
    /// of the refused write.
    int prime()
    {
        PixelBufferRef frame = standbyFrame();
        std::lock_guard lock(mutex_);
        return writeLocked(frame);
    }

    /// Asks for the camera's format and takes what the driver answers: it keeps an earlier
    /// format while keep_format is set or a reader holds the device, and then either reports
    /// that one (0.12) or refuses with EBUSY (0.13). A YUYV or I420 format of another size is
    /// adapted to, since frames are scaled anyway; any other is refused. Throws.
    void negotiateFormat(int fd)
    {
        const OutputFormat wanted = converter_.format();
        v4l2_format format{};
        format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        format.fmt.pix.width = static_cast<std::uint32_t>(wanted.width);
        format.fmt.pix.height = static_cast<std::uint32_t>(wanted.height);
        format.fmt.pix.pixelformat = fourcc(wanted.pixelFormat);
        format.fmt.pix.field = V4L2_FIELD_NONE;
        format.fmt.pix.bytesperline = static_cast<std::uint32_t>(
            wanted.pixelFormat == OutputPixelFormat::yuyv ? wanted.width * 2 : wanted.width);
        format.fmt.pix.sizeimage = static_cast<std::uint32_t>(wanted.frameBytes());
        format.fmt.pix.colorspace = V4L2_COLORSPACE_SRGB;
        if (syscalls_.ioctl(fd, VIDIOC_S_FMT, &format) < 0) {
            const int error = errno;
            if (error != EBUSY)
                throw CameraBackendError("Cannot set the format of " + path_ + ": " + errorText(error));
            // The answer of a refused call is not copied back: ask for the format kept.
            format = {};
            format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
            if (syscalls_.ioctl(fd, VIDIOC_G_FMT, &format) < 0)
                throw CameraBackendError("Cannot set the format of " + path_ + ": " + errorText(error));
        }
        const auto kept = writableFormat(format.fmt.pix);
        if (!kept)
            throw CameraBackendError(path_ + " keeps the format " + formatText(format.fmt.pix)
                                     + " (keep_format is set or another program holds it); the camera writes YUYV or I420 only. "
                                       "Close the program using it, or clear keep_format with v4l2-ctl.");
        if (*kept == wanted)
            return;
        log_.write(LogLevel::info, "Quellon: " + path_ + " keeps the format " + formatText(format.fmt.pix)
                                       + "; frames are scaled to it");
        std::lock_guard lock(mutex_);
        converter_ = FrameConverter(*kept);
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
    /// keep_format was set by us on the open node, so it is ours to clear.
    bool keptFormat_ = false;
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

bool V4L2LoopbackBackend::probe(const std::vector<std::string>& labels, V4L2Syscalls& syscalls, const std::string& controlNode)
{
    if (controlNodeUsable(syscalls, controlNode))
        return true;
    // Another program's loopback device is not a camera for us.
    const auto nodes = syscalls.videoNodes();
    return std::any_of(nodes.begin(), nodes.end(), [&](const std::string& node) {
        std::string label;
        return isLoopbackDevice(syscalls, node, &label) && std::find(labels.begin(), labels.end(), label) != labels.end();
    });
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

bool V4L2LoopbackBackend::isOwnLabel(const std::string& label, const std::string& name) const
{
    if (label == cardLabel(name))
        return true;
    return std::any_of(options_.ownLabels.begin(), options_.ownLabels.end(),
                       [&](const std::string& own) { return label == cardLabel(own); });
}

// The device labelled with the camera name, else one with another label of ours, not in use
// here; its node and label. A device labelled otherwise is another program's camera.
std::pair<std::string, std::string> V4L2LoopbackBackend::findStaticDevice(const std::string& name)
{
    const std::string wanted = cardLabel(name);
    std::optional<std::pair<std::string, std::string>> other;
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
        if (!other && isOwnLabel(label, name))
            other.emplace(node, label);
    }
    if (!other)
        throw CameraBackendError("No v4l2loopback device is labelled \"" + wanted
                                 + "\"; load the module with exclusive_caps=1 card_label=\"" + wanted
                                 + "\", or name a device with --sink v4l2:/dev/videoN.");
    log_.write(LogLevel::info, "Quellon: no v4l2loopback device is labelled \"" + wanted + "\"; using " + other->first
                                   + " (\"" + other->second + "\")");
    return *other;
}

std::vector<std::pair<std::string, int>> V4L2LoopbackBackend::clearLeftovers(int control, const std::string& name)
{
    std::vector<std::pair<std::string, int>> held;
    for (const std::string& node : syscalls_.videoNodes()) {
        const int number = nodeNumber(node);
        std::string label;
        if (number < 0 || !isLoopbackDevice(syscalls_, node, &label) || !isOwnLabel(label, name))
            continue;
        {
            std::lock_guard lock(mutex_);
            if (std::any_of(published_.begin(), published_.end(), [&](const auto& device) { return device->path() == node; }))
                continue;
        }
        // The driver refuses to remove a device anyone holds open, which is the check we need.
        if (syscalls_.ioctl(control, V4L2Loopback::kCtlRemove, reinterpret_cast<void*>(static_cast<std::intptr_t>(number))) == 0) {
            log_.write(LogLevel::info, "Quellon: removed the leftover loopback device " + node + " (\"" + label + "\")");
            continue;
        }
        const int error = errno;
        if (error == EBUSY && label == cardLabel(name)) {
            held.emplace_back(node, number);
        } else {
            log_.write(LogLevel::error, "Quellon: cannot remove the leftover loopback device " + node + ": " + errorText(error));
        }
    }
    return held;
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
    const std::string label = cardLabel(ours->identity().localizedName);
    if (!leftoversCleared_) {
        leftoversCleared_ = true;
        // A reader kept one through our restart: it gets the camera again instead of a frozen
        // picture. One that another program writes to (another user's camera) is not ours.
        for (const auto& [node, held] : clearLeftovers(control, ours->identity().localizedName)) {
            ours->setNode(node, held, label);
            try {
                ours->attach();
            } catch (const CameraBackendError& error) {
                log_.write(LogLevel::info, std::string("Quellon: not taking over the loopback device ") + node + ": " + error.what());
                continue;
            }
            log_.write(LogLevel::info, "Quellon: took over the leftover loopback device " + node + ", still held open");
            syscalls_.close(control);
            std::lock_guard lock(mutex_);
            published_.push_back(ours);
            return;
        }
    }
    V4L2Loopback::Config config;
    std::memcpy(config.cardLabel, label.data(), label.size());
    config.announceAllCaps = 0;
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
