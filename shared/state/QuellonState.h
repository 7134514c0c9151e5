#pragma once

#include "platform/DateTime.h"
#include "state/QuellonMode.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quellon {

enum class JSONStyle;

/// The shared state record: what the host wants the camera to do. Its JSON form is both
/// "state.json" and the payload of the camera's state channel.
struct QuellonState {
    QuellonMode mode = QuellonMode::live;
    std::optional<std::string> selectedCameraID;
    std::optional<std::string> activeClipFilename;
    LoopMode loopMode = LoopMode::natural;
    std::int64_t targetFPS = 30;
    std::int64_t targetWidth = 1280;
    std::int64_t targetHeight = 720;
    std::int64_t loopCrossfadeFrames = 0;
    // Chosen by measuring how plainly Away shows its loop: a held frame now and then and a
    // slow, never-repeating drift of the light keep the served frames from repeating exactly
    // at no visible cost; stalls show, so they stay off.
    bool loopJitter = true;
    bool simulatedLag = false;
    bool aliveMotion = true;
    bool randomizeLoopStart = true;
    std::vector<std::string> varietyClipFilenames;
    /// Consumers apply a record only when this differs from the last one they applied.
    std::int64_t revision = 0;
    Date updatedAt{};

    /// The record every reader falls back to.
    static const QuellonState& defaultState();

    /// "1280x720" for the default record.
    std::string resolutionString() const;

    bool operator==(const QuellonState&) const = default;
};

/// JSON text of the record; absent optional text fields are left out. Throws EncodingError.
std::string encodeJSON(const QuellonState& state, JSONStyle style);

/// Decodes a whole record or throws DecodingError: required fields must be present and of
/// the right type, optional ones default when missing or null, unknown keys are ignored.
QuellonState decodeQuellonState(std::string_view json);

} // namespace quellon
