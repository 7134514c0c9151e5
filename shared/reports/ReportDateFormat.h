#pragma once

#include "platform/DateTime.h"

#include <functional>
#include <string>

namespace quellon {

/// Prints the moment a report was made; supplied by whoever renders the report.
using DateFormatter = std::function<std::string(Date)>;

namespace ReportDateFormat {

/// The internet date-time form both reports print by default: "2025-03-04T09:30:00Z", UTC,
/// no fractional seconds.
std::string internetDateTime(Date date);

} // namespace ReportDateFormat

} // namespace quellon
