#include "backends/V4L2LoopbackBackend.h"
#include "backends/BackendTestSupport.h"
#include "backends/DeviceOpeners.h"
#include "backends/FrameConverter.h"

#include "CameraPropertyRouter.h"
#include "ExtensionTestSupport.h"
#include "QuellonExtensionProviderSource.h"
#include "channel/CameraInfo.h"
#include "channel/QuellonCMIOChannel.h"
#include "platform/Log.h"
#include "platform/TemporaryDirectory.h"
#include "state/QuellonIdentifiers.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <fstream>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <map>
#include <thread>
#include <unistd.h>

namespace quellon {
namespace {

using testing::CountingHandler;
using testing::eventually;

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

const char* const kSetYUYV = "S_FMT 5 output 1280x720 YUYV bpl=2560 size=1843200 progressive";

/// The two driver generations, modelled from their sources (0.12.7 as Debian 12 ships it,
/// 0.13.x), with what each refuses or changes:
/// - 0.12: no control node, no client-usage event; only the devices the module was loaded with.
///   0.13: both; CTL_ADD reads announce_all_caps -1 as exclusive. `allCapsByDefault` models
///   the 2025 driver, which reads -1 as "announce both".
/// - QUERYCAP with exclusive caps: capture only once a writer has delivered a frame, output only
///   while no writer has one open; announce_all_caps: both, always.
/// - S_FMT(output): sizes are clamped to the device's maximum; 0.12 takes an unknown pixel
///   format as its first (BGR4), 0.13 refuses it. Once a frame is there (0.12), or while the
///   format is fixed by keep_format, a reader or another writer (0.13), the kept format is
///   answered instead; 0.13 refuses a different one with EBUSY once a frame is there.
///   0.12 answers the page-aligned buffer size as sizeimage.
/// - write: EINVAL before any format; a longer frame is cut to the buffer. 0.13 takes one
///   writer at a time (another's write: EINVAL) and lets the next in when it closes; 0.12 marks
///   the device written on write() and never clears that for a writer that did not stream.
/// - the last opener's close frees format and frame unless keep_format is set: then the last
///   frame stays for the next reader.
/// - keep_format takes 0 or 1; open fails EBUSY beyond max_openers (10); CTL_REMOVE fails
///   EBUSY while anyone holds the device and ENODEV for no device.
class FakeV4L2 final : public V4L2Syscalls {
public:
    enum class Generation { v0_12, v0_13 };

    struct Device {
        std::string label;
        bool announceAllCaps = false;
        bool readyForCapture = false;
        bool readyForOutput = true;
        bool keepFormat = false;
        int opened = 0;
        /// Other processes holding the node open, reading.
        int otherOpeners = 0;
        int fps = 0;
        int writes = 0;
        /// Writes whose size was not the frame size of the format set.
        int writesOfAnotherSize = 0;
        std::uint32_t maxWidth = 8192;
        std::uint32_t maxHeight = 8192;
        v4l2_pix_format format{};
        /// What a reader opening the device now would get; empty when nothing.
        std::string lastFrame;
    };

    explicit FakeV4L2(Generation generation) : generation(generation) {}

    int open(const char* path, int) override
    {
        std::lock_guard lock(mutex_);
        const bool exists = (path == std::string(V4L2Loopback::kControlNode) && generation == Generation::v0_13)
            || devices.contains(path) || otherNodes.contains(path);
        if (!exists || failOpen.contains(path))
            return recordLocked(std::string("open ") + path + " failed", "", ENOENT, -1);
        if (auto it = devices.find(path); it != devices.end() && it->second.opened + it->second.otherOpeners >= kMaxOpeners)
            return recordLocked(std::string("open ") + path + " failed", "", EBUSY, -1);
        const int fd = nextFD_++;
        open_[fd] = path;
        if (auto it = devices.find(path); it != devices.end())
            ++it->second.opened;
        return recordLocked(std::string("open ") + path + " = " + std::to_string(fd), "", 0, fd);
    }

    int close(int fd) override
    {
        std::lock_guard lock(mutex_);
        if (auto it = devices.find(open_[fd]); it != devices.end()) {
            Device& device = it->second;
            // 0.13 counts a writer from its first write on and lets the next one in when it
            // leaves; 0.12 does that only for streaming writers, so after write() it stays shut.
            if (writers_.erase(fd) && generation == Generation::v0_13)
                device.readyForOutput = true;
            // The driver frees its buffers when the last opener goes, unless told to keep them.
            if (--device.opened == 0 && device.otherOpeners == 0 && !device.keepFormat)
                freeLocked(device);
        }
        open_.erase(fd);
        return recordLocked("close " + std::to_string(fd), "", 0, 0);
    }

    int ioctl(int fd, unsigned long request, void* argument) override
    {
        std::lock_guard lock(mutex_);
        char text[200];
        const std::string node = open_.contains(fd) ? open_[fd] : "";
        Device* device = devices.contains(node) ? &devices[node] : nullptr;
        if (request == V4L2Loopback::kCtlAdd) {
            const auto* config = static_cast<const V4L2Loopback::Config*>(argument);
            std::snprintf(text, sizeof text, "CTL_ADD label=\"%.32s\" output=%d all_caps=%d", config->cardLabel,
                          config->outputNumber, config->announceAllCaps);
            const int result = recordLocked(text, "CTL_ADD", EINVAL, generation == Generation::v0_13 ? deviceNumber : -1);
            if (result >= 0) {
                Device& added = devices["/dev/video" + std::to_string(result)];
                added.label = config->cardLabel[0] ? std::string(config->cardLabel, strnlen(config->cardLabel, 32))
                                                   : "Dummy video device (0x" + std::to_string(result) + ")";
                added.announceAllCaps = config->announceAllCaps < 0 ? allCapsByDefault : config->announceAllCaps != 0;
            }
            return result;
        }
        if (request == V4L2Loopback::kCtlRemove) {
            const std::string removed = "/dev/video" + std::to_string(reinterpret_cast<std::intptr_t>(argument));
            const bool exists = devices.contains(removed);
            const bool busy = exists && (devices[removed].opened + devices[removed].otherOpeners) > 0;
            const int result = recordLocked("CTL_REMOVE " + removed.substr(10), "CTL_REMOVE", busy ? EBUSY : ENODEV,
                                            busy || !exists ? -1 : 0);
            if (result == 0)
                devices.erase(removed);
            return result;
        }
        if (request == VIDIOC_QUERYCAP) {
            auto* capability = static_cast<v4l2_capability*>(argument);
            *capability = {};
            if (device) {
                std::snprintf(reinterpret_cast<char*>(capability->driver), sizeof capability->driver, "v4l2 loopback");
                std::snprintf(reinterpret_cast<char*>(capability->card), sizeof capability->card, "%s", device->label.c_str());
                capability->device_caps = capabilitiesLocked(*device);
            } else {
                std::snprintf(reinterpret_cast<char*>(capability->driver), sizeof capability->driver, "uvcvideo");
            }
            return recordLocked("QUERYCAP " + std::to_string(fd), "QUERYCAP", EINVAL, 0);
        }
        if (request == VIDIOC_S_FMT) {
            auto* format = static_cast<v4l2_format*>(argument);
            const auto& pix = format->fmt.pix;
            std::snprintf(text, sizeof text, "S_FMT %d %s %ux%u %s bpl=%u size=%u%s", fd,
                          format->type == V4L2_BUF_TYPE_VIDEO_OUTPUT ? "output" : "?", pix.width, pix.height,
                          pix.pixelformat == V4L2_PIX_FMT_YUYV ? "YUYV" : pix.pixelformat == V4L2_PIX_FMT_YUV420 ? "I420" : "?",
                          pix.bytesperline, pix.sizeimage, pix.field == V4L2_FIELD_NONE ? " progressive" : "");
            const int error = device && format->type == V4L2_BUF_TYPE_VIDEO_OUTPUT ? setFormatLocked(*device, *format) : EINVAL;
            return recordLocked(text, "S_FMT", error ? error : EINVAL, error ? -1 : 0);
        }
        if (request == VIDIOC_G_FMT) {
            auto* format = static_cast<v4l2_format*>(argument);
            if (device)
                format->fmt.pix = device->format;
            return recordLocked("G_FMT " + std::to_string(fd), "G_FMT", EINVAL, device ? 0 : -1);
        }
        if (request == VIDIOC_S_CTRL) {
            const auto* control = static_cast<const v4l2_control*>(argument);
            const bool known = control->id == V4L2Loopback::kKeepFormatControl;
            const bool valid = known && device && control->value >= 0 && control->value <= 1;
            if (valid) {
                device->keepFormat = control->value != 0;
                if (!device->keepFormat && device->opened + device->otherOpeners == 0)
                    freeLocked(*device);
            }
            return recordLocked("S_CTRL " + std::to_string(fd) + (known ? " keep_format=" : " ?=") + std::to_string(control->value),
                                "S_CTRL", EINVAL, valid ? 0 : -1);
        }
        if (request == VIDIOC_S_PARM) {
            const auto* parameters = static_cast<const v4l2_streamparm*>(argument);
            const auto& frame = parameters->parm.output.timeperframe;
            if (device && frame.numerator > 0)
                device->fps = static_cast<int>(frame.denominator / frame.numerator);
            std::snprintf(text, sizeof text, "S_PARM %d %s %u/%u", fd,
                          parameters->type == V4L2_BUF_TYPE_VIDEO_OUTPUT ? "output" : "?", frame.numerator, frame.denominator);
            return recordLocked(text, "S_PARM", EINVAL, 0);
        }
        if (request == VIDIOC_SUBSCRIBE_EVENT) {
            const auto* subscription = static_cast<const v4l2_event_subscription*>(argument);
            std::snprintf(text, sizeof text, "SUBSCRIBE %d 0x%08x%s", fd, subscription->type,
                          subscription->flags & V4L2_EVENT_SUB_FL_SEND_INITIAL ? " initial" : "");
            // 0.12 knows no such event.
            return recordLocked(text, "SUBSCRIBE", EINVAL, generation == Generation::v0_12 ? -1 : 0);
        }
        if (request != VIDIOC_DQEVENT)
            return recordLocked("ioctl ?", "", ENOTTY, -1);
        if (events_.empty()) {
            errno = ENOENT;
            return -1;
        }
        auto* event = static_cast<v4l2_event*>(argument);
        *event = {};
        event->type = events_.front().first;
        std::memcpy(event->u.data, &events_.front().second, sizeof(std::uint32_t));
        events_.pop_front();
        return 0;
    }

    ssize_t write(int fd, const void* data, std::size_t size) override
    {
        std::lock_guard lock(mutex_);
        const std::string call = "write " + std::to_string(fd) + " " + std::to_string(size);
        auto it = devices.find(open_[fd]);
        if (it == devices.end())
            return recordLocked(call, "", EINVAL, -1);
        Device& device = it->second;
        // No format, no buffers: the driver cannot take a frame.
        if (device.format.sizeimage == 0)
            return recordLocked(call, "", EINVAL, -1);
        // 0.13: one writer at a time; another's write is refused.
        if (generation == Generation::v0_13 && !writers_.contains(fd) && !device.readyForOutput)
            return recordLocked(call, "", EINVAL, -1);
        ++device.writes;
        if (size != frameBytes(device.format))
            ++device.writesOfAnotherSize;
        const std::size_t taken = std::min<std::size_t>(size, device.format.sizeimage);
        device.lastFrame.assign(static_cast<const char*>(data), taken);
        device.readyForCapture = true;
        device.readyForOutput = false;
        writers_.insert(fd);
        return recordLocked(call, "", 0, static_cast<int>(taken));
    }

    int poll(pollfd* fds, nfds_t, int) override
    {
        std::unique_lock lock(mutex_);
        fds[0].revents = events_.empty() ? 0 : POLLPRI;
        lock.unlock();
        if (!fds[0].revents)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return fds[0].revents ? 1 : 0;
    }

    std::vector<std::string> videoNodes() override
    {
        std::lock_guard lock(mutex_);
        std::vector<std::string> nodes(otherNodes.begin(), otherNodes.end());
        for (const auto& [path, device] : devices)
            nodes.push_back(path);
        std::sort(nodes.begin(), nodes.end());
        return nodes;
    }

    /// Queues a client-usage event (or another type) for the watcher.
    void queueEvent(std::uint32_t count, std::uint32_t type = V4L2Loopback::kClientUsageEvent)
    {
        std::lock_guard lock(mutex_);
        events_.emplace_back(type, count);
    }
    /// The calls recorded, from the from-th on.
    std::vector<std::string> calls(std::size_t from = 0) const
    {
        std::lock_guard lock(mutex_);
        return {calls_.begin() + static_cast<std::ptrdiff_t>(from), calls_.end()};
    }
    Device device(const std::string& path) const
    {
        std::lock_guard lock(mutex_);
        return devices.at(path);
    }
    /// The capabilities a client asking now would see.
    std::uint32_t capabilities(const std::string& path) const
    {
        std::lock_guard lock(mutex_);
        return capabilitiesLocked(devices.at(path));
    }
    void setOtherOpeners(const std::string& path, int count)
    {
        std::lock_guard lock(mutex_);
        Device& device = devices.at(path);
        device.otherOpeners = count;
        if (device.opened + count == 0 && !device.keepFormat)
            freeLocked(device);
    }
    /// A device left as another writer leaves it: format set, a frame shown and kept.
    void leaveFrame(const std::string& path, std::uint32_t width, std::uint32_t height, std::uint32_t fourcc, char fill)
    {
        std::lock_guard lock(mutex_);
        Device& device = devices.at(path);
        device.format = {};
        device.format.width = width;
        device.format.height = height;
        device.format.pixelformat = fourcc;
        device.format.bytesperline = fourcc == V4L2_PIX_FMT_YUYV ? width * 2 : fourcc == V4L2_PIX_FMT_YUV420 ? width : width * 4;
        device.format.sizeimage = static_cast<std::uint32_t>(frameBytes(device.format));
        device.lastFrame.assign(device.format.sizeimage, fill);
        device.readyForCapture = true;
        device.readyForOutput = generation == Generation::v0_13;
        device.keepFormat = true;
    }

    static std::size_t frameBytes(const v4l2_pix_format& format)
    {
        return format.pixelformat == V4L2_PIX_FMT_YUV420 ? std::size_t(format.width) * format.height * 3 / 2
                                                         : std::size_t(format.bytesperline) * format.height;
    }

    Generation generation;
    /// The 2025 driver: CTL_ADD reads announce_all_caps -1 as "announce both".
    bool allCapsByDefault = false;
    std::map<std::string, Device> devices;
    std::set<std::string> otherNodes;
    std::set<std::string> failOpen;
    std::map<std::string, int> failures;
    int deviceNumber = 7;

private:
    static constexpr int kMaxOpeners = 10;

    std::uint32_t capabilitiesLocked(const Device& device) const
    {
        if (device.announceAllCaps)
            return V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_OUTPUT;
        return (device.readyForCapture ? V4L2_CAP_VIDEO_CAPTURE : 0u) | (device.readyForOutput ? V4L2_CAP_VIDEO_OUTPUT : 0u);
    }

    void freeLocked(Device& device)
    {
        device.readyForCapture = false;
        device.lastFrame.clear();
        if (generation == Generation::v0_12)
            device.format.sizeimage = 0;
    }

    // The driver's S_FMT on the output side; 0 or the errno.
    int setFormatLocked(Device& device, v4l2_format& format)
    {
        auto& pix = format.fmt.pix;
        if (generation == Generation::v0_12) {
            if (device.readyForCapture) {
                pix = device.format;
                return 0;
            }
        } else if (device.keepFormat || device.otherOpeners > 0 || !device.readyForOutput) {
            const bool differs = pix.width != device.format.width || pix.height != device.format.height
                || pix.pixelformat != device.format.pixelformat;
            pix = device.format;
            return differs && device.readyForCapture ? EBUSY : 0;
        }
        const bool known = pix.pixelformat == V4L2_PIX_FMT_YUYV || pix.pixelformat == V4L2_PIX_FMT_YUV420;
        if (!known) {
            if (generation == Generation::v0_13)
                return EINVAL;
            pix.pixelformat = V4L2_PIX_FMT_BGR32;
        }
        pix.width = std::clamp(pix.width ? pix.width : 640u, 2u, device.maxWidth);
        pix.height = std::clamp(pix.height ? pix.height : 480u, 1u, device.maxHeight);
        pix.bytesperline = pix.pixelformat == V4L2_PIX_FMT_YUYV ? pix.width * 2
            : pix.pixelformat == V4L2_PIX_FMT_YUV420            ? pix.width
                                                                : pix.width * 4;
        pix.sizeimage = static_cast<std::uint32_t>(frameBytes(pix));
        if (pix.field == V4L2_FIELD_ANY)
            pix.field = V4L2_FIELD_NONE;
        device.format = pix;
        if (generation == Generation::v0_12)
            pix.sizeimage = (pix.sizeimage + 4095) / 4096 * 4096;
        return 0;
    }

    /// Records call; fails with error when result < 0 or a failure of name is scripted.
    int recordLocked(const std::string& call, const std::string& name, int error, int result)
    {
        calls_.push_back(call);
        if (auto it = failures.find(name); it != failures.end() && it->second > 0) {
            --it->second;
            result = -1;
        }
        if (result < 0)
            errno = error;
        return result;
    }

    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    std::deque<std::pair<std::uint32_t, std::uint32_t>> events_;
    std::map<int, std::string> open_;
    std::set<int> writers_;
    int nextFD_ = 3;
};

/// Nobody but the test's own readers holds anything open.
class NoOpeners final : public DeviceOpeners {
public:
    int countOthers(const std::string&) override { return 0; }
    std::unique_ptr<Watch> watch(const std::string&) override
    {
        struct Idle final : Watch {
            bool wait(std::chrono::milliseconds timeout) override
            {
                std::this_thread::sleep_for(std::min(timeout, std::chrono::milliseconds(5)));
                return false;
            }
        };
        return std::make_unique<Idle>();
    }
};

class V4L2BackendTest : public ::testing::Test {
protected:
    std::shared_ptr<CameraDevice> publish(V4L2LoopbackBackend& backend, const std::string& name = "Quellon Camera")
    {
        auto device = backend.makeDevice({name, "UUID", "LEGACY", "Quellon Camera", "Quellon", 0});
        stream = device->makeStream({name + " Stream", "SID"}, handler);
        device->addStream(stream);
        backend.addDevice(device);
        return device;
    }
    V4L2LoopbackBackend::Options options(OutputPixelFormat format = OutputPixelFormat::yuyv)
    {
        V4L2LoopbackBackend::Options options;
        options.pixelFormat = format;
        options.openers = &noOpeners;
        return options;
    }

    FakeV4L2 fake{FakeV4L2::Generation::v0_13};
    NoOpeners noOpeners;
    CapturingLogSink log;
    std::shared_ptr<CountingHandler> handler = std::make_shared<CountingHandler>();
    std::shared_ptr<CameraStream> stream;
};

// 0.13: added through the control node, formatted, kept, rated and primed at once; frames go
// out only while the driver counts readers.
TEST_F(V4L2BackendTest, DynamicDeviceIsAddedPrimedAndWrittenOnlyWhileReadersAreCounted)
{
    const std::tuple<OutputPixelFormat, const char*, const char*> cases[] = {
        {OutputPixelFormat::yuyv, kSetYUYV, "write 5 1843200"},
        {OutputPixelFormat::i420, "S_FMT 5 output 1280x720 I420 bpl=1280 size=1382400 progressive", "write 5 1382400"},
    };
    for (auto [format, setFormat, write] : cases) {
        FakeV4L2 fake(FakeV4L2::Generation::v0_13);
        auto handler = std::make_shared<CountingHandler>();
        V4L2LoopbackBackend backend(fake, log, options(format));
        EXPECT_FALSE(backend.staticDevices());
        auto device = backend.makeDevice({"Quellon Camera", "", "", "", "", 0});
        auto stream = device->makeStream({"Cam Stream", ""}, handler);
        stream->send(PixelBuffer::create(1280, 720), 1); // not published yet: dropped
        device->addStream(stream);
        backend.addDevice(device);
        EXPECT_EQ(backend.sinkDescription(), "v4l2:/dev/video7");
        EXPECT_TRUE(fake.device("/dev/video7").readyForCapture);
        stream->send(PixelBuffer::create(1280, 720), 1); // no reader yet
        EXPECT_THAT(fake.calls(), ElementsAre("open /dev/v4l2loopback = 3", "close 3", "open /dev/v4l2loopback = 4",
                                              "CTL_ADD label=\"Quellon Camera\" output=-1 all_caps=0", "open /dev/video7 = 5", setFormat, write,
                                              "S_CTRL 5 keep_format=1", "S_PARM 5 output 1/30",
                                              "SUBSCRIBE 5 0x10e00001 initial", "close 4"));
        fake.queueEvent(1);
        ASSERT_TRUE(eventually([&] { return handler->starts == 1; }));
        const std::size_t mark = fake.calls().size();
        // Any BGRA size is scaled to the whole frame; other pixel formats are dropped.
        stream->send(PixelBuffer::create(1280, 720), 1);
        stream->send(PixelBuffer::create(640, 360), 2);
        stream->send(PixelBuffer::create(8, 8, kPixelFormatGray8), 3);
        stream->setFrameRate(12);
        stream->setFrameRate(12);
        EXPECT_THAT(fake.calls(mark), ElementsAre(write, write, "S_PARM 5 output 1/12"));
        EXPECT_EQ(fake.device("/dev/video7").fps, 12);
    }
}

TEST_F(V4L2BackendTest, CardLabelIsCutToThirtyOneBytesBetweenCharacters)
{
    // "é" is two bytes and the emoji four: neither may be split at the 31st byte.
    const std::pair<std::string, std::string> cases[] = {
        {"Quellon Camera", "Quellon Camera"}, {std::string(31, 'a'), std::string(31, 'a')},
        {std::string(40, 'b'), std::string(31, 'b')}, {std::string(30, 'c') + "\xC3\xA9" + "d", std::string(30, 'c')},
        {std::string(29, 'c') + "\xC3\xA9" + "d", std::string(29, 'c') + "\xC3\xA9"},
        {std::string(29, 'e') + "\xF0\x9F\x98\x80", std::string(29, 'e')},
        // Controls, NUL and direction overrides are shown as U+FFFD, before the cut.
        {std::string("Cam\0era\n", 8), "Cam\xEF\xBF\xBD" "era\xEF\xBF\xBD"},
        {"\xE2\x80\xAE" "aremaC", "\xEF\xBF\xBD" "aremaC"},
        {std::string(29, 'f') + "\x1B", std::string(29, 'f')}};
    for (const auto& [name, label] : cases) {
        EXPECT_EQ(V4L2LoopbackBackend::cardLabel(name), label) << name;
        FakeV4L2 fake(FakeV4L2::Generation::v0_13);
        V4L2LoopbackBackend backend(fake, log, options());
        publish(backend, name);
        EXPECT_EQ(fake.calls().at(3), "CTL_ADD label=\"" + label + "\" output=-1 all_caps=0");
    }
}

TEST_F(V4L2BackendTest, CountsClientsFromTheClientUsageEvent)
{
    V4L2LoopbackBackend backend(fake, log, options());
    auto device = publish(backend);
    // The initial event, readers arriving and leaving; an unrelated event type before each.
    const std::tuple<std::uint32_t, int, int> steps[] = {{0, 0, 0}, {1, 1, 0}, {3, 3, 0}, {2, 3, 1}, {0, 3, 3}, {1, 4, 3}};
    for (auto [count, starts, stops] : steps) {
        fake.queueEvent(99, V4L2_EVENT_EOS);
        fake.queueEvent(count);
        EXPECT_TRUE(eventually([&] { return handler->starts == starts && handler->stops == stops; }))
            << "count " << count << ": " << handler->starts << " starts, " << handler->stops << " stops";
    }
    // Withdrawing the device stops the reader still counted.
    backend.removeDevice(device);
    EXPECT_EQ(handler->starts - handler->stops, 0);
}

// Removal closes its own node, then removes through the control node. A device someone else
// still holds is busy: it is opened and primed again and stays published.
TEST_F(V4L2BackendTest, RemovingADeviceHeldOpenFailsBusyAndRestoresIt)
{
    V4L2LoopbackBackend backend(fake, log, options());
    auto device = publish(backend);
    fake.setOtherOpeners("/dev/video7", 1);
    std::size_t mark = fake.calls().size();
    try {
        backend.removeDevice(device);
        ADD_FAILURE() << "remove succeeded";
    } catch (const CameraBackendError& error) {
        EXPECT_STREQ(error.what(), "Cannot remove /dev/video7: Device or resource busy");
    }
    EXPECT_THAT(fake.calls(mark), ElementsAre("open /dev/v4l2loopback = 6", "write 5 1843200", "S_CTRL 5 keep_format=0",
                                              "close 5", "CTL_REMOVE 7", "close 6",
                                              "open /dev/video7 = 7", "S_FMT 7 output 1280x720 YUYV bpl=2560 size=1843200 progressive",
                                              "write 7 1843200", "S_CTRL 7 keep_format=1", "S_PARM 7 output 1/30",
                                              "SUBSCRIBE 7 0x10e00001 initial"));
    EXPECT_EQ(backend.sinkDescription(), "v4l2:/dev/video7");
    EXPECT_TRUE(fake.device("/dev/video7").readyForCapture);

    fake.setOtherOpeners("/dev/video7", 0);
    mark = fake.calls().size();
    backend.removeDevice(device);
    EXPECT_THAT(fake.calls(mark), ElementsAre("open /dev/v4l2loopback = 8", "write 7 1843200", "S_CTRL 7 keep_format=0",
                                              "close 7", "CTL_REMOVE 7", "close 8"));
    EXPECT_FALSE(fake.devices.contains("/dev/video7"));
    EXPECT_EQ(backend.sinkDescription(), "v4l2");
    EXPECT_THROW(backend.removeDevice(device), CameraBackendError);
}

TEST_F(V4L2BackendTest, FailedAddsLeaveNothingBehind)
{
    const std::vector<std::string> opened = {"open /dev/v4l2loopback = 4", "CTL_ADD label=\"Cam\" output=-1 all_caps=0"};
    // The node that fails to open or the call that fails once; the calls made; the error.
    const std::tuple<const char*, const char*, std::vector<std::string>, const char*> cases[] = {
        {"/dev/v4l2loopback", "", {"open /dev/v4l2loopback failed"}, "Cannot open /dev/v4l2loopback: No such file or directory"},
        {"", "CTL_ADD", {opened[0], opened[1], "close 4"}, "Cannot add a loopback device: Invalid argument"},
        {"/dev/video7", "", {opened[0], opened[1], "open /dev/video7 failed", "CTL_REMOVE 7", "close 4"},
         "Cannot open /dev/video7: No such file or directory"},
        {"", "S_FMT", {opened[0], opened[1], "open /dev/video7 = 5", kSetYUYV, "close 5", "CTL_REMOVE 7", "close 4"},
         "Cannot set the format of /dev/video7: Invalid argument"},
    };
    for (const auto& [node, call, calls, message] : cases) {
        FakeV4L2 fake(FakeV4L2::Generation::v0_13);
        V4L2LoopbackBackend backend(fake, log, options());
        const std::size_t mark = fake.calls().size();
        fake.failOpen.insert(node);
        if (*call)
            fake.failures[call] = 1;
        try {
            backend.addDevice(backend.makeDevice({"Cam", "", "", "", "", 0}));
            ADD_FAILURE() << message << ": add succeeded";
        } catch (const CameraBackendError& error) {
            EXPECT_STREQ(error.what(), message);
        }
        EXPECT_THAT(fake.calls(mark), ElementsAreArray(calls)) << message;
        EXPECT_EQ(backend.sinkDescription(), "v4l2") << message;
        EXPECT_TRUE(fake.devices.empty()) << message;
    }
}

// What `auto` asks: a control node, or failing that a loopback device labelled as ours; another
// program's virtual camera is no reason to pick this sink.
TEST_F(V4L2BackendTest, ProbeClaimsAControlNodeOrALoopbackDeviceOfOurs)
{
    const std::vector<std::string> ours = {"Desk", "Quellon Camera"};
    FakeV4L2 dynamic(FakeV4L2::Generation::v0_13);
    EXPECT_TRUE(V4L2LoopbackBackend::probe(ours, dynamic));
    FakeV4L2 staticDevice(FakeV4L2::Generation::v0_12);
    staticDevice.otherNodes.insert("/dev/video0");
    EXPECT_FALSE(V4L2LoopbackBackend::probe(ours, staticDevice));
    staticDevice.devices["/dev/video2"].label = "OBS Virtual Camera";
    EXPECT_FALSE(V4L2LoopbackBackend::probe(ours, staticDevice));
    staticDevice.devices["/dev/video3"].label = "Desk";
    EXPECT_TRUE(V4L2LoopbackBackend::probe(ours, staticDevice));
    EXPECT_FALSE(V4L2LoopbackBackend::controlNodeUsable(staticDevice));
}

class StaticDeviceTest : public V4L2BackendTest {
protected:
    StaticDeviceTest()
    {
        fake.generation = FakeV4L2::Generation::v0_12;
        fake.otherNodes.insert("/dev/video0"); // the real camera
        fake.devices["/dev/video2"].label = "Dummy video device (0x0000)";
        fake.devices["/dev/video3"].label = "Quellon Camera";
    }
};

// 0.12: the module's device labelled with the camera name is found, kept, rated and primed,
// so it announces capture; nothing is added or removed through a control node.
TEST_F(StaticDeviceTest, FindsTheLabelledDeviceAndPrimesIt)
{
    {
        V4L2LoopbackBackend backend(fake, log, options());
        EXPECT_TRUE(backend.staticDevices());
        EXPECT_FALSE(fake.device("/dev/video3").readyForCapture);
        auto device = publish(backend);
        EXPECT_EQ(backend.sinkDescription(), "v4l2:/dev/video3");
        const auto video3 = fake.device("/dev/video3");
        EXPECT_TRUE(video3.readyForCapture);
        EXPECT_TRUE(video3.keepFormat);
        EXPECT_EQ(video3.fps, 30);
        EXPECT_EQ(video3.writes, 1);
        EXPECT_FALSE(fake.device("/dev/video2").readyForCapture);
        backend.removeDevice(device);
    }
    // Let go: keep_format is ours to clear, so the device offers no picture once nobody holds it.
    EXPECT_FALSE(fake.device("/dev/video3").keepFormat);
    EXPECT_FALSE(fake.device("/dev/video3").readyForCapture);
    EXPECT_EQ(fake.device("/dev/video3").writesOfAnotherSize, 0);
    for (const auto& call : fake.calls())
        EXPECT_FALSE(call.starts_with("CTL_")) << call;
    EXPECT_EQ(handler->starts, 0);
}

// Without a device labelled with the camera name, the one with the default label is used and
// the choice logged; another program's loopback device is used only when named explicitly; a
// node that is no loopback device is refused.
TEST_F(StaticDeviceTest, TakesOnlyADeviceOfOursOrTheOneNamed)
{
    {
        V4L2LoopbackBackend backend(fake, log, options());
        publish(backend, "Desk");
        EXPECT_EQ(backend.sinkDescription(), "v4l2:/dev/video3");
        EXPECT_TRUE(log.contains("Quellon: no v4l2loopback device is labelled \"Desk\"; using /dev/video3 (\"Quellon Camera\")"));
    }
    const std::pair<const char*, const char*> explicitNodes[] = {
        {"/dev/video2", nullptr}, {"/dev/video0", "/dev/video0 is not a v4l2loopback device."},
        {"/dev/video9", "/dev/video9 is not a v4l2loopback device."}};
    for (auto [node, error] : explicitNodes) {
        auto chosen = options();
        chosen.staticDevice = node;
        V4L2LoopbackBackend backend(fake, log, chosen);
        if (!error) {
            publish(backend);
            EXPECT_EQ(backend.sinkDescription(), std::string("v4l2:") + node);
            continue;
        }
        try {
            publish(backend);
            ADD_FAILURE() << node;
        } catch (const CameraBackendError& failure) {
            EXPECT_STREQ(failure.what(), error);
        }
    }
    // Only another program's device: refused, and that device is not touched.
    FakeV4L2 foreign(FakeV4L2::Generation::v0_12);
    foreign.devices["/dev/video2"].label = "OBS Virtual Camera";
    V4L2LoopbackBackend backend(foreign, log, options());
    try {
        publish(backend);
        ADD_FAILURE() << "a foreign device was taken";
    } catch (const CameraBackendError& failure) {
        EXPECT_STREQ(failure.what(), "No v4l2loopback device is labelled \"Quellon Camera\"; load the module with "
                                     "exclusive_caps=1 card_label=\"Quellon Camera\", or name a device with --sink v4l2:/dev/videoN.");
    }
    EXPECT_EQ(foreign.device("/dev/video2").writes, 0);
}

// 0.12 has no client-usage event: the readers are the other processes holding the node open,
// found in a proc tree of the test's own whenever the node is opened or closed. Nothing but
// the priming frame is written while none is counted.
TEST_F(StaticDeviceTest, CountsReadersFromTheOpenersAndWritesOnlyForThem)
{
    TemporaryDirectory directory{"quellon-v4l2-openers"};
    const std::filesystem::path node = directory.path() / "video5";
    const std::filesystem::path proc = directory.path() / "proc";
    { std::ofstream(node).put('\0'); }
    fake.devices[node.string()].label = "Quellon Camera";
    std::filesystem::create_directories(proc / "77" / "fd"); // this process: never counted
    std::filesystem::create_symlink(node, proc / "77" / "fd" / "9");
    ProcDeviceOpeners openers(proc, 77);
    auto chosen = options();
    chosen.staticDevice = node.string();
    chosen.openers = &openers;
    V4L2LoopbackBackend backend(fake, log, chosen);
    publish(backend);

    const auto frame = PixelBuffer::create(1280, 720);
    // Opening and closing the node is what wakes the counting.
    const auto touch = [&] { ::close(::open(node.c_str(), O_RDONLY)); };
    const auto reader = [&](const std::string& pid, bool present) {
        if (present) {
            std::filesystem::create_directories(proc / pid / "fd");
            std::filesystem::create_symlink(node, proc / pid / "fd" / "4");
            std::filesystem::create_symlink("/dev/null", proc / pid / "fd" / "5");
        } else {
            std::filesystem::remove_all(proc / pid);
        }
        touch();
    };
    // The readers there are after each step, and the starts and stops reported so far.
    const std::tuple<const char*, bool, int, int> steps[] = {
        {"1001", true, 1, 0}, {"1002", true, 2, 0}, {"1001", false, 2, 1}, {"1002", false, 2, 2}};
    stream->send(frame, 0);
    EXPECT_EQ(fake.device(node.string()).writes, 1) << "only the priming frame";
    for (auto [pid, present, starts, stops] : steps) {
        reader(pid, present);
        ASSERT_TRUE(eventually([&] { return handler->starts == starts && handler->stops == stops; }))
            << pid << ": " << handler->starts << " starts, " << handler->stops << " stops";
        const int before = fake.device(node.string()).writes;
        stream->send(frame, 0);
        EXPECT_EQ(fake.device(node.string()).writes, before + (starts > stops ? 1 : 0)) << pid;
    }
}

// A live rename cannot relabel a static device: it fails through the rename's own path with
// the reason, the device stays, and the camera says where the stored name applies.
TEST_F(StaticDeviceTest, RenameFailsCleanlyAndTheStoredNameWaitsForTheModule)
{
    testing::ExtensionWorld world;
    V4L2LoopbackBackend backend(fake, world.log, options());
    auto provider = QuellonExtensionProviderSource::create(backend, world.services());
    CameraPropertyRouter router(provider, [&] { return backend.sinkDescription(); });
    const auto before = provider->deviceSource();
    router.setProperty(QuellonCMIOChannel::nameSelector, "Desk");
    provider->drainRenames();
    EXPECT_EQ(provider->deviceSource(), before);
    EXPECT_EQ(backend.sinkDescription(), "v4l2:/dev/video3");
    const std::string hint = "the name applies when v4l2loopback is reloaded with card_label=\"Desk\"";
    EXPECT_TRUE(world.log.contains("Quellon: rename failed: v4l2loopback without its control node cannot relabel "
                                   "/dev/video3 while it is loaded; " + hint));
    const CameraInfo info = decodeCameraInfo(router.property(kCameraInfoSelector).value());
    EXPECT_EQ(info.name, "Quellon Camera");
    EXPECT_EQ(info.storedName, "Desk");
    EXPECT_EQ(info.storedNameHint, hint);
    provider->removeDevice();
}

// A stored name no device is labelled with: the camera runs on another device and says so,
// though the names it publishes agree.
TEST_F(StaticDeviceTest, StoredNameWithoutItsLabelSaysWhereItApplies)
{
    testing::ExtensionWorld world;
    world.defaults.setString(QuellonIdentifiers::customCameraNameKey, "Desk");
    V4L2LoopbackBackend backend(fake, world.log, options());
    auto provider = QuellonExtensionProviderSource::create(backend, world.services());
    CameraPropertyRouter router(provider, [&] { return backend.sinkDescription(); });
    const CameraInfo info = decodeCameraInfo(router.property(kCameraInfoSelector).value());
    EXPECT_EQ(std::tuple(info.name, info.sink, info.storedName), std::tuple("Desk", "v4l2:/dev/video3", "Desk"));
    EXPECT_EQ(info.storedNameHint, "the name applies when v4l2loopback is reloaded with card_label=\"Desk\"");
    // Back to the name the module gave a device: that one is taken, live.
    router.setProperty(QuellonCMIOChannel::nameSelector, "Quellon Camera");
    provider->drainRenames();
    EXPECT_EQ(backend.sinkDescription(), "v4l2:/dev/video3");
    EXPECT_FALSE(decodeCameraInfo(router.property(kCameraInfoSelector).value()).storedName);
    provider->removeDevice();
}


/// A BGRA frame of one grey level.
PixelBufferRef solid(int width, int height, std::uint8_t level)
{
    auto frame = PixelBuffer::create(width, height);
    auto pixels = frame->lockForWriting();
    for (int y = 0; y < height; ++y)
        std::memset(pixels.row(y), level, static_cast<std::size_t>(width) * 4);
    return frame;
}

/// The bytes a sink of format writes for frame.
std::string converted(const PixelBufferRef& frame, OutputFormat format = {})
{
    FrameConverter converter(format);
    const auto* bytes = converter.convert(frame);
    return std::string(bytes->begin(), bytes->end());
}

/// A fixed number of other processes holding every node.
class CountedOpeners final : public DeviceOpeners {
public:
    int countOthers(const std::string&) override { return count; }
    std::unique_ptr<Watch> watch(const std::string&) override
    {
        struct Poll final : Watch {
            bool wait(std::chrono::milliseconds) override
            {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                return true;
            }
        };
        return std::make_unique<Poll>();
    }
    std::atomic<int> count{0};
};

// Chromium lists a loopback device only while it announces capture alone. The 2025 driver
// reads an unset announce_all_caps as "announce both", so it is always given as 0.
TEST_F(V4L2BackendTest, ExclusiveCapsAreAskedForWhateverTheDriverReadsUnsetAs)
{
    for (const bool allCapsByDefault : {false, true}) {
        FakeV4L2 fake(FakeV4L2::Generation::v0_13);
        fake.allCapsByDefault = allCapsByDefault;
        V4L2LoopbackBackend backend(fake, log, options());
        auto device = backend.makeDevice({"Quellon Camera", "", "", "", "", 0});
        device->addStream(device->makeStream({"S", ""}, handler));
        backend.addDevice(device);
        EXPECT_FALSE(fake.device("/dev/video7").announceAllCaps) << allCapsByDefault;
        EXPECT_EQ(fake.capabilities("/dev/video7"), std::uint32_t(V4L2_CAP_VIDEO_CAPTURE)) << allCapsByDefault;
    }
}

// The driver keeps an earlier format while keep_format is set or a reader holds the device: 0.12
// answers it from S_FMT, 0.13 refuses with EBUSY and G_FMT tells it. A YUYV or I420 format of
// another size is adopted (every frame is written whole at that size); any other is refused
// before a byte is written. A device that cannot be as large is treated the same way.
TEST_F(V4L2BackendTest, FormatTheDriverKeepsIsAdoptedOrRefusedNeverWrittenAcross)
{
    struct Case {
        const char* what;
        FakeV4L2::Generation generation;
        std::uint32_t keptFourcc; // 0: nothing kept
        std::uint32_t maxWidth;
        std::size_t frameBytes; // 0: refused
        bool asksG_FMT;
    };
    const Case cases[] = {
        {"0.12 kept 640x480 YUYV", FakeV4L2::Generation::v0_12, V4L2_PIX_FMT_YUYV, 8192, 640 * 480 * 2, false},
        {"0.13 kept 640x480 YUYV", FakeV4L2::Generation::v0_13, V4L2_PIX_FMT_YUYV, 8192, 640 * 480 * 2, true},
        {"0.13 kept 640x480 I420", FakeV4L2::Generation::v0_13, V4L2_PIX_FMT_YUV420, 8192, 640 * 480 * 3 / 2, true},
        {"0.12 kept 640x480 BGR4", FakeV4L2::Generation::v0_12, V4L2_PIX_FMT_BGR32, 8192, 0, false},
        {"0.13 kept 640x480 BGR4", FakeV4L2::Generation::v0_13, V4L2_PIX_FMT_BGR32, 8192, 0, true},
        {"0.12 at most 640 wide", FakeV4L2::Generation::v0_12, 0, 640, 640 * 720 * 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeV4L2 fake(c.generation);
        fake.devices["/dev/video3"].label = "Quellon Camera";
        fake.devices["/dev/video3"].maxWidth = c.maxWidth;
        if (c.keptFourcc)
            fake.leaveFrame("/dev/video3", 640, 480, c.keptFourcc, 'u');
        CapturingLogSink log;
        auto chosen = options();
        chosen.staticDevice = "/dev/video3";
        V4L2LoopbackBackend backend(fake, log, chosen);
        auto device = backend.makeDevice({"Quellon Camera", "", "", "", "", 0});
        auto stream = device->makeStream({"S", ""}, handler);
        device->addStream(stream);
        if (!c.frameBytes) {
            try {
                backend.addDevice(device);
                ADD_FAILURE() << "published";
            } catch (const CameraBackendError& error) {
                EXPECT_STREQ(error.what(), "/dev/video3 keeps the format 640x480 BGR4 (keep_format is set or another program "
                                           "holds it); the camera writes YUYV or I420 only. Close the program using it, or "
                                           "clear keep_format with v4l2-ctl.");
            }
            EXPECT_EQ(fake.device("/dev/video3").writes, 0);
            EXPECT_EQ(backend.sinkDescription(), "v4l2");
            continue;
        }
        backend.addDevice(device);
        const auto calls = fake.calls();
        EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const std::string& call) { return call.starts_with("G_FMT"); }),
                  c.asksG_FMT ? 1 : 0);
        const auto lines = log.lines();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const auto& line) {
            return line.message.starts_with("Quellon: /dev/video3 keeps the format ") && line.message.ends_with("; frames are scaled to it");
        }));
        // The primed card, at the size the device keeps.
        const auto video3 = fake.device("/dev/video3");
        EXPECT_EQ(video3.lastFrame.size(), c.frameBytes);
        EXPECT_EQ(video3.writesOfAnotherSize, 0);
        EXPECT_GE(video3.writes, 1);
    }
}

// A loopback device with our label that an earlier run left behind (a crash) is removed when
// nobody holds it; one that a reader still holds is taken over, so the reader gets the camera
// again and never the picture left in it. Another program's device is left alone.
TEST_F(V4L2BackendTest, LeftoversOfAnEarlierRunAreRemovedOrTakenOverButForeignDevicesStay)
{
    fake.devices["/dev/video3"].label = "Quellon Camera";
    fake.leaveFrame("/dev/video3", 1280, 720, V4L2_PIX_FMT_YUYV, 'u');
    fake.devices["/dev/video4"].label = "OBS Virtual Camera";
    fake.devices["/dev/video5"].label = "Quellon Camera";
    fake.leaveFrame("/dev/video5", 1280, 720, V4L2_PIX_FMT_YUYV, 'u');
    fake.setOtherOpeners("/dev/video5", 1);
    // Another user's camera daemon, live: held and written to, so 0.13 refuses a second writer.
    fake.devices["/dev/video2"].label = "Quellon Camera";
    fake.leaveFrame("/dev/video2", 1280, 720, V4L2_PIX_FMT_YUYV, 'o');
    fake.setOtherOpeners("/dev/video2", 1);
    fake.devices["/dev/video2"].readyForOutput = false;
    handler->card = solid(1280, 720, 128);
    V4L2LoopbackBackend backend(fake, log, options());
    auto device = publish(backend);

    EXPECT_EQ(fake.device("/dev/video2").writes, 0);
    EXPECT_EQ(fake.device("/dev/video2").lastFrame, std::string(1280 * 720 * 2, 'o'));
    EXPECT_TRUE(fake.device("/dev/video2").keepFormat) << "another's setting is left alone";
    EXPECT_TRUE(log.contains("Quellon: not taking over the loopback device /dev/video2: /dev/video2 is being written by another program."));

    EXPECT_FALSE(fake.devices.contains("/dev/video3"));
    EXPECT_TRUE(log.contains("Quellon: removed the leftover loopback device /dev/video3 (\"Quellon Camera\")"));
    EXPECT_EQ(fake.device("/dev/video4").writes, 0);
    EXPECT_EQ(backend.sinkDescription(), "v4l2:/dev/video5");
    EXPECT_TRUE(log.contains("Quellon: took over the leftover loopback device /dev/video5, still held open"));
    const auto calls = fake.calls();
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const std::string& call) { return call.starts_with("CTL_ADD"); }), 0);
    EXPECT_EQ(fake.device("/dev/video5").lastFrame, converted(handler->card));

    // A rename later adds a device as usual: leftovers are looked for at start only.
    fake.setOtherOpeners("/dev/video5", 0);
    backend.removeDevice(device);
    publish(backend, "Desk");
    EXPECT_EQ(backend.sinkDescription(), "v4l2:/dev/video7");
    EXPECT_EQ(fake.device("/dev/video7").label, "Desk");
}

// Letting go of a device covers the user's last picture with the standby card (black without
// one) and clears keep_format: a reader still holding it sees the card, the next one nothing.
// After a crash (keep_format set, the picture still in the device) the next start primes it.
TEST_F(V4L2BackendTest, NoPictureOfTheUserStaysInTheDevice)
{
    const auto userPicture = solid(1280, 720, 230);
    for (const bool withCard : {true, false}) {
        for (const auto generation : {FakeV4L2::Generation::v0_12, FakeV4L2::Generation::v0_13}) {
            SCOPED_TRACE(std::string(withCard ? "card" : "black") + (generation == FakeV4L2::Generation::v0_12 ? " 0.12" : " 0.13"));
            FakeV4L2 fake(generation);
            CountedOpeners openers;
            const std::string node = generation == FakeV4L2::Generation::v0_12 ? "/dev/video3" : "/dev/video7";
            if (generation == FakeV4L2::Generation::v0_12) {
                fake.devices[node].label = "Quellon Camera";
                // The crash of an earlier run left the user's picture, kept.
                fake.leaveFrame(node, 1280, 720, V4L2_PIX_FMT_YUYV, 'u');
            }
            auto handler = std::make_shared<CountingHandler>();
            handler->card = withCard ? solid(1280, 720, 128) : nullptr;
            const std::string cover = converted(withCard ? handler->card : PixelBuffer::create(1280, 720));
            {
                auto chosen = options();
                chosen.openers = &openers;
                V4L2LoopbackBackend backend(fake, log, chosen);
                auto device = backend.makeDevice({"Quellon Camera", "", "", "", "", 0});
                auto stream = device->makeStream({"S", ""}, handler);
                device->addStream(stream);
                backend.addDevice(device);
                EXPECT_EQ(fake.device(node).lastFrame, cover) << "primed";
                // A reader streams the user's picture, and keeps the device open past the stop.
                fake.setOtherOpeners(node, 1);
                openers.count = 1;
                fake.queueEvent(1);
                ASSERT_TRUE(eventually([&] { return handler->starts == 1; }));
                stream->send(userPicture, 0);
                EXPECT_EQ(fake.device(node).lastFrame, converted(userPicture));
                if (generation == FakeV4L2::Generation::v0_12) {
                    backend.removeDevice(device);
                } else {
                    // The reader keeps the added device busy: it stays, the backend's end lets it go.
                    EXPECT_THROW(backend.removeDevice(device), CameraBackendError);
                }
            }
            const auto held = fake.device(node);
            EXPECT_EQ(held.lastFrame, cover);
            EXPECT_FALSE(held.keepFormat);
            EXPECT_EQ(held.writesOfAnotherSize, 0);
            fake.setOtherOpeners(node, 0);
            EXPECT_EQ(fake.device(node).lastFrame, "");
            EXPECT_FALSE(fake.capabilities(node) & V4L2_CAP_VIDEO_CAPTURE);
        }
    }
}

} // namespace
} // namespace quellon
