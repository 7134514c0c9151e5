#include "host/automation/X11Connection.h"

#include <X11/Xauth.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <xcb/xcb.h>

namespace quellon::host {

namespace {

constexpr std::string_view kCookieName = "MIT-MAGIC-COOKIE-1";

/// The display number of ":0", ":1.0", "unix:2", "host:3.0".
std::string displayNumber(const std::string& display)
{
    const auto colon = display.rfind(':');
    if (colon == std::string::npos)
        return {};
    const std::string rest = display.substr(colon + 1);
    return rest.substr(0, rest.find('.'));
}

/// The cookie the authority file holds for the display number: an entry for that number or
/// for any number; the host of the entry is not checked, a service only reaches local displays.
/// Throws X11Unavailable when the file cannot be read (under a private /tmp, say).
std::optional<std::string> cookieFor(const std::string& file, const std::string& number)
{
    std::unique_ptr<FILE, decltype(&std::fclose)> stream(std::fopen(file.c_str(), "rbe"), &std::fclose);
    if (!stream)
        throw X11Unavailable("cannot read the X authority file " + file + ": " + std::strerror(errno));
    std::optional<std::string> anyNumber;
    while (Xauth* entry = XauReadAuth(stream.get())) {
        std::unique_ptr<Xauth, decltype(&XauDisposeAuth)> owned(entry, &XauDisposeAuth);
        if (std::string_view(entry->name, entry->name_length) != kCookieName)
            continue;
        const std::string entryNumber(entry->number, entry->number_length);
        std::string cookie(entry->data, entry->data_length);
        if (entryNumber == number)
            return cookie;
        if (entryNumber.empty() && !anyNumber)
            anyNumber = std::move(cookie);
    }
    return anyNumber;
}

} // namespace

X11Connection::X11Connection(const std::optional<std::string>& display, const std::optional<std::string>& authority)
{
    const char* name = display ? display->c_str() : std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0')
        throw X11Unavailable("no X display (DISPLAY is not set)");
    int screenNumber = 0;
    std::optional<std::string> cookie;
    if (authority) {
        cookie = cookieFor(*authority, displayNumber(name));
        if (!cookie)
            throw X11Unavailable("the X authority file " + *authority + " has no cookie for the display " + name);
    }
    if (cookie) {
        std::string cookieName(kCookieName);
        xcb_auth_info_t info{static_cast<int>(cookieName.size()), cookieName.data(), static_cast<int>(cookie->size()),
                             cookie->data()};
        connection_ = xcb_connect_to_display_with_auth_info(name, &info, &screenNumber);
    } else {
        connection_ = xcb_connect(name, &screenNumber);
    }
    if (xcb_connection_has_error(connection_)) {
        xcb_disconnect(connection_);
        throw X11Unavailable(std::string("cannot connect to the X display ") + name);
    }
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection_));
    for (int i = 0; i < screenNumber && screens.rem; ++i)
        xcb_screen_next(&screens);
    if (!screens.rem) {
        xcb_disconnect(connection_);
        throw X11Unavailable(std::string("the X display ") + name + " has no such screen");
    }
    root_ = screens.data->root;
}

X11Connection::~X11Connection()
{
    xcb_disconnect(connection_);
}

int X11Connection::fd() const
{
    return xcb_get_file_descriptor(connection_);
}

bool X11Connection::broken() const
{
    return xcb_connection_has_error(connection_) != 0;
}

std::uint32_t X11Connection::atom(const char* name) const
{
    auto cookie = xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection_, cookie, nullptr);
    if (!reply)
        return 0;
    const std::uint32_t atom = reply->atom;
    std::free(reply);
    return atom;
}

} // namespace quellon::host
