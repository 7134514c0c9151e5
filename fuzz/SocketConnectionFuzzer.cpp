// One whole connection to the real camera socket, served by the real router, stream source and
// decoders on an in-memory camera: the input is everything the peer sends before it hangs up.
// The replies must be exactly what the framing promises: one ok or noValue reply per complete
// request, a rejection (and the end) at the first broken header, nothing for a cut-off one.
// Every complete raw frame message goes with one sealed memfd of kRawMemoryBytes: it is answered
// ok when its layout fits that memory, and rejected (the end) otherwise.

#include "CameraPropertyRouter.h"
#include "ExtensionServices.h"
#include "FrameFactory.h"
#include "FrameTimer.h"
#include "FuzzSupport.h"
#include "QuellonExtensionProviderSource.h"
#include "QuellonRenameBridge.h"
#include "backends/InMemoryCameraBackend.h"
#include "channel/PropertyFraming.h"
#include "channel/QuellonCMIOChannel.h"
#include "channel/RawFrameChannel.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/Log.h"
#include "platform/PlatformDirectories.h"
#include "platform/TemporaryDirectory.h"
#include "platform/UserDefaults.h"
#include "state/QuellonStorage.h"
#include "transport/PropertySocketServer.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

using namespace quellon;
using namespace quellon::PropertyFraming;

namespace {

constexpr std::size_t kRawMemoryBytes = 256 * 1024;

class DiscardingLog final : public LogSink {
public:
    void write(LogLevel, std::string_view) override {}
};

/// The daemon as main() assembles it, with an in-memory camera and private storage.
struct Daemon {
    Daemon()
    {
        std::signal(SIGPIPE, SIG_IGN);
        directories.appGroup = directory.path();
        provider = QuellonExtensionProviderSource::create(backend, services);
        router = std::make_unique<CameraPropertyRouter>(provider, [] { return std::string("memory"); });
        server = std::make_unique<PropertySocketServer>(directory.path() / "camera.sock", *router, log);
        server->start();
    }

    TemporaryDirectory directory{"quellon-fuzz-socket"};
    MapEnvironment environment;
    FixedDirectories directories;
    ContainerPlatform platform{environment, directories};
    DiscardingLog log;
    InMemoryUserDefaults defaults;
    PlaybackFrameFactory frames;
    QuellonRenameBridge bridge;
    ExtensionServices services{Clock::system(), log, defaults, platform, frames, FrameTimerFactory::steady(), bridge};
    InMemoryCameraBackend backend;
    std::shared_ptr<QuellonExtensionProviderSource> provider;
    std::unique_ptr<CameraPropertyRouter> router;
    std::unique_ptr<PropertySocketServer> server;
};

int connectTo(const std::filesystem::path& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    fuzz::require(fd >= 0, "a socket can be made");
    // Far beyond any message's 10 s deadline: a server that has not hung up by then never will.
    const timeval timeout{30, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    fuzz::require(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0,
                  "the server accepts connections");
    return fd;
}

struct Expected {
    struct Reply {
        Operation operation;
        std::uint32_t selector;
    };
    std::vector<Reply> replies;
    bool rejectedAtEnd = false;
};

bool isRawFrame(const RequestHeader& request)
{
    return request.operation == Operation::set && request.selector == QuellonCMIOChannel::rawFrameSelector;
}

/// Whether a raw frame's layout is one the camera copies out of kRawMemoryBytes.
bool rawFrameFits(std::string_view layoutBytes)
{
    const auto layout = RawFrameChannel::decodeLayout(layoutBytes);
    if (!layout)
        return false;
    try {
        RawFrameChannel::checkLayout(*layout);
    } catch (const RawFrameError&) {
        return false;
    }
    return RawFrameChannel::byteCount(*layout) <= kRawMemoryBytes;
}

/// The header of the complete, well-formed message at the start of input; nothing when the
/// header is broken or the message cut off.
std::optional<RequestHeader> completeRequest(std::string_view input)
{
    if (input.size() < kRequestHeaderSize)
        return std::nullopt;
    std::array<std::uint8_t, kRequestHeaderSize> header{};
    std::memcpy(header.data(), input.data(), header.size());
    try {
        RequestHeader request = decodeRequestHeader(header);
        if (input.size() - kRequestHeaderSize >= request.length)
            return request;
    } catch (const FramingError&) {
    }
    return std::nullopt;
}

/// Sends bytes, the descriptor (unless -1) with the first of them; false once the server has
/// hung up.
bool sendAll(int fd, std::string_view bytes, int descriptor)
{
    while (!bytes.empty()) {
        iovec data{const_cast<char*>(bytes.data()), bytes.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr message{};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        if (descriptor >= 0) {
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            cmsghdr* entry = CMSG_FIRSTHDR(&message);
            entry->cmsg_level = SOL_SOCKET;
            entry->cmsg_type = SCM_RIGHTS;
            entry->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(entry), &descriptor, sizeof descriptor);
        }
        const ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false; // the server hung up after a rejection
        descriptor = -1;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

/// What the server must answer to these bytes, from the framing alone.
Expected expectedReplies(std::string_view input)
{
    Expected expected;
    while (input.size() >= kRequestHeaderSize) {
        std::array<std::uint8_t, kRequestHeaderSize> header{};
        std::memcpy(header.data(), input.data(), header.size());
        RequestHeader request;
        try {
            request = decodeRequestHeader(header);
        } catch (const FramingError&) {
            expected.rejectedAtEnd = true;
            return expected;
        }
        if (input.size() - kRequestHeaderSize < request.length)
            break;
        if (isRawFrame(request) && !rawFrameFits(input.substr(kRequestHeaderSize, request.length))) {
            expected.rejectedAtEnd = true;
            return expected;
        }
        expected.replies.push_back({request.operation, request.selector});
        input.remove_prefix(kRequestHeaderSize + request.length);
    }
    return expected;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Daemon daemon;
    static const FileDescriptor rawMemory = RawFrameChannel::makeSealedMemory(kRawMemoryBytes);
    const std::string_view input = fuzz::text(data, size);
    const int fd = connectTo(daemon.server->socketPath());
    // Message by message, so each raw frame carries its memory; the rest as it comes.
    std::string_view rest = input;
    bool open = true;
    while (open) {
        const auto request = completeRequest(rest);
        if (!request)
            break;
        const std::size_t length = kRequestHeaderSize + request->length;
        open = sendAll(fd, rest.substr(0, length), isRawFrame(*request) ? rawMemory.get() : -1);
        rest.remove_prefix(length);
    }
    if (open)
        sendAll(fd, rest, -1);
    ::shutdown(fd, SHUT_WR);
    std::string received;
    char buffer[65536];
    ssize_t got;
    // libFuzzer's own timers interrupt calls now and then.
    while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0 || (got < 0 && errno == EINTR))
        if (got > 0)
            received.append(buffer, static_cast<std::size_t>(got));
    if (got < 0 && errno != ECONNRESET)
        std::fprintf(stderr, "recv: %s\n", std::strerror(errno));
    fuzz::require(got == 0 || errno == ECONNRESET, "the server hangs up after the peer does");
    ::close(fd);

    const Expected expected = expectedReplies(input);
    std::string_view replies = received;
    for (const auto& [operation, selector] : expected.replies) {
        fuzz::require(replies.size() >= kReplyHeaderSize, "every complete request is answered");
        std::array<std::uint8_t, kReplyHeaderSize> header{};
        std::memcpy(header.data(), replies.data(), header.size());
        ReplyHeader reply;
        try {
            reply = decodeReplyHeader(header, operation, selector);
        } catch (const FramingError&) {
            fuzz::require(false, "replies follow the framing");
        }
        fuzz::require(reply.status != ReplyStatus::rejected, "a well-formed request is not rejected");
        fuzz::require(replies.size() - kReplyHeaderSize >= reply.length, "a reply carries its whole payload");
        replies.remove_prefix(kReplyHeaderSize + reply.length);
    }
    if (expected.rejectedAtEnd) {
        fuzz::require(replies.size() >= kReplyHeaderSize
                          && replies[1] == static_cast<char>(ReplyStatus::rejected),
                      "a broken header is answered with a rejection");
        std::array<std::uint8_t, kReplyHeaderSize> header{};
        std::memcpy(header.data(), replies.data(), header.size());
        const ReplyHeader reply = decodeReplyHeader(header, Operation::get, 0);
        replies.remove_prefix(kReplyHeaderSize + reply.length);
    }
    fuzz::require(replies.empty(), "nothing follows the last reply");
    return 0;
}
