#pragma once
// The application a meeting-app profile is chosen for.

#include "host/automation/CameraReaders.h"

#include <optional>
#include <string>
#include <vector>

namespace quellon::host {

/// On Linux the "frontmost" meeting application is the one reading our camera. With several
/// readers, the one whose window has the focus wins, else the newest reader. With no reader,
/// the focused window's application, where the desktop tells it.
std::optional<std::string> frontmostApp(const std::vector<CameraReader>& readers,
                                        const std::optional<AppIdentity>& focused);

} // namespace quellon::host
