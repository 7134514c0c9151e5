#include "backends/V4L2Syscalls.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace quellon {

namespace {

class SystemV4L2Syscalls final : public V4L2Syscalls {
public:
    int open(const char* path, int flags) override { return ::open(path, flags); }
    int close(int fd) override { return ::close(fd); }
    int ioctl(int fd, unsigned long request, void* argument) override { return ::ioctl(fd, request, argument); }
    ssize_t write(int fd, const void* data, std::size_t size) override { return ::write(fd, data, size); }
    int poll(pollfd* fds, nfds_t count, int timeoutMilliseconds) override { return ::poll(fds, count, timeoutMilliseconds); }
};

} // namespace

V4L2Syscalls& V4L2Syscalls::system()
{
    static SystemV4L2Syscalls syscalls;
    return syscalls;
}

} // namespace quellon
