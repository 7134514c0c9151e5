#include "backends/Y4MFifoBackend.h"

#include "platform/Log.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quellon {

namespace {

constexpr auto kReaderPollInterval = std::chrono::milliseconds(25);
constexpr int kWritePollMilliseconds = 50;

std::string errorText(int error)
{
    return std::strerror(error);
}

/// A stop for every client counted, then none.
void stopClients(const std::weak_ptr<CameraStreamHandler>& handler, int& clients)
{
    auto strong = handler.lock();
    for (; clients > 0; --clients)
        if (strong)
            strong->stopStream();
    clients = 0;
}

} // namespace

class Y4MStream final : public CameraStream {
public:
    Y4MStream(StreamIdentity identity, std::weak_ptr<CameraStreamHandler> handler)
        : identity_(std::move(identity)), handler_(std::move(handler)) {}

    const StreamIdentity& identity() const override { return identity_; }

    void send(const PixelBufferRef& frame, std::uint64_t) override
    {
        {
            std::lock_guard lock(mutex_);
            pending_ = frame;
        }
        wake_.notify_one();
    }

    void setFrameRate(int fps) override { fps_ = fps; }

    /// Serves readers until stop(); runs on the device's writer thread.
    void run(const std::filesystem::path& path, LogSink& log);
    void stop()
    {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
    }
    /// Makes a stopped stream ready to serve again: a device removed and added back.
    void rearm()
    {
        std::lock_guard lock(mutex_);
        stopping_ = false;
        pending_.reset();
    }

private:
    enum class WriteResult { written, readerGone, stopped };
    WriteResult writeAll(int fd, const std::uint8_t* data, std::size_t size);
    bool stopping()
    {
        std::lock_guard lock(mutex_);
        return stopping_;
    }

    StreamIdentity identity_;
    std::weak_ptr<CameraStreamHandler> handler_;
    std::mutex mutex_;
    std::condition_variable wake_;
    PixelBufferRef pending_;
    bool stopping_ = false;
    std::atomic<int> fps_{30};
};

Y4MStream::WriteResult Y4MStream::writeAll(int fd, const std::uint8_t* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written > 0) {
            data += written;
            size -= static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno != EAGAIN)
            return WriteResult::readerGone;
        // Full pipe: wait for room in short slices so a stop is never held up by the reader.
        pollfd pfd{fd, POLLOUT, 0};
        if (::poll(&pfd, 1, kWritePollMilliseconds) > 0 && (pfd.revents & (POLLERR | POLLHUP)))
            return WriteResult::readerGone;
        if (stopping())
            return WriteResult::stopped;
    }
    return WriteResult::written;
}

namespace {

/// Puts a fresh FIFO at path. A FIFO's readers share one pipe, and whatever a reader left
/// unread stays in it; so once a reader has the FIFO, the path is given a new one and that
/// reader keeps its pipe to itself: the next reader starts on an empty pipe, with the header.
bool replaceFifo(const std::filesystem::path& path)
{
    const std::string next = path.string() + ".next";
    ::unlink(next.c_str());
    if (::mkfifo(next.c_str(), 0600) != 0)
        return false;
    ::chmod(next.c_str(), 0600);
    if (::rename(next.c_str(), path.c_str()) != 0) {
        ::unlink(next.c_str());
        return false;
    }
    return true;
}

} // namespace

void Y4MStream::run(const std::filesystem::path& path, LogSink& log)
{
    // A reader leaving makes the next write fail with EPIPE; the signal that comes with it is
    // kept off this thread and cleared below.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

    struct Reader {
        int fd;
        bool headerPending;
    };
    FrameConverter converter({1280, 720, OutputPixelFormat::i420});
    std::vector<Reader> readers;
    int clients = 0;
    bool openErrorLogged = false;
    // Whether the FIFO can be renewed; without that, readers share it and are served one at
    // a time, as an open would otherwise find the pipe already served again.
    bool renewable = true;
    while (!stopping()) {
        // Every reader waiting now gets a pipe of its own.
        while (renewable || readers.empty()) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) {
                // ENXIO: no reader waiting. Anything else is logged once until an open succeeds.
                if (errno != ENXIO && !openErrorLogged) {
                    openErrorLogged = true;
                    log.write(LogLevel::error, "Quellon: camera sink " + path.string() + ": " + errorText(errno));
                }
                break;
            }
            openErrorLogged = false;
            if (renewable && !replaceFifo(path)) {
                renewable = false;
                log.write(LogLevel::error, "Quellon: cannot renew the FIFO " + path.string() + " (" + errorText(errno)
                                               + "); its readers are served one at a time and share its pipe");
            }
            readers.push_back({fd, true});
            ++clients;
            if (auto handler = handler_.lock())
                handler->startStream();
        }

        PixelBufferRef frame;
        {
            std::unique_lock lock(mutex_);
            wake_.wait_for(lock, kReaderPollInterval, [&] { return stopping_ || pending_; });
            if (stopping_)
                break;
            frame = std::move(pending_);
        }
        if (!frame || readers.empty())
            continue;
        const std::vector<std::uint8_t>* bytes = converter.convert(frame);
        if (!bytes)
            continue;
        // Readers are served in turn, each with whole frames: a slow one sets the pace.
        for (auto reader = readers.begin(); reader != readers.end();) {
            std::string header;
            if (reader->headerPending)
                header = "YUV4MPEG2 W1280 H720 F" + std::to_string(fps_.load())
                    + ":1 Ip A1:1 C420jpeg XYSCSS=420JPEG XCOLORRANGE=LIMITED\n";
            header += "FRAME\n";
            WriteResult result = writeAll(reader->fd, reinterpret_cast<const std::uint8_t*>(header.data()), header.size());
            if (result == WriteResult::written)
                result = writeAll(reader->fd, bytes->data(), bytes->size());
            if (result == WriteResult::stopped)
                break;
            if (result == WriteResult::written) {
                reader->headerPending = false;
                ++reader;
                continue;
            }
            // Gone: its pipe goes with our end, and nobody else can reach it.
            ::close(reader->fd);
            reader = readers.erase(reader);
            const timespec zero{0, 0};
            while (sigtimedwait(&pipeSignal, nullptr, &zero) > 0) {
            }
            if (clients > 0) {
                --clients;
                if (auto handler = handler_.lock())
                    handler->stopStream();
            }
        }
    }
    for (const Reader& reader : readers)
        ::close(reader.fd);
    stopClients(handler_, clients);
}

class Y4MFifoBackend::Device final : public CameraDevice {
public:
    explicit Device(DeviceIdentity identity) : identity_(std::move(identity)) {}
    ~Device() override { stop(); }

    const DeviceIdentity& identity() const override { return identity_; }

    std::shared_ptr<CameraStream> makeStream(StreamIdentity identity, std::weak_ptr<CameraStreamHandler> handler) override
    {
        return std::make_shared<Y4MStream>(std::move(identity), std::move(handler));
    }

    void addStream(const std::shared_ptr<CameraStream>& stream) override
    {
        auto ours = ownedByThisBackend<Y4MStream>(stream, "stream");
        std::lock_guard lock(mutex_);
        if (stream_)
            throw CameraBackendError("The device already has a stream.");
        stream_ = ours;
    }

    void start(const std::filesystem::path& path, LogSink& log)
    {
        std::lock_guard lock(mutex_);
        if (!stream_ || writer_.joinable())
            return;
        auto stream = stream_;
        stream->rearm();
        writer_ = std::thread([stream, path, &log] { stream->run(path, log); });
    }

    void stop()
    {
        std::thread writer;
        std::shared_ptr<Y4MStream> stream;
        {
            std::lock_guard lock(mutex_);
            writer = std::move(writer_);
            stream = stream_;
        }
        if (!writer.joinable())
            return;
        stream->stop();
        writer.join();
    }

private:
    DeviceIdentity identity_;
    std::mutex mutex_;
    std::shared_ptr<Y4MStream> stream_;
    std::thread writer_;
};

Y4MFifoBackend::Y4MFifoBackend(std::filesystem::path path, LogSink& log) : path_(std::move(path)), log_(log) {}

Y4MFifoBackend::~Y4MFifoBackend()
{
    std::shared_ptr<Device> device;
    {
        std::lock_guard lock(mutex_);
        device = std::move(published_);
    }
    if (device)
        device->stop();
    if (createdFifo_) {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
}

std::shared_ptr<CameraDevice> Y4MFifoBackend::makeDevice(DeviceIdentity identity)
{
    return std::make_shared<Device>(std::move(identity));
}

void Y4MFifoBackend::preparePath()
{
    struct stat info {};
    if (::lstat(path_.c_str(), &info) == 0) {
        if (S_ISFIFO(info.st_mode)) {
            if (::chmod(path_.c_str(), 0600) != 0)
                throw CameraBackendError(path_.string() + ": " + errorText(errno));
            // Someone else's FIFO (another daemon's, or one the user made): used, never removed.
            return;
        }
        // A typo must never turn a file into an endless stream: only FIFOs are written.
        const char* what = S_ISREG(info.st_mode) ? "a regular file"
            : S_ISDIR(info.st_mode)              ? "a directory"
            : S_ISLNK(info.st_mode)              ? "a symbolic link"
            : S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode) ? "a device"
                                                             : "not a FIFO";
        throw CameraBackendError(path_.string() + " is " + what
                                 + "; the Y4M camera writes only into a FIFO, or a path that does not exist yet (made a FIFO).");
    }
    if (errno != ENOENT)
        throw CameraBackendError(path_.string() + ": " + errorText(errno));
    if (::mkfifo(path_.c_str(), 0600) != 0)
        throw CameraBackendError("Cannot create the FIFO " + path_.string() + ": " + errorText(errno));
    // mkfifo honours the umask, which can only remove bits; make the mode exact anyway.
    ::chmod(path_.c_str(), 0600);
    createdFifo_ = true;
}

void Y4MFifoBackend::addDevice(const std::shared_ptr<CameraDevice>& device)
{
    auto ours = ownedByThisBackend<Device>(device, "device");
    std::lock_guard lock(mutex_);
    if (published_)
        throw CameraBackendError("The Y4M camera publishes one device at a time.");
    preparePath();
    ours->start(path_, log_);
    published_ = ours;
}

void Y4MFifoBackend::removeDevice(const std::shared_ptr<CameraDevice>& device)
{
    std::shared_ptr<Device> removed;
    {
        std::lock_guard lock(mutex_);
        if (!published_ || published_ != device)
            throw CameraBackendError("The device is not published.");
        removed = std::move(published_);
    }
    removed->stop();
}

} // namespace quellon
