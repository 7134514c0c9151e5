#include "channel/CameraClient.h"
#include "channel/PropertyFraming.h"
#include "channel/QuellonCMIOChannel.h"
#include "channel/SocketTestSupport.h"
#include "platform/TemporaryDirectory.h"
#include "state/QuellonState.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>

namespace quellon {
namespace {

using namespace std::chrono_literals;
using namespace PropertyFraming;
using namespace quellon::testing;
using Code = CameraClientError::Code;
using QuellonCMIOChannel::nameSelector;
using QuellonCMIOChannel::stateSelector;

// A daemon stand-in that takes connections one after another and hands each, with its number
// counting from 1, to a script.
struct ScriptedDaemon {
    ScriptedDaemon(const std::filesystem::path& path, std::function<void(int fd, int connection)> script)
        : listener(listenOn(path)), thread([this, script = std::move(script)] {
            for (int fd; (fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; ::close(fd))
                script(fd, ++connections);
        })
    {
    }
    ~ScriptedDaemon()
    {
        ::shutdown(listener, SHUT_RDWR);
        thread.join();
        ::close(listener);
    }
    std::atomic<int> connections{0};
    int listener;
    std::thread thread;
};

// The next whole request; nothing once the peer hangs up or breaks the framing.
std::optional<std::pair<RequestHeader, std::string>> readRequest(int fd)
{
    std::array<std::uint8_t, kRequestHeaderSize> head{};
    if (!receiveExactly(fd, head.data(), head.size()))
        return std::nullopt;
    try {
        std::pair<RequestHeader, std::string> request{decodeRequestHeader(head), {}};
        request.second.resize(request.first.length);
        return receiveExactly(fd, request.second.data(), request.second.size()) ? std::optional(request) : std::nullopt;
    } catch (const FramingError&) {
        return std::nullopt;
    }
}

// Acknowledges sets and answers gets with what was last set on the connection.
void echoDaemon(int fd)
{
    std::map<std::uint32_t, std::string> values;
    while (auto request = readRequest(fd)) {
        const auto [header, payload] = *request;
        if (header.operation == Operation::set)
            values[header.selector] = payload;
        const auto it = values.find(header.selector);
        sendAll(fd, header.operation == Operation::set ? encodeReply(ReplyStatus::ok)
                    : it == values.end()               ? encodeReply(ReplyStatus::noValue)
                                                       : encodeReply(ReplyStatus::ok, it->second));
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

    ::close(listenOn(socketPath())); // the socket file of a daemon that died: nothing accepts on it
    CameraClient stale(socketPath());
    EXPECT_EQ(clientErrorOf([&] { stale.setProperty(nameSelector, "Cam"); }), Code::notRunning);
    CameraClient tooLong(directory.path() / std::string(200, 'x'));
    EXPECT_EQ(clientErrorOf([&] { tooLong.connect(); }), Code::systemError);
}

TEST_F(CameraClientTest, SetsAndGetsOverOneConnection)
{
    ScriptedDaemon daemon(socketPath(), [](int fd, int) { echoDaemon(fd); });
    CameraClient client(socketPath());
    EXPECT_EQ(client.property(nameSelector), std::nullopt);
    client.setProperty(nameSelector, "Studio");
    QuellonState state;
    state.revision = 9;
    client.sendState(state);
    EXPECT_EQ(client.property(nameSelector), "Studio");
    EXPECT_EQ(QuellonCMIOChannel::decodeState(client.property(stateSelector).value_or("")), state);

    // An oversized value is refused before anything goes out: the daemon would hang up on it.
    EXPECT_THROW(client.setProperty(nameSelector, std::string(kMaxNameBytes + 1, 'n')), FramingError);
    EXPECT_EQ(client.property(nameSelector), "Studio");
    EXPECT_EQ(daemon.connections, 1);
}

std::string replyHeader(ReplyStatus status, std::uint32_t length)
{
    const auto bytes = encodeReplyHeader({status, length});
    return std::string(bytes.begin(), bytes.end());
}

// Each misbehaving daemon gives its own error within the timeout, and the client drops the
// connection, whose byte stream can no longer be trusted. A length over the cap fails at once
// instead of waiting for (or allocating) 4 GiB.
TEST_F(CameraClientTest, MisbehavingDaemonsGiveClearErrors)
{
    struct Case { const char* what; std::string reply; bool hangUpAfterReply; Code expected; };
    const Case cases[] = {
        {"claims a 4 GiB value", replyHeader(ReplyStatus::ok, 0xFFFFFFFFu), false, Code::protocolError},
        {"claims a value over the state cap", replyHeader(ReplyStatus::ok, kMaxStateBytes + 1), false, Code::protocolError},
        {"speaks another version", std::string("\x09\x00\x00\x00\x00\x00\x00\x00", 8), false, Code::protocolError},
        {"refuses", encodeReply(ReplyStatus::rejected, "state too large"), true, Code::refused},
        {"hangs up", "", true, Code::connectionLost},
        {"cuts the value short", replyHeader(ReplyStatus::ok, 10) + "abc", true, Code::connectionLost},
        {"never answers", "", false, Code::timedOut},
        {"stops mid-header", std::string("\x01\x00", 2), false, Code::timedOut},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.what);
        std::filesystem::remove(socketPath());
        ScriptedDaemon daemon(socketPath(), [&item](int fd, int) {
            if (!readRequest(fd))
                return;
            sendAll(fd, item.reply);
            if (!item.hangUpAfterReply)
                receiveUntilHangUp(fd);
        });
        // Short only where the timeout is the answer: the others must not lose to a slow daemon thread.
        CameraClient client(socketPath(), item.expected == Code::timedOut ? 300ms : 3s);
        std::string message;
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(clientErrorOf([&] { client.property(stateSelector); }, &message), item.expected) << message;
        EXPECT_TRUE(item.expected != Code::refused || message.find("state too large") != std::string::npos) << message;
        EXPECT_FALSE(client.isConnected());
        EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
    }
}

TEST_F(CameraClientTest, ARefusalArrivingWhileStillSendingIsReported)
{
    // The daemon judges the header, refuses and hangs up without reading the payload.
    ScriptedDaemon daemon(socketPath(), [](int fd, int) {
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
    ScriptedDaemon daemon(socketPath(), [](int fd, int connection) {
        if (connection > 1)
            echoDaemon(fd);
        else
            readRequest(fd); // the first connection hangs up without answering
    });
    CameraClient client(socketPath());
    EXPECT_EQ(clientErrorOf([&] { client.setProperty(nameSelector, "One"); }), Code::connectionLost);
    EXPECT_NO_THROW(client.setProperty(nameSelector, "Two"));
    EXPECT_EQ(daemon.connections, 2);
}

} // namespace
} // namespace quellon
