#include "host/DirectoryWatch.h"

#include "menubar/MainLoop.h"

#include <cerrno>
#include <poll.h>
#include <sys/inotify.h>
#include <system_error>
#include <unistd.h>

namespace quellon::host {

DirectoryWatch::DirectoryWatch(MainLoop& loop, const std::filesystem::path& directory, std::set<std::string> names,
                               std::function<void()> onChange)
    : loop_(loop), names_(std::move(names)), onChange_(std::move(onChange))
{
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0)
        throw std::system_error(errno, std::generic_category(), "inotify");
    if (::inotify_add_watch(fd_, directory.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE)
        < 0) {
        const int error = errno;
        ::close(fd_);
        throw std::system_error(error, std::generic_category(), "cannot watch " + directory.string());
    }
    watch_ = loop_.addWatch([this] { return MainLoop::Wait{fd_, POLLIN, -1}; }, [this] { drain(); });
}

DirectoryWatch::~DirectoryWatch()
{
    loop_.removeWatch(watch_);
    ::close(fd_);
}

void DirectoryWatch::drain()
{
    alignas(inotify_event) char buffer[4096];
    bool touched = false;
    for (;;) {
        const ssize_t length = ::read(fd_, buffer, sizeof buffer);
        if (length <= 0)
            break;
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            if (event->len > 0 && names_.count(event->name) > 0)
                touched = true;
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    if (touched)
        onChange_();
}

} // namespace quellon::host
