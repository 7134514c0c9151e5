#include "host/automation/X11Hotkeys.h"

#include "host/automation/HotkeyKeymap.h"
#include "menubar/MainLoop.h"
#include "platform/Log.h"

#include <cstdlib>
#include <memory>
#include <poll.h>
#include <xcb/xcb.h>

namespace quellon::host {

namespace {

// The lock modifiers a grab must ignore: Caps Lock and, on every common keymap, Num Lock (Mod2).
constexpr std::uint16_t kLockMasks[] = {0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2, XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2};
constexpr std::uint16_t kBindingMasks = HotkeyKeymap::xShift | HotkeyKeymap::xControl | HotkeyKeymap::xAlt | HotkeyKeymap::xSuper;

} // namespace

X11Hotkeys::X11Hotkeys(MainLoop& loop, LogSink& log, Handler handler, const std::optional<std::string>& display,
                       const std::optional<std::string>& authority)
    : loop_(loop), log_(log), handler_(std::move(handler)), connection_(display, authority)
{
    watch_ = loop_.addWatch(
        [this] {
            xcb_flush(connection_.get());
            if (connection_.broken())
                return MainLoop::Wait{};
            // Replies waited for elsewhere may have pulled events off the socket into xcb's
            // queue, where poll() cannot see them: those are dispatched at once.
            if (!queued_)
                queued_ = xcb_poll_for_queued_event(connection_.get());
            return MainLoop::Wait{connection_.fd(), POLLIN, queued_ ? 0 : -1};
        },
        [this] { dispatch(); });
}

X11Hotkeys::~X11Hotkeys()
{
    loop_.removeWatch(watch_);
    std::free(queued_);
    ungrabAll();
    xcb_flush(connection_.get());
}

std::optional<std::uint8_t> X11Hotkeys::keycodeOf(const std::vector<std::uint32_t>& keysyms) const
{
    xcb_connection_t* connection = connection_.get();
    const xcb_setup_t* setup = xcb_get_setup(connection);
    const int count = setup->max_keycode - setup->min_keycode + 1;
    auto cookie = xcb_get_keyboard_mapping(connection, setup->min_keycode, static_cast<std::uint8_t>(count));
    std::unique_ptr<xcb_get_keyboard_mapping_reply_t, decltype(&std::free)> reply(
        xcb_get_keyboard_mapping_reply(connection, cookie, nullptr), &std::free);
    if (!reply || reply->keysyms_per_keycode == 0)
        return std::nullopt;
    const xcb_keysym_t* table = xcb_get_keyboard_mapping_keysyms(reply.get());
    const int perKey = reply->keysyms_per_keycode;
    const int entries = xcb_get_keyboard_mapping_keysyms_length(reply.get());
    // The first keysym that some key produces wins; within it, the key that produces it
    // unshifted.
    for (std::uint32_t keysym : keysyms)
        for (int column = 0; column < perKey; ++column)
            for (int key = 0; key < count && key * perKey + column < entries; ++key)
                if (table[key * perKey + column] == keysym)
                    return static_cast<std::uint8_t>(setup->min_keycode + key);
    return std::nullopt;
}

std::vector<HotkeyAction> X11Hotkeys::grab(const std::vector<HotkeyAssignment>& assignments)
{
    ungrabAll();
    std::vector<HotkeyAction> grabbed;
    xcb_connection_t* connection = connection_.get();
    for (const auto& assignment : assignments) {
        const std::string label = "hotkey " + std::string(HotkeyActions::name(assignment.action)) + ": "
            + assignment.binding.displayString();
        if (!assignment.binding.isUsableAsGlobalHotkey()) {
            log_.write(LogLevel::info, label + " is not usable as a global hotkey; not registered");
            continue;
        }
        const auto key = HotkeyKeymap::key(assignment.binding.keyCode);
        const auto keycode = key ? keycodeOf(key->keysyms) : std::nullopt;
        if (!keycode) {
            log_.write(LogLevel::info, label + " has no key on this keyboard; not registered");
            continue;
        }
        const std::uint16_t modifiers = HotkeyKeymap::xModifiers(assignment.binding.modifiers);
        if (grabs_.count({*keycode, modifiers})) {
            log_.write(LogLevel::info, label + " is bound twice; only the first counts");
            continue;
        }
        bool taken = false;
        for (std::uint16_t lock : kLockMasks) {
            auto cookie = xcb_grab_key_checked(connection, 0, connection_.root(), modifiers | lock, *keycode,
                                               XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
            if (xcb_generic_error_t* error = xcb_request_check(connection, cookie)) {
                std::free(error);
                taken = true;
            }
        }
        if (taken) {
            for (std::uint16_t lock : kLockMasks)
                xcb_ungrab_key(connection, *keycode, connection_.root(), modifiers | lock);
            log_.write(LogLevel::info, label + " is taken by another application; not registered");
            continue;
        }
        grabs_.emplace(Grab{*keycode, modifiers}, assignment.action);
        grabbed.push_back(assignment.action);
    }
    xcb_flush(connection);
    return grabbed;
}

void X11Hotkeys::ungrabAll()
{
    for (const auto& [grab, action] : grabs_)
        for (std::uint16_t lock : kLockMasks)
            xcb_ungrab_key(connection_.get(), grab.keycode, connection_.root(), grab.modifiers | lock);
    grabs_.clear();
}

void X11Hotkeys::dispatch()
{
    xcb_connection_t* connection = connection_.get();
    auto* event = static_cast<xcb_generic_event_t*>(queued_);
    queued_ = nullptr;
    for (; event || (event = xcb_poll_for_event(connection)); event = nullptr) {
        std::unique_ptr<xcb_generic_event_t, decltype(&std::free)> owned(event, &std::free);
        const auto type = event->response_type & 0x7f;
        if (type == XCB_KEY_RELEASE) {
            const auto* release = reinterpret_cast<const xcb_key_release_event_t*>(event);
            releasedAt_[release->detail] = release->time;
            continue;
        }
        if (type != XCB_KEY_PRESS)
            continue;
        const auto* press = reinterpret_cast<const xcb_key_press_event_t*>(event);
        if (const auto released = releasedAt_.find(press->detail); released != releasedAt_.end() && released->second == press->time)
            continue; // auto-repeat of a held key
        const auto found = grabs_.find({press->detail, static_cast<std::uint16_t>(press->state & kBindingMasks)});
        if (found != grabs_.end())
            handler_(found->second);
    }
    if (connection_.broken() && !reportedBroken_) {
        reportedBroken_ = true;
        log_.write(LogLevel::error, "hotkeys: the X server closed the connection; they come back with the next display");
    }
}

} // namespace quellon::host
