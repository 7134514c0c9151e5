#include "Commands.h"

#include "state/JSONCoding.h"
#include "state/QuellonState.h"
#include "state/QuellonStorage.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <limits>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

namespace quellon::cli {

namespace {

// The camera serves 5 to 30 fps; anything else would be silently clamped, so refuse it.
constexpr std::int64_t kMinFPS = 5;
constexpr std::int64_t kMaxFPS = 30;
// Larger sizes cannot be drawn as a standby card and no meeting app asks for them.
constexpr std::int64_t kMaxTargetSide = 8192;

struct StateChanges {
    std::optional<std::string> mode;
    std::optional<std::string> loopMode;
    std::optional<std::string> fps;
    std::optional<std::string> size;
    std::optional<std::string> clip;
    bool clearClip = false;
};

std::optional<std::int64_t> parseInteger(std::string_view text)
{
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::string joinedRawValues(auto allCases)
{
    std::string text;
    for (auto value : allCases)
        text += (text.empty() ? "" : ", ") + std::string(rawValue(value));
    return text;
}

// Validates every change before anything is applied, so a bad value writes nothing.
QuellonState applyChanges(QuellonState state, const StateChanges& changes)
{
    if (changes.mode) {
        auto mode = quellonModeFromRawValue(*changes.mode);
        if (!mode)
            throw UsageError("unknown mode \"" + *changes.mode + "\" (use one of " + joinedRawValues(QuellonModes::allCases) + ")");
        state.mode = *mode;
    }
    if (changes.loopMode) {
        auto loopMode = loopModeFromRawValue(*changes.loopMode);
        if (!loopMode)
            throw UsageError("unknown loop mode \"" + *changes.loopMode + "\" (use one of " + joinedRawValues(LoopModes::allCases) + ")");
        state.loopMode = *loopMode;
    }
    if (changes.fps) {
        auto fps = parseInteger(*changes.fps);
        if (!fps || *fps < kMinFPS || *fps > kMaxFPS)
            throw UsageError("--fps must be a whole number from " + std::to_string(kMinFPS) + " to " + std::to_string(kMaxFPS) + ", not \"" + *changes.fps + "\"");
        state.targetFPS = *fps;
    }
    if (changes.size) {
        const auto x = changes.size->find('x');
        auto width = x == std::string::npos ? std::nullopt : parseInteger(std::string_view(*changes.size).substr(0, x));
        auto height = x == std::string::npos ? std::nullopt : parseInteger(std::string_view(*changes.size).substr(x + 1));
        if (!width || !height || *width < 1 || *height < 1 || *width > kMaxTargetSide || *height > kMaxTargetSide)
            throw UsageError("--size must be WIDTHxHEIGHT with each side from 1 to " + std::to_string(kMaxTargetSide) + ", not \"" + *changes.size + "\"");
        state.targetWidth = *width;
        state.targetHeight = *height;
    }
    if (changes.clip) {
        const std::string& clip = *changes.clip;
        if (clip.empty() || clip == "." || clip == ".." || clip.find('/') != std::string::npos)
            throw UsageError("--clip must be a file name inside the Clips directory, not \"" + clip + "\"");
        state.activeClipFilename = clip;
    }
    if (changes.clearClip)
        state.activeClipFilename.reset();
    return state;
}

} // namespace

void addStateCommands(CLI::App& app)
{
    auto* state = app.add_subcommand("state", "Show or change the shared state record.");
    state->require_subcommand(1);

    auto* show = state->add_subcommand("show", "Print the stored state as JSON.");
    show->callback([] {
        std::cout << encodeJSON(QuellonStorage::readState(), JSONStyle::pretty) << "\n";
    });

    auto changes = std::make_shared<StateChanges>();
    auto* set = state->add_subcommand("set", "Change the stored state; every change gets a new revision.");
    set->add_option("--mode", changes->mode, "live, away, standby or error");
    set->add_option("--loop-mode", changes->loopMode, "natural, pingpong, forward or freeze");
    set->add_option("--fps", changes->fps, "frame rate, 5 to 30");
    set->add_option("--size", changes->size, "frame size, WIDTHxHEIGHT");
    auto* clip = set->add_option("--clip", changes->clip, "file name of the loop to play");
    set->add_flag("--no-clip", changes->clearClip, "forget the loop to play")->excludes(clip);
    set->callback([changes] {
        QuellonState current = QuellonStorage::readState();
        QuellonState next = applyChanges(current, *changes);
        // Above the stored revision and the camera's: a missing or damaged state.json starts
        // from 0, and a camera that already applied a revision ignores it when sent again.
        const std::int64_t last = std::max(current.revision, cameraStateRevision().value_or(current.revision));
        next.revision = last < std::numeric_limits<std::int64_t>::max() ? last + 1 : last;
        // Whole seconds: the stored form has no fraction, so what we print is what is read back.
        next.updatedAt = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
        QuellonStorage::writeState(next);
        std::cout << encodeJSON(next, JSONStyle::pretty) << "\n";
        sendStateToCamera(next);
    });
}

} // namespace quellon::cli
