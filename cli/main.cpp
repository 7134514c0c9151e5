// quellon: the command-line host. Drives the Quellon camera and exposes the shared core.

#include "Commands.h"

#include "platform/UserDefaults.h"
#include "state/QuellonIdentifiers.h"

#include <CLI/CLI.hpp>
#include <iostream>

int main(int argc, char** argv)
{
    using namespace quellon;
    UserDefaults::setStandardDomain(QuellonIdentifiers::hostBundleID);

    CLI::App app{"quellon: drive the Quellon virtual camera and inspect its shared state.", "quellon"};
    app.require_subcommand(1);
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

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForAllHelp& help) {
        return app.exit(help);
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
