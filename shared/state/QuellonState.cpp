#include "state/QuellonState.h"

#include "state/JSONCoding.h"

namespace quellon {

using namespace JSONCoding;

const QuellonState& QuellonState::defaultState()
{
    static const QuellonState state{};
    return state;
}

std::string QuellonState::resolutionString() const
{
    return std::to_string(targetWidth) + "x" + std::to_string(targetHeight);
}

std::string encodeJSON(const QuellonState& state, JSONStyle style)
{
    Json object = Json::object();
    object["mode"] = std::string(rawValue(state.mode));
    if (state.selectedCameraID)
        object["selectedCameraID"] = *state.selectedCameraID;
    if (state.activeClipFilename)
        object["activeClipFilename"] = *state.activeClipFilename;
    object["loopMode"] = std::string(rawValue(state.loopMode));
    object["targetFPS"] = state.targetFPS;
    object["targetWidth"] = state.targetWidth;
    object["targetHeight"] = state.targetHeight;
    object["loopCrossfadeFrames"] = state.loopCrossfadeFrames;
    object["loopJitter"] = state.loopJitter;
    object["simulatedLag"] = state.simulatedLag;
    object["aliveMotion"] = state.aliveMotion;
    object["randomizeLoopStart"] = state.randomizeLoopStart;
    object["varietyClipFilenames"] = state.varietyClipFilenames;
    object["revision"] = state.revision;
    object["updatedAt"] = encodeDate(state.updatedAt);
    return dump(object, style);
}

QuellonState decodeQuellonState(std::string_view json)
{
    const Json object = parseObject(json);
    QuellonState state;
    state.mode = requiredEnum<QuellonMode>(object, "mode", quellonModeFromRawValue);
    state.selectedCameraID = optionalString(object, "selectedCameraID");
    state.activeClipFilename = optionalString(object, "activeClipFilename");
    state.loopMode = requiredEnum<LoopMode>(object, "loopMode", loopModeFromRawValue);
    state.targetFPS = requiredInt(object, "targetFPS");
    state.targetWidth = requiredInt(object, "targetWidth");
    state.targetHeight = requiredInt(object, "targetHeight");
    state.loopCrossfadeFrames = optionalInt(object, "loopCrossfadeFrames").value_or(0);
    // Only a new record has the effects on: one that leaves them out was written when they were
    // all off by default, and plays as it did.
    state.loopJitter = optionalBool(object, "loopJitter").value_or(false);
    state.simulatedLag = optionalBool(object, "simulatedLag").value_or(false);
    state.aliveMotion = optionalBool(object, "aliveMotion").value_or(false);
    state.randomizeLoopStart = optionalBool(object, "randomizeLoopStart").value_or(state.randomizeLoopStart);
    state.varietyClipFilenames = optionalStringList(object, "varietyClipFilenames").value_or(std::vector<std::string>{});
    state.revision = requiredInt(object, "revision");
    state.updatedAt = requiredDate(object, "updatedAt");
    return state;
}

} // namespace quellon
