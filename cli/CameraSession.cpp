#include "CameraSession.h"

#include <csignal>

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

} // namespace quellon::cli
