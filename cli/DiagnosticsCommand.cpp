#include "Commands.h"
#include "Output.h"

#include "platform/Environment.h"
#include "platform/FileIO.h"
#include "platform/TerminalText.h"
#include "platform/UserDefaults.h"
#include "reports/MachineReports.h"
#include "state/QuellonIdentifiers.h"
#include "state/QuellonStorage.h"

#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <system_error>

namespace quellon::cli {

namespace {

namespace fs = std::filesystem;

struct DiagnosticsOptions {
    std::optional<std::string> output;
    bool explain = false;
    bool force = false;
};

// The camera's name lives in the camera daemon's own preferences, not in ours.
std::unique_ptr<UserDefaults> cameraDefaults()
{
    if (auto file = JsonFileUserDefaults::fileForDomain(QuellonIdentifiers::extensionBundleID, Environment::process()))
        return std::make_unique<JsonFileUserDefaults>(*file);
    return std::make_unique<InMemoryUserDefaults>();
}

// A directory (or an empty value) gets the suggested file name inside it.
fs::path outputPath(const std::string& value)
{
    if (value.empty())
        return DiagnosticsReport::suggestedFilename;
    std::error_code ignored;
    if (fs::is_directory(value, ignored))
        return fs::path(value) / DiagnosticsReport::suggestedFilename;
    return value;
}

} // namespace

void addDiagnosticsCommand(CLI::App& app)
{
    auto options = std::make_shared<DiagnosticsOptions>();
    auto* command = app.add_subcommand(
        "diagnostics",
        "Print a diagnostics report for support: this build, the camera daemon, devices, the shared "
        "container and the daemon's recent journal lines. Nothing is sent anywhere.");
    command->add_option("--output", options->output,
                        "Write the report to FILE instead of printing it; a directory or no value uses "
                        "Quellon-Diagnostics.txt")
        ->expected(0, 1)
        ->type_name("FILE");
    command->add_flag("--force", options->force, "Replace the --output file if it exists");
    command->add_flag("--explain", options->explain, "Also tell on standard error how the sandbox and network facts were decided, for the camera daemon and the host");
    command->callback([options] {
        const LinuxMachineFacts facts;
        const DiagnosticsReport report = MachineReports::diagnosticsReport(
            facts, ContainerPlatform::system(), *cameraDefaults(), std::chrono::system_clock::now());
        if (options->explain) {
            const auto found = MachineReports::confinement(facts, QuellonStorage::containerURL(ContainerPlatform::system()));
            std::cerr << "sandbox: " << found.sandboxed.how << "\n"
                      << "network: " << found.networkAllowed.how << "\n";
        }
        const std::string text = report.text();
        if (!options->output) {
            std::cout << text;
            return;
        }
        const fs::path path = outputPath(*options->output);
        refuseExisting(path, options->force);
        try {
            if (options->force)
                replaceFileAtomically(path, text);
            else
                createFileAtomically(path, text);
        } catch (const std::system_error& error) {
            if (error.code() == std::errc::file_exists)
                throw CommandError(existsMessage(path));
            throw CommandError("could not write the report: " + std::string(error.what()));
        }
        std::cout << "Wrote the diagnostics report to " << visibleText(path.string()) << "\n";
    });
}

} // namespace quellon::cli
