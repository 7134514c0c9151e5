// ISO 8601 dates: a parsed date formats back to exactly the text, and any date the seconds
// conversion gives formats and parses without overflow.

#include "FuzzSupport.h"
#include "platform/DateTime.h"

#include <cmath>
#include <cstring>

using namespace quellon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input = fuzz::text(data, size);
    if (const auto date = InternetDateTime::parse(input)) {
        fuzz::require(InternetDateTime::format(*date) == input, "a parsed date formats to its text");
        fuzz::require(InternetDateTime::parse(*InternetDateTime::format(*date)) == date, "and parses back");
    }
    if (size >= sizeof(double)) {
        double seconds = 0;
        std::memcpy(&seconds, data, sizeof seconds);
        if (const auto date = dateFromSecondsSince1970(seconds)) {
            fuzz::require(std::fabs(secondsSince1970(*date) - seconds) <= 1e-6 * std::max(1.0, std::fabs(seconds)),
                          "seconds convert both ways");
            if (const auto text = InternetDateTime::format(*date))
                fuzz::require(InternetDateTime::parse(*text).has_value(), "a formatted date parses");
        }
    }
    return 0;
}
