#include "capture/CaptureInput.h"

#include <sys/stat.h>

namespace quellon {

std::optional<CaptureInput> CaptureInput::parse(std::string_view spelling)
{
    constexpr std::string_view graphPrefix = "lavfi:";
    if (spelling.starts_with(graphPrefix)) {
        spelling.remove_prefix(graphPrefix.size());
        if (spelling.empty())
            return std::nullopt;
        return CaptureInput{Kind::filterGraph, std::string(spelling)};
    }
    if (spelling.empty())
        return std::nullopt;
    const std::string path(spelling);
    struct stat info {};
    // A camera that is unplugged has no node, but its /dev/ path still says what was meant.
    const bool isDevice = (::stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode)) || path.starts_with("/dev/");
    return CaptureInput{isDevice ? Kind::camera : Kind::file, path};
}

} // namespace quellon
