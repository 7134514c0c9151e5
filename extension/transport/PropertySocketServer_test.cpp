#include "transport/PropertySocketServer.h"

#include "channel/CameraClient.h"
#include "channel/CameraInfo.h"
#include "channel/PropertyFraming.h"
#include "channel/QuellonCMIOChannel.h"
#include "channel/SocketTestSupport.h"
#include "platform/TemporaryDirectory.h"
#include "platform/Log.h"
#include "transport/PropertyTarget.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>

namespace quellon {
namespace {

using namespace std::chrono_literals;
using namespace PropertyFraming;
using namespace quellon::testing;
using QuellonCMIOChannel::fourCharCode;
using QuellonCMIOChannel::frameSelector;
using QuellonCMIOChannel::nameSelector;
using QuellonCMIOChannel::stateSelector;

constexpr std::uint32_t kHugeValueSelector = fourCharCode("big!");
constexpr std::uint32_t kThrowingSelector = fourCharCode("boom");

// Remembers every set and the threads calls came on; answers gets from what was set.
class RecordingTarget final : public PropertyTarget {
public:
    using Set = std::pair<std::uint32_t, std::size_t>; // selector, size

    void setProperty(std::uint32_t selector, std::string bytes) override
    {
        std::lock_guard lock(mutex_);
        threads_.insert(std::this_thread::get_id());
        sets_.push_back({selector, bytes.size()});
        if (selector == kThrowingSelector)
            throw std::runtime_error("target exploded");
        values_[selector] = std::move(bytes);
    }

    std::optional<std::string> property(std::uint32_t selector) override
    {
        std::lock_guard lock(mutex_);
        threads_.insert(std::this_thread::get_id());
        if (selector == kThrowingSelector)
            throw std::runtime_error("target exploded");
        if (selector == kHugeValueSelector)
            return std::string(kMaxOtherBytes + 1, 'x');
        if (selector == frameSelector)
            return std::string();
        const auto it = values_.find(selector);
        return it == values_.end() ? std::nullopt : std::optional(it->second);
    }
    void clear() { std::lock_guard lock(mutex_); values_.clear(); sets_.clear(); }
    std::vector<Set> sets() const { std::lock_guard lock(mutex_); return sets_; }
    std::set<std::thread::id> threads() const { std::lock_guard lock(mutex_); return threads_; }

private:
    mutable std::mutex mutex_;
    std::map<std::uint32_t, std::string> values_;
    std::vector<Set> sets_;
    std::set<std::thread::id> threads_;
};

std::string header(Operation operation, std::uint32_t selector, std::uint32_t length)
{
    const auto bytes = encodeRequestHeader({operation, selector, length});
    return std::string(bytes.begin(), bytes.end());
}

std::size_t openDescriptors()
{
    const std::filesystem::directory_iterator entries("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}

std::size_t countLines(const CapturingLogSink& log, std::string_view fragment)
{
    const auto lines = log.lines();
    return static_cast<std::size_t>(std::ranges::count_if(lines, [&](const auto& line) { return line.message.find(fragment) != std::string::npos; }));
}

// The errno of the std::system_error that start throws; 0 when it starts.
int startError(PropertySocketServer& server)
{
    try {
        server.start();
    } catch (const std::system_error& error) {
        return error.code().value();
    }
    return 0;
}

class PropertySocketServerTest : public ::testing::Test {
protected:
    void SetUp() override { startServer({}); }
    void TearDown() override { server->stop(); }

    void startServer(PropertySocketServer::Limits limits)
    {
        if (server)
            server->stop();
        server = std::make_unique<PropertySocketServer>(socketPath(), target, log, limits);
        server->start();
    }

    std::filesystem::path socketPath() const { return directory.path() / "camera.sock"; }

    // The server answers a well-formed get: the check that it survived whatever came before.
    void expectStillServing()
    {
        CameraClient client(socketPath(), 5s);
        client.setProperty(nameSelector, "alive");
        EXPECT_EQ(client.property(nameSelector), "alive");
    }

    TemporaryDirectory directory{"quellon-socket"};
    CapturingLogSink log;
    RecordingTarget target;
    std::unique_ptr<PropertySocketServer> server;
};

TEST_F(PropertySocketServerTest, SetsAndGetsReachTheTargetOnOneThreadOfItsOwn)
{
    // A 32 MiB frame under ThreadSanitizer on a busy machine takes seconds, past the server's
    // own 10 s for a message: both limits here only guard against a hang.
    startServer({.maxConnections = 64, .messageTimeout = 60s});
    CameraClient client(socketPath(), 60s);
    client.setProperty(stateSelector, R"({"mode":"away"})");
    client.setProperty(frameSelector, std::string(kMaxFrameBytes, 'f'));
    client.setProperty(nameSelector, "");
    EXPECT_EQ(client.property(stateSelector), R"({"mode":"away"})");
    EXPECT_EQ(client.property(frameSelector), "");
    EXPECT_EQ(client.property(fourCharCode("none")), std::nullopt);

    // Each set is acknowledged after the target has seen it, so no waiting is needed here.
    const std::vector<RecordingTarget::Set> expected{{stateSelector, 15}, {frameSelector, kMaxFrameBytes}, {nameSelector, 0}};
    EXPECT_EQ(target.sets(), expected);
    EXPECT_EQ(target.threads().size(), 1u);
    EXPECT_FALSE(target.threads().contains(std::this_thread::get_id()));
}

TEST_F(PropertySocketServerTest, HostileMessagesCostOnlyTheirOwnConnection)
{
    std::string random(256, '\0');
    for (std::size_t i = 0; i < random.size(); ++i)
        random[i] = static_cast<char>((i * 131 + 7) % 251);
    // hangUpAfter: the peer stops sending after the bytes, as a crashed host would. rejection: text
    // the rejection reply must hold; empty when the server just hangs up.
    struct Case { const char* what; std::string bytes; bool hangUpAfter; std::string rejection; };
    const Case cases[] = {
        {"text protocol", "GET / HTTP/1.1\r\nHost: camera\r\n\r\n", false, "version"},
        {"random bytes", random, false, "version"},
        {"frame length of 4 GiB", header(Operation::set, frameSelector, 0xFFFFFFFFu), false, "exceeds the cap"},
        {"frame one byte over", header(Operation::set, frameSelector, kMaxFrameBytes + 1), false, "exceeds the cap"},
        {"state one byte over", header(Operation::set, stateSelector, kMaxStateBytes + 1) + "{}", false, "exceeds the cap"},
        {"name one byte over", header(Operation::set, nameSelector, kMaxNameBytes + 1), false, "exceeds the cap"},
        {"get with a payload", header(Operation::get, stateSelector, 3) + "abc", false, "carries"},
        {"unknown operation", std::string("\x01\x07\x00\x00qlst\x00\x00\x00\x00", 12), false, "operation"},
        {"truncated header", header(Operation::set, stateSelector, 2).substr(0, 5), true, ""},
        {"truncated payload", header(Operation::set, frameSelector, 1000) + std::string(10, 'j'), true, ""},
        {"payload cut at a slice boundary", header(Operation::set, frameSelector, (2u << 20) + 5) + std::string(1u << 20, 'j'), true, ""},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.what);
        const std::size_t dropsBefore = countLines(log, "dropped a connection");
        const int fd = connectRaw(socketPath());
        sendAll(fd, item.bytes);
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
        EXPECT_TRUE(eventually([&] { return countLines(log, "dropped a connection") == dropsBefore + 1; }));
        EXPECT_TRUE(target.sets().empty());
        expectStillServing();
        server->stop();
        server->start();
        target.clear();
    }
}

TEST_F(PropertySocketServerTest, StalledMessagesTimeOutButIdleConnectionsStay)
{
    startServer({.maxConnections = 64, .messageTimeout = 200ms});
    const int idle = connectRaw(socketPath());
    for (const auto& bytes : {header(Operation::get, stateSelector, 0).substr(0, 1), header(Operation::set, stateSelector, 100) + "{"}) {
        const int fd = connectRaw(socketPath());
        sendAll(fd, bytes);
        EXPECT_TRUE(receiveUntilHangUp(fd).hungUp);
        ::close(fd);
    }
    EXPECT_EQ(countLines(log, "not completed within 200 ms"), 2u);

    // The idle one was never part of a message and is still served.
    sendAll(idle, header(Operation::get, frameSelector, 0));
    std::array<std::uint8_t, kReplyHeaderSize> reply{};
    EXPECT_TRUE(receiveExactly(idle, reply.data(), reply.size()));
    EXPECT_EQ(decodeReplyHeader(reply, Operation::get, frameSelector), (ReplyHeader{ReplyStatus::ok, 0}));
    ::close(idle);
}

TEST_F(PropertySocketServerTest, HundredsOfDroppedConnectionsLeaveNothingBehind)
{
    expectStillServing();
    const std::size_t baseline = openDescriptors();
    const std::string complete = header(Operation::set, nameSelector, 4) + "Cam!";
    // Peers leave at once, mid-header, mid-payload, or after a whole message without reading the reply.
    const std::size_t sentBytes[] = {0, 7, 14, complete.size()};
    for (int i = 0; i < 300; ++i) {
        const int fd = connectRaw(socketPath());
        sendAll(fd, complete.substr(0, sentBytes[i % 4]));
        ::close(fd);
    }
    // Every server-side socket is closed again once the server has seen the peers leave.
    EXPECT_TRUE(eventually([&] { return openDescriptors() <= baseline; })) << openDescriptors() << " > " << baseline;
    expectStillServing();
}

// At the limit a newcomer takes the place of the connection idle longest; a host whose idle
// connection went that way reconnects on its next call without noticing.
TEST_F(PropertySocketServerTest, NewcomersBeyondTheLimitTakeThePlaceOfTheLongestIdle)
{
    startServer({.maxConnections = 3, .messageTimeout = 10s});
    std::vector<CameraClient> clients;
    for (int i = 0; i < 3; ++i) {
        clients.emplace_back(socketPath(), 2s);
        clients.back().setProperty(nameSelector, "held");
    }
    CameraClient extra(socketPath(), 2s);
    EXPECT_EQ(extra.property(nameSelector), "held");
    EXPECT_EQ(countLines(log, "closed an idle connection, making room for a new connection, 3 open"), 1u);
    for (auto& client : clients)
        EXPECT_EQ(client.property(nameSelector), "held");
}

// Connections that start no message are closed after the idle deadline, whether they never
// sent a byte or went quiet after a message; a host reconnects on its next call.
TEST_F(PropertySocketServerTest, IdleConnectionsAreClosedAndHostsReconnect)
{
    startServer({.maxConnections = 8, .messageTimeout = 10s, .idleTimeout = 500ms});
    const int silent = connectRaw(socketPath());
    EXPECT_TRUE(receiveUntilHangUp(silent).hungUp);
    ::close(silent);
    CameraClient client(socketPath(), 2s);
    client.setProperty(nameSelector, "first");
    EXPECT_TRUE(eventually([&] { return countLines(log, "closed a connection idle for 500 ms") == 2; }));
    EXPECT_EQ(client.property(nameSelector), "first");
}

// Nobody can hold the socket for themselves: 64 connections that send nothing and two peers
// each trickling a largest-frame announcement leave the host room to send a largest frame.
TEST_F(PropertySocketServerTest, SilentAndTricklingPeersCannotStarveTheHost)
{
    // The tricklers' messages must stay unfinished, not time out, however slow the machine.
    startServer({.messageTimeout = 120s});
    std::vector<int> silent;
    for (int i = 0; i < 64; ++i)
        silent.push_back(connectRaw(socketPath()));
    std::vector<int> tricklers;
    for (int i = 0; i < 2; ++i) {
        tricklers.push_back(connectRaw(socketPath()));
        sendAll(tricklers.back(), header(Operation::set, frameSelector, kMaxFrameBytes));
        for (int piece = 0; piece < 4; ++piece)
            sendAll(tricklers.back(), std::string(256, 't'));
    }
    CameraClient host(socketPath(), 60s);
    host.setProperty(frameSelector, std::string(kMaxFrameBytes, 'f'));
    host.setProperty(stateSelector, R"({"mode":"away"})");
    EXPECT_EQ(host.property(stateSelector), R"({"mode":"away"})");
    EXPECT_EQ(target.sets().front(), (RecordingTarget::Set{frameSelector, kMaxFrameBytes}));
    // Room was made from the silent ones; the tricklers, busy, are still there.
    EXPECT_EQ(countLines(log, "closed an idle connection, making room"), 3u);
    EXPECT_EQ(countLines(log, "message not completed"), 0u);
    for (int fd : silent)
        ::close(fd);
    for (int fd : tricklers)
        ::close(fd);
}

// Payload memory is taken from one budget as the bytes arrive: a peer that announces much and
// sends little holds little, one that has sent much holds it until it finishes or leaves.
TEST_F(PropertySocketServerTest, PayloadsOfAllConnectionsShareOneBudget)
{
    startServer({.maxConnections = 8, .messageTimeout = 10s, .maxBufferedBytes = 1u << 20});
    const std::uint32_t big = 600u << 10;
    const auto sendBig = [&] {
        const int fd = connectRaw(socketPath());
        sendAll(fd, header(Operation::set, frameSelector, big) + std::string(big, 'f'));
        std::array<std::uint8_t, kReplyHeaderSize> reply{};
        const bool answered = receiveExactly(fd, reply.data(), reply.size());
        ::close(fd);
        return answered ? reply[1] : 0xFF;
    };
    // Announces 900 KiB and sends three bytes: holds only its first slice.
    const int trickler = connectRaw(socketPath());
    sendAll(trickler, header(Operation::set, frameSelector, 900u << 10) + "abc");
    EXPECT_EQ(sendBig(), static_cast<std::uint8_t>(ReplyStatus::ok));

    // Sends 700 KiB of 900 and stalls: what it sent is held.
    const int holder = connectRaw(socketPath());
    sendAll(holder, header(Operation::set, frameSelector, 900u << 10) + std::string(700u << 10, 'h'));
    EXPECT_TRUE(eventually([&] { return sendBig() == static_cast<std::uint8_t>(ReplyStatus::rejected); }));
    EXPECT_GE(countLines(log, "more would exceed 1048576"), 1u);
    expectStillServing(); // small messages still fit beside it

    // The holder leaves: its reservation goes with it, and so does a completed message's.
    ::close(holder);
    EXPECT_TRUE(eventually([&] { return sendBig() == static_cast<std::uint8_t>(ReplyStatus::ok); }));
    EXPECT_EQ(sendBig(), static_cast<std::uint8_t>(ReplyStatus::ok));
    EXPECT_EQ(target.sets().back(), (RecordingTarget::Set{frameSelector, big}));
    ::close(trickler);
}

TEST_F(PropertySocketServerTest, FailuresOfTheTargetAreLoggedAndAnswered)
{
    CameraClient client(socketPath());
    EXPECT_NO_THROW(client.setProperty(kThrowingSelector, "x"));
    EXPECT_EQ(client.property(kThrowingSelector), std::nullopt);
    // A value the wire cannot carry is held back rather than sent over its cap.
    EXPECT_EQ(client.property(kHugeValueSelector), std::nullopt);
    EXPECT_EQ(countLines(log, "target exploded"), 2u);
    EXPECT_EQ(countLines(log, "over its cap"), 1u);
    expectStillServing();
}

TEST_F(PropertySocketServerTest, PeersOfAnotherUserAreRefused)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "running a peer as another user needs root; this test runs as uid " << ::geteuid();
    // Open the way on purpose, so only the credential check stands between the peer and us.
    for (const auto& path : {directory.path(), socketPath()})
        std::filesystem::permissions(path, std::filesystem::perms::all);
    constexpr uid_t kNobody = 65534;

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only async-signal-safe calls from here on: the parent has other threads.
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(3);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const sockaddr_un address = addressOf(socketPath());
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            ::_exit(2);
        const auto request = encodeRequestHeader({Operation::set, nameSelector, 0});
        char byte;
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        ::_exit(::recv(fd, &byte, 1, 0) > 0 ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 3)
        GTEST_SKIP() << "this machine does not let the test switch to uid " << kNobody;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2: could not connect, 1: the server answered";
    EXPECT_TRUE(eventually([&] { return countLines(log, "refused a connection from uid 65534") == 1; }));
    EXPECT_TRUE(target.sets().empty());
    expectStillServing();
}

TEST_F(PropertySocketServerTest, StopClosesConnectionsAndRemovesOnlyItsOwnSocket)
{
    CameraClient client(socketPath());
    client.setProperty(nameSelector, "x");
    server->stop();
    EXPECT_FALSE(std::filesystem::exists(socketPath()));
    // The client sees the hang-up before it sends, and finds nobody listening any more.
    EXPECT_EQ(clientErrorOf([&] { client.property(nameSelector); }), CameraClientError::Code::notRunning);
    EXPECT_EQ(clientErrorOf([&] { client.property(nameSelector); }), CameraClientError::Code::notRunning);
    server->stop();
    server->start();
    expectStillServing();

    // A socket that another process has put in our place since is left to it.
    std::filesystem::remove(socketPath());
    const int other = listenOn(socketPath());
    server->stop();
    EXPECT_TRUE(std::filesystem::exists(socketPath()));
    ::close(other);
}

TEST_F(PropertySocketServerTest, StartReplacesOnlyAStaleSocket)
{
    // A live daemon keeps its socket.
    RecordingTarget otherTarget;
    PropertySocketServer second(socketPath(), otherTarget, log);
    EXPECT_EQ(startError(second), EADDRINUSE);
    expectStillServing();

    // The socket of a daemon that died is replaced.
    server.reset();
    ::close(listenOn(socketPath()));
    ASSERT_TRUE(std::filesystem::is_socket(socketPath()));
    second.start();
    EXPECT_EQ(countLines(log, "replaced a stale camera socket"), 1u);
    CameraClient client(socketPath());
    client.setProperty(nameSelector, "second");
    EXPECT_EQ(otherTarget.sets().size(), 1u);
    second.stop();

    // A listener that accepts nothing, its backlog full, is alive: start says so at once
    // rather than waiting on it.
    const int wedged = listenOn(socketPath());
    ::listen(wedged, 0);
    std::vector<int> queued;
    for (int i = 0; i < 8; ++i) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        const sockaddr_un address = addressOf(socketPath());
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            break;
        }
        queued.push_back(fd);
    }
    EXPECT_EQ(startError(second), EADDRINUSE);
    for (int fd : queued)
        ::close(fd);
    ::close(wedged);
    std::filesystem::remove(socketPath());

    // Anything that is not a socket is left alone.
    std::ofstream(socketPath()) << "user data";
    EXPECT_EQ(startError(second), EEXIST);
    std::ifstream file(socketPath());
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "user data");
    std::filesystem::remove(socketPath());
    server = std::make_unique<PropertySocketServer>(socketPath(), target, log);
}

TEST_F(PropertySocketServerTest, StartMakesAPrivateSocketInANewDirectoryButNotAtATooLongPath)
{
    RecordingTarget otherTarget;
    PropertySocketServer longPath(directory.path() / std::string(120, 's'), otherTarget, log);
    EXPECT_EQ(startError(longPath), ENAMETOOLONG);

    const std::filesystem::path nested = directory.path() / "group" / "camera.sock";
    PropertySocketServer fresh(nested, otherTarget, log);
    const mode_t previous = ::umask(0);
    EXPECT_EQ(startError(fresh), 0);
    ::umask(previous);
    struct stat info{};
    ASSERT_EQ(::stat(nested.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600u) << "the socket must be private whatever the umask";
}

} // namespace
} // namespace quellon
