#include "state/UUIDCoding.h"

namespace quellon::JSONCoding {

UUID requiredUUID(const Json& object, const char* key)
{
    std::string text = requiredString(object, key);
    if (std::optional<UUID> uuid = UUID::fromString(text))
        return *uuid;
    throw DecodingError(std::string("\"") + key + "\" is not a UUID");
}

} // namespace quellon::JSONCoding
