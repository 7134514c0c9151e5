#include "backends/V4L2LoopbackBackend.h"

#include "platform/Log.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <map>
#include <thread>

namespace quellon {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

/// The device layer in memory: records every call that matters as text and answers from a
/// script. Event polling and dequeuing are answered but not recorded.
class FakeV4L2 final : public V4L2Syscalls {
public:
    int open(const char* path, int) override
    {
        std::lock_guard lock(mutex_);
        if (failOpen.contains(path)) {
            errno = ENOENT;
            calls_.push_back(std::string("open ") + path + " failed");
            return -1;
        }
        const int fd = nextFD_++;
        calls_.push_back(std::string("open ") + path + " = " + std::to_string(fd));
        return fd;
    }

    int close(int fd) override
    {
        std::lock_guard lock(mutex_);
        calls_.push_back("close " + std::to_string(fd));
        return 0;
    }

    int ioctl(int fd, unsigned long request, void* argument) override
    {
        std::lock_guard lock(mutex_);
        if (request == V4L2Loopback::kCtlAdd) {
            const auto* config = static_cast<const V4L2Loopback::Config*>(argument);
            calls_.push_back("CTL_ADD label=\"" + std::string(config->cardLabel, strnlen(config->cardLabel, 32))
                             + "\" output=" + std::to_string(config->outputNumber));
            return fail("CTL_ADD", EINVAL) ? -1 : deviceNumber;
        }
        if (request == V4L2Loopback::kCtlRemove) {
            calls_.push_back("CTL_REMOVE " + std::to_string(reinterpret_cast<std::intptr_t>(argument)));
            return fail("CTL_REMOVE", EBUSY) ? -1 : 0;
        }
        if (request == VIDIOC_S_FMT) {
            const auto* format = static_cast<const v4l2_format*>(argument);
            const auto& pix = format->fmt.pix;
            const char* name = pix.pixelformat == V4L2_PIX_FMT_YUYV ? "YUYV" : pix.pixelformat == V4L2_PIX_FMT_YUV420 ? "I420" : "?";
            calls_.push_back("S_FMT " + std::to_string(fd) + (format->type == V4L2_BUF_TYPE_VIDEO_OUTPUT ? " output " : " ? ")
                             + std::to_string(pix.width) + "x" + std::to_string(pix.height) + " " + name
                             + " bpl=" + std::to_string(pix.bytesperline) + " size=" + std::to_string(pix.sizeimage)
                             + (pix.field == V4L2_FIELD_NONE ? " progressive" : ""));
            return fail("S_FMT", EINVAL) ? -1 : 0;
        }
        if (request == VIDIOC_SUBSCRIBE_EVENT) {
            const auto* subscription = static_cast<const v4l2_event_subscription*>(argument);
            char type[16];
            std::snprintf(type, sizeof type, "0x%08x", subscription->type);
            calls_.push_back("SUBSCRIBE " + std::to_string(fd) + " " + type
                             + (subscription->flags & V4L2_EVENT_SUB_FL_SEND_INITIAL ? " initial" : ""));
            return fail("SUBSCRIBE", ENOTTY) ? -1 : 0;
        }
        if (request == VIDIOC_DQEVENT) {
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
        calls_.push_back("ioctl ?");
        errno = ENOTTY;
        return -1;
    }

    ssize_t write(int fd, const void*, std::size_t size) override
    {
        std::lock_guard lock(mutex_);
        calls_.push_back("write " + std::to_string(fd) + " " + std::to_string(size));
        return static_cast<ssize_t>(size);
    }

    int poll(pollfd* fds, nfds_t, int) override
    {
        {
            std::lock_guard lock(mutex_);
            if (!events_.empty()) {
                fds[0].revents = POLLPRI;
                return 1;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        fds[0].revents = 0;
        return 0;
    }

    /// Queues a client-usage event (or another type) for the watcher.
    void queueEvent(std::uint32_t count, std::uint32_t type = V4L2Loopback::kClientUsageEvent)
    {
        std::lock_guard lock(mutex_);
        events_.emplace_back(type, count);
    }

    std::vector<std::string> calls() const
    {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    void clearCalls()
    {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }

    std::set<std::string> failOpen;
    std::map<std::string, int> failures; // call name → times left
    int deviceNumber = 7;

private:
    bool fail(const std::string& name, int error)
    {
        auto it = failures.find(name);
        if (it == failures.end() || it->second == 0)
            return false;
        --it->second;
        errno = error;
        return true;
    }

    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    std::deque<std::pair<std::uint32_t, std::uint32_t>> events_;
    int nextFD_ = 3;
};

class CountingHandler final : public CameraStreamHandler {
public:
    void startStream() override { ++starts; }
    void stopStream() override { ++stops; }
    int clients() const { return starts - stops; }
    std::atomic<int> starts{0};
    std::atomic<int> stops{0};
};

bool eventually(const std::function<bool()>& condition)
{
    for (int i = 0; i < 5000; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

class V4L2BackendTest : public ::testing::Test {
protected:
    std::shared_ptr<CameraDevice> publish(V4L2LoopbackBackend& backend, const std::string& name = "Quellon Camera")
    {
        auto device = backend.makeDevice({name, "UUID", "LEGACY", "Quellon Camera", "Quellon", 0});
        device->addStream(device->makeStream({name + " Stream", "SID"}, handler));
        backend.addDevice(device);
        return device;
    }

    FakeV4L2 fake;
    CapturingLogSink log;
    std::shared_ptr<CountingHandler> handler = std::make_shared<CountingHandler>();
};

TEST_F(V4L2BackendTest, AddsTheDeviceAndSetsItsFormatOnce)
{
    const std::pair<OutputPixelFormat, const char*> cases[] = {
        {OutputPixelFormat::yuyv, "S_FMT 4 output 1280x720 YUYV bpl=2560 size=1843200 progressive"},
        {OutputPixelFormat::i420, "S_FMT 4 output 1280x720 I420 bpl=1280 size=1382400 progressive"},
    };
    for (auto [format, setFormat] : cases) {
        FakeV4L2 fake;
        V4L2LoopbackBackend backend(fake, log, format);
        auto device = publish(backend);
        EXPECT_THAT(fake.calls(), ElementsAre("open /dev/v4l2loopback = 3", "CTL_ADD label=\"Quellon Camera\" output=-1",
                                              "open /dev/video7 = 4", setFormat, "SUBSCRIBE 4 0x10e00001 initial",
                                              "close 3"));
        EXPECT_EQ(backend.sinkDescription(), "v4l2:/dev/video7");
    }
}

TEST_F(V4L2BackendTest, CardLabelIsCutToThirtyOneBytesBetweenCharacters)
{
    const std::pair<std::string, std::string> cases[] = {
        {"Quellon Camera", "Quellon Camera"},
        {std::string(31, 'a'), std::string(31, 'a')},
        {std::string(40, 'b'), std::string(31, 'b')},
        // "é" is two bytes; the 31st byte would split it.
        {std::string(30, 'c') + "\xC3\xA9" + "d", std::string(30, 'c')},
        {std::string(29, 'c') + "\xC3\xA9" + "d", std::string(29, 'c') + "\xC3\xA9"},
        // A four-byte character straddling the limit.
        {std::string(29, 'e') + "\xF0\x9F\x98\x80", std::string(29, 'e')},
    };
    for (const auto& [name, label] : cases) {
        EXPECT_EQ(V4L2LoopbackBackend::cardLabel(name), label) << name;
        FakeV4L2 fake;
        V4L2LoopbackBackend backend(fake, log);
        publish(backend, name);
        EXPECT_EQ(fake.calls().at(1), "CTL_ADD label=\"" + label + "\" output=-1");
    }
}

TEST_F(V4L2BackendTest, CountsClientsFromTheClientUsageEvent)
{
    V4L2LoopbackBackend backend(fake, log);
    auto device = publish(backend);
    struct Step {
        std::uint32_t count;
        int starts, stops;
    };
    // The initial event, readers arriving and leaving, and an unrelated event type.
    const Step steps[] = {{0, 0, 0}, {1, 1, 0}, {3, 3, 0}, {2, 3, 1}, {0, 3, 3}, {1, 4, 3}};
    for (const Step& step : steps) {
        fake.queueEvent(99, V4L2_EVENT_EOS);
        fake.queueEvent(step.count);
        EXPECT_TRUE(eventually([&] { return handler->starts == step.starts && handler->stops == step.stops; }))
            << "count " << step.count << ": " << handler->starts << " starts, " << handler->stops << " stops";
    }
    // Withdrawing the device stops the reader still counted.
    backend.removeDevice(device);
    EXPECT_EQ(handler->clients(), 0);
}

TEST_F(V4L2BackendTest, DriverWithoutTheEventCountsAsOneClientWhileTheDeviceExists)
{
    fake.failures["SUBSCRIBE"] = 1;
    V4L2LoopbackBackend backend(fake, log);
    auto device = publish(backend);
    EXPECT_EQ(handler->starts, 1);
    EXPECT_EQ(handler->stops, 0);
    backend.removeDevice(device);
    EXPECT_EQ(handler->stops, 1);
}

TEST_F(V4L2BackendTest, RemovesThroughTheControlNodeAfterClosingItsOwnNode)
{
    V4L2LoopbackBackend backend(fake, log);
    auto device = publish(backend);
    fake.clearCalls();
    backend.removeDevice(device);
    EXPECT_THAT(fake.calls(), ElementsAre("open /dev/v4l2loopback = 5", "close 4", "CTL_REMOVE 7", "close 5"));
    EXPECT_EQ(backend.sinkDescription(), "v4l2");
    EXPECT_THROW(backend.removeDevice(device), CameraBackendError);
}

TEST_F(V4L2BackendTest, BusyDeviceStaysPublishedWhenRemoveFails)
{
    V4L2LoopbackBackend backend(fake, log);
    auto device = publish(backend);
    fake.clearCalls();
    fake.failures["CTL_REMOVE"] = 1;
    try {
        backend.removeDevice(device);
        FAIL() << "remove succeeded";
    } catch (const CameraBackendError& error) {
        EXPECT_STREQ(error.what(), "Cannot remove /dev/video7: Device or resource busy");
    }
    EXPECT_THAT(fake.calls(), ElementsAre("open /dev/v4l2loopback = 5", "close 4", "CTL_REMOVE 7", "close 5",
                                          "open /dev/video7 = 6", "S_FMT 6 output 1280x720 YUYV bpl=2560 size=1843200 progressive",
                                          "SUBSCRIBE 6 0x10e00001 initial"));
    EXPECT_EQ(backend.sinkDescription(), "v4l2:/dev/video7");
    fake.clearCalls();
    backend.removeDevice(device);
    EXPECT_THAT(fake.calls(), ElementsAre("open /dev/v4l2loopback = 7", "close 6", "CTL_REMOVE 7", "close 7"));
}

TEST_F(V4L2BackendTest, FailedAddsLeaveNothingBehind)
{
    struct Case {
        const char* name;
        std::function<void(FakeV4L2&)> arrange;
        std::vector<std::string> calls;
        const char* message;
    };
    const Case cases[] = {
        {"no control node", [](FakeV4L2& f) { f.failOpen.insert("/dev/v4l2loopback"); },
         {"open /dev/v4l2loopback failed"}, "Cannot open /dev/v4l2loopback: No such file or directory"},
        {"add refused", [](FakeV4L2& f) { f.failures["CTL_ADD"] = 1; },
         {"open /dev/v4l2loopback = 3", "CTL_ADD label=\"Cam\" output=-1", "close 3"},
         "Cannot add a loopback device: Invalid argument"},
        {"video node missing", [](FakeV4L2& f) { f.failOpen.insert("/dev/video7"); },
         {"open /dev/v4l2loopback = 3", "CTL_ADD label=\"Cam\" output=-1", "open /dev/video7 failed", "CTL_REMOVE 7", "close 3"},
         "Cannot open /dev/video7: No such file or directory"},
        {"format refused", [](FakeV4L2& f) { f.failures["S_FMT"] = 1; },
         {"open /dev/v4l2loopback = 3", "CTL_ADD label=\"Cam\" output=-1", "open /dev/video7 = 4",
          "S_FMT 4 output 1280x720 YUYV bpl=2560 size=1843200 progressive", "close 4", "CTL_REMOVE 7", "close 3"},
         "Cannot set the format of /dev/video7: Invalid argument"},
    };
    for (const Case& c : cases) {
        FakeV4L2 fake;
        c.arrange(fake);
        V4L2LoopbackBackend backend(fake, log);
        auto device = backend.makeDevice({"Cam", "", "", "", "", 0});
        try {
            backend.addDevice(device);
            ADD_FAILURE() << c.name << ": add succeeded";
        } catch (const CameraBackendError& error) {
            EXPECT_STREQ(error.what(), c.message) << c.name;
        }
        EXPECT_THAT(fake.calls(), ElementsAreArray(c.calls)) << c.name;
        EXPECT_EQ(backend.sinkDescription(), "v4l2") << c.name;
    }
}

TEST_F(V4L2BackendTest, WritesWholeConvertedFrames)
{
    const std::pair<OutputPixelFormat, std::string> cases[] = {{OutputPixelFormat::yuyv, "write 4 1843200"},
                                                               {OutputPixelFormat::i420, "write 4 1382400"}};
    for (const auto& [format, expected] : cases) {
        FakeV4L2 fake;
        V4L2LoopbackBackend backend(fake, log, format);
        auto device = backend.makeDevice({"Cam", "", "", "", "", 0});
        auto stream = device->makeStream({"Cam Stream", ""}, handler);
        stream->send(PixelBuffer::create(1280, 720), 1); // not published yet: dropped
        device->addStream(stream);
        backend.addDevice(device);
        fake.clearCalls();
        stream->send(PixelBuffer::create(1280, 720), 1);
        stream->send(PixelBuffer::create(640, 360), 2);
        stream->send(PixelBuffer::create(8, 8, kPixelFormatGray8), 3);
        EXPECT_THAT(fake.calls(), ElementsAre(expected, expected));
    }
}

TEST_F(V4L2BackendTest, ControlNodeIsUsableOnlyWhenItOpens)
{
    EXPECT_TRUE(V4L2LoopbackBackend::controlNodeUsable(fake));
    fake.failOpen.insert("/dev/v4l2loopback");
    EXPECT_FALSE(V4L2LoopbackBackend::controlNodeUsable(fake));
}

} // namespace
} // namespace quellon
