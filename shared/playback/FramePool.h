#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace quellon {

/// Frame-sized memory blocks kept for the next frame of the same size. Frames of one size come
/// and go up to 30 times a second, and the allocator hands blocks this large back to the system,
/// so without the pool every frame would pay for fresh pages (and their zeroing).
///
/// PixelBuffer::create takes its memory from the shared pool and the release of a buffer's last
/// reference gives it back, so a producer of frames (a decoder, the raw frame channel) only
/// creates buffers of W × H and drops them. Bounded: at most `blocks` blocks of minBytes to
/// maxBytes each are held; anything else is allocated and freed as usual.
///
/// Poolable blocks are mapped pages of their own, so a freed block goes back to the system at
/// once instead of staying in the allocator's heap. A held block not taken again within
/// `idleRelease` is freed at the pool's next call: while frames flow, a moment with one frame
/// more in flight than usual costs memory for seconds, not for the rest of the process's life.
/// When frames stop, the held blocks stay until the next frame or drain().
class FramePool {
public:
    using Clock = std::chrono::steady_clock;

    struct Limits {
        std::size_t blocks = 4;
        std::size_t minBytes = std::size_t{1} << 20;
        /// 1920 × 1088 BGRA, the largest camera frame, with its row of header.
        std::size_t maxBytes = std::size_t{1920} * 1088 * 4 + 64;
        std::chrono::milliseconds idleRelease{10'000};
    };
    static constexpr std::size_t kMaxBlocks = 8;

    /// What the pool did so far and holds now.
    struct Statistics {
        std::uint64_t reused = 0;
        std::uint64_t allocated = 0;
        std::size_t heldBlocks = 0;
        std::size_t heldBytes = 0;

        bool operator==(const Statistics&) const = default;
    };

    /// A pool holding up to min(limits.blocks, kMaxBlocks) blocks; `now` tells the time, the
    /// steady clock when null (tests pass a clock of their own).
    explicit FramePool(Limits limits, Clock::time_point (*now)() = nullptr);
    /// Frees the blocks held.
    ~FramePool();

    /// The pool every PixelBuffer uses; never destroyed, since buffers may be released by other
    /// static objects' destructors. Holds nothing under AddressSanitizer, where a reused block
    /// would hide a use after free.
    static FramePool& shared();

    /// A block of at least `bytes`, aligned to `alignment` (64 or less): the held block of exactly
    /// that size given back last when one waits, else a new one. Null when memory is short.
    std::uint8_t* obtain(std::size_t bytes, std::size_t alignment = 64);
    /// Takes back a block obtained for `bytes`: held for reuse when its size is poolable (in a
    /// full pool, in place of the block held longest), freed otherwise.
    void recycle(std::uint8_t* block, std::size_t bytes);
    /// Frees every held block.
    void drain();

    Statistics statistics() const;

    FramePool(const FramePool&) = delete;
    FramePool& operator=(const FramePool&) = delete;

private:
    struct Block {
        std::uint8_t* memory = nullptr;
        std::size_t bytes = 0;
        Clock::time_point heldSince;
    };

    bool poolable(std::size_t bytes) const;
    /// Takes out of the pool the held blocks idle since `now` − idleRelease or earlier, into
    /// `released`, to be unmapped once the lock is let go. Called with the lock held.
    void takeIdle(Clock::time_point now, std::array<Block, kMaxBlocks>& released);

    Limits limits_;
    Clock::time_point (*now_)();
    mutable std::mutex mutex_;
    std::array<Block, kMaxBlocks> held_{};
    std::uint64_t reused_ = 0;
    std::uint64_t allocated_ = 0;
};

} // namespace quellon
