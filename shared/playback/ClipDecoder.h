#pragma once

#include "playback/PixelBuffer.h"

#include <cstdint>
#include <filesystem>
#include <vector>

namespace quellon {

/// One clip turned into frames: its BGRA frames at the clip's own (display) size, picked at
/// evenly spread sample times.
struct DecodedClip {
    std::vector<PixelBufferRef> frames;
    /// The display size: the coded size turned by the clip's rotation.
    std::int64_t width = 0;
    std::int64_t height = 0;
    /// Frames per second as the clip states it (30 when it states none).
    double fps = 0;
    /// The clip's duration in seconds (0 when it states none).
    double seconds = 0;

    bool operator==(const DecodedClip&) const = default;
};

/// Reads clip files. The loop provider's only way to media, so its tests can run on fakes.
class ClipDecoder {
public:
    virtual ~ClipDecoder() = default;

    /// Decodes up to maxFrames frames spread evenly over the clip. Throws LoopLoadError:
    /// noVideoTrack for a file without video, decodeFailed for one that cannot be read or
    /// declares an unacceptable size or duration (or a negative maxFrames), empty when no frame
    /// could be made.
    virtual DecodedClip decode(const std::filesystem::path& file, std::int64_t maxFrames) = 0;
};

/// The FFmpeg decoder. Uses the first video stream that is not an attached picture; its
/// display-matrix rotation (to the nearest quarter turn) turns the size and the frames.
///
/// Each sample time takes the frame a player shows then: the last one starting at or before it,
/// so variable-rate clips and millisecond timestamps leave no sample without a frame. The
/// stream is decoded once, front to back.
///
/// Caps, so a hostile file cannot exhaust memory: a side of at most PixelBuffer::kMaxSide and
/// PixelBuffer::kMaxPixels in all (else decodeFailed), at most kMaxFrames frames and
/// kMaxDecodedBytes bytes of decoded frames per clip (beyond them the samples are thinned, still
/// spread over the whole clip).
class FFmpegClipDecoder final : public ClipDecoder {
public:
    static constexpr std::int64_t kMaxFrames = 3600;
    static constexpr std::int64_t kMaxDecodedBytes = 2LL * 1024 * 1024 * 1024;

    DecodedClip decode(const std::filesystem::path& file, std::int64_t maxFrames) override;
};

} // namespace quellon
