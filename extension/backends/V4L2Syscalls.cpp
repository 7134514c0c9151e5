#include "backends/V4L2Syscalls.h"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
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

    std::vector<std::string> videoNodes() override
    {
        std::vector<std::pair<long, std::string>> found;
        std::error_code error;
        for (std::filesystem::directory_iterator entry("/dev", error), end; !error && entry != end; entry.increment(error)) {
            const std::string name = entry->path().filename().string();
            if (name.size() <= 5 || !name.starts_with("video")
                || name.find_first_not_of("0123456789", 5) != std::string::npos)
                continue;
            found.emplace_back(std::stol(name.substr(5)), entry->path().string());
        }
        std::sort(found.begin(), found.end());
        std::vector<std::string> nodes;
        for (auto& [number, path] : found)
            nodes.push_back(std::move(path));
        return nodes;
    }
};

} // namespace

V4L2Syscalls& V4L2Syscalls::system()
{
    static SystemV4L2Syscalls syscalls;
    return syscalls;
}

} // namespace quellon
