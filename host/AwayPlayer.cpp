#include "host/AwayPlayer.h"

#include "playback/LoopRotation.h"

#include <algorithm>
#include <random>

namespace quellon::host {

namespace {

std::uint64_t freshSeed()
{
    std::random_device source;
    return (static_cast<std::uint64_t>(source()) << 32) | source();
}

bool isBareFilename(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

} // namespace

AwayPlayer::Choice AwayPlayer::choiceFor(const QuellonState& state, const std::filesystem::path& clipsDirectory)
{
    Choice choice;
    choice.loopMode = state.loopMode;
    choice.crossfadeFrames = std::clamp<std::int64_t>(state.loopCrossfadeFrames, 0, LoopRotation::kMaxCrossfadeFrames);
    if (!state.activeClipFilename || !isBareFilename(*state.activeClipFilename))
        return choice;
    std::vector<std::string> names{*state.activeClipFilename};
    for (const std::string& name : state.varietyClipFilenames)
        if (isBareFilename(name) && std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
    for (const std::string& name : names)
        choice.files.push_back(clipsDirectory / name);
    return choice;
}

AwayPlayer::Effects AwayPlayer::effectsFor(const QuellonState& state)
{
    return {state.loopJitter, state.simulatedLag, state.aliveMotion, state.randomizeLoopStart};
}

AwayPlayer::AwayPlayer(LoadHandler loaded, ProviderFactory factory, LogSink* log)
    : loaded_(std::move(loaded)), factory_(std::move(factory)), log_(log)
{
    if (!factory_)
        factory_ = [](LoopMode mode, LoopJitter jitter, SimulatedLag lag, AliveMotion alive) {
            return std::make_unique<LoopFrameProvider>(mode, std::move(jitter), std::move(lag), std::move(alive));
        };
    thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

AwayPlayer::~AwayPlayer()
{
    stop();
}

void AwayPlayer::stop()
{
    if (!thread_.joinable())
        return;
    thread_.request_stop();
    wake_.notify_all();
    thread_.join();
}

std::unique_ptr<LoopFrameProvider> AwayPlayer::makeProvider(LoopMode mode, const Effects& effects) const
{
    auto provider = factory_(mode, effects.jitter ? LoopJitter::gentle(freshSeed()) : LoopJitter::disabled(),
                             effects.lag ? SimulatedLag::realistic(freshSeed()) : SimulatedLag::disabled(),
                             effects.alive ? AliveMotion::gentle(freshSeed()) : AliveMotion::disabled());
    provider->setRandomizeStart(effects.randomizeStart);
    provider->setLog(log_);
    return provider;
}

void AwayPlayer::choose(const Choice& choice, const Effects& effects)
{
    {
        std::lock_guard lock(mutex_);
        if (effects != effects_) {
            if (provider_) {
                if (effects.jitter != effects_.jitter)
                    provider_->setJitter(effects.jitter ? LoopJitter::gentle(freshSeed()) : LoopJitter::disabled());
                if (effects.lag != effects_.lag)
                    provider_->setLag(effects.lag ? SimulatedLag::realistic(freshSeed()) : SimulatedLag::disabled());
                if (effects.alive != effects_.alive)
                    provider_->setAlive(effects.alive ? AliveMotion::gentle(freshSeed()) : AliveMotion::disabled());
                provider_->setRandomizeStart(effects.randomizeStart);
            }
            effects_ = effects;
        }
        const std::optional<Choice>& pending = wanted_ ? wanted_ : current_;
        if (pending == choice)
            return;
        wanted_ = choice;
        info_.loading = true;
    }
    wake_.notify_all();
}

PixelBufferRef AwayPlayer::nextFrame()
{
    std::shared_ptr<LoopFrameProvider> provider;
    {
        std::lock_guard lock(mutex_);
        provider = provider_;
    }
    return provider ? provider->nextFrame() : nullptr;
}

void AwayPlayer::startNear(const PixelBufferRef& frame)
{
    std::shared_ptr<LoopFrameProvider> provider;
    {
        std::lock_guard lock(mutex_);
        provider = provider_;
    }
    if (provider && frame)
        provider->startNear(frame);
}

AwayPlayer::Info AwayPlayer::info() const
{
    std::lock_guard lock(mutex_);
    return info_;
}

std::optional<std::string> AwayPlayer::failure(const Choice& choice) const
{
    std::lock_guard lock(mutex_);
    if (wanted_ || current_ != choice || provider_ || choice.files.empty())
        return std::nullopt;
    return info_.error.value_or("it holds no frames");
}

void AwayPlayer::run(std::stop_token stop)
{
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!wake_.wait(lock, stop, [this] { return wanted_.has_value(); }))
            return;
        const Choice choice = *wanted_;
        const Effects effects = effects_;
        wanted_.reset();
        lock.unlock();

        std::shared_ptr<LoopFrameProvider> provider;
        std::optional<std::string> error;
        if (!choice.files.empty()) {
            try {
                provider = makeProvider(choice.loopMode, effects);
                if (choice.files.size() == 1)
                    provider->load(choice.files.front(), kFrameBudget, choice.crossfadeFrames);
                else
                    provider->loadMultiple(choice.files, kFrameBudget, choice.crossfadeFrames);
            } catch (const std::exception& failure) {
                provider.reset();
                error = "cannot load " + choice.files.front().filename().string() + ": " + failure.what();
            }
        }

        lock.lock();
        // What the state names is what plays: a loop that failed to load leaves none.
        provider_ = provider;
        current_ = choice;
        if (provider_ && effects_ != effects) {
            provider_->setJitter(effects_.jitter ? LoopJitter::gentle(freshSeed()) : LoopJitter::disabled());
            provider_->setLag(effects_.lag ? SimulatedLag::realistic(freshSeed()) : SimulatedLag::disabled());
            provider_->setAlive(effects_.alive ? AliveMotion::gentle(freshSeed()) : AliveMotion::disabled());
        }
        Info info;
        if (provider_) {
            info.frames = provider_->frameCount();
            info.bytes = provider_->byteCount();
            info.clips = static_cast<std::int64_t>(choice.files.size());
            info.frameBudget = kFrameBudget;
        }
        info.error = error;
        info.loading = wanted_.has_value();
        info_ = info;
        lock.unlock();
        if (loaded_)
            loaded_();
        lock.lock();
    }
}

} // namespace quellon::host
