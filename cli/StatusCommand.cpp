#include "Commands.h"

#include "channel/CameraClient.h"
#include "host/HostClient.h"
#include "host/HostStatusText.h"
#include "platform/DateTime.h"
#include "state/QuellonStorage.h"

#include <CLI/CLI.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>

namespace quellon::cli {

namespace {

// Whether the camera daemon answers on its socket: without it there is no camera at all, which
// "not streaming" alone would hide.
bool cameraDaemonRunning()
{
    const auto path = CameraClient::defaultSocketPath();
    if (!path)
        return false;
    try {
        CameraClient client(*path, std::chrono::seconds(2));
        client.connect();
        return true;
    } catch (const CameraClientError& error) {
        return error.code() != CameraClientError::Code::notRunning;
    }
}

void printHeartbeat(Date now, const std::optional<Date>& heartbeat, bool streaming)
{
    if (!heartbeat) {
        std::cout << "not streaming (no heartbeat)\n";
        return;
    }
    const double age = std::chrono::duration<double>(now - *heartbeat).count();
    char ageText[64];
    std::snprintf(ageText, sizeof ageText, "%.1f s", std::fabs(age));
    std::cout << (streaming ? "streaming" : "not streaming") << " (last heartbeat "
              << (age < 0 ? std::string("in ") + ageText : std::string(ageText) + " ago") << ")\n";
}

// A host that is not running is a normal answer here, not a failure.
void printHost()
{
    try {
        const host::HostStatus status = host::HostClient().status();
        std::cout << "host: running\n";
        for (const auto& line : host::describeHostStatus(status))
            std::cout << line << '\n';
    } catch (const host::HostNotRunning& error) {
        std::cout << "host: not running (" << error.what() << ")\n";
    } catch (const host::HostError& error) {
        throw CommandError(error.what());
    }
}

} // namespace

void addStatusCommand(CLI::App& app)
{
    auto* command = app.add_subcommand(
        "status", "Tell whether the camera is streaming to a client, from its heartbeat, and what the host is doing.");
    auto window = std::make_shared<double>(3.0);
    command->add_option("--within", *window, "Seconds a heartbeat stays valid")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    command->callback([window] {
        if (!QuellonStorage::containerURL())
            throw CommandError(StorageError::description(StorageError::Code::containerUnavailable));
        const Date now = std::chrono::system_clock::now();
        if (!cameraDaemonRunning())
            std::cout << "camera daemon: not running; start it with `systemctl --user start quellon-extension` (or run "
                         "quellon-extension)\n";
        printHeartbeat(now, QuellonStorage::readHeartbeat(), QuellonStorage::isExtensionStreaming(*window, now));
        printHost();
    });
}

} // namespace quellon::cli
