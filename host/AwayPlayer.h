#pragma once
// The away loop, loaded ahead on a thread of its own so switching to Away is instant: at start
// and whenever the state names other clips, another loop mode or crossfade. The previous loop
// keeps playing until the new one is installed.

#include "playback/ClipSampling.h"
#include "playback/LoopFrameProvider.h"
#include "state/QuellonState.h"

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quellon::host {

class AwayPlayer {
public:
    /// Seconds a loop may hold, shared by the clips of a rotation: each clip plays its first
    /// seconds at its own pace (and keeps at least 24 frames).
    static constexpr std::int64_t kSecondsBudget = 20;
    /// The same in frames at the output rate.
    static constexpr std::int64_t kFrameBudget = kSecondsBudget * static_cast<std::int64_t>(ClipSampling::kOutputRate);

    /// What is loaded: derived from the state record.
    struct Choice {
        std::vector<std::filesystem::path> files; // the active clip first, then the rotation
        LoopMode loopMode = LoopMode::pingpong;
        std::int64_t crossfadeFrames = 0;
        bool operator==(const Choice&) const = default;
    };
    /// The liveness switches: changed on the playing loop without a reload.
    struct Effects {
        bool jitter = false;
        bool lag = false;
        bool alive = false;
        bool randomizeStart = true;
        bool operator==(const Effects&) const = default;
    };

    /// The loop's files in clipsDirectory: the active clip, then the variety clips that are not
    /// it (each once). Names that are not bare file names are left out.
    static Choice choiceFor(const QuellonState& state, const std::filesystem::path& clipsDirectory);
    static Effects effectsFor(const QuellonState& state);

    /// Makes providers; tests give one with a fake decoder.
    using ProviderFactory = std::function<std::unique_ptr<LoopFrameProvider>(LoopMode, LoopJitter, SimulatedLag, AliveMotion)>;
    /// Called on the loader thread after each load ends, whether it succeeded or not.
    using LoadHandler = std::function<void()>;

    /// Loads report clips cut short to log, when given (it must outlive the player).
    explicit AwayPlayer(LoadHandler loaded, ProviderFactory factory = {}, LogSink* log = nullptr);
    ~AwayPlayer();
    AwayPlayer(const AwayPlayer&) = delete;
    AwayPlayer& operator=(const AwayPlayer&) = delete;

    /// Loads choice in the background unless it is what is loaded or loading; applies effects
    /// at once.
    void choose(const Choice& choice, const Effects& effects);

    /// The next loop frame; nothing while no loop is loaded.
    PixelBufferRef nextFrame();
    /// Moves playback to the frame that best continues frame (the last live one).
    void startNear(const PixelBufferRef& frame);

    struct Info {
        std::int64_t frames = 0;
        std::int64_t bytes = 0;       // the frames as kept (J420)
        std::int64_t clips = 0;       // clips in the loop that loaded
        std::int64_t frameBudget = 0; // the budget they share
        std::optional<std::string> error;
        bool loading = false;
        bool operator==(const Info&) const = default;
    };
    Info info() const;

    /// Why choice could not be loaded, when it is what was loaded last and nothing of it
    /// plays; nothing while it loads, plays, or is not what was asked for last.
    std::optional<std::string> failure(const Choice& choice) const;

    /// Ends the loader thread (a load in progress finishes first). Idempotent.
    void stop();

private:
    void run(std::stop_token stop);
    std::unique_ptr<LoopFrameProvider> makeProvider(LoopMode mode, const Effects& effects) const;

    LoadHandler loaded_;
    ProviderFactory factory_;
    LogSink* log_;

    mutable std::mutex mutex_;
    std::condition_variable_any wake_;
    std::optional<Choice> wanted_;   // what to load next
    std::optional<Choice> current_;  // what the provider holds (or failed to load)
    Effects effects_;
    std::shared_ptr<LoopFrameProvider> provider_;
    Info info_;
    std::jthread thread_;
};

} // namespace quellon::host
