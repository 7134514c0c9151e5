#include "backends/Y4MFifoBackend.h"

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

namespace fs = std::filesystem;

constexpr std::size_t kFrameBytes = 1280 * 720 * 3 / 2;
const std::string kHeader = "YUV4MPEG2 W1280 H720 F30:1 Ip A1:1 C420jpeg XYSCSS=420JPEG XCOLORRANGE=LIMITED\n";

class CountingHandler final : public CameraStreamHandler {
public:
    void startStream() override { ++starts; }
    void stopStream() override { ++stops; }
    std::atomic<int> starts{0};
    std::atomic<int> stops{0};
};

bool eventually(const std::function<bool()>& condition)
{
    for (int i = 0; i < 10000; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

/// Reads exactly size bytes or fewer at the end of the stream.
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

    /// Sends frames from a thread of its own until stopped, as the frames queue would.
    void pump(const std::shared_ptr<CameraStream>& stream)
    {
        pumping = true;
        pumper = std::thread([this, stream] {
            auto frame = PixelBuffer::create(640, 360);
            while (pumping) {
                stream->send(frame, 0);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }

    void TearDown() override
    {
        pumping = false;
        if (pumper.joinable())
            pumper.join();
    }

    TemporaryDirectory directory{"quellon-y4m-test"};
    fs::path fifo = directory.path() / "camera.y4m";
    CapturingLogSink log;
    std::shared_ptr<CountingHandler> handler = std::make_shared<CountingHandler>();
    std::shared_ptr<CameraDevice> device;
    std::atomic<bool> pumping{false};
    std::thread pumper;
};

TEST_F(Y4MBackendTest, MakesAPrivateFifoAndRemovesItWhenDone)
{
    {
        Y4MFifoBackend backend(fifo, log);
        EXPECT_EQ(backend.sinkDescription(), "y4m:" + fifo.string());
        publish(backend);
        struct stat info {};
        ASSERT_EQ(::stat(fifo.c_str(), &info), 0);
        EXPECT_TRUE(S_ISFIFO(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0600u);
    }
    EXPECT_FALSE(fs::exists(fifo));
}

TEST_F(Y4MBackendTest, EachReaderIsAClientThatGetsAWholeStream)
{
    Y4MFifoBackend backend(fifo, log);
    auto stream = publish(backend);
    pump(stream);
    constexpr int kReaders = 12;
    for (int reader = 1; reader <= kReaders; ++reader) {
        const int fd = ::open(fifo.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(eventually([&] { return handler->starts == reader; })) << reader;
        EXPECT_EQ(readBytes(fd, kHeader.size()), kHeader);
        for (int frame = 0; frame < 2; ++frame) {
            EXPECT_EQ(readBytes(fd, 6), "FRAME\n");
            EXPECT_EQ(readBytes(fd, kFrameBytes).size(), kFrameBytes);
        }
        ::close(fd);
        EXPECT_TRUE(eventually([&] { return handler->stops == reader; })) << reader;
    }
    EXPECT_EQ(handler->starts, kReaders);
}

TEST_F(Y4MBackendTest, HeaderCarriesTheFrameRate)
{
    Y4MFifoBackend backend(fifo, log);
    auto stream = publish(backend);
    stream->setFrameRate(12);
    pump(stream);
    const int fd = ::open(fifo.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(readBytes(fd, 22), "YUV4MPEG2 W1280 H720 F");
    EXPECT_EQ(readBytes(fd, 5), "12:1 ");
    ::close(fd);
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

TEST_F(Y4MBackendTest, WritesIntoAnExistingRegularFile)
{
    const fs::path file = directory.path() / "capture.y4m";
    std::ofstream(file) << "old content";
    {
        Y4MFifoBackend backend(file, log);
        auto stream = publish(backend);
        ASSERT_TRUE(eventually([&] { return handler->starts == 1; }));
        stream->send(PixelBuffer::create(1280, 720), 0);
        ASSERT_TRUE(eventually([&] { return fs::file_size(file) == kHeader.size() + 6 + kFrameBytes; }));
    }
    EXPECT_EQ(handler->stops, 1);
    std::ifstream in(file);
    std::string header;
    std::getline(in, header);
    EXPECT_EQ(header + "\n", kHeader);
}

TEST_F(Y4MBackendTest, RefusesAPathThatIsNeitherFifoNorFile)
{
    Y4MFifoBackend backend(directory.path(), log);
    auto device = backend.makeDevice({"Cam", "", "", "", "", 0});
    EXPECT_THROW(backend.addDevice(device), CameraBackendError);
    Y4MFifoBackend missing(directory.path() / "no" / "such" / "dir.y4m", log);
    EXPECT_THROW(missing.addDevice(missing.makeDevice({})), CameraBackendError);
}

} // namespace
} // namespace quellon
