#include "playback/LoopFrameProvider.h"

#include "playback/LightDrift.h"

#include "analysis/ClipFaces.h"
#include "analysis/DlibFaceDetector.h"
#include "analysis/FaceDetector.h"
#include "analysis/LoopStabilizer.h"
#include "platform/Log.h"
#include "playback/ClipDecoder.h"
#include "playback/ClipSampling.h"
#include "playback/FrameBlender.h"
#include "playback/ImageContext.h"
#include "playback/ImageDecoding.h"
#include "playback/LightDrift.h"
#include "playback/LoopRotation.h"
#include "playback/ParallelFor.h"
#include "playback/YuvFrames.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace quellon {

namespace {

constexpr int kSignatureGrid = 12;
constexpr double kMaxShiftFraction = 0.03;
constexpr double kMaxCropFraction = 0.08;
constexpr std::int64_t kMinFramesPerClip = 24;

bool holdsItsPixels(const DecodedImage& image)
{
    return image.pixels && image.pixels->isBGRA() && image.pixels->width() == image.width
        && image.pixels->height() == image.height;
}

// A load frees as much as it keeps (the frames before stabilising, the replaced loop); hand
// those pages back so the process holds about one loop, not two.
void releaseFreedMemory()
{
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
}

// A loop needs face boxes only (no roll, no eyes), so its detector reads no landmark model:
// loading that large file would cost a load about a second. One per thread.
FaceDetector& boxOnlyDetector()
{
    static CapturingLogSink ignored; // the empty model path's complaint
    thread_local const std::unique_ptr<FaceDetector> detector = DlibFaceDetection::make({}, ignored);
    return *detector;
}

std::vector<PixelBufferRef> stabilized(std::vector<PixelBufferRef> frames)
{
    return LoopStabilizer::stabilize(std::move(frames), kMaxShiftFraction, kMaxCropFraction);
}

std::string bytesText(std::int64_t bytes)
{
    char text[48];
    if (bytes < 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024.0);
    else
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

std::string secondsText(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

} // namespace

LoopFrameProvider::LoopFrameProvider(LoopMode loopMode, LoopJitter jitter, SimulatedLag lag, AliveMotion alive)
    : LoopFrameProvider(loopMode, jitter, lag, alive, std::make_shared<FFmpegClipDecoder>())
{
}

LoopFrameProvider::LoopFrameProvider(LoopMode loopMode, LoopJitter jitter, SimulatedLag lag, AliveMotion alive,
                                     std::shared_ptr<ClipDecoder> decoder, FaceFinder faceFinder)
    : loopMode_(loopMode), decoder_(std::move(decoder)),
      faceFinder_(faceFinder ? std::move(faceFinder)
                             : [](const PixelBuffer& frame, const std::optional<NormalizedRect>& near) {
                                   return LoopEntry::faceGeometry(frame, boxOnlyDetector(), near);
                               }),
      jitter_(jitter), lag_(lag), alive_(alive)
{
}

LoopFrameProvider::~LoopFrameProvider() = default;

void LoopFrameProvider::setJitter(LoopJitter jitter)
{
    std::lock_guard lock(mutex_);
    jitter_ = jitter;
}

void LoopFrameProvider::setLag(SimulatedLag lag)
{
    std::lock_guard lock(mutex_);
    lag_ = lag;
}

void LoopFrameProvider::setAlive(AliveMotion alive)
{
    std::lock_guard lock(mutex_);
    alive_ = alive;
}

LoopFrameProvider::LoadLimits LoopFrameProvider::limits() const
{
    std::lock_guard lock(limitsMutex_);
    return limits_;
}

void LoopFrameProvider::setLimits(const LoadLimits& limits)
{
    std::lock_guard lock(limitsMutex_);
    limits_ = limits;
}

void LoopFrameProvider::setLog(LogSink* log)
{
    std::lock_guard lock(limitsMutex_);
    log_ = log;
}

void LoopFrameProvider::logCut(const std::string& message) const
{
    std::lock_guard lock(limitsMutex_);
    if (log_)
        log_->write(LogLevel::info, message);
}

ClipRequest LoopFrameProvider::requestFor(std::int64_t maxFrames, std::int64_t maxBytes) const
{
    const LoadLimits limits = this->limits();
    // Frames come in the form the loop keeps, so the budget is the kept bytes themselves and a
    // load never holds the clip in BGRA.
    return ClipRequest{.maxFrames = maxFrames,
                       .maxBytes = maxBytes,
                       .maxWidth = limits.maxWidth,
                       .maxHeight = limits.maxHeight,
                       .format = kPixelFormatJ420};
}

void LoopFrameProvider::noteDecoderCut(const DecodedClip& clip, const std::filesystem::path& file, std::int64_t maxFrames,
                                       std::int64_t maxBytes) const
{
    const auto frames = static_cast<std::int64_t>(clip.frames.size());
    const auto held = static_cast<std::int64_t>(std::floor(clip.seconds * ClipSampling::kOutputRate));
    // A frame short of the duration is the sampling's rounding, not a cut.
    if (frames == 0 || frames >= maxFrames || frames + 1 >= held)
        return;
    const PixelBufferRef& first = clip.frames.front();
    const std::int64_t frameBytes = first ? static_cast<std::int64_t>(first->byteCount()) : 0;
    const LoadLimits limits = this->limits();
    const bool budget = (frames + 1) * frameBytes > maxBytes;
    logCut("loop: " + file.filename().string() + " cut to " + secondsText(static_cast<double>(frames) / ClipSampling::kOutputRate)
           + " of its " + secondsText(clip.seconds) + ": "
           + (budget ? "the loop's memory budget of " + bytesText(limits.maxBytes) + " holds no more"
                    : "the decoder gave no more (its cap on one clip, or the rest is unreadable)"));
}

std::vector<PixelBufferRef> LoopFrameProvider::compacted(std::vector<PixelBufferRef> frames, std::int64_t maxBytes,
                                                         const std::filesystem::path& file) const
{
    // The decoder gives J420 already; a BGRA frame (a fake decoder's, or frames installed
    // directly) goes as soon as its J420 form exists, so only a frame per core is held twice.
    std::vector<PixelBufferRef> compact(frames.size());
    parallelFor(frames.size(), [&](std::size_t i) {
        compact[i] = frames[i] && frames[i]->isJ420() ? frames[i] : YuvFrames::compact(frames[i]);
        frames[i].reset();
    });
    frames.clear();
    std::erase(compact, nullptr);
    // Frames that came in BGRA were not counted as kept, so the budget is applied again here.
    std::int64_t used = 0;
    std::size_t kept = 0;
    for (; kept < compact.size(); ++kept) {
        const auto bytes = static_cast<std::int64_t>(compact[kept]->byteCount());
        if (used + bytes > maxBytes)
            break;
        used += bytes;
    }
    if (kept < compact.size()) {
        logCut("loop: " + file.filename().string() + " cut to " + secondsText(static_cast<double>(kept) / ClipSampling::kOutputRate)
               + " of " + secondsText(static_cast<double>(compact.size()) / ClipSampling::kOutputRate)
               + " decoded: the loop's memory budget of " + bytesText(limits().maxBytes) + " holds no more");
        compact.resize(kept);
    }
    return compact;
}

void LoopFrameProvider::reset()
{
    std::lock_guard lock(mutex_);
    cursor_ = 0;
    ascending_ = true;
    if (walker_) {
        walker_->restartAt(0);
        step_ = walker_->next();
    }
}

std::int64_t LoopFrameProvider::width() const
{
    std::lock_guard lock(mutex_);
    return width_;
}

std::int64_t LoopFrameProvider::height() const
{
    std::lock_guard lock(mutex_);
    return height_;
}

std::int64_t LoopFrameProvider::frameCount() const
{
    std::lock_guard lock(mutex_);
    return static_cast<std::int64_t>(frames_.size());
}

std::int64_t LoopFrameProvider::byteCount() const
{
    std::lock_guard lock(mutex_);
    std::int64_t bytes = 0;
    for (const PixelBufferRef& frame : frames_)
        bytes += static_cast<std::int64_t>(frame->byteCount());
    return bytes;
}

void LoopFrameProvider::load(const std::filesystem::path& file, std::int64_t maxFrames, std::int64_t crossfadeFrames)
{
    const std::int64_t maxBytes = limits().maxBytes;
    DecodedClip clip = decoder_->decode(file, requestFor(maxFrames, maxBytes));
    noteDecoderCut(clip, file, maxFrames, maxBytes);
    // The unstabilised frames go while their stabilised copies are made.
    std::vector<PixelBufferRef> stable = stabilized(std::move(clip.frames));
    clip.frames.clear();
    std::vector<PixelBufferRef> frames = compacted(std::move(stable), maxBytes, file);
    if (frames.empty())
        throw LoadError(LoadError::Case::empty, "no frame of " + file.filename().string() + " could be kept");
    if (loopMode_ == LoopMode::forward)
        appendWrapCrossfade(frames, crossfadeFrames);
    installFrames(std::move(frames), clip.width, clip.height);
}

void LoopFrameProvider::loadMultiple(const std::vector<std::filesystem::path>& files, std::int64_t totalBudget,
                                     std::int64_t crossfadeFrames)
{
    if (files.empty())
        throw LoadError(LoadError::Case::empty, "no clips to load");
    const std::int64_t perClip =
        LoopRotation::perClipFrameCap(totalBudget, static_cast<std::int64_t>(files.size()), kMinFramesPerClip);
    std::vector<std::vector<PixelBufferRef>> clips;
    std::optional<std::pair<std::int64_t, std::int64_t>> size;
    // The byte budget is the load's: each clip gets what the ones before it left.
    std::int64_t bytesLeft = limits().maxBytes;
    for (const auto& file : files) {
        if (bytesLeft <= 0)
            break;
        DecodedClip clip;
        try {
            clip = decoder_->decode(file, requestFor(perClip, bytesLeft));
        } catch (const std::exception&) {
            continue; // one bad clip must not cost the others
        }
        if (clip.frames.empty())
            continue;
        if (!size)
            size = std::pair(clip.width, clip.height);
        else if (*size != std::pair(clip.width, clip.height))
            continue;
        noteDecoderCut(clip, file, perClip, bytesLeft);
        std::vector<PixelBufferRef> stable = stabilized(std::move(clip.frames));
        clip.frames.clear();
        std::vector<PixelBufferRef> frames = compacted(std::move(stable), bytesLeft, file);
        for (const PixelBufferRef& frame : frames)
            bytesLeft -= static_cast<std::int64_t>(frame->byteCount());
        if (!frames.empty())
            clips.push_back(std::move(frames));
    }
    if (clips.empty())
        throw LoadError(LoadError::Case::empty, "none of the " + std::to_string(files.size()) + " clips could be loaded");
    std::vector<PixelBufferRef> frames = LoopRotation::concatenate(clips, crossfadeFrames);
    clips.clear();
    if (loopMode_ == LoopMode::forward)
        appendWrapCrossfade(frames, crossfadeFrames);
    installFrames(std::move(frames), size->first, size->second);
}

void LoopFrameProvider::installFramesForTesting(std::vector<PixelBufferRef> frames)
{
    installFrames(compacted(std::move(frames), std::numeric_limits<std::int64_t>::max(), {}), 0, 0);
}

void LoopFrameProvider::appendWrapCrossfade(std::vector<PixelBufferRef>& frames, std::int64_t steps)
{
    if (frames.size() < 2 || steps < 1)
        return;
    const PixelBufferRef last = frames.back();
    const PixelBufferRef first = frames.front();
    for (double weight : FrameBlender::crossfadeWeights(std::min(steps, LoopRotation::kMaxCrossfadeFrames)))
        frames.push_back(FrameBlender::blend(last, first, weight));
}

void LoopFrameProvider::installFrames(std::vector<PixelBufferRef> frames, std::int64_t width, std::int64_t height)
{
    std::vector<FrameSignature> signatures(frames.size());
    std::vector<std::optional<LoopEntry::FaceGeometry>> faces(frames.size());
    // Signatures and faces both read the kept frames' luma: faces only on the frames ClipFaces
    // asks about.
    parallelFor(frames.size(), [&](std::size_t i) {
        signatures[i] = LoopEntry::signature(*frames[i], kSignatureGrid).value_or(FrameSignature{});
    });
    faces = ClipFaces::geometries(frames.size(),
                                  [&](std::size_t i, const std::optional<NormalizedRect>& near) { return faceFinder_(*frames[i], near); });

    std::int64_t start = 0;
    std::random_device source;
    if (frames.size() >= 2 && loopMode_ != LoopMode::freeze && randomizeStart())
        start = std::uniform_int_distribution<std::int64_t>(0, static_cast<std::int64_t>(frames.size()) - 1)(source);
    std::optional<LoopWalk::Walker> walker;
    if (loopMode_ == LoopMode::natural) {
        auto table = std::make_shared<const LoopWalk::TransitionTable>(
            LoopWalk::buildTransitionTable(LoopWalk::distanceMatrix(signatures), static_cast<std::int64_t>(frames.size())));
        walker.emplace(std::move(table), (static_cast<std::uint64_t>(source()) << 32) | source(), start);
    }

    {
        std::lock_guard lock(mutex_);
        // The old loop leaves by swap, so its frames are freed after the lock, not under it.
        frames_.swap(frames);
        signatures_.swap(signatures);
        faceGeometries_.swap(faces);
        cursor_ = start;
        ascending_ = true;
        walker_ = std::move(walker);
        if (walker_)
            step_ = walker_->next();
        width_ = width;
        height_ = height;
    }
    frames.clear();
    releaseFreedMemory();
}

PixelBufferRef LoopFrameProvider::nextFrame()
{
    // The pixel work runs after the lock: the frames are never written once installed.
    PixelBufferRef frame;
    PixelBufferRef partner;
    double partnerWeight = 0;
    LightField light;
    CameraSway sway = CameraSway::disabled();
    std::int64_t swayTick = 0;
    {
        std::lock_guard lock(mutex_);
        if (frames_.empty())
            return nullptr;
        frame = frames_[static_cast<std::size_t>(cursor_)];
        if (walker_ && step_.partner) {
            partner = frames_[static_cast<std::size_t>(*step_.partner)];
            partnerWeight = step_.partnerWeight;
        }
        stepLocked();
        if (alive_.isActive()) {
            sway = alive_.sway();
            swayTick = alive_.tick();
            light = alive_.nextLight();
        }
    }
    if (partner)
        frame = FrameBlender::blend(frame, partner, partnerWeight);
    // Moved before lit: the light's tilt stays fixed to the room, not to the picture.
    if (sway.isActive())
        frame = CameraSway::apply(sway.poseAt(swayTick, frame->width(), frame->height()), frame);
    frame = LightDrift::apply(light, frame);
    return YuvFrames::bgra(frame);
}

void LoopFrameProvider::stepLocked()
{
    const auto count = static_cast<std::int64_t>(frames_.size());
    bool hold = false;
    if (loopMode_ != LoopMode::freeze && count >= 2) {
        // While the lag holds, the jitter is not asked, so its counters stand still.
        if (lag_.stallProbability() > 0 && lag_.maxStallFrames() >= 1)
            hold = lag_.shouldHold();
        if (!hold && jitter_.holdProbability() > 0)
            hold = jitter_.shouldHold();
    }
    if (!hold && walker_) {
        step_ = walker_->next();
        cursor_ = step_.frame;
    } else if (!hold) {
        std::tie(cursor_, ascending_) = advance(cursor_, ascending_, count, loopMode_);
    }
}

void LoopFrameProvider::startNear(const PixelBufferRef& frame)
{
    if (!frame || loopMode_ == LoopMode::freeze)
        return;
    const auto targetSignature = LoopEntry::signature(*frame, kSignatureGrid);
    if (!targetSignature)
        return;
    const auto targetGeometry = faceFinder_(*frame, std::nullopt);

    std::lock_guard lock(mutex_);
    if (frames_.size() < 2 || signatures_.size() != frames_.size() || faceGeometries_.size() != frames_.size())
        return;
    const auto index = LoopEntry::bestEntryIndex(faceGeometries_, targetGeometry, signatures_, *targetSignature);
    if (!index || *index < 0 || *index >= static_cast<std::int64_t>(frames_.size()))
        return;
    cursor_ = *index;
    ascending_ = true;
    if (walker_) {
        walker_->restartAt(cursor_);
        step_ = walker_->next();
    }
}

std::pair<std::int64_t, bool> LoopFrameProvider::advance(std::int64_t cursor, bool ascending, std::int64_t count, LoopMode mode)
{
    if (count < 2)
        return {0, true};
    switch (mode) {
    case LoopMode::forward:
    case LoopMode::natural:
        // A cursor outside the loop (never made here) still lands inside it.
        return {((cursor + 1) % count + count) % count, true};
    case LoopMode::freeze:
        return {0, true};
    case LoopMode::pingpong:
        break;
    }
    if (ascending)
        return cursor + 1 < count - 1 ? std::pair(cursor + 1, true) : std::pair(count - 1, false);
    return cursor - 1 >= 1 ? std::pair(cursor - 1, false) : std::pair(std::int64_t{0}, true);
}

PixelBufferRef LoopFrameProvider::pixelBuffer(const DecodedImage& image, ImageContext&)
{
    if (!holdsItsPixels(image))
        return nullptr;
    PixelBufferRef frame = PixelBuffer::create(image.width, image.height, kPixelFormatBGRA);
    if (!frame)
        return nullptr;
    auto source = image.pixels->lockForReading();
    auto target = frame->lockForWriting();
    const std::size_t rowBytes = static_cast<std::size_t>(image.width) * 4;
    for (int y = 0; y < image.height; ++y)
        std::memcpy(target.row(y), source.row(y), rowBytes);
    return frame;
}

PixelBufferRef LoopFrameProvider::pixelBuffer(DecodedImage&& image, ImageContext& context)
{
    if (!holdsItsPixels(image))
        return nullptr;
    // Another holder of the same pixels could still write them; only a sole owner hands over.
    if (image.pixels.use_count() != 1)
        return pixelBuffer(static_cast<const DecodedImage&>(image), context);
    image.width = 0;
    image.height = 0;
    return std::move(image.pixels);
}

} // namespace quellon
