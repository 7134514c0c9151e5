#include "channel/CameraClient.h"

#include "channel/CameraInfo.h"
#include "channel/PropertyFraming.h"
#include "channel/QuellonCMIOChannel.h"
#include "channel/RawFrameChannel.h"
#include "playback/PixelBuffer.h"
#include "state/JSONCoding.h"
#include "state/UnicodeText.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <system_error>
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

// Sends bytes; a descriptor (when not -1) travels with the first of them that leave.
ssize_t sendSome(int fd, std::string_view bytes, int descriptor)
{
    if (descriptor < 0)
        return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    iovec data{const_cast<char*>(bytes.data()), bytes.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* entry = CMSG_FIRSTHDR(&message);
    entry->cmsg_level = SOL_SOCKET;
    entry->cmsg_type = SCM_RIGHTS;
    entry->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(entry), &descriptor, sizeof descriptor);
    return ::sendmsg(fd, &message, MSG_NOSIGNAL);
}

void writeAll(int fd, std::string_view bytes, Clock::time_point deadline, int descriptor = -1)
{
    while (!bytes.empty()) {
        const ssize_t sent = sendSome(fd, bytes, descriptor);
        if (sent > 0) {
            descriptor = -1;
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
    , rawChannel_(std::exchange(other.rawChannel_, std::nullopt))
    , rawMemory_(std::move(other.rawMemory_))
    , rawMemoryBytes_(std::exchange(other.rawMemoryBytes_, 0))
{
}

CameraClient& CameraClient::operator=(CameraClient&& other) noexcept
{
    if (this != &other) {
        disconnect();
        socketPath_ = std::move(other.socketPath_);
        timeout_ = other.timeout_;
        fd_ = std::exchange(other.fd_, -1);
        rawChannel_ = std::exchange(other.rawChannel_, std::nullopt);
        rawMemory_ = std::move(other.rawMemory_);
        rawMemoryBytes_ = std::exchange(other.rawMemoryBytes_, 0);
    }
    return *this;
}

void CameraClient::disconnect()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    // The next connection may reach another daemon.
    rawChannel_.reset();
}

void CameraClient::connect()
{
    if (fd_ >= 0) {
        // Between calls nothing is owed to us: anything readable is the daemon's hang-up (it
        // closes connections idle for too long), so this call starts on a new connection.
        pollfd pfd{fd_, POLLIN, 0};
        if (::poll(&pfd, 1, 0) == 0)
            return;
        disconnect();
    }
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

std::optional<std::string> CameraClient::exchange(Operation operation, std::uint32_t selector, std::string_view payload,
                                                  int descriptor)
{
    // Checked before connecting, so an oversized value sends nothing at all.
    const std::string request = PropertyFraming::encodeRequest(operation, selector, payload);
    connect();
    const auto deadline = Clock::now() + timeout_;
    try {
        try {
            writeAll(fd_, request, deadline, descriptor);
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

bool CameraClient::setRawFrame(const PixelBuffer& frame)
{
    if (!frame.isBGRA())
        throw std::invalid_argument("raw frames are BGRA");
    const RawFrameLayout layout = RawFrameChannel::layoutOf(frame);
    try {
        RawFrameChannel::checkLayout(layout);
    } catch (const RawFrameError& error) {
        throw FramingError(error.what());
    }
    connect();
    // A camera without the channel has no value for its selector.
    if (!rawChannel_)
        rawChannel_ = property(QuellonCMIOChannel::rawFrameSelector).has_value();
    if (!*rawChannel_)
        return false;

    const std::size_t bytes = RawFrameChannel::byteCount(layout);
    try {
        if (!rawMemory_.isValid() || rawMemoryBytes_ != bytes) {
            rawMemory_.reset();
            rawMemory_ = RawFrameChannel::makeSealedMemory(bytes);
            rawMemoryBytes_ = bytes;
        }
        RawFrameChannel::writeFrame(rawMemory_.get(), frame);
    } catch (const std::system_error& error) {
        rawMemory_.reset();
        fail(CameraClientError::Code::systemError, std::string("cannot prepare a raw frame: ") + error.what());
    }
    exchange(Operation::set, QuellonCMIOChannel::rawFrameSelector, RawFrameChannel::encodeLayout(layout), rawMemory_.get());
    return true;
}

} // namespace quellon
