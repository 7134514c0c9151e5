// The host and the commands that talk to it: `quellon host` runs it; live, away and standby
// switch its mode.

#include "Commands.h"

#include "host/HostClient.h"
#include "host/HostProgram.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>

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

void addModeCommand(CLI::App& app, QuellonMode mode, const std::string& description)
{
    auto* command = app.add_subcommand(std::string(rawValue(mode)), description);
    command->callback([mode] {
        try {
            host::HostClient().setMode(mode);
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
