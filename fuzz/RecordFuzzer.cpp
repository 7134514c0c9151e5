// One JSON record, chosen at build time: decoding throws DecodingError or gives a value that
// encodes (compact and pretty) and decodes back to the same value.

#include "FuzzSupport.h"
#include "state/JSONCoding.h"

#include <optional>

#if defined(QUELLON_FUZZ_RECORD_STATE)
#include "state/QuellonState.h"
#define DECODE decodeQuellonState
#elif defined(QUELLON_FUZZ_RECORD_CLIP)
#include "state/ClipMetadata.h"
#define DECODE decodeClipMetadata
#elif defined(QUELLON_FUZZ_RECORD_SCHEDULE)
#include "schedules/LoopSchedule.h"
#define DECODE decodeLoopSchedule
#elif defined(QUELLON_FUZZ_RECORD_PROFILE)
#include "triggers/MeetingAppProfile.h"
#define DECODE decodeMeetingAppProfile
#elif defined(QUELLON_FUZZ_RECORD_HOTKEY)
#include "triggers/HotkeyBinding.h"
#define DECODE decodeHotkeyBinding
#elif defined(QUELLON_FUZZ_RECORD_CAMERA_INFO)
#include "channel/CameraInfo.h"
#define DECODE decodeCameraInfo
#else
#error "choose a record with QUELLON_FUZZ_RECORD_..."
#endif

using namespace quellon;

namespace {

#if defined(QUELLON_FUZZ_RECORD_CAMERA_INFO)
std::string encodeIn(const CameraInfo& value, JSONStyle) { return encodeJSON(value); }
#else
template <class Record>
std::string encodeIn(const Record& value, JSONStyle style) { return encodeJSON(value, style); }
#endif

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input = fuzz::text(data, size);
    std::optional<decltype(DECODE(input))> value;
    try {
        value = DECODE(input);
    } catch (const DecodingError&) {
        return 0;
    }
    // Outside the try: encoding a decoded record and decoding it again may throw nothing.
    for (JSONStyle style : {JSONStyle::compact, JSONStyle::pretty})
        fuzz::require(DECODE(encodeIn(*value, style)) == *value, "a decoded record round-trips");
    return 0;
}
