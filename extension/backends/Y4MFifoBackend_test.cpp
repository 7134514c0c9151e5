#include "backends/Y4MFifoBackend.h"
#include "backends/BackendTestSupport.h"

#include "platform/Log.h"
#include "platform/TemporaryDirectory.h"

#include <algorithm>
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

// A reader that leaves mid-frame leaves bytes in its pipe; the next one, opening at once, must
// still start on the header, never on those leftovers.
TEST_F(Y4MBackendTest, AReaderOpeningRightAfterAnotherLeftStartsOnTheHeader)
{
    Y4MFifoBackend backend(fifo, log);
    auto stream = publish(backend);
    std::jthread pumper([stream](std::stop_token stop) {
        for (auto frame = PixelBuffer::create(1280, 720); !stop.stop_requested();
             std::this_thread::sleep_for(std::chrono::milliseconds(2)))
            stream->send(frame, 0);
    });
    for (int reader = 1; reader <= 10; ++reader) {
        const int fd = ::open(fifo.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(readBytes(fd, header(30).size()), header(30)) << reader;
        EXPECT_EQ(readBytes(fd, 6), "FRAME\n") << reader;
        EXPECT_EQ(readBytes(fd, kFrameBytes / 3).size(), kFrameBytes / 3) << reader;
        ::close(fd); // mid-frame, with more already in the pipe
    }
}

// Readers that overlap each get a whole stream of their own: the second starts on its header
// while the first goes on, frame after whole frame, and each is a client.
TEST_F(Y4MBackendTest, OverlappingReadersEachGetAWholeStream)
{
    Y4MFifoBackend backend(fifo, log);
    auto stream = publish(backend);
    std::jthread pumper([stream](std::stop_token stop) {
        for (auto frame = PixelBuffer::create(1280, 720); !stop.stop_requested();
             std::this_thread::sleep_for(std::chrono::milliseconds(5)))
            stream->send(frame, 0);
    });
    const auto readFrame = [](int fd) {
        return readBytes(fd, 6) == "FRAME\n" && readBytes(fd, kFrameBytes).size() == kFrameBytes;
    };
    const int first = ::open(fifo.c_str(), O_RDONLY);
    ASSERT_GE(first, 0);
    EXPECT_EQ(readBytes(first, header(30).size()), header(30));
    EXPECT_TRUE(readFrame(first));
    // The second opens while the first is streaming; both are read in turn from here on.
    // The first must keep reading meanwhile: the writer serves both in turn.
    std::string secondHeader;
    std::atomic<bool> secondDone{false};
    std::jthread second([&] {
        const int fd = ::open(fifo.c_str(), O_RDONLY);
        secondHeader = readBytes(fd, header(30).size());
        for (int frame = 0; frame < 3; ++frame)
            EXPECT_TRUE(readFrame(fd)) << "second, frame " << frame;
        ::close(fd);
        secondDone = true;
    });
    bool firstWhole = true;
    while (firstWhole && !secondDone)
        firstWhole = readFrame(first);
    EXPECT_TRUE(firstWhole);
    if (!firstWhole)
        ::close(first); // lets the writer move on, so the second can finish
    second.join();
    EXPECT_EQ(secondHeader, header(30));
    EXPECT_TRUE(eventually([&] { return handler->starts == 2; }));
    if (!firstWhole)
        return;
    // The first goes on alone after the second left.
    for (int frame = 0; frame < 3; ++frame)
        EXPECT_TRUE(readFrame(first)) << "first alone, frame " << frame;
    ::close(first);
    EXPECT_TRUE(eventually([&] { return handler->stops == 2; }));
}

// Where the FIFO cannot be renewed, its reader is still served, once, and the reason logged.
TEST_F(Y4MBackendTest, AFifoThatCannotBeRenewedServesOneReaderAtATime)
{
    fs::create_directories(directory.path() / "camera.y4m.next" / "in the way");
    Y4MFifoBackend backend(fifo, log);
    auto stream = publish(backend);
    std::jthread pumper([stream](std::stop_token stop) {
        for (auto frame = PixelBuffer::create(1280, 720); !stop.stop_requested();
             std::this_thread::sleep_for(std::chrono::milliseconds(5)))
            stream->send(frame, 0);
    });
    const int fd = ::open(fifo.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(readBytes(fd, header(30).size()), header(30));
    for (int frame = 0; frame < 3; ++frame) {
        EXPECT_EQ(readBytes(fd, 6), "FRAME\n");
        EXPECT_EQ(readBytes(fd, kFrameBytes).size(), kFrameBytes);
    }
    EXPECT_EQ(handler->starts, 1) << "the one pipe was taken for a new reader again";
    ::close(fd);
    const auto lines = log.lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const auto& line) {
        return line.message.starts_with("Quellon: cannot renew the FIFO " + fifo.string());
    }));
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

// Only a FIFO is ever written: a file named by mistake is refused untouched, and so is
// anything else that is not a FIFO, each with what it is.
TEST_F(Y4MBackendTest, RefusesEveryPathThatIsNoFifoAndLeavesItAlone)
{
    const fs::path file = directory.path() / "notes.txt";
    std::ofstream(file) << "old content";
    const fs::path link = directory.path() / "link.y4m";
    fs::create_symlink(fifo, link);
    const std::pair<fs::path, std::string> cases[] = {
        {file, " is a regular file"},
        {directory.path(), " is a directory"},
        {link, " is a symbolic link"},
        {"/dev/null", " is a device"},
    };
    for (const auto& [path, what] : cases) {
        Y4MFifoBackend backend(path, log);
        try {
            backend.addDevice(backend.makeDevice({}));
            ADD_FAILURE() << path << " was taken";
        } catch (const CameraBackendError& error) {
            EXPECT_EQ(error.what(), path.string() + what
                                        + "; the Y4M camera writes only into a FIFO, or a path that does not exist yet (made a FIFO).");
        }
    }
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "old content");
    Y4MFifoBackend missingDirectory(directory.path() / "no" / "such" / "dir.y4m", log);
    EXPECT_THROW(missingDirectory.addDevice(missingDirectory.makeDevice({})), CameraBackendError);
}

} // namespace
} // namespace quellon
