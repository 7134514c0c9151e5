// quellon-menubar: the Quellon tray item. Shows the camera's mode, toggles the Quellon app's
// panel on a click and forwards the menu's commands to the app over the session bus.

#include "HelperDelegate.h"

#include "menubar/MainLoop.h"
#include "menubar/NotificationBus.h"
#include "platform/Log.h"
#include "platform/TerminalText.h"
#include "reports/QuellonBuild.h"

#include <csignal>
#include <poll.h>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string_view>
#include <sdbus-c++/sdbus-c++.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

/// Where our icons are: beside the program in a build tree, else the installed share/icons.
std::string iconThemePath()
{
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
    if (error)
        return {};
    const fs::path built = program.parent_path() / "icons";
    if (fs::is_directory(built / "hicolor", error))
        return built.string();
    return (program.parent_path().parent_path() / "share" / "icons").string();
}

// The tray takes no arguments; --help and --version answer and exit, and anything else is
// refused, so a mistyped command line never leaves a second tray running. Gives the exit
// status when the program should end now.
std::optional<int> handleArguments(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::cout << "Usage: quellon-menubar [--help] [--version]\n\n"
                         "The Quellon tray item: shows the camera's mode and offers its commands. It is started\n"
                         "by `quellon host` (or the desktop's autostart) and talks to the host over the session bus.\n";
            return 0;
        }
        if (argument == "--version") {
            std::cout << "quellon-menubar " << quellon::QuellonBuild::version() << " (build " << quellon::QuellonBuild::buildNumber()
                      << ")\n";
            return 0;
        }
        std::cerr << "quellon-menubar: unknown argument \"" << quellon::visibleText(argument) << "\" (see --help)\n";
        return 2;
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv)
{
    using namespace quellon;
    if (const auto status = handleArguments(argc, argv))
        return *status;
    SystemLogSink log("quellon-menubar");

    // SIGTERM and SIGINT end the program through the loop, so it leaves the bus cleanly.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);

    MainLoop loop;
    loop.addWatch([signalFd] { return MainLoop::Wait{signalFd, POLLIN, -1}; },
                  [signalFd, &loop] {
                      signalfd_siginfo info;
                      if (::read(signalFd, &info, sizeof info) == sizeof info)
                          loop.quit(0);
                  });
    try {
        NotificationBus bus(loop);
        HelperDelegate delegate(bus, iconThemePath());
        if (!delegate.applicationDidFinishLaunching())
            return 0;
        return loop.run();
    } catch (const NotificationBusError& error) {
        log.write(LogLevel::error, std::string("Quellon: ") + error.what());
        return 1;
    } catch (const sdbus::Error& error) {
        log.write(LogLevel::error, "Quellon: session bus: " + error.getMessage());
        return 1;
    }
}
