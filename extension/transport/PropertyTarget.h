#pragma once

#include "channel/RawFrameChannel.h"

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

    /// A raw frame: layout is the message's payload, memory the descriptor that came with it,
    /// borrowed for the call (the socket closes it after). The frame must be copied before
    /// returning: the answer tells the host it may write the memory again. Throws
    /// RawFrameError to refuse the frame; a target without the channel refuses them all.
    virtual void setRawFrame(int memory, std::string_view layout)
    {
        static_cast<void>(memory);
        static_cast<void>(layout);
        throw RawFrameError("this camera takes no raw frames");
    }
};

} // namespace quellon
