#pragma once
// A connection to an X server through xcb, for the focus watcher and the X11 hotkeys.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

struct xcb_connection_t;

namespace quellon::host {

/// No X server to talk to (no DISPLAY, or it refused us).
class X11Unavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class X11Connection {
public:
    /// Connects to display, or to $DISPLAY when none is given, with the cookie for that display
    /// from the authority file when one is given (else libxcb finds one as usual: $XAUTHORITY,
    /// ~/.Xauthority). Throws X11Unavailable.
    explicit X11Connection(const std::optional<std::string>& display = std::nullopt,
                           const std::optional<std::string>& authority = std::nullopt);
    ~X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    xcb_connection_t* get() const { return connection_; }
    std::uint32_t root() const { return root_; }
    /// The descriptor to poll for events.
    int fd() const;
    /// The server went away or broke the connection; nothing more will work.
    bool broken() const;
    /// The atom of name; 0 when the server did not answer.
    std::uint32_t atom(const char* name) const;

private:
    xcb_connection_t* connection_ = nullptr;
    std::uint32_t root_ = 0;
};

} // namespace quellon::host
