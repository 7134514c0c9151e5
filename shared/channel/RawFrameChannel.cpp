#include "channel/RawFrameChannel.h"

#include "channel/PropertyFraming.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <system_error>
#include <vector>

namespace quellon::RawFrameChannel {

namespace {

constexpr int kRequiredSeals = F_SEAL_SHRINK | F_SEAL_GROW;
constexpr std::size_t kBytesPerPixel = 4;

void putBigEndian32(std::string& out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>(static_cast<std::uint8_t>(value >> shift)));
}

std::uint32_t bigEndian32(std::string_view in)
{
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value = (value << 8) | static_cast<std::uint8_t>(in[static_cast<std::size_t>(i)]);
    return value;
}

std::string sizeText(const RawFrameLayout& layout)
{
    return std::to_string(layout.width) + " × " + std::to_string(layout.height) + " with " + std::to_string(layout.bytesPerRow)
        + " bytes per row";
}

[[noreturn]] void refuse(const std::string& reason)
{
    throw RawFrameError(reason);
}

// Fills size bytes at offset; false when the file ends first.
bool readFully(int fd, std::uint8_t* out, std::size_t size, off_t offset)
{
    while (size > 0) {
        const ssize_t got = ::pread(fd, out, size, offset);
        if (got > 0) {
            out += got;
            size -= static_cast<std::size_t>(got);
            offset += got;
        } else if (got == 0) {
            return false;
        } else if (errno != EINTR) {
            refuse(std::string("the frame memory cannot be read: ") + std::strerror(errno));
        }
    }
    return true;
}

// Rows of the source's stride into rows of a wider one: gathered in batches of the kernel's
// vector limit. Only the rare host with a stride that is no multiple of 64 bytes comes here.
bool readRows(int fd, const PixelBuffer::WriteLock& pixels, const RawFrameLayout& layout)
{
    std::vector<iovec> rows;
    rows.reserve(std::min<std::size_t>(layout.height, IOV_MAX));
    for (std::uint32_t first = 0; first < layout.height;) {
        rows.clear();
        const std::uint32_t end = std::min<std::uint32_t>(layout.height, first + IOV_MAX);
        for (std::uint32_t y = first; y < end; ++y)
            rows.push_back({pixels.row(static_cast<int>(y)), layout.bytesPerRow});
        const std::size_t wanted = std::size_t{layout.bytesPerRow} * (end - first);
        const off_t offset = static_cast<off_t>(std::size_t{layout.bytesPerRow} * first);
        ssize_t got;
        do {
            got = ::preadv(fd, rows.data(), static_cast<int>(rows.size()), offset);
        } while (got < 0 && errno == EINTR);
        if (got < 0)
            refuse(std::string("the frame memory cannot be read: ") + std::strerror(errno));
        // Shared memory gives all or, cut short, less: either way the rest is not there.
        if (static_cast<std::size_t>(got) != wanted)
            return false;
        first = end;
    }
    return true;
}

} // namespace

std::string encodeLayout(const RawFrameLayout& layout)
{
    std::string bytes;
    bytes.reserve(kLayoutBytes);
    putBigEndian32(bytes, layout.width);
    putBigEndian32(bytes, layout.height);
    putBigEndian32(bytes, layout.bytesPerRow);
    return bytes;
}

std::optional<RawFrameLayout> decodeLayout(std::string_view bytes)
{
    if (bytes.size() != kLayoutBytes)
        return std::nullopt;
    return RawFrameLayout{bigEndian32(bytes.substr(0, 4)), bigEndian32(bytes.substr(4, 4)), bigEndian32(bytes.substr(8, 4))};
}

std::size_t byteCount(const RawFrameLayout& layout)
{
    return std::size_t{layout.bytesPerRow} * layout.height;
}

void checkLayout(const RawFrameLayout& layout)
{
    const auto side = static_cast<std::uint32_t>(PixelBuffer::kMaxSide);
    if (layout.width < 1 || layout.height < 1 || layout.width > side || layout.height > side
        || std::int64_t{layout.width} * layout.height > PixelBuffer::kMaxPixels)
        refuse("a raw frame of " + sizeText(layout) + " has no size a camera frame can have");
    if (std::size_t{layout.bytesPerRow} < layout.width * kBytesPerPixel || layout.bytesPerRow % kBytesPerPixel != 0)
        refuse("a raw frame of " + sizeText(layout) + " has rows that do not hold its BGRA pixels");
    if (layout.bytesPerRow > side * kBytesPerPixel)
        refuse("a raw frame of " + sizeText(layout) + " has rows longer than any frame's");
    if (byteCount(layout) > PropertyFraming::kMaxFrameBytes)
        refuse("a raw frame of " + sizeText(layout) + " exceeds the cap of " + std::to_string(PropertyFraming::kMaxFrameBytes)
               + " bytes");
}

PixelBufferRef receiveFrame(int memory, const RawFrameLayout& layout)
{
    checkLayout(layout);
    struct stat info{};
    if (::fstat(memory, &info) != 0 || !S_ISREG(info.st_mode))
        refuse("the descriptor of a raw frame is not shared memory");
    // Only memfds and their kin have seals; everything else answers EINVAL here.
    const int seals = ::fcntl(memory, F_GET_SEALS);
    if (seals < 0 || (seals & kRequiredSeals) != kRequiredSeals)
        refuse("the memory of a raw frame is not sealed against shrinking and growing");
    const std::size_t needed = byteCount(layout);
    if (info.st_size < 0 || static_cast<std::size_t>(info.st_size) < needed)
        refuse("the memory of a raw frame of " + sizeText(layout) + " holds " + std::to_string(info.st_size) + " bytes, not "
               + std::to_string(needed));

    PixelBufferRef frame = PixelBuffer::create(layout.width, layout.height, kPixelFormatBGRA, layout.bytesPerRow);
    if (!frame)
        refuse("no memory for a raw frame of " + sizeText(layout));
    bool complete;
    {
        const auto pixels = frame->lockForWriting();
        complete = frame->bytesPerRow() == layout.bytesPerRow ? readFully(memory, pixels.baseAddress(), needed, 0)
                                                              : readRows(memory, pixels, layout);
    }
    if (!complete)
        refuse("the memory of a raw frame ended before the frame did");
    return frame;
}

PixelBufferRef receiveFrame(int memory, std::string_view layout)
{
    const auto decoded = decodeLayout(layout);
    if (!decoded)
        refuse("a raw frame's layout is " + std::to_string(layout.size()) + " bytes, not " + std::to_string(kLayoutBytes));
    return receiveFrame(memory, *decoded);
}

FileDescriptor makeSealedMemory(std::size_t size)
{
    FileDescriptor memory(::memfd_create("quellon-frame", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!memory.isValid())
        throw std::system_error(errno, std::system_category(), "memfd_create");
    if (::ftruncate(memory.get(), static_cast<off_t>(size)) != 0)
        throw std::system_error(errno, std::system_category(), "ftruncate of the frame memory");
    if (::fcntl(memory.get(), F_ADD_SEALS, kRequiredSeals | F_SEAL_SEAL) != 0)
        throw std::system_error(errno, std::system_category(), "sealing the frame memory");
    return memory;
}

void writeFrame(int memory, const PixelBuffer& frame)
{
    const auto pixels = frame.lockForReading();
    const std::uint8_t* data = pixels.baseAddress();
    std::size_t left = frame.bytesPerRow() * static_cast<std::size_t>(frame.height());
    off_t offset = 0;
    while (left > 0) {
        const ssize_t put = ::pwrite(memory, data, left, offset);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            throw std::system_error(put < 0 ? errno : ENOSPC, std::system_category(), "writing the frame memory");
        data += put;
        left -= static_cast<std::size_t>(put);
        offset += put;
    }
}

RawFrameLayout layoutOf(const PixelBuffer& frame)
{
    return {static_cast<std::uint32_t>(frame.width()), static_cast<std::uint32_t>(frame.height()),
            static_cast<std::uint32_t>(frame.bytesPerRow())};
}

} // namespace quellon::RawFrameChannel
