#include "host/automation/X11Connection.h"

#include <cstdlib>
#include <cstring>
#include <xcb/xcb.h>

namespace quellon::host {

X11Connection::X11Connection(const std::optional<std::string>& display)
{
    const char* name = display ? display->c_str() : std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0')
        throw X11Unavailable("no X display (DISPLAY is not set)");
    int screenNumber = 0;
    connection_ = xcb_connect(name, &screenNumber);
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
