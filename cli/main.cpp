// quellon: the command-line host. Drives the Quellon camera and exposes the shared core.

#include "Commands.h"

#include "platform/TerminalText.h"
#include "platform/UserDefaults.h"
#include "reports/QuellonBuild.h"
#include "state/QuellonIdentifiers.h"

#include <CLI/CLI.hpp>
#include <iostream>

namespace {

using namespace quellon;

// CLI11 answers a first word it does not know with "A subcommand is required"; say instead
// which word it was and what the choices are. Walks the words down the subcommands they name
// and gives the message for the first that fits none; nothing when the words are all known.
std::optional<std::string> unknownWord(const CLI::App& app, int argc, char** argv)
{
    const CLI::App* group = &app;
    std::string path = "quellon";
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--")
            return std::nullopt;
        if (word.starts_with("-")) {
            // Options below the top are the subcommand's to judge; its messages name them.
            const std::string name = word.substr(0, word.find('='));
            if (group == &app && name != "-h" && name != "--help" && name != "--help-all" && name != "--version")
                return "unknown option " + visibleText(name) + " (see `quellon --help`)";
            return std::nullopt;
        }
        const CLI::App* next = nullptr;
        for (const CLI::App* sub : group->get_subcommands([](const CLI::App*) { return true; }))
            if (sub->check_name(word))
                next = sub;
        if (next) {
            group = next;
            path += " " + word;
            continue;
        }
        if (group->get_subcommands([](const CLI::App*) { return true; }).empty() || group->get_require_subcommand_min() == 0)
            return std::nullopt; // a positional argument of a command
        std::string names;
        for (const CLI::App* sub : group->get_subcommands([](const CLI::App*) { return true; }))
            names += (names.empty() ? "" : ", ") + sub->get_name();
        return "unknown command \"" + visibleText(word) + "\" for " + path + "; the commands are: " + names;
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv)
{
    using namespace quellon;
    UserDefaults::setStandardDomain(QuellonIdentifiers::hostBundleID);

    CLI::App app{"quellon: drive the Quellon virtual camera and inspect its shared state.", "quellon"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "quellon " + std::string(QuellonBuild::version()) + " (build "
                                          + std::string(QuellonBuild::buildNumber()) + ")");
    cli::addContainerCommand(app);
    cli::addDiagnosticsCommand(app);
    cli::addPrivacyReceiptCommand(app);
    cli::addStandbyCardCommand(app);
    cli::addStateCommands(app);
    cli::addCameraCommands(app);
    cli::addLoopCommands(app);
    cli::addStatusCommand(app);
    cli::addMenuBarCommands(app);
    cli::addLoopLibraryCommands(app);
    cli::addRecordCommand(app);
    cli::addChoiceCommands(app);
    cli::addSettingsCommands(app);
    cli::addProfileAppsCommand(app);
    cli::addHostCommands(app);

    if (const auto unknown = unknownWord(app, argc, argv)) {
        std::cerr << "quellon: " << *unknown << "\n";
        return 2;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForAllHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForVersion& version) {
        return app.exit(version);
    } catch (const CLI::ParseError& error) {
        app.exit(error);
        return 2;
    } catch (const cli::UsageError& error) {
        std::cerr << "quellon: " << error.what() << "\n";
        return 2;
    } catch (const cli::CommandError& error) {
        std::cerr << "quellon: " << error.what() << "\n";
        return 1;
    } catch (const std::exception& error) {
        std::cerr << "quellon: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
