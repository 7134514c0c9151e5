#include "state/ClipMetadata.h"

#include "state/JSONCoding.h"

#include <cmath>

namespace quellon {

using namespace JSONCoding;

std::string encodeJSON(const ClipMetadata& metadata, JSONStyle style)
{
    // JSON has no NaN or infinity: it would be written as null and never read back.
    if (!std::isfinite(metadata.duration))
        throw EncodingError("\"duration\" is not a finite number");
    Json object = Json::object();
    object["clipType"] = metadata.clipType;
    object["duration"] = metadata.duration;
    object["createdAt"] = encodeDate(metadata.createdAt);
    object["resolution"] = metadata.resolution;
    object["fps"] = metadata.fps;
    object["loopMode"] = metadata.loopMode;
    object["filename"] = metadata.filename;
    if (metadata.displayName)
        object["displayName"] = *metadata.displayName;
    if (const auto& cache = metadata.qualityCache) {
        for (double value : {cache->brightness, cache->motion, cache->boundaryJump, cache->seconds})
            if (!std::isfinite(value))
                throw EncodingError("\"qualityCache\" holds a number that is not finite");
        object["qualityCache"] = Json{{"clipBytes", cache->clipBytes},       {"clipModifiedNanoseconds", cache->clipModifiedNanoseconds},
                                      {"brightness", cache->brightness},     {"motion", cache->motion},
                                      {"boundaryJump", cache->boundaryJump}, {"seconds", cache->seconds}};
    }
    return dump(object, style);
}

ClipMetadata decodeClipMetadata(std::string_view json)
{
    const Json object = parseObject(json);
    ClipMetadata metadata;
    metadata.clipType = requiredString(object, "clipType");
    metadata.duration = requiredDouble(object, "duration");
    metadata.createdAt = requiredDate(object, "createdAt");
    metadata.resolution = requiredString(object, "resolution");
    metadata.fps = requiredInt(object, "fps");
    metadata.loopMode = requiredString(object, "loopMode");
    metadata.filename = requiredString(object, "filename");
    metadata.displayName = optionalString(object, "displayName");
    const auto cache = object.find("qualityCache");
    if (cache != object.end() && cache->is_object()) {
        try {
            metadata.qualityCache = ClipQualityCache{requiredInt(*cache, "clipBytes"), requiredInt(*cache, "clipModifiedNanoseconds"),
                                                     requiredDouble(*cache, "brightness"),  requiredDouble(*cache, "motion"),
                                                     requiredDouble(*cache, "boundaryJump"), requiredDouble(*cache, "seconds")};
        } catch (const DecodingError&) {
            metadata.qualityCache.reset();
        }
    }
    return metadata;
}

} // namespace quellon
