#include "host/CameraWatch.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <systemd/sd-device.h>
#include <systemd/sd-event.h>
#include <unistd.h>

namespace quellon::host {

namespace {

void check(int result, const char* what)
{
    if (result < 0)
        throw std::system_error(-result, std::generic_category(), what);
}

} // namespace

CameraWatch::CameraWatch(std::function<void()> changed) : changed_(std::move(changed))
{
    try {
        check(sd_event_new(&event_), "sd_event_new");
        check(sd_device_monitor_new(&monitor_), "cannot watch device events");
        check(sd_device_monitor_filter_add_match_subsystem_devtype(monitor_, "video4linux", nullptr), "device filter");
        check(sd_device_monitor_attach_event(monitor_, event_), "device monitor");
        check(sd_device_monitor_start(monitor_, &CameraWatch::onDevice, this), "cannot watch device events");
        stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (stopFd_ < 0)
            throw std::system_error(errno, std::generic_category(), "eventfd");
    } catch (...) {
        sd_device_monitor_unref(monitor_);
        sd_event_unref(event_);
        throw;
    }
    thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

CameraWatch::~CameraWatch()
{
    thread_.request_stop();
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(stopFd_, &one, sizeof one);
    if (thread_.joinable())
        thread_.join();
    sd_device_monitor_unref(monitor_);
    sd_event_unref(event_);
    ::close(stopFd_);
}

int CameraWatch::onDevice(sd_device_monitor*, sd_device*, void* self)
{
    static_cast<CameraWatch*>(self)->changed_();
    return 0;
}

void CameraWatch::run(std::stop_token stop)
{
    while (!stop.stop_requested()) {
        pollfd fds[2] = {{sd_event_get_fd(event_), POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[1].revents != 0)
            return;
        // Dispatches what is pending without waiting.
        if (sd_event_run(event_, 0) < 0)
            return;
    }
}

} // namespace quellon::host
