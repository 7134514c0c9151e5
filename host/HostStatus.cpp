#include "host/HostStatus.h"

#include "state/JSONCoding.h"

namespace quellon::host {

using namespace JSONCoding;

namespace {

// Counts of frames and bytes are never negative; a negative one means a broken sender.
std::int64_t requiredCount(const Json& object, const char* key)
{
    const std::int64_t value = requiredInt(object, key);
    if (value < 0)
        throw DecodingError(std::string("\"") + key + "\" is negative");
    return value;
}

} // namespace

std::string encodeJSON(const HostStatus& status)
{
    Json object = Json::object();
    object["mode"] = std::string(rawValue(status.mode));
    object["modeCause"] = status.modeCause;
    if (status.activeLoop)
        object["activeLoop"] = *status.activeLoop;
    object["loopFrames"] = status.loopFrames;
    object["loopBytes"] = status.loopBytes;
    object["rotationClips"] = status.rotationClips;
    object["rotationFrameBudget"] = status.rotationFrameBudget;
    if (status.loopError)
        object["loopError"] = *status.loopError;
    object["physicalCamera"] = status.physicalCamera;
    object["physicalCameraAvailable"] = status.physicalCameraAvailable;
    if (status.physicalCameraError)
        object["physicalCameraError"] = *status.physicalCameraError;
    object["cameraConnected"] = status.cameraConnected;
    object["appStreaming"] = status.appStreaming;
    object["autoReturn"] = status.autoReturn;
    object["hasLoops"] = status.hasLoops;
    object["recording"] = status.recording;
    object["recordingsFinished"] = status.recordingsFinished;
    if (status.lastRecording)
        object["lastRecording"] = *status.lastRecording;
    object["lastRecordingActivated"] = status.lastRecordingActivated;
    object["refusals"] = status.refusals;
    if (status.lastRefusal)
        object["lastRefusal"] = *status.lastRefusal;
    object["stateRevision"] = status.stateRevision;
    if (status.automation)
        object["automation"] = *status.automation;
    return dump(object, JSONStyle::compact);
}

HostStatus decodeHostStatus(std::string_view json)
{
    const Json object = parseObject(json);
    HostStatus status;
    status.mode = requiredEnum<QuellonMode>(object, "mode", quellonModeFromRawValue);
    status.modeCause = requiredString(object, "modeCause");
    status.activeLoop = optionalString(object, "activeLoop");
    status.loopFrames = requiredCount(object, "loopFrames");
    status.loopBytes = requiredCount(object, "loopBytes");
    status.rotationClips = requiredCount(object, "rotationClips");
    status.rotationFrameBudget = requiredCount(object, "rotationFrameBudget");
    status.loopError = optionalString(object, "loopError");
    status.physicalCamera = requiredString(object, "physicalCamera");
    status.physicalCameraAvailable = requiredBool(object, "physicalCameraAvailable");
    status.physicalCameraError = optionalString(object, "physicalCameraError");
    status.cameraConnected = requiredBool(object, "cameraConnected");
    status.appStreaming = requiredBool(object, "appStreaming");
    status.autoReturn = requiredBool(object, "autoReturn");
    status.hasLoops = requiredBool(object, "hasLoops");
    status.recording = requiredBool(object, "recording");
    // Added later than the rest: a host that does not send them has finished no recording.
    status.recordingsFinished = optionalInt(object, "recordingsFinished").value_or(0);
    if (status.recordingsFinished < 0)
        throw DecodingError("\"recordingsFinished\" is negative");
    status.lastRecording = optionalString(object, "lastRecording");
    status.lastRecordingActivated = optionalBool(object, "lastRecordingActivated").value_or(false);
    status.refusals = optionalInt(object, "refusals").value_or(0);
    if (status.refusals < 0)
        throw DecodingError("\"refusals\" is negative");
    status.lastRefusal = optionalString(object, "lastRefusal");
    status.stateRevision = requiredInt(object, "stateRevision");
    status.automation = optionalString(object, "automation");
    return status;
}

} // namespace quellon::host
