#include "reports/ReportDateFormat.h"

namespace quellon::ReportDateFormat {

std::string internetDateTime(Date date)
{
    // A Date counts nanoseconds in 64 bits (years 1677 to 2262), always inside the years
    // 0000 to 9999 that the form can hold, so the fallback is never taken.
    return InternetDateTime::format(date).value_or("");
}

} // namespace quellon::ReportDateFormat
