#include "host/automation/FrontmostApp.h"

#include <algorithm>

namespace quellon::host {

std::optional<std::string> frontmostApp(const std::vector<CameraReader>& readers, const std::optional<AppIdentity>& focused)
{
    if (focused && std::any_of(readers.begin(), readers.end(), [&](const CameraReader& r) { return r.app.id == focused->id; }))
        return focused->id;
    if (!readers.empty())
        return readers.front().app.id;
    if (focused)
        return focused->id;
    return std::nullopt;
}

} // namespace quellon::host
