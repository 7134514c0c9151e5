// quellon-menubar: the Quellon tray item. Shows the camera's mode, toggles the Quellon app's
// panel on a click and forwards the menu's commands to the app over the session bus.

#include "HelperDelegate.h"

#include "menubar/MainLoop.h"
#include "menubar/NotificationBus.h"
#include "platform/Log.h"

#include <csignal>
#include <poll.h>
#include <filesystem>
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

} // namespace

int main()
{
    using namespace quellon;
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
