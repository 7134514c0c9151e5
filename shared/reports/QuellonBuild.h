#pragma once

#include <string_view>

namespace quellon {

/// Identity of this build, fixed when the core library is compiled.
namespace QuellonBuild {

/// The release version, e.g. "0.1.0".
std::string_view version();
/// The build number, e.g. "0".
std::string_view buildNumber();

} // namespace QuellonBuild

} // namespace quellon
