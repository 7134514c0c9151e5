#include "schedules/LoopSchedule.h"

#include "platform/LocalClock.h"

#include "state/UUIDCoding.h"
#include "state/JSONCoding.h"

#include <algorithm>

namespace quellon {

using namespace JSONCoding;

namespace {

std::int64_t clampedMinute(std::int64_t minute)
{
    return std::clamp<std::int64_t>(minute, 0, LoopSchedule::kLastMinuteOfDay);
}

std::int64_t previousWeekday(std::int64_t weekday)
{
    return weekday == 1 ? 7 : weekday - 1;
}

std::set<std::int64_t> requiredWeekdays(const Json& object)
{
    constexpr const char* key = "weekdays";
    auto it = object.find(key);
    if (it == object.end() || it->is_null())
        throw DecodingError("\"weekdays\" is missing");
    if (!it->is_array())
        throw DecodingError("\"weekdays\" is not an array");
    std::set<std::int64_t> weekdays;
    for (const Json& element : *it) {
        if (element.is_null())
            throw DecodingError("\"weekdays\" holds a value that is not an integer");
        // Each element is read with the same integer rules as a field of its own.
        Json holder = Json::object();
        holder[key] = element;
        weekdays.insert(requiredInt(holder, key));
    }
    return weekdays;
}

} // namespace

LoopSchedule::LoopSchedule(UUID id, std::string name, std::int64_t startMinute, std::int64_t endMinute,
                           std::set<std::int64_t> weekdays, bool isEnabled)
    : id(id)
    , name(std::move(name))
    , startMinute(clampedMinute(startMinute))
    , endMinute(clampedMinute(endMinute))
    , weekdays(std::move(weekdays))
    , isEnabled(isEnabled)
{
}

bool LoopSchedule::covers(std::int64_t weekday, std::int64_t minuteOfDay) const
{
    if (!isEnabled || weekdays.empty() || startMinute == endMinute)
        return false;
    if (startMinute < endMinute)
        return weekdays.contains(weekday) && startMinute <= minuteOfDay && minuteOfDay < endMinute;
    const bool eveningPart = weekdays.contains(weekday) && minuteOfDay >= startMinute;
    const bool morningPart = weekdays.contains(previousWeekday(weekday)) && minuteOfDay < endMinute;
    return eveningPart || morningPart;
}

std::string LoopSchedule::timeRangeDescription() const
{
    return LocalClock::timeOfDay(startMinute) + " \u2013 " + LocalClock::timeOfDay(endMinute);
}

std::string encodeJSON(const LoopSchedule& schedule, JSONStyle style)
{
    Json object = Json::object();
    object["id"] = encodeUUID(schedule.id);
    object["name"] = schedule.name;
    object["startMinute"] = schedule.startMinute;
    object["endMinute"] = schedule.endMinute;
    object["weekdays"] = Json::array();
    for (std::int64_t weekday : schedule.weekdays)
        object["weekdays"].push_back(weekday);
    object["isEnabled"] = schedule.isEnabled;
    return dump(object, style);
}

LoopSchedule decodeLoopSchedule(std::string_view json)
{
    const Json object = parseObject(json);
    LoopSchedule schedule(requiredUUID(object, "id"), requiredString(object, "name"), 0, 0,
                          requiredWeekdays(object), requiredBool(object, "isEnabled"));
    // Stored minutes are kept exactly, even outside the day.
    schedule.startMinute = requiredInt(object, "startMinute");
    schedule.endMinute = requiredInt(object, "endMinute");
    return schedule;
}

} // namespace quellon
