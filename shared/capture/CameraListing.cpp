#include "capture/CameraListing.h"

#include "platform/Environment.h"
#include "platform/UserDefaults.h"
#include "state/QuellonIdentifiers.h"
#include "state/UnicodeText.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace quellon {

namespace {

namespace fs = std::filesystem;

int retryIoctl(int fd, unsigned long request, void* argument)
{
    int result;
    do
        result = ::ioctl(fd, request, argument);
    while (result < 0 && errno == EINTR);
    return result;
}

std::string fourCC(std::uint32_t code)
{
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = static_cast<char>((code >> shift) & 0xFF);
        if (c != ' ' && c != '\0')
            text.push_back(c);
    }
    return text;
}

std::vector<double> rates(int fd, std::uint32_t format, std::uint32_t width, std::uint32_t height)
{
    std::vector<double> found;
    v4l2_frmivalenum interval{};
    interval.pixel_format = format;
    interval.width = width;
    interval.height = height;
    for (interval.index = 0; interval.index < 64 && retryIoctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) == 0;
         ++interval.index) {
        if (interval.type != V4L2_FRMIVAL_TYPE_DISCRETE)
            break;
        if (interval.discrete.numerator > 0)
            found.push_back(static_cast<double>(interval.discrete.denominator) / interval.discrete.numerator);
    }
    std::sort(found.rbegin(), found.rend());
    return found;
}

std::vector<CameraMode> modes(int fd)
{
    std::vector<CameraMode> found;
    v4l2_fmtdesc format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (format.index = 0; format.index < 64 && retryIoctl(fd, VIDIOC_ENUM_FMT, &format) == 0; ++format.index) {
        v4l2_frmsizeenum size{};
        size.pixel_format = format.pixelformat;
        for (size.index = 0; size.index < 128 && retryIoctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) == 0; ++size.index) {
            if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                found.push_back({fourCC(format.pixelformat), static_cast<int>(size.discrete.width),
                                 static_cast<int>(size.discrete.height),
                                 rates(fd, format.pixelformat, size.discrete.width, size.discrete.height)});
            } else {
                // A continuous range: its largest size stands for it.
                found.push_back({fourCC(format.pixelformat), static_cast<int>(size.stepwise.max_width),
                                 static_cast<int>(size.stepwise.max_height), {}});
                break;
            }
        }
    }
    return found;
}

// The /dev/v4l/by-id link that resolves to the device, if any.
std::string stableID(const fs::path& devDirectory, const fs::path& device)
{
    std::error_code error;
    const fs::path byID = devDirectory / "v4l" / "by-id";
    for (const auto& entry : fs::directory_iterator(byID, error)) {
        std::error_code ignored;
        if (fs::equivalent(entry.path(), device, ignored))
            return entry.path().string();
    }
    return device.string();
}

unsigned deviceNumber(const fs::path& path)
{
    const std::string name = path.filename().string();
    return static_cast<unsigned>(std::strtoul(name.c_str() + std::strlen("video"), nullptr, 10));
}

} // namespace

bool isVirtualCamera(const CameraDescription& camera, const std::vector<std::string>& ourNames)
{
    // v4l2loopback reports this driver name in every generation.
    if (camera.driver == "v4l2 loopback")
        return true;
    return std::find(ourNames.begin(), ourNames.end(), camera.name) != ourNames.end();
}

std::vector<std::string> ourCameraNames()
{
    std::vector<std::string> names{QuellonIdentifiers::virtualCameraName};
    // The camera daemon keeps the custom name in its own preference domain.
    if (auto file = JsonFileUserDefaults::fileForDomain(QuellonIdentifiers::extensionBundleID, Environment::process())) {
        const std::string custom = QuellonIdentifiers::effectiveVirtualCameraName(JsonFileUserDefaults(*file));
        if (custom != names.front())
            names.push_back(custom);
    }
    // A loopback device carries the name made safe for labels and cut, between characters, to
    // the 31 bytes V4L2 keeps.
    const std::size_t count = names.size();
    for (std::size_t i = 0; i < count; ++i) {
        std::string label = labelSafeText(names[i]);
        if (label.size() > 31) {
            std::size_t end = 31;
            while (end > 0 && (static_cast<unsigned char>(label[end]) & 0xC0) == 0x80)
                --end;
            label.resize(end);
        }
        if (std::find(names.begin(), names.end(), label) == names.end())
            names.push_back(label);
    }
    return names;
}

std::vector<CameraDescription> physicalCameras(std::vector<CameraDescription> cameras, const std::vector<std::string>& ourNames)
{
    std::erase_if(cameras, [&](const CameraDescription& camera) { return isVirtualCamera(camera, ourNames); });
    return cameras;
}

const CameraDescription* findCamera(const std::vector<CameraDescription>& cameras, const std::string& id)
{
    for (const CameraDescription& camera : cameras)
        if (camera.id == id || camera.path == id)
            return &camera;
    return nullptr;
}

std::vector<CameraDescription> listCameras(const fs::path& devDirectory)
{
    std::vector<fs::path> devices;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(devDirectory, error)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("video") && name.size() > 5 && std::isdigit(static_cast<unsigned char>(name[5])))
            devices.push_back(entry.path());
    }
    std::sort(devices.begin(), devices.end(),
              [](const fs::path& a, const fs::path& b) { return deviceNumber(a) < deviceNumber(b); });

    std::vector<CameraDescription> cameras;
    for (const fs::path& device : devices) {
        CameraDescription camera{"", stableID(devDirectory, device), device.string(), {}, ""};
        const int fd = ::open(device.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            camera.name = std::string("(cannot open: ") + std::strerror(errno) + ")";
            cameras.push_back(std::move(camera));
            continue;
        }
        v4l2_capability capability{};
        const bool queried = retryIoctl(fd, VIDIOC_QUERYCAP, &capability) == 0;
        const std::uint32_t caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) ? capability.device_caps
                                                                                    : capability.capabilities;
        if (queried && (caps & V4L2_CAP_VIDEO_CAPTURE)) {
            camera.name = std::string(reinterpret_cast<const char*>(capability.card),
                                      ::strnlen(reinterpret_cast<const char*>(capability.card), sizeof capability.card));
            camera.driver = std::string(reinterpret_cast<const char*>(capability.driver),
                                        ::strnlen(reinterpret_cast<const char*>(capability.driver), sizeof capability.driver));
            camera.modes = modes(fd);
            cameras.push_back(std::move(camera));
        }
        ::close(fd);
    }
    return physicalCameras(std::move(cameras), ourCameraNames());
}

} // namespace quellon
