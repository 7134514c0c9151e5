#include "channel/CameraClient.h"
#include "channel/PropertyFraming.h"
#include "channel/QuellonCMIOChannel.h"
#include "channel/SocketTestSupport.h"
#include "platform/TemporaryDirectory.h"
#include "state/QuellonState.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

namespace quellon {
namespace {

using namespace std::chrono_literals;
using namespace PropertyFraming;
using namespace quellon::testing;
using Code = CameraClientError::Code;
using QuellonCMIOChannel::nameSelector;
using QuellonCMIOChannel::stateSelector;

struct Request {
    RequestHeader header;
    std::string payload;
};

// A daemon stand-in whose answers the test scripts: it takes connections one after another
// and hands each to the script.
class ScriptedDaemon {
public:
    using Script = std::function<void(ScriptedDaemon&, int fd)>;

    ScriptedDaemon(const std::filesystem::path& path, Script script)
        : listener_(listenOn(path))
        , script_(std::move(script))
        , thread_([this] {
            for (int fd; (fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; ::close(fd)) {
                ++connections_;
                script_(*this, fd);
            }
        })
    {
    }
    ~ScriptedDaemon()
    {
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }

    std::optional<Request> readRequest(int fd)
    {
        std::array<std::uint8_t, kRequestHeaderSize> head{};
        if (!receiveExactly(fd, head.data(), head.size()))
            return std::nullopt;
        Request request{decodeRequestHeader(head), {}};
        request.payload.resize(request.header.length);
        if (!receiveExactly(fd, request.payload.data(), request.payload.size()))
            return std::nullopt;
        std::lock_guard lock(mutex_);
        received_.push_back(request);
        return request;
    }

    std::vector<Request> received() const
    {
        std::lock_guard lock(mutex_);
        return received_;
    }
    int connections() const { return connections_; }

private:
    int listener_;
    Script script_;
    mutable std::mutex mutex_;
    std::vector<Request> received_;
    std::atomic<int> connections_{0};
    std::thread thread_;
};

// Acknowledges sets, answers a get of the state, has no value for anything else.
void politeDaemon(ScriptedDaemon& daemon, int fd)
{
    while (auto request = daemon.readRequest(fd)) {
        if (request->header.operation == Operation::set)
            sendAll(fd, encodeReply(ReplyStatus::ok));
        else if (request->header.selector == stateSelector)
            sendAll(fd, encodeReply(ReplyStatus::ok, R"({"mode":"away"})"));
        else
            sendAll(fd, encodeReply(ReplyStatus::noValue));
    }
}

class CameraClientTest : public ::testing::Test {
protected:
    std::filesystem::path socketPath() const { return directory.path() / "camera.sock"; }
    TemporaryDirectory directory{"quellon-client"};
};

TEST_F(CameraClientTest, ADaemonThatIsNotRunningIsReportedAsSuch)
{
    CameraClient missing(socketPath());
    std::string message;
    EXPECT_EQ(clientErrorOf([&] { missing.property(stateSelector); }, &message), Code::notRunning);
    EXPECT_NE(message.find("not running"), std::string::npos);

    // The socket file of a daemon that died: nothing accepts on it.
    ::close(listenOn(socketPath()));
    CameraClient stale(socketPath());
    EXPECT_EQ(clientErrorOf([&] { stale.setProperty(nameSelector, "Cam"); }), Code::notRunning);

    CameraClient tooLong(directory.path() / std::string(200, 'x'));
    EXPECT_EQ(clientErrorOf([&] { tooLong.connect(); }), Code::systemError);
}

TEST_F(CameraClientTest, SetsAndGetsOverOneConnection)
{
    ScriptedDaemon daemon(socketPath(), politeDaemon);
    CameraClient client(socketPath());
    client.setProperty(nameSelector, "Studio");
    QuellonState state;
    state.revision = 9;
    client.sendState(state);
    EXPECT_EQ(client.property(stateSelector), R"({"mode":"away"})");
    EXPECT_EQ(client.property(nameSelector), std::nullopt);

    // A set returns once the daemon has answered, so the daemon has it already.
    const auto received = daemon.received();
    ASSERT_EQ(received.size(), 4u);
    EXPECT_EQ(received[0].header, (RequestHeader{Operation::set, nameSelector, 6}));
    EXPECT_EQ(received[0].payload, "Studio");
    EXPECT_EQ(QuellonCMIOChannel::decodeState(received[1].payload), state);
    EXPECT_EQ(daemon.connections(), 1);

    // An oversized value is refused before anything goes out.
    EXPECT_THROW(client.setProperty(nameSelector, std::string(kMaxNameBytes + 1, 'n')), FramingError);
    EXPECT_EQ(daemon.received().size(), 4u);
}

struct BadReplyCase {
    const char* what;
    std::string reply;
    bool hangUpAfterReply;
    Code expected;
};

std::string bytesOf(const auto& array)
{
    return std::string(array.begin(), array.end());
}

// Each misbehaving daemon gives its own error within the timeout, and the client drops the
// connection, whose byte stream can no longer be trusted. A length over the cap fails at once
// instead of waiting for (or allocating) 4 GiB.
TEST_F(CameraClientTest, MisbehavingDaemonsGiveClearErrors)
{
    const BadReplyCase cases[] = {
        {"claims a 4 GiB value", bytesOf(encodeReplyHeader({ReplyStatus::ok, 0xFFFFFFFFu})), false, Code::protocolError},
        {"claims a value over the state cap", bytesOf(encodeReplyHeader({ReplyStatus::ok, kMaxStateBytes + 1})), false, Code::protocolError},
        {"speaks another version", std::string("\x09\x00\x00\x00\x00\x00\x00\x00", 8), false, Code::protocolError},
        {"refuses", encodeReply(ReplyStatus::rejected, "state too large"), true, Code::refused},
        {"hangs up", "", true, Code::connectionLost},
        {"cuts the value short", bytesOf(encodeReplyHeader({ReplyStatus::ok, 10})) + "abc", true, Code::connectionLost},
        {"never answers", "", false, Code::timedOut},
        {"stops mid-header", std::string("\x01\x00", 2), false, Code::timedOut},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.what);
        std::filesystem::remove(socketPath());
        ScriptedDaemon daemon(socketPath(), [&item](ScriptedDaemon& self, int fd) {
            if (!self.readRequest(fd))
                return;
            sendAll(fd, item.reply);
            if (!item.hangUpAfterReply)
                receiveUntilHangUp(fd);
        });
        CameraClient client(socketPath(), 300ms);
        std::string message;
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(clientErrorOf([&] { client.property(stateSelector); }, &message), item.expected) << message;
        if (item.expected == Code::refused) {
            EXPECT_NE(message.find("state too large"), std::string::npos);
        }
        EXPECT_FALSE(client.isConnected());
        EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
    }
}

TEST_F(CameraClientTest, ARefusalArrivingWhileStillSendingIsReported)
{
    // The daemon judges the header, refuses and hangs up without reading the payload.
    ScriptedDaemon daemon(socketPath(), [](ScriptedDaemon&, int fd) {
        std::array<std::uint8_t, kRequestHeaderSize> head{};
        if (receiveExactly(fd, head.data(), head.size()))
            sendAll(fd, encodeReply(ReplyStatus::rejected, "busy"));
    });
    CameraClient client(socketPath());
    std::string message;
    EXPECT_EQ(clientErrorOf([&] { client.setProperty(QuellonCMIOChannel::frameSelector, std::string(8 << 20, 'j')); }, &message),
              Code::refused);
    EXPECT_NE(message.find("busy"), std::string::npos) << message;
}

TEST_F(CameraClientTest, ReconnectsAfterAFailedCall)
{
    ScriptedDaemon daemon(socketPath(), [](ScriptedDaemon& self, int fd) {
        if (self.connections() == 1)
            self.readRequest(fd); // first connection: hang up without answering
        else
            politeDaemon(self, fd);
    });
    CameraClient client(socketPath());
    EXPECT_EQ(clientErrorOf([&] { client.setProperty(nameSelector, "One"); }), Code::connectionLost);
    EXPECT_NO_THROW(client.setProperty(nameSelector, "Two"));
    EXPECT_EQ(daemon.connections(), 2);
}

} // namespace
} // namespace quellon
