#pragma once
// Global hotkeys on X11 without a portal: passive key grabs on the root window.

#include "host/automation/HotkeyActions.h"
#include "host/automation/X11Connection.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quellon {
class LogSink;
class MainLoop;
}

namespace quellon::host {

/// Grabs each usable binding's key with its modifiers (and with Caps Lock and Num Lock on, so
/// those do not disable the hotkey) and performs the action on its press. Events are read on
/// the MainLoop's thread.
class X11Hotkeys {
public:
    using Handler = std::function<void(HotkeyAction)>;

    /// Throws X11Unavailable. Loop thread (or before the loop runs).
    X11Hotkeys(MainLoop& loop, LogSink& log, Handler handler, const std::optional<std::string>& display = std::nullopt,
               const std::optional<std::string>& authority = std::nullopt);
    ~X11Hotkeys();
    X11Hotkeys(const X11Hotkeys&) = delete;
    X11Hotkeys& operator=(const X11Hotkeys&) = delete;

    /// Replaces the grabs with the assignments'; returns the actions actually grabbed. Not
    /// usable, unknown to this keyboard or taken by another client: left out and logged.
    std::vector<HotkeyAction> grab(const std::vector<HotkeyAssignment>& assignments);

    /// The X server went away (it restarted, the session ended): the grabs are gone with it.
    bool broken() const { return connection_.broken(); }

private:
    struct Grab {
        std::uint8_t keycode;
        std::uint16_t modifiers;
        bool operator<(const Grab& other) const
        {
            return keycode != other.keycode ? keycode < other.keycode : modifiers < other.modifiers;
        }
    };

    void ungrabAll();
    std::optional<std::uint8_t> keycodeOf(const std::vector<std::uint32_t>& keysyms) const;
    void dispatch();

    MainLoop& loop_;
    LogSink& log_;
    Handler handler_;
    X11Connection connection_;
    std::uint64_t watch_ = 0;
    std::map<Grab, HotkeyAction> grabs_;
    // Auto-repeat sends a release and a press with the same time: that press is no new one.
    std::map<std::uint8_t, std::uint32_t> releasedAt_;
    bool reportedBroken_ = false;
    // An event xcb had queued when the loop prepared its poll (an xcb_generic_event_t).
    void* queued_ = nullptr;
};

} // namespace quellon::host
