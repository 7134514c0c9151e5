#include "host/automation/X11FocusWatcher.h"

#include "platform/ProcessTable.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <xcb/xcb.h>

namespace quellon::host {

namespace {

struct FreeDeleter {
    void operator()(void* pointer) const { std::free(pointer); }
};

std::unique_ptr<xcb_get_property_reply_t, FreeDeleter> property(xcb_connection_t* connection, std::uint32_t window,
                                                                std::uint32_t name, std::uint32_t type, std::uint32_t length)
{
    auto cookie = xcb_get_property(connection, 0, window, name, type, 0, length);
    return std::unique_ptr<xcb_get_property_reply_t, FreeDeleter>(xcb_get_property_reply(connection, cookie, nullptr));
}

std::optional<std::uint32_t> cardinal(xcb_connection_t* connection, std::uint32_t window, std::uint32_t name, std::uint32_t type)
{
    const auto reply = property(connection, window, name, type, 1);
    if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4)
        return std::nullopt;
    std::uint32_t value = 0;
    std::memcpy(&value, xcb_get_property_value(reply.get()), sizeof value);
    return value;
}

} // namespace

X11FocusWatcher::X11FocusWatcher(const std::optional<std::string>& display, const std::optional<std::string>& authority)
    : connection_(display, authority), activeWindowAtom_(connection_.atom("_NET_ACTIVE_WINDOW")),
      pidAtom_(connection_.atom("_NET_WM_PID"))
{
}

std::optional<FocusedWindow> X11FocusWatcher::focusedWindow() const
{
    xcb_connection_t* connection = connection_.get();
    if (connection_.broken() || activeWindowAtom_ == 0)
        return std::nullopt;
    const auto window = cardinal(connection, connection_.root(), activeWindowAtom_, XCB_ATOM_WINDOW);
    if (!window || *window == 0)
        return std::nullopt;
    FocusedWindow focused;
    focused.window = *window;
    if (pidAtom_ != 0)
        if (const auto pid = cardinal(connection, *window, pidAtom_, XCB_ATOM_CARDINAL); pid && *pid > 0 && *pid < 0x40000000)
            focused.pid = static_cast<pid_t>(*pid);
    // WM_CLASS is two NUL-terminated strings: the instance, then the class.
    if (const auto reply = property(connection, *window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 256); reply && reply->format == 8) {
        const auto* bytes = static_cast<const char*>(xcb_get_property_value(reply.get()));
        const std::string value(bytes, static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
        const auto end = value.find('\0');
        if (end != std::string::npos) {
            std::string windowClass = value.substr(end + 1);
            if (const auto nul = windowClass.find('\0'); nul != std::string::npos)
                windowClass.resize(nul);
            if (!windowClass.empty())
                focused.windowClass = windowClass;
        }
    }
    return focused;
}

std::optional<AppIdentity> X11FocusWatcher::focusedApp(const ProcessTable& processes) const
{
    const auto window = focusedWindow();
    if (!window)
        return std::nullopt;
    if (window->pid)
        if (auto app = AppIdentities::identify(processes, *window->pid))
            return app;
    if (window->windowClass)
        return AppIdentity{*window->windowClass, AppIdentity::Source::windowClass};
    return std::nullopt;
}

} // namespace quellon::host
