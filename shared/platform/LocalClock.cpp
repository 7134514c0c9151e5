#include "platform/LocalClock.h"

#include <algorithm>
#include <cstdio>
#include <langinfo.h>
#include <locale.h>
#include <string_view>

namespace quellon::LocalClock {

namespace {

// The environment's LC_TIME, read afresh each time: the program never calls setlocale, and
// the C library's own functions would otherwise answer for the C locale.
class TimeLocale {
public:
    TimeLocale() : locale_(::newlocale(LC_TIME_MASK, "", static_cast<locale_t>(nullptr)))
    {
        if (!locale_)
            locale_ = ::newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(nullptr));
    }
    ~TimeLocale()
    {
        if (locale_)
            ::freelocale(locale_);
    }
    TimeLocale(const TimeLocale&) = delete;
    TimeLocale& operator=(const TimeLocale&) = delete;

    std::string_view item(nl_item which) const
    {
        const char* text = locale_ ? ::nl_langinfo_l(which, locale_) : nullptr;
        return text ? text : "";
    }

private:
    locale_t locale_;
};

// A locale's time format names the 12-hour hour (%I, %l) or the AM/PM form (%r) when it
// counts hours that way; the C locale's "%H:%M:%S" does not.
bool twelveHour(const TimeLocale& locale)
{
    const std::string_view format = locale.item(T_FMT);
    for (std::size_t i = 0; i + 1 < format.size(); ++i) {
        if (format[i] != '%')
            continue;
        std::size_t conversion = i + 1;
        while (conversion < format.size() && std::string_view("_-0^#EO").find(format[conversion]) != std::string_view::npos)
            ++conversion;
        if (conversion < format.size() && std::string_view("Ilr").find(format[conversion]) != std::string_view::npos)
            return !locale.item(AM_STR).empty();
        i = conversion;
    }
    return false;
}

std::string format(const TimeLocale& locale, std::int64_t minuteOfDay)
{
    const int minute = static_cast<int>(std::clamp<std::int64_t>(minuteOfDay, 0, 24 * 60 - 1));
    char text[64];
    if (!twelveHour(locale)) {
        std::snprintf(text, sizeof text, "%02d:%02d", minute / 60, minute % 60);
        return text;
    }
    const int hour = (minute / 60) % 12 == 0 ? 12 : (minute / 60) % 12;
    const std::string_view suffix = locale.item(minute < 12 * 60 ? AM_STR : PM_STR);
    std::snprintf(text, sizeof text, "%d:%02d %.*s", hour, minute % 60, static_cast<int>(std::min<std::size_t>(suffix.size(), 32)),
                  suffix.data());
    return text;
}

} // namespace

bool usesTwelveHourClock()
{
    return twelveHour(TimeLocale());
}

std::string timeOfDay(std::int64_t minuteOfDay)
{
    return format(TimeLocale(), minuteOfDay);
}

std::string weekdayAndTime(std::int64_t weekday, std::int64_t minuteOfDay)
{
    const TimeLocale locale;
    const std::string day = weekday >= 1 && weekday <= 7 ? std::string(locale.item(static_cast<nl_item>(ABDAY_1 + weekday - 1))) : "?";
    return day + " " + format(locale, minuteOfDay);
}

} // namespace quellon::LocalClock
