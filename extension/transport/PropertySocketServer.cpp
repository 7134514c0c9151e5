#include "transport/PropertySocketServer.h"

#include "channel/PropertyFraming.h"
#include "channel/QuellonCMIOChannel.h"
#include "platform/FileDescriptor.h"
#include "platform/Log.h"
#include "transport/PropertyTarget.h"

#include <asio.hpp>

#include <cerrno>
#include <poll.h>
#include <cstring>
#include <set>
#include <tuple>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quellon {

namespace {

using Protocol = asio::local::stream_protocol;
using PropertyFraming::Operation;
using PropertyFraming::ReplyStatus;

// Payloads are read in slices, so memory follows the bytes that actually arrived rather than
// the length a header claims: the first is small, and each whole slice doubles the next, so a
// sender that trickles holds little while a fast one soon reads a mebibyte at a time.
constexpr std::size_t kFirstReadSlice = 64 * 1024;
constexpr std::size_t kReadSlice = 1024 * 1024;

// Room for a few descriptors per read: one is all a message may carry, the others are taken
// only to be closed. More than this in one go truncates the control data, and the kernel
// closes the rest itself.
constexpr std::size_t kMaxDescriptorsPerRead = 4;

std::string selectorText(std::uint32_t selector)
{
    return "'" + QuellonCMIOChannel::fourCharCodeText(selector) + "'";
}

[[noreturn]] void throwSystemError(int error, const std::string& what)
{
    throw std::system_error(error, std::system_category(), what);
}

// True when some process listens on the socket file at path. Never blocks past deadline: a
// wedged listener with a full backlog counts as alive.
bool socketAnswers(const std::filesystem::path& path, std::chrono::milliseconds deadline)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        throwSystemError(errno, "socket");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.native().size() + 1);
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    int error = result == 0 ? 0 : errno;
    if (error == EINPROGRESS) {
        pollfd pfd{fd, POLLOUT, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(deadline.count()));
        socklen_t size = sizeof error;
        if (ready <= 0)
            error = EAGAIN; // no answer in time: someone holds it, it is not stale
        else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
            error = errno;
    }
    ::close(fd);
    if (error == 0 || error == EAGAIN) // EAGAIN: alive, its backlog is just full
        return true;
    if (error == ECONNREFUSED)
        return false;
    throwSystemError(error, "cannot probe the existing camera socket " + path.string());
}

} // namespace

class PropertySocketServer::Impl {
public:
    class Connection;

    Impl(std::filesystem::path socketPath, PropertyTarget& target, LogSink& log, Limits limits)
        : socketPath(std::move(socketPath))
        , target(target)
        , log(log)
        , limits(limits)
    {
    }

    void start();
    void stop();

    void accept();
    /// Closes the connection that has waited longest for nothing, to let a newcomer in.
    void makeRoom();
    void closeEverything();
    void logInfo(const std::string& message) { log.write(LogLevel::info, message); }
    void logError(const std::string& message) { log.write(LogLevel::error, message); }

    std::filesystem::path socketPath;
    PropertyTarget& target;
    LogSink& log;
    Limits limits;
    uid_t ownUID = ::geteuid();
    /// Payload bytes reserved by all connections; on the I/O thread only.
    std::size_t bufferedBytes = 0;

    // Declared first so it outlives every socket and timer below.
    asio::io_context io;
    std::optional<Protocol::acceptor> acceptor;
    std::optional<asio::steady_timer> acceptRetry;
    std::set<std::shared_ptr<Connection>> connections;
    std::thread thread;
    bool bound = false;
    dev_t boundDevice = 0;
    ino_t boundInode = 0;
};

/// One peer. Owned by the server's set while open; handlers in flight keep it alive until
/// they have run, and do nothing once it is closed.
class PropertySocketServer::Impl::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(Impl& server, Protocol::socket socket)
        : server_(server)
        , socket_(std::move(socket))
        , deadline_(server.io)
    {
    }

    void begin() { awaitMessage(); }

    void close()
    {
        if (closed_)
            return;
        closed_ = true;
        releasePayload();
        descriptor_.reset();
        deadline_.cancel();
        std::error_code ignored;
        socket_.shutdown(Protocol::socket::shutdown_both, ignored);
        socket_.close(ignored);
        server_.connections.erase(shared_from_this());
    }

    using Clock = std::chrono::steady_clock;

    /// Which goes first to make room: idle before busy, silent before talkative, then the one
    /// waiting longest (for its next message, or on its current one).
    bool evictsBefore(const Connection& other) const
    {
        return std::tuple(inMessage_, everSent_, since_) < std::tuple(other.inMessage_, other.everSent_, other.since_);
    }
    void evict(std::size_t open)
    {
        const std::string reason = "making room for a new connection, " + std::to_string(open) + " open";
        if (inMessage_)
            return drop("message not completed, " + reason);
        server_.logInfo("Quellon: camera socket closed an idle connection, " + reason);
        close();
    }

private:
    // Idle between messages until the idle deadline; the message clock starts with the first
    // byte of a message.
    void awaitMessage()
    {
        since_ = Clock::now();
        armDeadline(server_.limits.idleTimeout, false);
        receive(header_.data(), 1, [self = shared_from_this()](std::error_code error) {
            if (error) {
                // The peer left between messages: the normal way to go.
                if (error != asio::error::eof && error != asio::error::connection_reset)
                    self->drop("read failed: " + error.message());
                else
                    self->close();
                return;
            }
            self->inMessage_ = true;
            self->everSent_ = true;
            self->since_ = Clock::now();
            self->armDeadline(self->server_.limits.messageTimeout, true);
            self->readRestOfHeader();
        });
    }

    void armDeadline(std::chrono::milliseconds timeout, bool forMessage)
    {
        // A timer that expired just as its phase ended may still be queued: it must not hit
        // the next one.
        const std::uint64_t phase = ++phase_;
        deadline_.expires_after(timeout);
        deadline_.async_wait([weak = weak_from_this(), phase, forMessage, timeout](std::error_code error) {
            auto self = weak.lock();
            if (error || !self || self->closed_ || self->phase_ != phase)
                return;
            if (forMessage)
                return self->drop("message not completed within " + std::to_string(timeout.count()) + " ms");
            self->server_.logInfo("Quellon: camera socket closed a connection idle for " + std::to_string(timeout.count()) + " ms");
            self->close();
        });
    }

    void readRestOfHeader()
    {
        receive(header_.data() + 1, header_.size() - 1, [self = shared_from_this()](std::error_code error) {
            if (error)
                return self->drop("truncated message header (" + error.message() + ")");
            self->onHeader();
        });
    }

    void onHeader()
    {
        try {
            request_ = PropertyFraming::decodeRequestHeader(header_);
        } catch (const FramingError& error) {
            return reject(error.what());
        }
        payload_.clear();
        nextSlice_ = kFirstReadSlice;
        readPayload();
    }

    void releasePayload()
    {
        server_.bufferedBytes -= reserved_;
        reserved_ = 0;
    }

    void readPayload()
    {
        if (payload_.size() == request_.length)
            return handle();
        const std::size_t already = payload_.size();
        const std::size_t slice = std::min<std::size_t>(nextSlice_, request_.length - already);
        nextSlice_ = std::min(nextSlice_ * 2, kReadSlice);
        // Taken from the budget before the slice is allocated, so memory never follows a crowd
        // of connections each within its own cap.
        const std::size_t budget = server_.limits.maxBufferedBytes;
        if (slice > budget - server_.bufferedBytes)
            return reject("the camera is holding " + std::to_string(server_.bufferedBytes) + " bytes of other messages; "
                          + std::to_string(slice) + " more would exceed " + std::to_string(budget));
        reserved_ += slice;
        server_.bufferedBytes += slice;
        payload_.resize(already + slice);
        receive(reinterpret_cast<std::uint8_t*>(payload_.data() + already), slice,
                [self = shared_from_this()](std::error_code error) {
                    if (error)
                        return self->drop("truncated value for " + selectorText(self->request_.selector) + " ("
                                          + error.message() + ")");
                    self->readPayload();
                });
    }

    void handle()
    {
        // Handed over (or dropped) below; the target's own copy is its own bound.
        releasePayload();
        const std::uint32_t selector = request_.selector;
        const bool rawFrame = selector == QuellonCMIOChannel::rawFrameSelector && request_.operation == Operation::set;
        if (rawFrame)
            return handleRawFrame();
        if (descriptor_.isValid())
            return reject("a descriptor came with " + selectorText(selector) + ", which takes none");
        if (request_.operation == Operation::set) {
            try {
                server_.target.setProperty(selector, std::move(payload_));
            } catch (const std::exception& error) {
                server_.logError("Quellon: camera socket: setting " + selectorText(selector) + " failed: " + error.what());
            }
            payload_ = {};
            return sendReply(PropertyFraming::encodeReply(ReplyStatus::ok));
        }
        std::optional<std::string> value;
        try {
            value = server_.target.property(selector);
        } catch (const std::exception& error) {
            server_.logError("Quellon: camera socket: reading " + selectorText(selector) + " failed: " + error.what());
        }
        if (value && value->size() > PropertyFraming::payloadCap(selector)) {
            server_.logError("Quellon: camera socket: value of " + selectorText(selector) + " is " + std::to_string(value->size())
                             + " bytes, over its cap; not sent");
            value.reset();
        }
        sendReply(value ? PropertyFraming::encodeReply(ReplyStatus::ok, *value) : PropertyFraming::encodeReply(ReplyStatus::noValue));
    }

    // Copied by the target, and its descriptor closed, before the answer goes out: once the
    // host has it, the camera holds nothing of its memory and the host may write it again.
    void handleRawFrame()
    {
        if (!descriptor_.isValid())
            return reject("a raw frame came without the descriptor of its memory");
        std::optional<std::string> refusal;
        try {
            server_.target.setRawFrame(descriptor_.get(), payload_);
        } catch (const RawFrameError& error) {
            refusal = error.what();
        } catch (const std::exception& error) {
            refusal = std::string("the camera could not take a raw frame: ") + error.what();
        }
        descriptor_.reset();
        payload_ = {};
        if (refusal)
            return reject(*refusal);
        sendReply(PropertyFraming::encodeReply(ReplyStatus::ok));
    }

    // Reads exactly size bytes with recvmsg: a plain read would make the kernel drop any
    // descriptor passed beside them. done(error) runs once, unless the connection closes first.
    template <class Done>
    void receive(std::uint8_t* data, std::size_t size, Done done)
    {
        while (size > 0) {
            iovec bytes{data, size};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxDescriptorsPerRead)];
            msghdr message{};
            message.msg_iov = &bytes;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            const ssize_t got = ::recvmsg(socket_.native_handle(), &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                socket_.async_wait(Protocol::socket::wait_read,
                                   [self = shared_from_this(), data, size, done = std::move(done)](std::error_code error) mutable {
                                       if (self->closed_)
                                           return;
                                       if (error)
                                           return done(error);
                                       self->receive(data, size, std::move(done));
                                   });
                return;
            }
            if (got < 0)
                return done(std::error_code(errno, std::system_category()));
            // Before anything else: descriptors must be closed even when this read ends the
            // connection.
            if (!takeDescriptors(message))
                return;
            if (got == 0)
                return done(asio::error::eof);
            data += got;
            size -= static_cast<std::size_t>(got);
        }
        done(std::error_code());
    }

    // Keeps at most one descriptor, the one a raw frame carries; closes every other and drops
    // a peer that sends more. False when the connection is gone.
    bool takeDescriptors(msghdr& message)
    {
        std::vector<FileDescriptor> received;
        for (cmsghdr* entry = CMSG_FIRSTHDR(&message); entry; entry = CMSG_NXTHDR(&message, entry)) {
            if (entry->cmsg_level != SOL_SOCKET || entry->cmsg_type != SCM_RIGHTS)
                continue;
            const std::size_t count = (entry->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int fd = -1;
                std::memcpy(&fd, CMSG_DATA(entry) + i * sizeof(int), sizeof fd);
                received.emplace_back(fd);
            }
        }
        // Unwanted descriptors are closed before the peer can see the hang-up.
        if (message.msg_flags & MSG_CTRUNC) {
            received.clear();
            drop("more descriptors than a message may carry");
            return false;
        }
        const std::size_t count = received.size() + (descriptor_.isValid() ? 1 : 0);
        if (count > 1) {
            received.clear();
            drop(std::to_string(count) + " descriptors with one message");
            return false;
        }
        if (!received.empty())
            descriptor_ = std::move(received.front());
        return true;
    }

    void sendReply(std::string reply)
    {
        reply_ = std::move(reply);
        asio::async_write(socket_, asio::buffer(reply_), [self = shared_from_this()](std::error_code error, std::size_t) {
            if (self->closed_)
                return;
            if (error)
                return self->drop("reply not delivered (" + error.message() + ")");
            self->inMessage_ = false;
            self->reply_ = {};
            self->awaitMessage();
        });
    }

    // The stream cannot be trusted after a bad header: say why, then hang up without reading
    // another byte.
    void reject(const std::string& reason)
    {
        server_.logError("Quellon: camera socket dropped a connection: " + reason);
        reply_ = PropertyFraming::encodeReply(ReplyStatus::rejected, reason.substr(0, PropertyFraming::kMaxRejectionBytes));
        asio::async_write(socket_, asio::buffer(reply_), [self = shared_from_this()](std::error_code, std::size_t) {
            self->close();
        });
    }

    void drop(const std::string& reason)
    {
        server_.logError("Quellon: camera socket dropped a connection: " + reason);
        close();
    }

    Impl& server_;
    Protocol::socket socket_;
    asio::steady_timer deadline_;
    std::array<std::uint8_t, PropertyFraming::kRequestHeaderSize> header_{};
    PropertyFraming::RequestHeader request_;
    std::string payload_;
    std::string reply_;
    /// The one descriptor the message in progress brought, if any.
    FileDescriptor descriptor_;
    std::uint64_t phase_ = 0;
    std::size_t reserved_ = 0;
    std::size_t nextSlice_ = kFirstReadSlice;
    /// When the current message began, or the wait for the next one.
    Clock::time_point since_ = Clock::now();
    bool inMessage_ = false;
    bool everSent_ = false;
    bool closed_ = false;
};

void PropertySocketServer::Impl::start()
{
    if (thread.joinable())
        return;
    const std::string path = socketPath.string();
    if (path.empty() || path.size() >= sizeof(sockaddr_un{}.sun_path))
        throwSystemError(ENAMETOOLONG, "camera socket path does not fit a Unix socket address: " + path);

    std::error_code error;
    if (socketPath.has_parent_path())
        std::filesystem::create_directories(socketPath.parent_path(), error);
    const auto status = std::filesystem::symlink_status(socketPath, error);
    if (std::filesystem::exists(status)) {
        if (!std::filesystem::is_socket(status))
            throwSystemError(EEXIST, path + " exists and is not a socket; not replacing it");
        if (socketAnswers(socketPath, limits.staleProbeTimeout))
            throwSystemError(EADDRINUSE, "another camera daemon is listening on " + path);
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            throwSystemError(errno, "cannot remove the stale camera socket " + path);
        logInfo("Quellon: replaced a stale camera socket at " + path);
    }

    io.restart();
    acceptor.emplace(io);
    acceptRetry.emplace(io);
    try {
        acceptor->open(Protocol());
        // Mode before bind: the file never exists with wider permissions, whatever the umask.
        if (::fchmod(acceptor->native_handle(), S_IRUSR | S_IWUSR) != 0)
            throwSystemError(errno, "fchmod");
        acceptor->bind(Protocol::endpoint(path));
    } catch (...) {
        acceptor.reset();
        throw;
    }
    bound = true;
    struct stat info{};
    if (::chmod(path.c_str(), S_IRUSR | S_IWUSR) != 0 || ::stat(path.c_str(), &info) != 0) {
        const int failure = errno;
        stop();
        throwSystemError(failure, "cannot restrict the camera socket " + path);
    }
    boundDevice = info.st_dev;
    boundInode = info.st_ino;
    acceptor->listen(static_cast<int>(limits.maxConnections));

    accept();
    thread = std::thread([this] {
        for (;;) {
            try {
                io.run();
                return;
            } catch (const std::exception& failure) {
                logError(std::string("Quellon: camera socket I/O error: ") + failure.what());
            }
        }
    });
    logInfo("Quellon: camera socket listening on " + path);
}

void PropertySocketServer::Impl::accept()
{
    acceptor->async_accept([this](std::error_code error, Protocol::socket socket) {
        if (error == asio::error::operation_aborted || !acceptor || !acceptor->is_open())
            return;
        if (error) {
            // Out of descriptors or similar: breathe, then try again rather than spin.
            logError("Quellon: camera socket accept failed: " + error.message());
            acceptRetry->expires_after(std::chrono::milliseconds(100));
            acceptRetry->async_wait([this](std::error_code waitError) {
                if (!waitError && acceptor && acceptor->is_open())
                    accept();
            });
            return;
        }
        ucred peer{};
        socklen_t size = sizeof peer;
        std::error_code ignored;
        if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
            logError(std::string("Quellon: camera socket cannot identify a peer: ") + std::strerror(errno));
            socket.close(ignored);
        } else if (peer.uid != ownUID) {
            logError("Quellon: camera socket refused a connection from uid " + std::to_string(peer.uid));
            socket.close(ignored);
        } else {
            if (connections.size() >= limits.maxConnections)
                makeRoom();
            auto connection = std::make_shared<Connection>(*this, std::move(socket));
            connections.insert(connection);
            connection->begin();
        }
        accept();
    });
}

void PropertySocketServer::Impl::makeRoom()
{
    std::shared_ptr<Connection> victim;
    for (const auto& connection : connections)
        if (!victim || connection->evictsBefore(*victim))
            victim = connection;
    if (victim)
        victim->evict(connections.size());
}

void PropertySocketServer::Impl::closeEverything()
{
    std::error_code ignored;
    if (acceptor)
        acceptor->close(ignored);
    if (acceptRetry)
        acceptRetry->cancel();
    // close() erases from the set, so walk a copy.
    const auto open = connections;
    for (const auto& connection : open)
        connection->close();
    connections.clear();
}

void PropertySocketServer::Impl::stop()
{
    if (thread.joinable()) {
        asio::post(io, [this] { closeEverything(); });
        thread.join();
    } else {
        closeEverything();
    }
    // Handlers that never got to run still hold connections; release them now.
    io.restart();
    io.poll();
    acceptor.reset();
    acceptRetry.reset();
    if (bound) {
        bound = false;
        struct stat info{};
        if (::stat(socketPath.c_str(), &info) == 0 && info.st_dev == boundDevice && info.st_ino == boundInode)
            ::unlink(socketPath.c_str());
    }
}

PropertySocketServer::PropertySocketServer(std::filesystem::path socketPath, PropertyTarget& target, LogSink& log)
    : PropertySocketServer(std::move(socketPath), target, log, Limits{})
{
}

PropertySocketServer::PropertySocketServer(std::filesystem::path socketPath, PropertyTarget& target, LogSink& log, Limits limits)
    : impl_(std::make_unique<Impl>(std::move(socketPath), target, log, limits))
{
}

PropertySocketServer::~PropertySocketServer()
{
    stop();
}

void PropertySocketServer::start()
{
    impl_->start();
}

void PropertySocketServer::stop()
{
    impl_->stop();
}

const std::filesystem::path& PropertySocketServer::socketPath() const
{
    return impl_->socketPath;
}

} // namespace quellon
