#include "channel/RawFrameChannel.h"

#include "channel/PropertyFraming.h"
#include "platform/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace quellon {
namespace {

using namespace RawFrameChannel;

// A memfd of size bytes holding a pattern that differs per byte, with the given seals.
FileDescriptor patternedMemory(std::size_t size, int seals)
{
    FileDescriptor memory(::memfd_create("raw-frame-test", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    EXPECT_TRUE(memory.isValid());
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 4093) & 0xFF);
    EXPECT_EQ(::pwrite(memory.get(), bytes.data(), bytes.size(), 0), static_cast<ssize_t>(size));
    if (seals) {
        EXPECT_EQ(::fcntl(memory.get(), F_ADD_SEALS, seals), 0);
    }
    return memory;
}

// The pixel bytes of each row (without padding) as they lie in the memory.
bool rowsMatch(const PixelBuffer& frame, int memory, const RawFrameLayout& layout)
{
    const auto pixels = frame.lockForReading();
    std::string row(layout.width * 4, '\0');
    for (std::uint32_t y = 0; y < layout.height; ++y) {
        if (::pread(memory, row.data(), row.size(), static_cast<off_t>(y * layout.bytesPerRow)) != static_cast<ssize_t>(row.size()))
            return false;
        if (std::memcmp(row.data(), pixels.row(static_cast<int>(y)), row.size()) != 0)
            return false;
    }
    return true;
}

std::string refusalOf(int memory, const RawFrameLayout& layout)
{
    try {
        receiveFrame(memory, layout);
    } catch (const RawFrameError& error) {
        return error.what();
    }
    return "";
}

TEST(RawFrameChannelTest, LayoutsTravelAsTwelveBytesAndNothingElseDecodes)
{
    const RawFrameLayout layout{1280, 720, 5120};
    const std::string bytes = encodeLayout(layout);
    EXPECT_EQ(bytes, std::string("\x00\x00\x05\x00\x00\x00\x02\xd0\x00\x00\x14\x00", 12));
    EXPECT_EQ(decodeLayout(bytes), layout);
    EXPECT_EQ(decodeLayout(bytes.substr(0, 11)), std::nullopt);
    EXPECT_EQ(decodeLayout(bytes + "x"), std::nullopt);
    EXPECT_EQ(decodeLayout(""), std::nullopt);
}

TEST(RawFrameChannelTest, SealedMemoryIsCopiedWhateverItsStride)
{
    struct Case { const char* what; RawFrameLayout layout; std::size_t extraBytes; };
    const Case cases[] = {
        {"the camera's own stride", {1280, 720, 5120}, 0},
        {"a stride of no 64-byte multiple", {10, 3, 44}, 0},
        {"rows padded beyond the pixels", {33, 5, 200}, 0},
        {"memory longer than the frame", {64, 2, 256}, 4096},
        {"more rows than one gather takes", {1, 3000, 4}, 0},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.what);
        const FileDescriptor memory = patternedMemory(byteCount(item.layout) + item.extraBytes, F_SEAL_SHRINK | F_SEAL_GROW);
        const PixelBufferRef frame = receiveFrame(memory.get(), item.layout);
        ASSERT_TRUE(frame);
        EXPECT_EQ(layoutOf(*frame).width, item.layout.width);
        EXPECT_EQ(layoutOf(*frame).height, item.layout.height);
        EXPECT_TRUE(frame->isBGRA());
        EXPECT_TRUE(rowsMatch(*frame, memory.get(), item.layout));
    }
}

TEST(RawFrameChannelTest, HostileMemoryAndLayoutsAreRefusedWithAReason)
{
    const RawFrameLayout small{16, 16, 64};
    const int bothSeals = F_SEAL_SHRINK | F_SEAL_GROW;
    TemporaryDirectory directory("raw-frame-test");
    const FileDescriptor plainFile(::open((directory.path() / "frame").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_EQ(::ftruncate(plainFile.get(), 1024), 0);
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    const FileDescriptor pipeRead(pipeEnds[0]), pipeWrite(pipeEnds[1]);
    const FileDescriptor unsealed = patternedMemory(byteCount(small), 0);
    const FileDescriptor shrinkOnly = patternedMemory(byteCount(small), F_SEAL_SHRINK);
    const FileDescriptor growOnly = patternedMemory(byteCount(small), F_SEAL_GROW);
    const FileDescriptor tooSmall = patternedMemory(byteCount(small) - 1, bothSeals);
    const FileDescriptor sealed = patternedMemory(byteCount(small), bothSeals);
    const FileDescriptor writeOnly(::open(("/proc/self/fd/" + std::to_string(sealed.get())).c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(writeOnly.isValid());

    struct Case { const char* what; int memory; RawFrameLayout layout; const char* reason; };
    const Case cases[] = {
        {"no memfd seals on a plain file", plainFile.get(), small, "not sealed"},
        {"a pipe", pipeRead.get(), small, "not shared memory"},
        {"a closed descriptor", 1 << 20, small, "not shared memory"},
        {"an unsealed memfd", unsealed.get(), small, "not sealed"},
        {"a memfd that may still grow", shrinkOnly.get(), small, "not sealed"},
        {"a memfd that may still shrink", growOnly.get(), small, "not sealed"},
        {"a memfd one byte short", tooSmall.get(), small, "holds 1023 bytes, not 1024"},
        {"a memfd the camera cannot read", writeOnly.get(), small, "cannot be read"},
        {"width zero", sealed.get(), {0, 16, 64}, "no size"},
        {"height zero", sealed.get(), {16, 0, 64}, "no size"},
        {"a side beyond the largest", sealed.get(), {20000, 1, 80000}, "no size"},
        {"more pixels than any frame", sealed.get(), {16384, 16384, 65536}, "no size"},
        {"rows shorter than their pixels", sealed.get(), {16, 16, 60}, "do not hold"},
        {"rows of split pixels", sealed.get(), {16, 16, 66}, "do not hold"},
        {"rows longer than any frame's", sealed.get(), {1, 2, 70000}, "longer than"},
        {"rows of 4 GiB each", sealed.get(), {1, 16384, 0xFFFFFFFCu}, "longer than"},
        {"a frame beyond the cap", sealed.get(), {4096, 4096, 16384}, "exceeds the cap"},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.what);
        const std::string reason = refusalOf(item.memory, item.layout);
        EXPECT_NE(reason.find(item.reason), std::string::npos) << reason;
    }
}

TEST(RawFrameChannelTest, TheHostsMemoryIsSealedForGoodAndHoldsTheFrame)
{
    const PixelBufferRef frame = PixelBuffer::create(100, 20);
    ASSERT_TRUE(frame);
    {
        const auto pixels = frame->lockForWriting();
        for (std::size_t i = 0; i < frame->bytesPerRow() * 20; ++i)
            pixels.baseAddress()[i] = static_cast<std::uint8_t>(i * 13);
    }
    const RawFrameLayout layout = layoutOf(*frame);
    EXPECT_EQ(layout, (RawFrameLayout{100, 20, 448}));
    const FileDescriptor memory = makeSealedMemory(byteCount(layout));
    writeFrame(memory.get(), *frame);
    EXPECT_TRUE(rowsMatch(*frame, memory.get(), layout));
    EXPECT_NE(::ftruncate(memory.get(), 10), 0);
    EXPECT_NE(::fcntl(memory.get(), F_ADD_SEALS, F_SEAL_WRITE), 0) << "the seals can no longer change";
    const PixelBufferRef copy = receiveFrame(memory.get(), layout);
    ASSERT_TRUE(copy);
    EXPECT_TRUE(rowsMatch(*copy, memory.get(), layout));
}

} // namespace
} // namespace quellon
