#include "CameraSession.h"

#include <cerrno>
#include <csignal>
#include <ctime>

namespace quellon::cli {

namespace {

volatile std::sig_atomic_t caught = 0;

void noteInterrupt(int)
{
    caught = 1;
}

} // namespace

CameraClient cameraClient()
{
    auto path = CameraClient::defaultSocketPath();
    if (!path)
        throw CommandError("the camera daemon is not running (there is no shared container)");
    CameraClient client(*path);
    talkToCamera([&] { client.connect(); });
    return client;
}

InterruptCatcher::InterruptCatcher()
{
    caught = 0;
    struct sigaction action{};
    action.sa_handler = noteInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &previousInt_);
    ::sigaction(SIGTERM, &action, &previousTerm_);
}

InterruptCatcher::~InterruptCatcher()
{
    ::sigaction(SIGINT, &previousInt_, nullptr);
    ::sigaction(SIGTERM, &previousTerm_, nullptr);
}

bool InterruptCatcher::interrupted()
{
    return caught != 0;
}

bool sleepUntil(std::chrono::steady_clock::time_point deadline)
{
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
    const timespec at{static_cast<time_t>(nanoseconds / 1'000'000'000), static_cast<long>(nanoseconds % 1'000'000'000)};
    while (!InterruptCatcher::interrupted()) {
        const int result = ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
        if (result == 0)
            return true;
        if (result != EINTR)
            return false;
    }
    return false;
}

} // namespace quellon::cli
