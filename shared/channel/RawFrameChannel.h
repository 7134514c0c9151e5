#pragma once

#include "platform/FileDescriptor.h"
#include "playback/PixelBuffer.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quellon {

/// A raw frame was refused: what() says why, for the log and the host.
class RawFrameError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// How a BGRA frame lies in its shared memory: rows of bytesPerRow bytes from offset 0.
struct RawFrameLayout {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t bytesPerRow = 0;
    bool operator==(const RawFrameLayout&) const = default;
};

/// The raw frame channel: a host hands the camera one BGRA frame in a memfd instead of a JPEG,
/// so its own frames cost no encode and decode.
///
/// The camera copies the frame once, while it handles the message, and only then answers;
/// after the answer it never touches the memory again, so the host may reuse one memfd for
/// every frame of a size. The memfd must carry the shrink and grow seals: its size is checked
/// once and cannot change under the copy. The copy reads with pread, never a mapping, so even
/// a peer that finds another way to cut the file short costs a refused frame, not a SIGBUS.
namespace RawFrameChannel {

/// The message's payload: width, height and bytes per row, each big-endian 32-bit.
inline constexpr std::size_t kLayoutBytes = 12;
/// What a get of the raw frame selector answers on a camera that takes raw frames.
inline constexpr std::string_view kFormatsValue = "BGRA";

std::string encodeLayout(const RawFrameLayout& layout);
/// Nothing unless bytes is exactly kLayoutBytes long.
std::optional<RawFrameLayout> decodeLayout(std::string_view bytes);

/// The bytes the memory must hold: bytesPerRow × height.
std::size_t byteCount(const RawFrameLayout& layout);

/// Throws RawFrameError unless the sides are 1 to PixelBuffer::kMaxSide within kMaxPixels, a
/// row holds width BGRA pixels in whole pixels and is no longer than a row of the widest frame,
/// and the whole frame stays within PropertyFraming::kMaxFrameBytes (the JPEG channel's cap).
void checkLayout(const RawFrameLayout& layout);

/// The camera's side: checks the layout, that memory is a sealed memfd holding the frame, and
/// copies it into a new frame. Throws RawFrameError. memory stays the caller's.
PixelBufferRef receiveFrame(int memory, const RawFrameLayout& layout);
/// The same for a layout still in its message bytes, refused unless kLayoutBytes long.
PixelBufferRef receiveFrame(int memory, std::string_view layout);

/// The host's side: a new memfd of size bytes with the shrink, grow and seal seals. Throws
/// std::system_error.
FileDescriptor makeSealedMemory(std::size_t size);

/// Writes frame's pixels to memory from offset 0, in its own layout. Throws std::system_error.
void writeFrame(int memory, const PixelBuffer& frame);

/// frame's layout.
RawFrameLayout layoutOf(const PixelBuffer& frame);

} // namespace RawFrameChannel

} // namespace quellon
