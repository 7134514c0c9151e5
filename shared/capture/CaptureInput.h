#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quellon {

/// Where frames come from, in the one spelling every command accepts: a camera device path
/// ("/dev/video0", "/dev/v4l/by-id/..."), a media file, or "lavfi:GRAPH" for an FFmpeg
/// filter graph such as "lavfi:testsrc2=size=1280x720:rate=30".
struct CaptureInput {
    enum class Kind { camera, file, filterGraph };
    Kind kind = Kind::file;
    std::string location; // the device or file path, or the graph without its prefix

    bool operator==(const CaptureInput&) const = default;

    /// Nothing for an empty spelling or an empty graph. A path is a camera when it names a
    /// character device or lies under /dev/.
    static std::optional<CaptureInput> parse(std::string_view spelling);
};

} // namespace quellon
