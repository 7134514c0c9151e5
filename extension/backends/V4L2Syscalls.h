#pragma once

#include <cstddef>
#include <cstdint>
#include <poll.h>
#include <string>
#include <vector>
#include <sys/types.h>

namespace quellon {

/// The system calls the v4l2loopback camera makes, behind an interface so that the exact
/// sequence can be tested against a fake device layer (the kernel module cannot be loaded on
/// build machines). Each returns what the system call returns and sets errno on failure.
class V4L2Syscalls {
public:
    virtual ~V4L2Syscalls() = default;
    virtual int open(const char* path, int flags) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
    virtual ssize_t write(int fd, const void* data, std::size_t size) = 0;
    virtual int poll(pollfd* fds, nfds_t count, int timeoutMilliseconds) = 0;
    /// The video nodes there are ("/dev/videoN"), lowest number first.
    virtual std::vector<std::string> videoNodes() = 0;

    /// The real calls.
    static V4L2Syscalls& system();
};

/// The loopback module's control interface (its ABI, which the module's header defines).
namespace V4L2Loopback {

inline constexpr const char* kControlNode = "/dev/v4l2loopback";
inline constexpr unsigned long kCtlAdd = 0x4C80;
inline constexpr unsigned long kCtlRemove = 0x4C81;
/// Longest card label, without its terminating NUL.
inline constexpr std::size_t kMaxCardLabelBytes = 31;
/// The label our install gives the module's device, and the camera's default name.
inline constexpr const char* kDefaultCardLabel = "Quellon Camera";
/// What VIDIOC_QUERYCAP reports as the driver of every loopback device, in every version.
inline constexpr const char* kDriverName = "v4l2 loopback";
/// The driver's "keep_format" control (0.12 and later): the device stays announced as a
/// capture device, with its format and last frame, while no writer has it open.
inline constexpr std::uint32_t kKeepFormatControl = 0x00980900 | 0xf000;
/// The client-usage event: its payload's first four bytes are the number of readers.
inline constexpr std::uint32_t kClientUsageEvent = 0x08000000 + 0x08E00000 + 1;

struct Config {
    std::int32_t outputNumber = -1;
    std::int32_t unused = -1;
    char cardLabel[32] = {};
    std::uint32_t minWidth = 0;
    std::uint32_t maxWidth = 0;
    std::uint32_t minHeight = 0;
    std::uint32_t maxHeight = 0;
    std::int32_t maxBuffers = -1;
    std::int32_t maxOpeners = -1;
    std::int32_t debug = -1;
    /// 0: capture is announced only once a writer has delivered a frame, output only while
    /// none writes (what Chromium needs to list the device). 0.13 read -1 that way too; the
    /// driver changed in 2025 to read -1 as "announce both", so it is always given.
    std::int32_t announceAllCaps = -1;
};

} // namespace V4L2Loopback

} // namespace quellon
