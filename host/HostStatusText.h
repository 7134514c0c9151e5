#pragma once
// The running host's status as lines for people: `quellon status` prints them and the tray's
// status notification shows them.

#include "host/HostStatus.h"

#include <string>
#include <vector>

namespace quellon::host {

/// "mode: away (tray)", "loop: ...", "physical camera: ...", "app streaming: yes", ...
std::vector<std::string> describeHostStatus(const HostStatus& status);

/// Bytes as "512 B", "3.4 KiB", "120.0 MiB" or "1.2 GiB", the units `loop play` prints too.
std::string formatBytes(std::int64_t bytes);

} // namespace quellon::host
