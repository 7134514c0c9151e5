#pragma once

// What the commands that talk to the running camera share: the connection, its errors, and
// stopping cleanly on Ctrl-C.

#include "Commands.h"
#include "channel/CameraClient.h"

#include <chrono>
#include <signal.h>

namespace quellon::cli {

/// A client already connected, so a camera that is not running is reported before anything
/// else. Throws CommandError.
CameraClient cameraClient();

/// Runs body; every camera failure becomes the command's failure (exit status 1) in the
/// client's own words.
template <class Body>
void talkToCamera(Body body)
{
    try {
        body();
    } catch (const CameraClientError& error) {
        throw CommandError(error.what());
    }
}

/// Catches SIGINT and SIGTERM for as long as it lives, without SA_RESTART, so a sleep ends
/// early; interrupted() then says so.
class InterruptCatcher {
public:
    InterruptCatcher();
    ~InterruptCatcher();
    InterruptCatcher(const InterruptCatcher&) = delete;
    InterruptCatcher& operator=(const InterruptCatcher&) = delete;

    static bool interrupted();

private:
    struct sigaction previousInt_{};
    struct sigaction previousTerm_{};
};

/// Sleeps until an absolute time of the monotonic clock (steady_clock's); false when
/// interrupted first.
bool sleepUntil(std::chrono::steady_clock::time_point deadline);

} // namespace quellon::cli
