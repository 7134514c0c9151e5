// The host and the commands that talk to it: `quellon host` runs it; live, away and standby
// switch its mode.

#include "Commands.h"

#include "host/HostClient.h"
#include "host/HostProgram.h"
#include "platform/TerminalText.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <chrono>
#include <memory>
#include <thread>

namespace quellon::cli {

namespace {

void addHost(CLI::App& app)
{
    struct Options {
        std::optional<std::string> camera, input;
        bool noTray = false;
    };
    auto options = std::make_shared<Options>();
    auto* command = app.add_subcommand("host", "Run the host: feed the camera, serve the tray and the mode commands.");
    auto* camera = command->add_option("--camera", options->camera, "Physical camera to use (an ID from `quellon cameras`)");
    command->add_option("--input", options->input, "Any capture input as the physical camera (a device, a file, lavfi:GRAPH)")
        ->excludes(camera);
    command->add_flag("--no-tray", options->noTray, "Do not start the tray program");
    command->callback([options] {
        host::HostProgramOptions program;
        program.service.cameraID = options->camera;
        program.service.inputURL = options->input;
        program.tray = !options->noTray;
        try {
            if (const int status = host::runHost(program); status != 0)
                throw CommandError("host ended with status " + std::to_string(status));
        } catch (const host::HostError& error) {
            throw CommandError(error.what());
        }
    });
}

// How long `live` waits for the host's physical camera to deliver, or to fail.
constexpr auto kLiveWait = std::chrono::seconds(3);

// The host opens its physical camera after it has taken the mode, so a missing or broken
// input shows only in its status; live waits for the first frames or the reason there are
// none, so a camera that cannot be opened is the command's failure rather than a silent 0.
std::string confirmLive(host::HostClient& client)
{
    const auto deadline = std::chrono::steady_clock::now() + kLiveWait;
    host::HostStatus status = client.status();
    while (!status.physicalCameraAvailable && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        status = client.status();
    }
    const std::string camera = status.physicalCamera.empty() ? std::string("(none chosen)") : visibleText(status.physicalCamera);
    if (status.physicalCameraAvailable)
        return "Switched the camera to live, showing " + camera;
    if (status.physicalCameraError)
        throw CommandError("the host switched to live, but its camera " + camera
                           + " is unavailable: " + visibleText(*status.physicalCameraError));
    return "Switched the camera to live; " + camera + " has not delivered a picture yet";
}

void addModeCommand(CLI::App& app, QuellonMode mode, const std::string& description)
{
    auto* command = app.add_subcommand(std::string(rawValue(mode)), description);
    command->callback([mode] {
        try {
            host::HostClient client;
            client.setMode(mode);
            std::cout << (mode == QuellonMode::live ? confirmLive(client) : "Switched the camera to " + std::string(rawValue(mode)))
                      << "\n";
        } catch (const host::HostError& error) {
            throw CommandError(error.what());
        }
    });
}

} // namespace

void addHostCommands(CLI::App& app)
{
    addHost(app);
    addModeCommand(app, QuellonMode::live, "Show the live camera (asks the running host).");
    addModeCommand(app, QuellonMode::away, "Play the away loop (asks the running host).");
    addModeCommand(app, QuellonMode::standby, "Show the standby card (asks the running host).");
}

} // namespace quellon::cli
