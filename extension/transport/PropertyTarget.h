#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quellon {

/// What the camera's property socket talks to: the daemon routes each selector (a big-endian
/// four-character code such as 'qlst') to the published stream or device. Called on the
/// socket's I/O thread, the analogue of the platform's property callback queue.
class PropertyTarget {
public:
    virtual ~PropertyTarget() = default;

    /// A property write. Unknown selectors are ignored; like the platform, a set reports nothing.
    virtual void setProperty(std::uint32_t selector, std::string bytes) = 0;

    /// A property read: the value, or nothing for a selector the target does not know.
    virtual std::optional<std::string> property(std::uint32_t selector) = 0;
};

} // namespace quellon
