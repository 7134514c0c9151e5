#pragma once

// Loop provider tests: frames whose grey level names them, and a fake decoder of such clips.

#include "playback/ClipDecoder.h"
#include "playback/LoopFrameProvider.h"
#include "playback/TestFrames.h"
#include "playback/YuvFrames.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quellon::testing::loop_frames {

inline PixelBufferRef greyFrame(int level, int size = 16)
{
    const auto v = static_cast<std::uint8_t>(level);
    return testing::makeFrame(size, size, [v](int, int) { return testing::Pixel{v, v, v, 255}; });
}

inline int levelOf(const PixelBufferRef& frame)
{
    return frame ? testing::pixelOf(*frame, 1, 1)[0] : -1;
}

inline std::vector<PixelBufferRef> greyFrames(std::initializer_list<int> levels)
{
    std::vector<PixelBufferRef> frames;
    for (int level : levels)
        frames.push_back(greyFrame(level));
    return frames;
}

/// Clips by file name: a clip of uniformly grey frames, or a load error. Records every request.
class FakeClipDecoder final : public ClipDecoder {
public:
    struct Clip {
        std::vector<int> levels;
        std::int64_t width = 16, height = 16;
    };

    DecodedClip decode(const std::filesystem::path& file, std::int64_t maxFrames) override
    {
        {
            std::lock_guard lock(mutex);
            requests.emplace_back(file.string(), maxFrames);
        }
        const auto found = clips.find(file.string());
        if (found == clips.end())
            throw LoopLoadError(LoopLoadError::Case::decodeFailed, "no such clip");
        DecodedClip clip{{}, found->second.width, found->second.height, 30, static_cast<double>(found->second.levels.size()) / 30};
        for (int level : found->second.levels)
            if (static_cast<std::int64_t>(clip.frames.size()) < maxFrames)
                clip.frames.push_back(greyFrame(level));
        if (clip.frames.empty())
            throw LoopLoadError(LoopLoadError::Case::empty, "no frames");
        return clip;
    }

    /// As the FFmpeg decoder does: frames in the requested format (BGRA or J420), no more than
    /// the byte budget holds.
    DecodedClip decode(const std::filesystem::path& file, const ClipRequest& request) override
    {
        {
            std::lock_guard lock(mutex);
            budgets.push_back(request);
        }
        if (request.format != kPixelFormatBGRA && request.format != kPixelFormatJ420)
            throw LoopLoadError(LoopLoadError::Case::decodeFailed, "no such format");
        DecodedClip clip = decode(file, request.maxFrames);
        if (request.format == kPixelFormatJ420) {
            for (PixelBufferRef& frame : clip.frames)
                frame = YuvFrames::compact(frame);
        }
        const auto frameBytes = static_cast<std::int64_t>(clip.frames.front()->byteCount());
        if (request.maxBytes > 0 && static_cast<std::int64_t>(clip.frames.size()) * frameBytes > request.maxBytes)
            clip.frames.resize(static_cast<std::size_t>(request.maxBytes / frameBytes));
        if (clip.frames.empty())
            throw LoopLoadError(LoopLoadError::Case::empty, "no frames within the budget");
        return clip;
    }

    std::map<std::string, Clip> clips;
    std::mutex mutex;
    std::vector<std::pair<std::string, std::int64_t>> requests;
    std::vector<ClipRequest> budgets;
};

struct Fixture {
    explicit Fixture(LoopMode mode, LoopJitter jitter = LoopJitter::disabled(), SimulatedLag lag = SimulatedLag::disabled())
        : provider(mode, jitter, lag, AliveMotion::disabled(), decoder, [](const PixelBuffer&, const std::optional<NormalizedRect>&) { return std::nullopt; })
    {
    }
    std::vector<int> play(int calls)
    {
        std::vector<int> levels;
        for (int i = 0; i < calls; ++i)
            levels.push_back(levelOf(provider.nextFrame()));
        return levels;
    }
    std::shared_ptr<FakeClipDecoder> decoder = std::make_shared<FakeClipDecoder>();
    LoopFrameProvider provider;
};

} // namespace quellon::testing::loop_frames
