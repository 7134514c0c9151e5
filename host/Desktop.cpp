#include "host/Desktop.h"

#include "platform/Log.h"

#include <fcntl.h>
#include <map>
#include <sdbus-c++/sdbus-c++.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quellon::host {

namespace {

void logError(std::string_view message)
{
    static SystemLogSink sink("quellon");
    sink.write(LogLevel::error, message);
}

} // namespace

bool startDetached(const std::string& program, const std::vector<std::string>& args)
{
    // Everything the children touch is prepared before fork: only exec and _exit after it.
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0)
        return false;
    const pid_t intermediate = ::fork();
    if (intermediate < 0) {
        ::close(ready[0]), ::close(ready[1]);
        return false;
    }
    if (intermediate == 0) {
        ::setsid();
        const pid_t child = ::fork();
        if (child == 0) {
            ::execvp(program.c_str(), argv.data());
            // Tell the host that exec failed; a successful exec closes the pipe unwritten.
            const char failed = 1;
            [[maybe_unused]] auto written = ::write(ready[1], &failed, 1);
            ::_exit(127);
        }
        ::_exit(child < 0 ? 1 : 0);
    }
    ::close(ready[1]);
    int status = 0;
    ::waitpid(intermediate, &status, 0);
    char failed = 0;
    const bool execFailed = ::read(ready[0], &failed, 1) == 1;
    ::close(ready[0]);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && !execFailed;
}

FreedesktopDesktop::FreedesktopDesktop(sdbus::IConnection& connection)
    : notifications_(sdbus::createProxy(connection, "org.freedesktop.Notifications", "/org/freedesktop/Notifications"))
{
}

FreedesktopDesktop::~FreedesktopDesktop() = default;

void FreedesktopDesktop::open(const std::filesystem::path& path)
{
    if (!startDetached("xdg-open", {path.string()}))
        logError("Quellon: could not run xdg-open for " + path.string());
}

void FreedesktopDesktop::notify(const std::string& summary, const std::string& body)
{
    try {
        notifications_->callMethodAsync("Notify")
            .onInterface("org.freedesktop.Notifications")
            .withArguments(std::string("Quellon"), lastNotification_, std::string("camera-video"), summary, body,
                           std::vector<std::string>{}, std::map<std::string, sdbus::Variant>{}, std::int32_t(-1))
            .uponReplyInvoke([this](const sdbus::Error* error, std::uint32_t id) {
                if (error)
                    logError("Quellon: no desktop notification: " + error->getMessage());
                else
                    lastNotification_ = id;
            });
    } catch (const sdbus::Error& error) {
        logError("Quellon: no desktop notification: " + error.getMessage());
    }
}

} // namespace quellon::host
