#include "platform/DateTime.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace quellon {

namespace chrono = std::chrono;

namespace InternetDateTime {

std::optional<std::string> format(Date date)
{
    const auto seconds = chrono::floor<chrono::seconds>(date);
    const auto days = chrono::floor<chrono::days>(seconds);
    const chrono::year_month_day ymd(days);
    const int year = static_cast<int>(ymd.year());
    if (year < 0 || year > 9999)
        return std::nullopt;
    const chrono::hh_mm_ss time(seconds - days);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", year,
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return std::string(text);
}

namespace {

// Reads exactly `width` ASCII digits at `at`.
std::optional<int> digits(std::string_view text, std::size_t at, std::size_t width)
{
    int value = 0;
    for (std::size_t i = at; i < at + width; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

} // namespace

std::optional<Date> parse(std::string_view text)
{
    // 0123456789012345678 9
    // YYYY-MM-DDTHH:MM:SS Z
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':'
        || text[16] != ':' || text[19] != 'Z')
        return std::nullopt;
    auto year = digits(text, 0, 4);
    auto month = digits(text, 5, 2);
    auto day = digits(text, 8, 2);
    auto hour = digits(text, 11, 2);
    auto minute = digits(text, 14, 2);
    auto second = digits(text, 17, 2);
    if (!year || !month || !day || !hour || !minute || !second)
        return std::nullopt;
    if (*hour > 23 || *minute > 59 || *second > 59)
        return std::nullopt;
    const chrono::year_month_day ymd{chrono::year(*year), chrono::month(static_cast<unsigned>(*month)),
                                     chrono::day(static_cast<unsigned>(*day))};
    if (!ymd.ok())
        return std::nullopt;
    // A Date counts nanoseconds in 64 bits (about 1677 to 2262): a year outside that would
    // overflow into some other date, so it is refused like any other bad text.
    const chrono::seconds sinceEpoch = chrono::sys_days(ymd).time_since_epoch() + chrono::hours(*hour)
        + chrono::minutes(*minute) + chrono::seconds(*second);
    if (sinceEpoch < chrono::ceil<chrono::seconds>(Date::min().time_since_epoch())
        || sinceEpoch > chrono::floor<chrono::seconds>(Date::max().time_since_epoch()))
        return std::nullopt;
    return Date(sinceEpoch);
}

} // namespace InternetDateTime

// Whole seconds and the fraction are converted apart: a double of seconds since 1970 cannot
// carry nanoseconds, and one multiplication by 1e9 would smear the fraction (.25 → .2499998).
double secondsSince1970(Date date)
{
    const auto whole = chrono::floor<chrono::seconds>(date.time_since_epoch());
    const auto fraction = chrono::duration_cast<chrono::nanoseconds>(date.time_since_epoch() - whole);
    return static_cast<double>(whole.count()) + static_cast<double>(fraction.count()) / 1e9;
}

std::optional<Date> dateFromSecondsSince1970(double seconds)
{
    if (!std::isfinite(seconds))
        return std::nullopt;
    // A Date counts nanoseconds in 64 bits: about ±292 years around 1970.
    constexpr double limit = 9.2e9;
    if (std::fabs(seconds) > limit)
        return std::nullopt;
    const double whole = std::floor(seconds);
    const auto fraction = chrono::nanoseconds(static_cast<std::int64_t>(std::llround((seconds - whole) * 1e9)));
    return Date(chrono::seconds(static_cast<std::int64_t>(whole)) + fraction);
}

} // namespace quellon
