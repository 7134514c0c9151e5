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

} // namespace

ProcDeviceOpeners::ProcDeviceOpeners(std::filesystem::path procRoot, pid_t self)
    : processes_(std::move(procRoot)), self_(self)
{
}

int ProcDeviceOpeners::countOthers(const std::string& node)
{
    const auto holders = processes_.holders(node);
    return static_cast<int>(std::count_if(holders.begin(), holders.end(), [&](pid_t pid) { return pid != self_; }));
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
