#include "reports/QuellonBuild.h"

#ifndef QUELLON_VERSION
#error "QUELLON_VERSION must be defined by the build"
#endif
#ifndef QUELLON_BUILD_NUMBER
#error "QUELLON_BUILD_NUMBER must be defined by the build"
#endif

namespace quellon::QuellonBuild {

std::string_view version()
{
    return QUELLON_VERSION;
}

std::string_view buildNumber()
{
    return QUELLON_BUILD_NUMBER;
}

} // namespace quellon::QuellonBuild
