#include "backends/Y4MFifoBackend.h"
#include "backends/BackendTestSupport.h"

#include "platform/Log.h"
#include "platform/TemporaryDirectory.h"

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace quellon {
namespace {

using testing::CountingHandler;
using testing::eventually;

namespace fs = std::filesystem;

constexpr std::size_t kFrameBytes = 1280 * 720 * 3 / 2;

std::string header(int fps)
{
    return "YUV4MPEG2 W1280 H720 F" + std::to_string(fps) + ":1 Ip A1:1 C420jpeg XYSCSS=420JPEG XCOLORRANGE=LIMITED\n";
}

/// Reads exactly size bytes, or fewer at the end of the stream.
std::string readBytes(int fd, std::size_t size)
{
    std::string bytes(size, '\0');
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, bytes.data() + done, size - done);
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

class Y4MBackendTest : public ::testing::Test {
protected:
    std::shared_ptr<CameraStream> publish(Y4MFifoBackend& backend)
    {
        device = backend.makeDevice({"Cam", "", "", "", "", 0});
        auto stream = device->makeStream({"Cam Stream", ""}, handler);
        device->addStream(stream);
        backend.addDevice(device);
        return stream;
    }

    TemporaryDirectory directory{"quellon-y4m-test"};
    fs::path fifo = directory.path() / "camera.y4m";
    CapturingLogSink log;
    std::shared_ptr<CountingHandler> handler = std::make_shared<CountingHandler>();
    std::shared_ptr<CameraDevice> device;
};

// A private FIFO, removed when done; each reader is a client that gets a whole stream at the set rate.
TEST_F(Y4MBackendTest, EachReaderOfThePrivateFifoIsAClientThatGetsAWholeStream)
{
    {
        Y4MFifoBackend backend(fifo, log);
        EXPECT_EQ(backend.sinkDescription(), "y4m:" + fifo.string());
        auto stream = publish(backend);
        struct stat info {};
        ASSERT_EQ(::stat(fifo.c_str(), &info), 0);
        EXPECT_TRUE(S_ISFIFO(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        stream->setFrameRate(12);
        // Frames come from a thread of their own, as from the frames queue.
        std::jthread pumper([stream](std::stop_token stop) {
            for (auto frame = PixelBuffer::create(640, 360); !stop.stop_requested();
                 std::this_thread::sleep_for(std::chrono::milliseconds(5)))
                stream->send(frame, 0);
        });
        for (int reader = 1; reader <= 12; ++reader) {
            const int fd = ::open(fifo.c_str(), O_RDONLY);
            ASSERT_GE(fd, 0);
            EXPECT_TRUE(eventually([&] { return handler->starts == reader; })) << reader;
            EXPECT_EQ(readBytes(fd, header(12).size()), header(12));
            for (int frame = 0; frame < 2; ++frame) {
                EXPECT_EQ(readBytes(fd, 6), "FRAME\n");
                EXPECT_EQ(readBytes(fd, kFrameBytes).size(), kFrameBytes);
            }
            ::close(fd);
            EXPECT_TRUE(eventually([&] { return handler->stops == reader; })) << reader;
        }
        EXPECT_EQ(handler->starts, 12);
    }
    EXPECT_FALSE(fs::exists(fifo));
}

// A reader that never reads must neither hold up the sender nor the device's removal.
TEST_F(Y4MBackendTest, StalledReaderBlocksNothing)
{
    Y4MFifoBackend backend(fifo, log);
    auto stream = publish(backend);
    const int fd = ::open(fifo.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(eventually([&] { return handler->starts == 1; }));
    auto frame = PixelBuffer::create(1280, 720);
    for (int i = 0; i < 200; ++i)
        stream->send(frame, 0);
    backend.removeDevice(device);
    EXPECT_EQ(handler->stops, 1);
    ::close(fd);
}

// The rename's restore: the same device withdrawn and published again serves the next reader.
TEST_F(Y4MBackendTest, DeviceAddedAgainServesAgain)
{
    Y4MFifoBackend backend(fifo, log);
    auto stream = publish(backend);
    for (int round = 1; round <= 3; ++round) {
        const int fd = ::open(fifo.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(eventually([&] { return handler->starts == round; })) << round;
        stream->send(PixelBuffer::create(1280, 720), 0);
        EXPECT_EQ(readBytes(fd, header(30).size() + 6).size(), header(30).size() + 6) << round;
        ::close(fd);
        backend.removeDevice(device);
        EXPECT_EQ(handler->stops, round);
        backend.addDevice(device);
    }
}

// A FIFO already there may be another daemon's: it is used but never removed.
TEST_F(Y4MBackendTest, LeavesAFifoItDidNotMake)
{
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    {
        Y4MFifoBackend backend(fifo, log);
        publish(backend);
    }
    EXPECT_TRUE(fs::exists(fifo));
}

TEST_F(Y4MBackendTest, WritesIntoAnExistingRegularFileAndRefusesOtherPaths)
{
    const fs::path file = directory.path() / "capture.y4m";
    std::ofstream(file) << "old content";
    {
        Y4MFifoBackend backend(file, log);
        auto stream = publish(backend);
        ASSERT_TRUE(eventually([&] { return handler->starts == 1; }));
        stream->send(PixelBuffer::create(1280, 720), 0);
        ASSERT_TRUE(eventually([&] { return fs::file_size(file) == header(30).size() + 6 + kFrameBytes; }));
    }
    EXPECT_EQ(handler->stops, 1);
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line + "\n", header(30));

    for (const fs::path& path : {directory.path(), directory.path() / "no" / "such" / "dir.y4m"}) {
        Y4MFifoBackend backend(path, log);
        EXPECT_THROW(backend.addDevice(backend.makeDevice({})), CameraBackendError) << path;
    }
}

} // namespace
} // namespace quellon
