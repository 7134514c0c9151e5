#include "triggers/MeetingAppProfile.h"

#include "state/UUIDCoding.h"
#include "state/JSONCoding.h"

namespace quellon {

using namespace JSONCoding;

std::string encodeJSON(const MeetingAppProfile& profile, JSONStyle style)
{
    Json object = Json::object();
    object["id"] = encodeUUID(profile.id);
    object["appBundleID"] = profile.appBundleID;
    object["appDisplayName"] = profile.appDisplayName;
    if (profile.preferredLoopFilename)
        object["preferredLoopFilename"] = *profile.preferredLoopFilename;
    object["isEnabled"] = profile.isEnabled;
    return dump(object, style);
}

MeetingAppProfile decodeMeetingAppProfile(std::string_view json)
{
    const Json object = parseObject(json);
    MeetingAppProfile profile;
    profile.id = requiredUUID(object, "id");
    profile.appBundleID = requiredString(object, "appBundleID");
    profile.appDisplayName = requiredString(object, "appDisplayName");
    profile.preferredLoopFilename = optionalString(object, "preferredLoopFilename");
    profile.isEnabled = requiredBool(object, "isEnabled");
    return profile;
}

} // namespace quellon
