#pragma once

#include "playback/PixelBuffer.h"

#include <cstdint>
#include <filesystem>
#include <vector>

namespace quellon {

/// One clip turned into frames: its frames in the requested format, one per tick of the output
/// rate from the clip's start (ClipSampling).
struct DecodedClip {
    std::vector<PixelBufferRef> frames;
    /// The frames' size: the coded size turned by the clip's rotation, then fitted into the
    /// request's bounds.
    std::int64_t width = 0;
    std::int64_t height = 0;
    /// Frames per second as the clip states it (30 when it states none).
    double fps = 0;
    /// The clip's duration in seconds (0 when it states none).
    double seconds = 0;

    bool operator==(const DecodedClip&) const = default;
};

/// What a load asks of one clip.
struct ClipRequest {
    /// Frames at the output rate, from the clip's start.
    std::int64_t maxFrames = 0;
    /// Bytes the decoded frames may take; fewer seconds are kept when they would take more.
    std::int64_t maxBytes = 0;
    /// The frames are scaled down (proportions kept) to fit within this size while they are
    /// decoded; 0 leaves that side unbounded. Never scaled up.
    std::int64_t maxWidth = 0;
    std::int64_t maxHeight = 0;
    /// kPixelFormatBGRA or kPixelFormatJ420 (the loop's compact form: 3/8 of the bytes, so a
    /// load never holds the clip in BGRA); the budget counts bytes of this format.
    PixelFormatCode format = kPixelFormatBGRA;

    bool operator==(const ClipRequest&) const = default;
};

/// Reads clip files. The loop provider's only way to media, so its tests can run on fakes.
class ClipDecoder {
public:
    virtual ~ClipDecoder() = default;

    /// Decodes up to maxFrames frames at the output rate (ClipSampling::kOutputRate) from the
    /// clip's start, at the clip's display size, in BGRA. Throws LoopLoadError: noVideoTrack for
    /// a file without video, decodeFailed for one that cannot be read or declares an unacceptable
    /// size or duration (or a negative maxFrames), empty when no frame could be made.
    virtual DecodedClip decode(const std::filesystem::path& file, std::int64_t maxFrames) = 0;

    /// The same within the request's byte budget and size bounds, in its format (decodeFailed
    /// for one other than BGRA and J420). A decoder that cannot scale (a test's fake) decodes
    /// request.maxFrames as above, in BGRA.
    virtual DecodedClip decode(const std::filesystem::path& file, const ClipRequest& request)
    {
        return decode(file, request.maxFrames);
    }
};

/// The FFmpeg decoder. Uses the first video stream that is not an attached picture; its
/// display-matrix rotation (to the nearest quarter turn) turns the size and the frames.
///
/// Each sample time takes the frame a player shows then: the last one starting at or before it,
/// so variable-rate clips and millisecond timestamps leave no sample without a frame, and a clip
/// at another rate than the output's keeps its pace (a 15 fps clip shows each frame twice). The
/// stream is decoded once, front to back, and only as far as the last sample. Pictures are scaled
/// to the requested bounds by the same conversion that turns them into BGRA; a J420 frame is
/// that BGRA picture converted (scratch pictures reused: one, or two for a rotated clip; so the
/// clip is never held in BGRA).
///
/// Caps, so a hostile file cannot exhaust memory: a side of at most PixelBuffer::kMaxSide and
/// PixelBuffer::kMaxPixels in all (else decodeFailed), at most kMaxFrames frames and
/// kMaxDecodedBytes bytes of decoded frames per clip (or the request's budget when it is
/// smaller; beyond them the clip is cut shorter).
class FFmpegClipDecoder final : public ClipDecoder {
public:
    static constexpr std::int64_t kMaxFrames = 3600;
    static constexpr std::int64_t kMaxDecodedBytes = 9LL * 256 * 1024 * 1024; // 20 s of 720p at 30 fps fit

    DecodedClip decode(const std::filesystem::path& file, std::int64_t maxFrames) override;
    DecodedClip decode(const std::filesystem::path& file, const ClipRequest& request) override;
};

} // namespace quellon
