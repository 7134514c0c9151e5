#include "channel/CameraClient.h"

#include "channel/CameraInfo.h"
#include "channel/PropertyFraming.h"
#include "channel/QuellonCMIOChannel.h"
#include "state/JSONCoding.h"
#include "state/UnicodeText.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace quellon {

namespace {

using Clock = std::chrono::steady_clock;
using PropertyFraming::Operation;
using PropertyFraming::ReplyStatus;

[[noreturn]] void fail(CameraClientError::Code code, const std::string& message)
{
    throw CameraClientError(code, message);
}

std::string systemText(int error)
{
    return std::strerror(error);
}

int remainingMilliseconds(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

// Waits until fd is ready for events or the deadline passes; EINTR just waits again.
void waitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        const int left = remainingMilliseconds(deadline);
        if (left == 0)
            fail(CameraClientError::Code::timedOut, "the camera daemon did not answer in time");
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, left);
        if (ready > 0)
            return;
        if (ready < 0 && errno != EINTR)
            fail(CameraClientError::Code::systemError, "waiting for the camera socket failed: " + systemText(errno));
    }
}

class ConnectionLost : public std::exception {};

void writeAll(int fd, std::string_view bytes, Clock::time_point deadline)
{
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            waitFor(fd, POLLOUT, deadline);
        } else if (errno == EPIPE || errno == ECONNRESET) {
            throw ConnectionLost();
        } else if (errno != EINTR) {
            fail(CameraClientError::Code::systemError, "writing to the camera socket failed: " + systemText(errno));
        }
    }
}

void readExact(int fd, void* buffer, std::size_t size, Clock::time_point deadline)
{
    auto* out = static_cast<char*>(buffer);
    while (size > 0) {
        const ssize_t got = ::recv(fd, out, size, 0);
        if (got > 0) {
            out += got;
            size -= static_cast<std::size_t>(got);
        } else if (got == 0 || errno == ECONNRESET) {
            throw ConnectionLost();
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            waitFor(fd, POLLIN, deadline);
        } else if (errno != EINTR) {
            fail(CameraClientError::Code::systemError, "reading from the camera socket failed: " + systemText(errno));
        }
    }
}

struct Reply {
    PropertyFraming::ReplyHeader header;
    std::string payload;
};

Reply readReply(int fd, Operation operation, std::uint32_t selector, Clock::time_point deadline)
{
    std::array<std::uint8_t, PropertyFraming::kReplyHeaderSize> head{};
    readExact(fd, head.data(), head.size(), deadline);
    Reply reply;
    try {
        reply.header = PropertyFraming::decodeReplyHeader(head, operation, selector);
    } catch (const FramingError& error) {
        fail(CameraClientError::Code::protocolError, std::string("the camera daemon sent a bad reply: ") + error.what());
    }
    // The cap was checked above, so this allocation is bounded.
    reply.payload.resize(reply.header.length);
    readExact(fd, reply.payload.data(), reply.payload.size(), deadline);
    return reply;
}

[[noreturn]] void failRefused(const std::string& reason)
{
    fail(CameraClientError::Code::refused, "the camera daemon refused the request: " + replacingInvalidUTF8(reason));
}

} // namespace

CameraClientError::CameraClientError(Code code, const std::string& message)
    : std::runtime_error(message)
    , code_(code)
{
}

std::optional<std::filesystem::path> CameraClient::defaultSocketPath(const ContainerPlatform& platform)
{
    if (auto container = QuellonStorage::containerURL(platform))
        return *container / kSocketFilename;
    return std::nullopt;
}

CameraClient::CameraClient(std::filesystem::path socketPath, std::chrono::milliseconds timeout)
    : socketPath_(std::move(socketPath))
    , timeout_(timeout)
{
}

CameraClient::~CameraClient()
{
    disconnect();
}

CameraClient::CameraClient(CameraClient&& other) noexcept
    : socketPath_(std::move(other.socketPath_))
    , timeout_(other.timeout_)
    , fd_(std::exchange(other.fd_, -1))
{
}

CameraClient& CameraClient::operator=(CameraClient&& other) noexcept
{
    if (this != &other) {
        disconnect();
        socketPath_ = std::move(other.socketPath_);
        timeout_ = other.timeout_;
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void CameraClient::disconnect()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void CameraClient::connect()
{
    if (fd_ >= 0)
        return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = socketPath_.string();
    if (path.empty() || path.size() >= sizeof address.sun_path)
        fail(CameraClientError::Code::systemError, "the camera socket path is too long for a socket: " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        fail(CameraClientError::Code::systemError, "cannot make a socket: " + systemText(errno));
    const auto deadline = Clock::now() + timeout_;
    for (;;) {
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            break;
        const int error = errno;
        if (error == EINTR)
            continue;
        if (error == EAGAIN && remainingMilliseconds(deadline) > 0) {
            // The daemon's backlog is full; it drains quickly.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        ::close(fd);
        if (error == ENOENT || error == ECONNREFUSED)
            fail(CameraClientError::Code::notRunning, "the camera daemon is not running (nothing listens on " + path + ")");
        if (error == EAGAIN)
            fail(CameraClientError::Code::timedOut, "the camera daemon did not accept the connection in time");
        fail(CameraClientError::Code::systemError, "cannot connect to " + path + ": " + systemText(error));
    }
    fd_ = fd;
}

std::optional<std::string> CameraClient::exchange(Operation operation, std::uint32_t selector, std::string_view payload)
{
    // Checked before connecting, so an oversized value sends nothing at all.
    const std::string request = PropertyFraming::encodeRequest(operation, selector, payload);
    connect();
    const auto deadline = Clock::now() + timeout_;
    try {
        try {
            writeAll(fd_, request, deadline);
        } catch (const ConnectionLost&) {
            // The daemon may have refused the request before reading all of it: its reason
            // is still waiting in our receive buffer.
            std::optional<Reply> reply;
            try {
                reply = readReply(fd_, operation, selector, std::min(deadline, Clock::now() + std::chrono::milliseconds(200)));
            } catch (...) {
                // No reason to be had: the connection is simply gone.
            }
            if (reply && reply->header.status == ReplyStatus::rejected)
                failRefused(reply->payload);
            throw;
        }
        Reply reply = readReply(fd_, operation, selector, deadline);
        switch (reply.header.status) {
        case ReplyStatus::rejected:
            failRefused(reply.payload);
        case ReplyStatus::noValue:
            return std::nullopt;
        case ReplyStatus::ok:
            break;
        }
        return std::move(reply.payload);
    } catch (const ConnectionLost&) {
        disconnect();
        fail(CameraClientError::Code::connectionLost, "the camera daemon closed the connection");
    } catch (...) {
        disconnect();
        throw;
    }
}

void CameraClient::setProperty(std::uint32_t selector, std::string_view bytes)
{
    exchange(Operation::set, selector, bytes);
}

std::optional<std::string> CameraClient::property(std::uint32_t selector)
{
    return exchange(Operation::get, selector, {});
}

void CameraClient::sendState(const QuellonState& state)
{
    const auto bytes = QuellonCMIOChannel::encodeState(state);
    if (!bytes)
        throw std::invalid_argument("the state cannot be encoded");
    setProperty(QuellonCMIOChannel::stateSelector, *bytes);
}

CameraInfo CameraClient::cameraInfo()
{
    const auto bytes = property(kCameraInfoSelector);
    if (!bytes)
        fail(CameraClientError::Code::protocolError, "the camera daemon does not report what it publishes");
    try {
        return decodeCameraInfo(*bytes);
    } catch (const DecodingError& error) {
        fail(CameraClientError::Code::protocolError, std::string("the camera daemon reported an unreadable description: ") + error.what());
    }
}

// Placeholder until the raw channel lands: every camera is taken to lack it.
bool CameraClient::setRawFrame(const PixelBuffer&)
{
    return false;
}

} // namespace quellon
