// The host's settings inside the user-defaults object: decoding throws DecodingError or gives
// settings that, merged into an empty object or back into the input itself, decode to the same.

#include "FuzzSupport.h"
#include "host/HostSettings.h"
#include "state/JSONCoding.h"

#include <optional>

using namespace quellon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input = fuzz::text(data, size);
    std::optional<host::HostSettings> settings;
    try {
        settings = host::decodeHostSettings(input);
    } catch (const DecodingError&) {
        return 0;
    }
    // Outside the try: what a decoded value does afterwards may throw nothing.
    fuzz::require(host::decodeHostSettings(host::mergeIntoDefaults(*settings, "")) == settings,
                  "decoded settings round-trip");
    fuzz::require(host::decodeHostSettings(host::mergeIntoDefaults(*settings, input)) == settings,
                  "settings merged back into their own defaults decode the same");
    return 0;
}
