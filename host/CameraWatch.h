#pragma once
// Tells when video devices come and go, from the kernel's device events as udev passes them on
// (sd-device's monitor), on a thread of its own.

#include <functional>
#include <thread>

struct sd_device;
struct sd_device_monitor;
struct sd_event;

namespace quellon::host {

class CameraWatch {
public:
    /// changed runs on the watch's thread after each video4linux device event (a camera
    /// plugged in or out). Throws std::system_error when device events cannot be watched
    /// (no udev, as in most containers).
    explicit CameraWatch(std::function<void()> changed);
    ~CameraWatch();
    CameraWatch(const CameraWatch&) = delete;
    CameraWatch& operator=(const CameraWatch&) = delete;

private:
    void run(std::stop_token stop);
    static int onDevice(sd_device_monitor* monitor, sd_device* device, void* self);

    std::function<void()> changed_;
    sd_event* event_ = nullptr;
    sd_device_monitor* monitor_ = nullptr;
    int stopFd_ = -1;
    std::jthread thread_;
};

} // namespace quellon::host
