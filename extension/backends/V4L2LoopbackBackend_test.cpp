#include "backends/V4L2LoopbackBackend.h"
#include "backends/BackendTestSupport.h"
#include "backends/DeviceOpeners.h"

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

/// The two driver generations, modelled from their sources. 0.12: no control node and no
/// client-usage event, only the devices the module was loaded with. 0.13: both. In each, a
/// device loaded with exclusive capabilities announces capture only once a writer has
/// delivered a frame, and forgets it when the last opener leaves unless keep_format is set;
/// removing a device that anyone holds open fails with EBUSY.
class FakeV4L2 final : public V4L2Syscalls {
public:
    enum class Generation { v0_12, v0_13 };

    struct Device {
        std::string label;
        bool readyForCapture = false;
        bool keepFormat = false;
        int opened = 0;
        /// Other processes holding the node open.
        int otherOpeners = 0;
        int fps = 0;
        int writes = 0;
    };

    explicit FakeV4L2(Generation generation) : generation(generation) {}

    int open(const char* path, int) override
    {
        std::lock_guard lock(mutex_);
        const bool exists = (path == std::string(V4L2Loopback::kControlNode) && generation == Generation::v0_13)
            || devices.contains(path) || otherNodes.contains(path);
        if (!exists || failOpen.contains(path))
            return recordLocked(std::string("open ") + path + " failed", "", ENOENT, -1);
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
            // The driver frees its buffers when the last opener goes, unless told to keep them.
            if (--device.opened == 0 && device.otherOpeners == 0 && !device.keepFormat)
                device.readyForCapture = false;
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
            std::snprintf(text, sizeof text, "CTL_ADD label=\"%.32s\" output=%d", config->cardLabel, config->outputNumber);
            const int result = recordLocked(text, "CTL_ADD", EINVAL, deviceNumber);
            if (result >= 0)
                devices["/dev/video" + std::to_string(result)].label = config->cardLabel;
            return result;
        }
        if (request == V4L2Loopback::kCtlRemove) {
            const std::string removed = "/dev/video" + std::to_string(reinterpret_cast<std::intptr_t>(argument));
            const bool busy = devices.contains(removed) && (devices[removed].opened + devices[removed].otherOpeners) > 0;
            const int result = recordLocked("CTL_REMOVE " + removed.substr(10), "CTL_REMOVE", busy ? EBUSY : ENOENT,
                                            busy || !devices.contains(removed) ? -1 : 0);
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
                capability->device_caps = device->readyForCapture ? V4L2_CAP_VIDEO_CAPTURE : V4L2_CAP_VIDEO_OUTPUT;
            } else {
                std::snprintf(reinterpret_cast<char*>(capability->driver), sizeof capability->driver, "uvcvideo");
            }
            return recordLocked("QUERYCAP " + std::to_string(fd), "QUERYCAP", EINVAL, 0);
        }
        if (request == VIDIOC_S_FMT) {
            const auto* format = static_cast<const v4l2_format*>(argument);
            const auto& pix = format->fmt.pix;
            std::snprintf(text, sizeof text, "S_FMT %d %s %ux%u %s bpl=%u size=%u%s", fd,
                          format->type == V4L2_BUF_TYPE_VIDEO_OUTPUT ? "output" : "?", pix.width, pix.height,
                          pix.pixelformat == V4L2_PIX_FMT_YUYV ? "YUYV" : pix.pixelformat == V4L2_PIX_FMT_YUV420 ? "I420" : "?",
                          pix.bytesperline, pix.sizeimage, pix.field == V4L2_FIELD_NONE ? " progressive" : "");
            return recordLocked(text, "S_FMT", EINVAL, 0);
        }
        if (request == VIDIOC_S_CTRL) {
            const auto* control = static_cast<const v4l2_control*>(argument);
            const bool known = control->id == V4L2Loopback::kKeepFormatControl;
            if (known && device)
                device->keepFormat = control->value != 0;
            return recordLocked("S_CTRL " + std::to_string(fd) + (known ? " keep_format=" : " ?=") + std::to_string(control->value),
                                "S_CTRL", EINVAL, known ? 0 : -1);
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

    ssize_t write(int fd, const void*, std::size_t size) override
    {
        std::lock_guard lock(mutex_);
        if (auto it = devices.find(open_[fd]); it != devices.end()) {
            ++it->second.writes;
            it->second.readyForCapture = true;
        }
        return recordLocked("write " + std::to_string(fd) + " " + std::to_string(size), "", 0, static_cast<int>(size));
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
    void setOtherOpeners(const std::string& path, int count)
    {
        std::lock_guard lock(mutex_);
        devices.at(path).otherOpeners = count;
    }

    Generation generation;
    std::map<std::string, Device> devices;
    std::set<std::string> otherNodes;
    std::set<std::string> failOpen;
    std::map<std::string, int> failures;
    int deviceNumber = 7;

private:
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
                                              "CTL_ADD label=\"Quellon Camera\" output=-1", "open /dev/video7 = 5", setFormat,
                                              "S_CTRL 5 keep_format=1", "S_PARM 5 output 1/30", write,
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
        EXPECT_EQ(fake.calls().at(3), "CTL_ADD label=\"" + label + "\" output=-1");
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
    EXPECT_THAT(fake.calls(mark), ElementsAre("open /dev/v4l2loopback = 6", "close 5", "CTL_REMOVE 7", "close 6",
                                              "open /dev/video7 = 7", "S_FMT 7 output 1280x720 YUYV bpl=2560 size=1843200 progressive",
                                              "S_CTRL 7 keep_format=1", "S_PARM 7 output 1/30", "write 7 1843200",
                                              "SUBSCRIBE 7 0x10e00001 initial"));
    EXPECT_EQ(backend.sinkDescription(), "v4l2:/dev/video7");
    EXPECT_TRUE(fake.device("/dev/video7").readyForCapture);

    fake.setOtherOpeners("/dev/video7", 0);
    mark = fake.calls().size();
    backend.removeDevice(device);
    EXPECT_THAT(fake.calls(mark), ElementsAre("open /dev/v4l2loopback = 8", "close 7", "CTL_REMOVE 7", "close 8"));
    EXPECT_FALSE(fake.devices.contains("/dev/video7"));
    EXPECT_EQ(backend.sinkDescription(), "v4l2");
    EXPECT_THROW(backend.removeDevice(device), CameraBackendError);
}

TEST_F(V4L2BackendTest, FailedAddsLeaveNothingBehind)
{
    const std::vector<std::string> opened = {"open /dev/v4l2loopback = 4", "CTL_ADD label=\"Cam\" output=-1"};
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

// What `auto` asks: a control node, or failing that an existing loopback device.
TEST_F(V4L2BackendTest, ProbeClaimsAControlNodeOrAnExistingLoopbackDevice)
{
    FakeV4L2 dynamic(FakeV4L2::Generation::v0_13);
    EXPECT_TRUE(V4L2LoopbackBackend::probe(dynamic));
    FakeV4L2 staticDevice(FakeV4L2::Generation::v0_12);
    staticDevice.otherNodes.insert("/dev/video0");
    EXPECT_FALSE(V4L2LoopbackBackend::probe(staticDevice));
    staticDevice.devices["/dev/video2"].label = "Dummy video device (0x0000)";
    EXPECT_TRUE(V4L2LoopbackBackend::probe(staticDevice));
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
    // Kept after the writer left, so clients still find the camera.
    EXPECT_TRUE(fake.device("/dev/video3").readyForCapture);
    for (const auto& call : fake.calls())
        EXPECT_FALSE(call.starts_with("CTL_")) << call;
    EXPECT_EQ(handler->starts, 0);
}

// Without a labelled device the first loopback device is used and the choice logged; an
// explicit node is taken as given; a node that is no loopback device is refused.
TEST_F(StaticDeviceTest, FallsBackToTheFirstLoopbackDeviceOrTakesTheOneNamed)
{
    {
        V4L2LoopbackBackend backend(fake, log, options());
        publish(backend, "Desk");
        EXPECT_EQ(backend.sinkDescription(), "v4l2:/dev/video2");
        EXPECT_TRUE(log.contains("Quellon: no v4l2loopback device is labelled \"Desk\"; using /dev/video2 (\"Dummy video device (0x0000)\")"));
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
    FakeV4L2 none(FakeV4L2::Generation::v0_12);
    V4L2LoopbackBackend backend(none, log, options());
    EXPECT_THROW(publish(backend), CameraBackendError);
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
    EXPECT_EQ(std::tuple(info.name, info.sink, info.storedName), std::tuple("Desk", "v4l2:/dev/video2", "Desk"));
    EXPECT_EQ(info.storedNameHint, "the name applies when v4l2loopback is reloaded with card_label=\"Desk\"");
    // Back to the name the module gave a device: that one is taken, live.
    router.setProperty(QuellonCMIOChannel::nameSelector, "Quellon Camera");
    provider->drainRenames();
    EXPECT_EQ(backend.sinkDescription(), "v4l2:/dev/video3");
    EXPECT_FALSE(decodeCameraInfo(router.property(kCameraInfoSelector).value()).storedName);
    provider->removeDevice();
}

} // namespace
} // namespace quellon
