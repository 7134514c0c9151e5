#include "channel/CameraInfo.h"

#include "state/JSONCoding.h"

namespace quellon {

using namespace JSONCoding;

std::string encodeJSON(const CameraInfo& info)
{
    Json object = Json::object();
    object["name"] = info.name;
    object["legacyID"] = info.legacyID;
    object["deviceUUID"] = info.deviceUUID;
    object["streamUUID"] = info.streamUUID;
    object["fps"] = info.fps;
    object["sink"] = info.sink;
    if (info.storedName)
        object["storedName"] = *info.storedName;
    if (info.storedNameHint)
        object["storedNameHint"] = *info.storedNameHint;
    return dump(object, JSONStyle::compact);
}

CameraInfo decodeCameraInfo(std::string_view json)
{
    const Json object = parseObject(json);
    CameraInfo info;
    info.name = requiredString(object, "name");
    info.legacyID = requiredString(object, "legacyID");
    info.deviceUUID = requiredString(object, "deviceUUID");
    info.streamUUID = requiredString(object, "streamUUID");
    info.fps = requiredInt(object, "fps");
    info.sink = requiredString(object, "sink");
    info.storedName = optionalString(object, "storedName");
    info.storedNameHint = optionalString(object, "storedNameHint");
    return info;
}

} // namespace quellon
