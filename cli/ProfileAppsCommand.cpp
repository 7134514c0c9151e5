#include "Commands.h"

#include "host/automation/AppIdentity.h"
#include "host/automation/CameraReaders.h"
#include "host/automation/X11FocusWatcher.h"
#include "platform/ProcessTable.h"
#include "platform/TerminalText.h"
#include "state/QuellonStorage.h"

#include <CLI/CLI.hpp>
#include <iomanip>
#include <iostream>
#include <set>

namespace quellon::cli {

namespace {

void printApp(const host::AppIdentity& app, const std::string& detail)
{
    std::cout << "  " << std::left << std::setw(36) << visibleText(app.id) << " " << std::setw(13) << host::sourceName(app.source)
              << detail << "\n";
}

void listApps()
{
    const ProcessTable processes;
    const host::CameraReaders readers(processes, [] { return host::cameraNodes(QuellonStorage::containerURL()); });

    std::cout << "Reading the camera now:\n";
    const auto reading = readers.readers();
    if (reading.empty())
        std::cout << "  (nobody)\n";
    for (const auto& reader : reading)
        printApp(reader.app, "pid " + std::to_string(reader.pid));

    std::cout << "Focused window:\n";
    try {
        const host::X11FocusWatcher focus;
        if (const auto app = focus.focusedApp(processes))
            printApp(*app, "");
        else
            std::cout << "  (not known: the window manager does not say)\n";
    } catch (const host::X11Unavailable& error) {
        std::cout << "  (not known: " << visibleText(error.what()) << ")\n";
    }

    // Applications the desktop started, each once: the identifiers a profile can name even
    // before the application opens the camera.
    std::cout << "Running applications:\n";
    std::set<std::string> seen;
    for (pid_t pid : processes.processes()) {
        const auto app = host::AppIdentities::identify(processes, pid);
        if (!app || app->source == host::AppIdentity::Source::executable || !seen.insert(app->id).second)
            continue;
        printApp(*app, "");
    }
    if (seen.empty())
        std::cout << "  (none started by the desktop)\n";
}

} // namespace

void addProfileAppsCommand(CLI::App& app)
{
    CLI::App* profiles = nullptr;
    try {
        profiles = app.get_subcommand("profiles");
    } catch (const CLI::OptionNotFound&) {
        profiles = app.add_subcommand("profiles", "Meeting-app profiles: a loop for each meeting application");
        profiles->require_subcommand(1);
    }
    auto* command = profiles->add_subcommand(
        "apps", "List the application identifiers seen now (readers of the camera, the focused window, the "
                "applications the desktop started), to copy into a profile");
    command->callback([] { listApps(); });
}

} // namespace quellon::cli
