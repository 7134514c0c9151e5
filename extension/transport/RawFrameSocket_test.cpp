// The raw frame channel through the real socket: frames in shared memory arrive whole, and
// descriptors of every hostile kind are closed without costing more than their connection.

#include "transport/PropertySocketServer.h"

#include "channel/CameraClient.h"
#include "channel/PropertyFraming.h"
#include "channel/QuellonCMIOChannel.h"
#include "channel/RawFrameChannel.h"
#include "channel/SocketTestSupport.h"
#include "platform/Log.h"
#include "platform/TemporaryDirectory.h"
#include "transport/PropertyTarget.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <sys/mman.h>
#include <vector>

namespace quellon {
namespace {

using namespace std::chrono_literals;
using namespace PropertyFraming;
using namespace quellon::testing;
using QuellonCMIOChannel::rawFrameSelector;
using QuellonCMIOChannel::stateSelector;

// Copies raw frames as the camera does, or, without the channel, behaves as a camera that
// predates it.
class FrameTarget final : public PropertyTarget {
public:
    explicit FrameTarget(bool rawChannel) : rawChannel_(rawChannel) {}

    void setProperty(std::uint32_t selector, std::string) override
    {
        std::lock_guard lock(mutex_);
        sets_.push_back(selector);
    }

    std::optional<std::string> property(std::uint32_t selector) override
    {
        if (selector != rawFrameSelector)
            return std::nullopt;
        probes_ += 1;
        return rawChannel_ ? std::optional(std::string(RawFrameChannel::kFormatsValue)) : std::nullopt;
    }

    void setRawFrame(int memory, std::string_view layout) override
    {
        if (!rawChannel_)
            return PropertyTarget::setRawFrame(memory, layout);
        PixelBufferRef frame = RawFrameChannel::receiveFrame(memory, layout);
        std::lock_guard lock(mutex_);
        frames_.push_back(std::move(frame));
    }

    std::vector<PixelBufferRef> frames() const { std::lock_guard lock(mutex_); return frames_; }
    std::vector<std::uint32_t> sets() const { std::lock_guard lock(mutex_); return sets_; }
    int probes() const { return probes_.load(); }

private:
    const bool rawChannel_;
    mutable std::mutex mutex_;
    std::vector<PixelBufferRef> frames_;
    std::vector<std::uint32_t> sets_;
    std::atomic<int> probes_{0};
};

std::size_t descriptorsOpen()
{
    const std::filesystem::directory_iterator entries("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}

// Open memory files: what a hostile sender hands over, so a leak shows here exactly.
std::size_t openMemoryFiles()
{
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        if (std::filesystem::read_symlink(entry.path(), ignored).string().starts_with("/memfd:"))
            count += 1;
    }
    return count;
}

// What each open descriptor is, for the message of a failed count.
std::string openDescriptorNames()
{
    std::string names;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        names += " " + entry.path().filename().string() + "=" + std::filesystem::read_symlink(entry.path(), ignored).string();
    }
    return names;
}

PixelBufferRef patternedFrame(int width, int height, int seed)
{
    PixelBufferRef frame = PixelBuffer::create(width, height);
    const auto pixels = frame->lockForWriting();
    for (std::size_t i = 0; i < frame->bytesPerRow() * static_cast<std::size_t>(height); ++i)
        pixels.baseAddress()[i] = static_cast<std::uint8_t>(i * 31 + static_cast<std::size_t>(seed));
    return frame;
}

bool samePixels(const PixelBuffer& a, const PixelBuffer& b)
{
    if (a.width() != b.width() || a.height() != b.height())
        return false;
    const auto left = a.lockForReading();
    const auto right = b.lockForReading();
    for (int y = 0; y < a.height(); ++y)
        if (std::memcmp(left.row(y), right.row(y), static_cast<std::size_t>(a.width()) * 4) != 0)
            return false;
    return true;
}

FileDescriptor memoryOf(std::size_t size, int seals)
{
    FileDescriptor memory(::memfd_create("raw-socket-test", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    EXPECT_EQ(::ftruncate(memory.get(), static_cast<off_t>(size)), 0);
    if (seals) {
        EXPECT_EQ(::fcntl(memory.get(), F_ADD_SEALS, seals), 0);
    }
    return memory;
}

// Sends bytes with the descriptors attached to them in one message.
void sendWithDescriptors(int socket, std::string_view bytes, const std::vector<int>& descriptors)
{
    iovec data{const_cast<char*>(bytes.data()), bytes.size()};
    std::vector<char> control(CMSG_SPACE(sizeof(int) * descriptors.size()));
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    if (!descriptors.empty()) {
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        cmsghdr* entry = CMSG_FIRSTHDR(&message);
        entry->cmsg_level = SOL_SOCKET;
        entry->cmsg_type = SCM_RIGHTS;
        entry->cmsg_len = CMSG_LEN(sizeof(int) * descriptors.size());
        std::memcpy(CMSG_DATA(entry), descriptors.data(), sizeof(int) * descriptors.size());
    }
    EXPECT_EQ(::sendmsg(socket, &message, MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size())) << std::strerror(errno);
}

std::string request(Operation operation, std::uint32_t selector, std::string_view payload)
{
    const auto head = encodeRequestHeader({operation, selector, static_cast<std::uint32_t>(payload.size())});
    return std::string(head.begin(), head.end()) + std::string(payload);
}

class RawFrameSocketTest : public ::testing::Test {
protected:
    void SetUp() override { server.start(); }
    void TearDown() override { server.stop(); }

    std::filesystem::path socketPath() const { return directory.path() / "camera.sock"; }

    TemporaryDirectory directory{"quellon-raw-socket"};
    CapturingLogSink log;
    FrameTarget target{true};
    PropertySocketServer server{socketPath(), target, log};
};

TEST_F(RawFrameSocketTest, FramesArriveWholeAndTheChannelIsAskedForOncePerConnection)
{
    CameraClient client(socketPath());
    const PixelBufferRef frames[] = {patternedFrame(640, 360, 1), patternedFrame(640, 360, 2), patternedFrame(33, 7, 3)};
    for (const auto& frame : frames)
        EXPECT_TRUE(client.setRawFrame(*frame));
    // Acknowledged after the copy: the frames are there without waiting.
    auto received = target.frames();
    ASSERT_EQ(received.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_TRUE(samePixels(*received[i], *frames[i])) << "frame " << i;
    EXPECT_EQ(target.probes(), 1);

    // A new connection may reach another daemon: it asks again.
    client.disconnect();
    EXPECT_TRUE(client.setRawFrame(*frames[0]));
    EXPECT_EQ(target.probes(), 2);

    const PixelBufferRef grey = PixelBuffer::create(8, 8, kPixelFormatGray8);
    EXPECT_THROW(client.setRawFrame(*grey), std::invalid_argument);
    const PixelBufferRef huge = PixelBuffer::create(4096, 4096);
    ASSERT_TRUE(huge);
    EXPECT_THROW(client.setRawFrame(*huge), FramingError);
    EXPECT_EQ(target.frames().size(), 4u);
}

TEST(RawFrameSocketFallbackTest, ACameraWithoutTheChannelIsAskedOnceAndGetsNothing)
{
    TemporaryDirectory directory{"quellon-raw-socket"};
    CapturingLogSink log;
    FrameTarget target{false};
    PropertySocketServer server{directory.path() / "camera.sock", target, log};
    server.start();
    CameraClient client(directory.path() / "camera.sock");
    const PixelBufferRef frame = patternedFrame(64, 64, 0);
    EXPECT_FALSE(client.setRawFrame(*frame));
    EXPECT_FALSE(client.setRawFrame(*frame));
    EXPECT_EQ(target.probes(), 1);
    EXPECT_TRUE(target.sets().empty());
    EXPECT_TRUE(client.isConnected());
    server.stop();
}

TEST_F(RawFrameSocketTest, HostileDescriptorsAreClosedAndCostOnlyTheirConnection)
{
    const RawFrameLayout layout{16, 16, 64};
    const std::string layoutBytes = RawFrameChannel::encodeLayout(layout);
    const std::string rawFrame = request(Operation::set, rawFrameSelector, layoutBytes);
    const int sealedOnly = F_SEAL_SHRINK | F_SEAL_GROW;
    const std::size_t baseline = descriptorsOpen();
    const std::size_t baselineMemory = openMemoryFiles();

    // descriptors: memfds made for the case (size, seals); split: the first byte goes alone
    // with the first descriptor, the rest with the others. rejection: text of the rejection
    // reply; empty when the server just hangs up.
    struct Memory { std::size_t size; int seals; };
    struct Case { const char* what; std::string bytes; std::vector<Memory> descriptors; bool split; bool hangUpAfter; std::string rejection; };
    const std::size_t frameBytes = RawFrameChannel::byteCount(layout);
    const Case cases[] = {
        {"no descriptor", rawFrame, {}, false, false, "without the descriptor"},
        {"an unsealed memfd", rawFrame, {{frameBytes, 0}}, false, false, "not sealed"},
        {"a memfd one byte short", rawFrame, {{frameBytes - 1, sealedOnly}}, false, false, "holds 1023 bytes"},
        {"an empty memfd", rawFrame, {{0, sealedOnly}}, false, false, "holds 0 bytes"},
        {"a layout of 8 bytes", request(Operation::set, rawFrameSelector, layoutBytes.substr(0, 8)), {{frameBytes, sealedOnly}}, false, false, "layout is 8 bytes"},
        {"sides of 4 G", request(Operation::set, rawFrameSelector, RawFrameChannel::encodeLayout({0xFFFFFFFFu, 0xFFFFFFFFu, 4})), {{frameBytes, sealedOnly}}, false, false, "no size"},
        {"a message over the raw cap", request(Operation::set, rawFrameSelector, std::string(kMaxRawFrameMessageBytes + 1, 'r')), {{frameBytes, sealedOnly}}, false, false, "exceeds the cap"},
        {"a descriptor with the state", request(Operation::set, stateSelector, "{}"), {{frameBytes, sealedOnly}}, false, false, "takes none"},
        {"a descriptor with a get", request(Operation::get, rawFrameSelector, ""), {{frameBytes, sealedOnly}}, false, false, "takes none"},
        {"two descriptors at once", rawFrame, {{frameBytes, sealedOnly}, {frameBytes, sealedOnly}}, false, false, ""},
        {"two descriptors byte by byte", rawFrame, {{frameBytes, sealedOnly}, {frameBytes, sealedOnly}}, true, false, ""},
        {"a crowd of descriptors", rawFrame, std::vector<Memory>(12, {frameBytes, sealedOnly}), false, false, ""},
        {"a descriptor, then half a message", rawFrame.substr(0, 14), {{frameBytes, sealedOnly}}, false, true, ""},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.what);
        {
            std::vector<FileDescriptor> memories;
            std::vector<int> descriptors;
            for (const auto& memory : item.descriptors) {
                memories.push_back(memoryOf(memory.size, memory.seals));
                descriptors.push_back(memories.back().get());
            }
            const int fd = connectRaw(socketPath());
            if (item.split && descriptors.size() > 1) {
                sendWithDescriptors(fd, item.bytes.substr(0, 1), {descriptors.front()});
                sendWithDescriptors(fd, item.bytes.substr(1), std::vector<int>(descriptors.begin() + 1, descriptors.end()));
            } else {
                sendWithDescriptors(fd, item.bytes, descriptors);
            }
            if (item.hangUpAfter)
                ::shutdown(fd, SHUT_WR);
            const Received received = receiveUntilHangUp(fd);
            ::close(fd);
            EXPECT_TRUE(received.hungUp) << "the server kept the connection open";
            if (item.rejection.empty()) {
                EXPECT_EQ(received.bytes, "");
            } else {
                ASSERT_GE(received.bytes.size(), kReplyHeaderSize);
                EXPECT_EQ(received.bytes[1], static_cast<char>(ReplyStatus::rejected));
                EXPECT_NE(received.bytes.find(item.rejection), std::string::npos) << received.bytes.substr(kReplyHeaderSize);
            }
        }
        // Our own memfds are closed: whatever the server took of them must be gone too.
        // Other descriptors (the runtime's own) may come and go, so those only may not grow.
        EXPECT_TRUE(eventually([&] { return openMemoryFiles() == baselineMemory && descriptorsOpen() <= baseline; }))
            << baseline << " open before, now:" << openDescriptorNames();
        EXPECT_TRUE(target.frames().empty());
        EXPECT_TRUE(target.sets().empty());
    }
    CameraClient client(socketPath());
    EXPECT_TRUE(client.setRawFrame(*patternedFrame(16, 16, 0))) << "the server still serves";
}

TEST_F(RawFrameSocketTest, AThousandFramesInARowLeaveNoDescriptorBehind)
{
    CameraClient client(socketPath());
    const PixelBufferRef frame = patternedFrame(64, 36, 5);
    ASSERT_TRUE(client.setRawFrame(*frame));
    const std::size_t before = descriptorsOpen();
    const std::size_t memoryBefore = openMemoryFiles();
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(client.setRawFrame(*frame)) << "frame " << i;
    EXPECT_TRUE(eventually([&] { return openMemoryFiles() == memoryBefore && descriptorsOpen() <= before; }))
        << before << " open before, now:" << openDescriptorNames();
    EXPECT_EQ(target.frames().size(), 1001u);
    EXPECT_EQ(target.probes(), 1);
}

} // namespace
} // namespace quellon
