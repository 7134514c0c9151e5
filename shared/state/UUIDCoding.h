#pragma once

// JSON coding of identifiers, beside the shared record helpers. Include only from .cpp files.

#include "platform/UUID.h"
#include "state/JSONCoding.h"

namespace quellon::JSONCoding {

/// The identifier's upper-case text.
inline Json encodeUUID(const UUID& uuid)
{
    return uuid.uuidString();
}

/// Throws DecodingError when the key is missing, not text, or not a UUID's text.
UUID requiredUUID(const Json& object, const char* key);

} // namespace quellon::JSONCoding
