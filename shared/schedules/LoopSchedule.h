#pragma once

#include "platform/UUID.h"

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

namespace quellon {

enum class JSONStyle;

/// One recurring away window of the week, in local wall-clock minutes. A window whose start
/// lies after its end runs across midnight into the following day; start equal to end is empty.
struct LoopSchedule {
    static constexpr std::int64_t kLastMinuteOfDay = 1439;

    UUID id;
    /// The user's label.
    std::string name;
    /// Minute of the day, 0 to 1439.
    std::int64_t startMinute = 0;
    /// Minute of the day, 0 to 1439; the window ends before it.
    std::int64_t endMinute = 0;
    /// Days on which the window starts: 1 = Sunday … 7 = Saturday. Other numbers never match.
    std::set<std::int64_t> weekdays;
    /// A disabled window never covers anything.
    bool isEnabled = true;

    /// Clamps both minutes into 0…1439; the weekdays are kept as given.
    LoopSchedule(UUID id, std::string name, std::int64_t startMinute, std::int64_t endMinute,
                 std::set<std::int64_t> weekdays, bool isEnabled);

    /// Whether the window covers that minute of that weekday (1 = Sunday … 7 = Saturday).
    /// The part after midnight belongs to the day the window started on, so Sunday morning
    /// looks back to Saturday.
    bool covers(std::int64_t weekday, std::int64_t minuteOfDay) const;

    /// "09:00 – 17:30" (with an en dash), or "9:00 AM – 5:30 PM" where the locale uses a
    /// 12-hour clock, for display.
    std::string timeRangeDescription() const;

    bool operator==(const LoopSchedule&) const = default;
};

/// JSON object with the keys "id", "name", "startMinute", "endMinute", "weekdays" and
/// "isEnabled"; weekdays in ascending order. Throws EncodingError.
std::string encodeJSON(const LoopSchedule& schedule, JSONStyle style);

/// Decodes a whole record or throws DecodingError: all six keys are required and must have
/// the right type. Minutes are taken as stored, not clamped.
LoopSchedule decodeLoopSchedule(std::string_view json);

} // namespace quellon
