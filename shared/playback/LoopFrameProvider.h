#pragma once

#include "analysis/FrameSignature.h"
#include "analysis/LoopEntry.h"
#include "playback/AliveMotion.h"
#include "playback/LoopJitter.h"
#include "playback/LoopLoadError.h"
#include "playback/LoopWalk.h"
#include "playback/PixelBuffer.h"
#include "playback/SimulatedLag.h"
#include "state/QuellonMode.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quellon {

class ClipDecoder;
struct ClipRequest;
struct DecodedClip;
class ImageContext;
struct DecodedImage;
class LogSink;

/// Plays a recorded loop (one clip, or several joined) as a stream of frames that looks live:
/// an endless walk between look-alike frames, ping-pong, forward or frozen, the forward seam hidden by a crossfade, the start matched to
/// the last live frame, and occasional stalls, repeated frames and a brightness drift.
///
/// Loads are blocking calls that any thread may make; decoding, stabilising, crossfading and
/// the per-frame analysis run outside the lock, so playback keeps serving the old loop until
/// the new one is installed in one step. Of two loads running at once, the one that installs
/// last wins. A failed load leaves the previous loop, cursor and size untouched.
///
/// Frozen loops always show frame 0: randomizeStart does not apply to them, so a frozen
/// picture never jumps from a random first frame to frame 0.
///
/// The loop keeps its frames in J420 (1.5 bytes a pixel against BGRA's 4), decoded and
/// stabilised in that form (a decoder that gives BGRA has each frame converted and released at
/// once). Crossfades, the sway and the light drift work on that form; frames are served as BGRA
/// converted from it.
class LoopFrameProvider {
public:
    using LoadError = LoopLoadError;

    /// What one load may take, over all its clips.
    struct LoadLimits {
        /// Frames are scaled down to fit this size while they are decoded: the camera's stream
        /// size, which no served frame exceeds.
        std::int64_t maxWidth = 1280;
        std::int64_t maxHeight = 720;
        /// Bytes the kept (J420) frames of the whole loop may take: 20 s of 720p at 30 fps
        /// (791 MiB), so a long or large import cannot exhaust memory. A clip that would take
        /// more is cut shorter (and the cut logged), and the clips after it get what is left.
        /// The decoder is given the same budget for its J420 frames.
        std::int64_t maxBytes = 20LL * 30 * (1280 * 720 * 3 / 2);

        bool operator==(const LoadLimits&) const = default;
    };
    /// Finds the main face of a frame (a loop's J420 frame, or a BGRA picture of the live camera
    /// in startNear), only near `near` when given (a face found in a neighbouring frame);
    /// LoopEntry::faceGeometry with a box-only detector (no landmark model) when none is given.
    using FaceFinder = std::function<std::optional<LoopEntry::FaceGeometry>(const PixelBuffer& frame,
                                                                             const std::optional<NormalizedRect>& near)>;

    /// Loads decode with FFmpeg.
    LoopFrameProvider(LoopMode loopMode, LoopJitter jitter, SimulatedLag lag, AliveMotion alive);
    /// Loads decode with the given decoder and look for faces with the given finder (tests give
    /// fakes).
    LoopFrameProvider(LoopMode loopMode, LoopJitter jitter, SimulatedLag lag, AliveMotion alive,
                      std::shared_ptr<ClipDecoder> decoder, FaceFinder faceFinder = {});
    ~LoopFrameProvider();
    LoopFrameProvider(const LoopFrameProvider&) = delete;
    LoopFrameProvider& operator=(const LoopFrameProvider&) = delete;

    // Each replaces the whole effect: parameters, generator and counters. Loads never touch them.
    void setJitter(LoopJitter jitter);
    void setLag(SimulatedLag lag);
    void setAlive(AliveMotion alive);

    /// When true, the next install of a ping-pong or forward loop starts at a random frame.
    bool randomizeStart() const { return randomizeStart_.load(std::memory_order_relaxed); }
    void setRandomizeStart(bool value) { randomizeStart_.store(value, std::memory_order_relaxed); }

    /// The limits of the next loads (changing them leaves the loaded loop alone).
    LoadLimits limits() const;
    void setLimits(const LoadLimits& limits);

    /// Where loads report a clip cut short by the byte budget (nowhere by default). The sink
    /// must outlive the provider.
    void setLog(LogSink* log);

    /// Back to the first frame, ascending.
    void reset();

    LoopMode loopMode() const { return loopMode_; }
    /// The loaded frames' size as decoded, fitted into the limits (0 before any load and after
    /// installFramesForTesting).
    std::int64_t width() const;
    std::int64_t height() const;
    std::int64_t frameCount() const;
    /// Bytes the loaded frames hold (padding included).
    std::int64_t byteCount() const;

    /// One clip: its first maxFrames frames at the output rate (negative is decodeFailed), within
    /// the limits, stabilised, and for a forward loop given a wrap crossfade of crossfadeFrames
    /// frames. Throws LoadError; whatever the decoder reports passes on unchanged.
    void load(const std::filesystem::path& file, std::int64_t maxFrames, std::int64_t crossfadeFrames);

    /// Several clips played one after another as one loop, each with its first
    /// max(totalBudget / clip count, 24) frames at the output rate: the clips share the time, and
    /// each plays at its own pace. Clips that fail, are empty, or differ in size from the first
    /// accepted one are left out; only an empty list or no accepted clip throws (empty).
    void loadMultiple(const std::vector<std::filesystem::path>& files, std::int64_t totalBudget,
                      std::int64_t crossfadeFrames);

    /// Installs the frames as a load would (BGRA ones converted to J420; those of other formats
    /// left out), with size 0: no decoding, stabilising or crossfade.
    void installFramesForTesting(std::vector<PixelBufferRef> frames);

    /// The frame to show now as a new BGRA frame (nothing before any load or when memory is
    /// short), then one step of playback: a stall or a repeated frame may hold the cursor; the
    /// alive motion's sway and light drift apply to every frame served.
    PixelBufferRef nextFrame();

    /// Moves the cursor to the loop frame that best continues `frame` (normally the last live
    /// frame): by the face when both have one, else by the signature. Nothing for a null
    /// frame, a frozen loop, or a loop of fewer than 2 frames.
    void startNear(const PixelBufferRef& frame);

    /// The pure cursor step: (new cursor, new ascending). The natural mode's walk is not pure;
    /// here it steps as forward does.
    static std::pair<std::int64_t, bool> advance(std::int64_t cursor, bool ascending, std::int64_t count, LoopMode mode);

    /// The frames of a forward loop's seam: blends of the last frame towards the first at
    /// FrameBlender::crossfadeWeights(steps), appended, in the frames' own format. Lists of fewer
    /// than 2 frames stay.
    static void appendWrapCrossfade(std::vector<PixelBufferRef>& frames, std::int64_t steps);

    /// A frame buffer of the image's own size holding its pixels (never scaled or cropped), or
    /// nothing when the image is empty or no buffer can be made. The result is a new buffer the
    /// image does not share.
    static PixelBufferRef pixelBuffer(const DecodedImage& image, ImageContext& context);

    /// The same for an image that is no longer needed: its pixels become the frame without a
    /// copy.
    static PixelBufferRef pixelBuffer(DecodedImage&& image, ImageContext& context);

private:
    void installFrames(std::vector<PixelBufferRef> frames, std::int64_t width, std::int64_t height);

    ClipRequest requestFor(std::int64_t maxFrames, std::int64_t maxBytes) const;
    // The frames in J420 within maxBytes; a cut is logged.
    std::vector<PixelBufferRef> compacted(std::vector<PixelBufferRef> frames, std::int64_t maxBytes,
                                          const std::filesystem::path& file) const;
    void logCut(const std::string& message) const;
    // Logs a clip the decoder gave fewer frames than it holds and was asked for.
    void noteDecoderCut(const DecodedClip& clip, const std::filesystem::path& file, std::int64_t maxFrames,
                        std::int64_t maxBytes) const;
    // One step of the cursor (or a hold); under mutex_.
    void stepLocked();

    const LoopMode loopMode_;
    const std::shared_ptr<ClipDecoder> decoder_;
    const FaceFinder faceFinder_;
    std::atomic<bool> randomizeStart_{false};
    mutable std::mutex limitsMutex_;
    LoadLimits limits_;      // guarded by limitsMutex_, so a load never waits for playback's lock
    LogSink* log_ = nullptr; // guarded by limitsMutex_

    mutable std::mutex mutex_;
    // Everything below is guarded by mutex_.
    std::vector<PixelBufferRef> frames_;
    std::vector<FrameSignature> signatures_;
    std::vector<std::optional<LoopEntry::FaceGeometry>> faceGeometries_;
    std::int64_t cursor_ = 0;
    bool ascending_ = true;
    LoopJitter jitter_;
    SimulatedLag lag_;
    AliveMotion alive_;
    std::int64_t width_ = 0;
    std::int64_t height_ = 0;
    // The natural mode's walk over the installed frames (none in the other modes).
    std::optional<LoopWalk::Walker> walker_;
    LoopWalk::Step step_;
};

} // namespace quellon
