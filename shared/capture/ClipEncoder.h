#pragma once

#include "capture/CaptureSource.h"
#include "platform/FileIO.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <memory>
#include <string>

namespace quellon {

class PixelBuffer;

/// Writes BGRA frames as a QuickTime (.mov) clip: H.264 through libx264 when FFmpeg has it,
/// otherwise Motion JPEG. Keyframes fall once a second and there are no B-frames, so a clip can
/// be cut at a keyframe without re-encoding. Throws CaptureError on any failure; a writer that
/// is destroyed without finish() leaves an incomplete file for its owner to remove.
class ClipEncoder {
public:
    /// Written into the clip's header as they are.
    struct Tags {
        /// The source's display matrix (rotation), so a portrait clip stored sideways stays
        /// upright; none for pictures that are upright as stored.
        std::optional<std::array<std::int32_t, 9>> displayMatrix;

        bool operator==(const Tags&) const = default;
    };

    /// H.264 is written in BT.709 at limited range and tagged so; Motion JPEG in BT.601 at
    /// full range, as JPEG defines it.
    ClipEncoder(const std::filesystem::path& path, int width, int height, double fps, const Tags& tags = {});
    ~ClipEncoder();
    ClipEncoder(const ClipEncoder&) = delete;
    ClipEncoder& operator=(const ClipEncoder&) = delete;

    /// Appends a frame shown at time seconds; times must grow (a repeated one is nudged on).
    void write(const PixelBuffer& frame, double time);
    /// Flushes the encoder and completes the file.
    void finish();

    /// "h264" or "mjpeg".
    std::string codecName() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

/// Writes the part of source from start to end (seconds, both frames included) to destination
/// as a new clip, replacing it atomically (or, with ExistingFile::keep, failing when a file is
/// there by the time the clip is complete). Packets are copied unchanged when the window begins
/// on a keyframe and the stream has no reordered frames; otherwise the window is re-encoded,
/// reading the source's colour tags. Either way the display matrix is carried over. HDR
/// sources are refused.
/// Returns true when it was copied without re-encoding. Throws CaptureError.
bool cutClip(const std::filesystem::path& source, const std::filesystem::path& destination, double start,
             double end, ExistingFile existing = ExistingFile::replace);

struct CutResult {
    std::filesystem::path file;
    bool copied = false;

    bool operator==(const CutResult&) const = default;
};

/// As cutClip, but into directory as a new file, never over an existing one: named
/// chooseName(the directory's names), and when another process takes that name first, named
/// again from what is there then.
CutResult cutClipAsNewFile(const std::filesystem::path& source, const std::filesystem::path& directory,
                           const std::function<std::string(const std::set<std::string>&)>& chooseName, double start,
                           double end);

} // namespace quellon
