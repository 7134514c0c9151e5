#include "backends/V4L2LoopbackBackend.h"
#include "backends/BackendTestSupport.h"

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

using testing::CountingHandler;
using testing::eventually;

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

const char* const kSetYUYV = "S_FMT 4 output 1280x720 YUYV bpl=2560 size=1843200 progressive";

/// The device layer in memory: records every call that matters as text and answers from a
/// script (failOpen, failures: call name → times left). Event polling and dequeuing are not recorded.
class FakeV4L2 final : public V4L2Syscalls {
public:
    int open(const char* path, int) override
    {
        if (failOpen.contains(path))
            return record(std::string("open ") + path + " failed", "", ENOENT, -1);
        const int fd = nextFD_++;
        return record(std::string("open ") + path + " = " + std::to_string(fd), "", 0, fd);
    }

    int close(int fd) override { return record("close " + std::to_string(fd), "", 0, 0); }

    int ioctl(int fd, unsigned long request, void* argument) override
    {
        char text[160];
        if (request == V4L2Loopback::kCtlAdd) {
            const auto* config = static_cast<const V4L2Loopback::Config*>(argument);
            std::snprintf(text, sizeof text, "CTL_ADD label=\"%.32s\" output=%d", config->cardLabel, config->outputNumber);
            return record(text, "CTL_ADD", EINVAL, deviceNumber);
        }
        if (request == V4L2Loopback::kCtlRemove)
            return record("CTL_REMOVE " + std::to_string(reinterpret_cast<std::intptr_t>(argument)), "CTL_REMOVE", EBUSY, 0);
        if (request == VIDIOC_S_FMT) {
            const auto* format = static_cast<const v4l2_format*>(argument);
            const auto& pix = format->fmt.pix;
            std::snprintf(text, sizeof text, "S_FMT %d %s %ux%u %s bpl=%u size=%u%s", fd,
                          format->type == V4L2_BUF_TYPE_VIDEO_OUTPUT ? "output" : "?", pix.width, pix.height,
                          pix.pixelformat == V4L2_PIX_FMT_YUYV ? "YUYV" : pix.pixelformat == V4L2_PIX_FMT_YUV420 ? "I420" : "?",
                          pix.bytesperline, pix.sizeimage, pix.field == V4L2_FIELD_NONE ? " progressive" : "");
            return record(text, "S_FMT", EINVAL, 0);
        }
        if (request == VIDIOC_SUBSCRIBE_EVENT) {
            const auto* subscription = static_cast<const v4l2_event_subscription*>(argument);
            std::snprintf(text, sizeof text, "SUBSCRIBE %d 0x%08x%s", fd, subscription->type,
                          subscription->flags & V4L2_EVENT_SUB_FL_SEND_INITIAL ? " initial" : "");
            return record(text, "SUBSCRIBE", ENOTTY, 0);
        }
        if (request != VIDIOC_DQEVENT)
            return record("ioctl ?", "", ENOTTY, -1);
        std::lock_guard lock(mutex_);
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
        return record("write " + std::to_string(fd) + " " + std::to_string(size), "", 0, static_cast<int>(size));
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

    std::set<std::string> failOpen;
    std::map<std::string, int> failures;
    int deviceNumber = 7;

private:
    /// Records call; fails with error when result < 0 or a failure of name is scripted.
    int record(const std::string& call, const std::string& name, int error, int result)
    {
        std::lock_guard lock(mutex_);
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
    int nextFD_ = 3;
};

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

TEST_F(V4L2BackendTest, AddsTheDeviceSetsItsFormatOnceAndWritesWholeConvertedFrames)
{
    const std::tuple<OutputPixelFormat, const char*, const char*> cases[] = {
        {OutputPixelFormat::yuyv, kSetYUYV, "write 4 1843200"},
        {OutputPixelFormat::i420, "S_FMT 4 output 1280x720 I420 bpl=1280 size=1382400 progressive", "write 4 1382400"},
    };
    for (auto [format, setFormat, write] : cases) {
        FakeV4L2 fake;
        V4L2LoopbackBackend backend(fake, log, format);
        auto device = backend.makeDevice({"Quellon Camera", "", "", "", "", 0});
        auto stream = device->makeStream({"Cam Stream", ""}, handler);
        stream->send(PixelBuffer::create(1280, 720), 1); // not published yet: dropped
        device->addStream(stream);
        backend.addDevice(device);
        EXPECT_EQ(backend.sinkDescription(), "v4l2:/dev/video7");
        // Any BGRA size is scaled to the whole frame; other pixel formats are dropped.
        stream->send(PixelBuffer::create(1280, 720), 1);
        stream->send(PixelBuffer::create(640, 360), 2);
        stream->send(PixelBuffer::create(8, 8, kPixelFormatGray8), 3);
        EXPECT_THAT(fake.calls(), ElementsAre("open /dev/v4l2loopback = 3", "CTL_ADD label=\"Quellon Camera\" output=-1",
                                              "open /dev/video7 = 4", setFormat, "SUBSCRIBE 4 0x10e00001 initial",
                                              "close 3", write, write));
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

TEST_F(V4L2BackendTest, DriverWithoutTheEventCountsAsOneClientWhileTheDeviceExists)
{
    fake.failures["SUBSCRIBE"] = 1;
    V4L2LoopbackBackend backend(fake, log);
    auto device = publish(backend);
    EXPECT_EQ(std::pair(handler->starts.load(), handler->stops.load()), std::pair(1, 0));
    backend.removeDevice(device);
    EXPECT_EQ(handler->stops, 1);
}

// Removal closes its own node, then removes through the control node; a busy device is reopened and stays.
TEST_F(V4L2BackendTest, RemovesThroughTheControlNodeAndKeepsABusyDevice)
{
    V4L2LoopbackBackend backend(fake, log);
    auto device = publish(backend);
    std::size_t mark = fake.calls().size();
    fake.failures["CTL_REMOVE"] = 1;
    try {
        backend.removeDevice(device);
        ADD_FAILURE() << "remove succeeded";
    } catch (const CameraBackendError& error) {
        EXPECT_STREQ(error.what(), "Cannot remove /dev/video7: Device or resource busy");
    }
    EXPECT_THAT(fake.calls(mark), ElementsAre("open /dev/v4l2loopback = 5", "close 4", "CTL_REMOVE 7", "close 5",
                                              "open /dev/video7 = 6", "S_FMT 6 output 1280x720 YUYV bpl=2560 size=1843200 progressive",
                                              "SUBSCRIBE 6 0x10e00001 initial"));
    EXPECT_EQ(backend.sinkDescription(), "v4l2:/dev/video7");
    mark = fake.calls().size();
    backend.removeDevice(device);
    EXPECT_THAT(fake.calls(mark), ElementsAre("open /dev/v4l2loopback = 7", "close 6", "CTL_REMOVE 7", "close 7"));
    EXPECT_EQ(backend.sinkDescription(), "v4l2");
    EXPECT_THROW(backend.removeDevice(device), CameraBackendError);
}

TEST_F(V4L2BackendTest, FailedAddsLeaveNothingBehind)
{
    const std::vector<std::string> opened = {"open /dev/v4l2loopback = 3", "CTL_ADD label=\"Cam\" output=-1"};
    // The node that fails to open or the call that fails once; the calls made; the error.
    const std::tuple<const char*, const char*, std::vector<std::string>, const char*> cases[] = {
        {"/dev/v4l2loopback", "", {"open /dev/v4l2loopback failed"}, "Cannot open /dev/v4l2loopback: No such file or directory"},
        {"", "CTL_ADD", {opened[0], opened[1], "close 3"}, "Cannot add a loopback device: Invalid argument"},
        {"/dev/video7", "", {opened[0], opened[1], "open /dev/video7 failed", "CTL_REMOVE 7", "close 3"},
         "Cannot open /dev/video7: No such file or directory"},
        {"", "S_FMT", {opened[0], opened[1], "open /dev/video7 = 4", kSetYUYV, "close 4", "CTL_REMOVE 7", "close 3"},
         "Cannot set the format of /dev/video7: Invalid argument"},
    };
    for (const auto& [node, call, calls, message] : cases) {
        FakeV4L2 fake;
        fake.failOpen.insert(node);
        if (*call)
            fake.failures[call] = 1;
        V4L2LoopbackBackend backend(fake, log);
        try {
            backend.addDevice(backend.makeDevice({"Cam", "", "", "", "", 0}));
            ADD_FAILURE() << message << ": add succeeded";
        } catch (const CameraBackendError& error) {
            EXPECT_STREQ(error.what(), message);
        }
        EXPECT_THAT(fake.calls(), ElementsAreArray(calls)) << message;
        EXPECT_EQ(backend.sinkDescription(), "v4l2") << message;
    }
    EXPECT_TRUE(V4L2LoopbackBackend::controlNodeUsable(fake));
    fake.failOpen.insert("/dev/v4l2loopback");
    EXPECT_FALSE(V4L2LoopbackBackend::controlNodeUsable(fake));
}

} // namespace
} // namespace quellon
