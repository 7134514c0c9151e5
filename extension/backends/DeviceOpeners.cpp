#include "backends/DeviceOpeners.h"

#include <algorithm>
#include <array>
#include <poll.h>
#include <sys/inotify.h>
#include <thread>
#include <unistd.h>

namespace quellon {

namespace {

class InotifyWatch final : public DeviceOpeners::Watch {
public:
    explicit InotifyWatch(const std::string& node)
    {
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ >= 0 && ::inotify_add_watch(fd_, node.c_str(), IN_OPEN | IN_CLOSE) < 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~InotifyWatch() override
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    InotifyWatch(const InotifyWatch&) = delete;
    InotifyWatch& operator=(const InotifyWatch&) = delete;

    bool wait(std::chrono::milliseconds timeout) override
    {
        if (fd_ < 0) {
            std::this_thread::sleep_for(timeout);
            return false;
        }
        pollfd pfd{fd_, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0)
            return false;
        // The events themselves do not matter, only that there were some: drain them all.
        alignas(inotify_event) std::array<char, 4096> buffer;
        while (::read(fd_, buffer.data(), buffer.size()) > 0) {
        }
        return true;
    }

private:
    int fd_ = -1;
};

bool allDigits(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

ProcDeviceOpeners::ProcDeviceOpeners(std::filesystem::path procRoot, pid_t self)
    : procRoot_(std::move(procRoot)), self_(std::to_string(self))
{
}

int ProcDeviceOpeners::countOthers(const std::string& node)
{
    namespace fs = std::filesystem;
    int count = 0;
    std::error_code error;
    // Processes come and go while we look: every error just skips that entry.
    for (fs::directory_iterator process(procRoot_, error), end; !error && process != end; process.increment(error)) {
        const std::string pid = process->path().filename().string();
        if (!allDigits(pid) || pid == self_)
            continue;
        std::error_code fdError;
        for (fs::directory_iterator fd(process->path() / "fd", fdError); !fdError && fd != end; fd.increment(fdError)) {
            std::error_code linkError;
            if (fs::read_symlink(fd->path(), linkError) == node && !linkError) {
                ++count;
                break;
            }
        }
    }
    return count;
}

std::unique_ptr<DeviceOpeners::Watch> ProcDeviceOpeners::watch(const std::string& node)
{
    return std::make_unique<InotifyWatch>(node);
}

DeviceOpeners& DeviceOpeners::system()
{
    static ProcDeviceOpeners openers;
    return openers;
}

} // namespace quellon
