#pragma once

#include <array>
#include <exception>
#include <string>
#include <string_view>

namespace quellon {

/// Tells an install failure caused by signing or the developer account apart from a fault of
/// the application, so the user can be pointed at the right fix.
namespace ExtensionInstallDiagnostics {

/// Lower-case fragments that mark an account or signing problem, scanned in this order.
inline constexpr std::array<std::string_view, 11> needles{
    "provision", "signing", "code sign", "entitlement", "not permitted", "validation",
    "developer", "team", "operation not permitted", "cserror", "extension is not valid",
};

/// True when the message, lower-cased, contains any needle.
bool looksLikeAccountIssue(std::string_view message);

/// The same for an error: its message, one space, then its full description.
bool looksLikeAccountIssue(const std::exception& error);

/// The error's type, its code where it has one, and its message.
std::string fullDescription(const std::exception& error);

} // namespace ExtensionInstallDiagnostics

} // namespace quellon
