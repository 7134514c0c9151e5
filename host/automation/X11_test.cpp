#include "host/automation/AutomationTestSupport.h"
#include "host/automation/HostAutomation.h"
#include "host/automation/X11FocusWatcher.h"
#include "host/automation/X11Hotkeys.h"
#include "platform/Log.h"
#include "platform/ProcessTable.h"
#include "triggers/DefaultHotkeys.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

namespace quellon::host {
namespace {

using testing::FakeHostController;

// A private X server: Xvfb on a display number it picks itself.
class PrivateXServer {
public:
    PrivateXServer()
    {
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(ready[1], 3); // dup2 clears close-on-exec on the copy
            if (int null = ::open("/dev/null", O_WRONLY); null >= 0)
                ::dup2(null, 2);
            ::execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "640x480x24", "-nolisten", "tcp",
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(ready[1]);
        pollfd wait{ready[0], POLLIN, 0};
        std::string number;
        char c;
        while (::poll(&wait, 1, 10000) == 1 && ::read(ready[0], &c, 1) == 1 && c != '\n')
            number += c;
        ::close(ready[0]);
        if (!number.empty())
            display_ = ":" + number;
    }
    ~PrivateXServer()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    PrivateXServer(const PrivateXServer&) = delete;
    PrivateXServer& operator=(const PrivateXServer&) = delete;

    /// Empty when Xvfb could not start.
    const std::string& display() const { return display_; }

    /// Presses keys with xdotool (XTEST) as a user would; false when xdotool failed.
    bool press(const std::string& keys) const
    {
        const std::string command = "DISPLAY=" + display_ + " xdotool key " + keys + " 2>/dev/null";
        return std::system(command.c_str()) == 0;
    }

    /// Holds keys down for seconds, then lets go.
    bool hold(const std::string& keys, double seconds) const
    {
        const std::string command = "DISPLAY=" + display_ + " xdotool keydown " + keys + " sleep "
            + std::to_string(seconds) + " keyup " + keys + " 2>/dev/null";
        return std::system(command.c_str()) == 0;
    }

private:
    pid_t pid_ = -1;
    std::string display_;
};

class X11Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (server_.display().empty())
            GTEST_SKIP() << "Xvfb cannot start here";
    }
    PrivateXServer server_;
};

// The window manager's part, played by the test: a window with its hints, made active.
class Window {
public:
    explicit Window(X11Connection& connection) : connection_(connection)
    {
        window_ = xcb_generate_id(connection.get());
        xcb_create_window(connection.get(), XCB_COPY_FROM_PARENT, window_, connection.root(), 0, 0, 10, 10, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
    }
    void setPid(std::uint32_t pid)
    {
        xcb_change_property(connection_.get(), XCB_PROP_MODE_REPLACE, window_, connection_.atom("_NET_WM_PID"),
                            XCB_ATOM_CARDINAL, 32, 1, &pid);
    }
    void setClass(const std::string& instance, const std::string& windowClass)
    {
        const std::string value = instance + '\0' + windowClass + '\0';
        xcb_change_property(connection_.get(), XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                            static_cast<std::uint32_t>(value.size()), value.data());
    }
    void activate()
    {
        xcb_change_property(connection_.get(), XCB_PROP_MODE_REPLACE, connection_.root(),
                            connection_.atom("_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW, 32, 1, &window_);
        xcb_aux_sync();
    }
    std::uint32_t id() const { return window_; }

private:
    void xcb_aux_sync() { std::free(xcb_get_input_focus_reply(connection_.get(), xcb_get_input_focus(connection_.get()), nullptr)); }

    X11Connection& connection_;
    std::uint32_t window_;
};

TEST_F(X11Test, TheFocusedWindowNamesItsApplication)
{
    X11FocusWatcher watcher(server_.display());
    EXPECT_EQ(watcher.focusedWindow(), std::nullopt) << "no window manager has set an active window";

    X11Connection wm(server_.display());
    Window window(wm);
    window.setPid(static_cast<std::uint32_t>(::getpid()));
    window.setClass("meeting", "MeetingApp");
    window.activate();
    EXPECT_EQ(watcher.focusedWindow(), (FocusedWindow{window.id(), ::getpid(), "MeetingApp"}));
    const ProcessTable processes;
    EXPECT_EQ(watcher.focusedApp(processes), AppIdentities::identify(processes, ::getpid())) << "the process's identity";

    // A process that does not exist here (a sandbox's own numbering): the window class instead.
    window.setPid(0x3ffffff0);
    window.activate();
    EXPECT_EQ(watcher.focusedApp(processes), (AppIdentity{"MeetingApp", AppIdentity::Source::windowClass}));
}

TEST_F(X11Test, GrabbedHotkeysPerformTheirActions)
{
    FakeHostController host;
    CapturingLogSink log;
    testing::LoopThread loop;
    std::vector<HotkeyAction> blocked;
    std::unique_ptr<X11Hotkeys> blocker, hotkeys;
    auto assignments = HotkeyActions::defaults();
    assignments.push_back({HotkeyAction::standby, HotkeyBinding{HotkeyKey::a, 0}});
    const auto grabbed = loop.call([&] {
        // Another client (a second host, say) holds the key of returnLive already.
        blocker = std::make_unique<X11Hotkeys>(loop.loop, log, [&](HotkeyAction action) { blocked.push_back(action); },
                                               server_.display());
        blocker->grab({{HotkeyAction::returnLive, DefaultHotkeys::returnLive}});
        hotkeys = std::make_unique<X11Hotkeys>(loop.loop, log, [&](HotkeyAction action) { HotkeyActions::perform(host, action); },
                                               server_.display());
        return hotkeys->grab(assignments);
    });
    EXPECT_EQ(grabbed, (std::vector<HotkeyAction>{HotkeyAction::toggleAway, HotkeyAction::standby, HotkeyAction::panicToggle}));
    EXPECT_TRUE(log.contains("hotkey standby: A is not usable as a global hotkey; not registered"));
    EXPECT_TRUE(log.contains("hotkey returnLive: Alt+Super+B is taken by another application; not registered"));

    using Change = FakeHostController::ModeChange;
    ASSERT_TRUE(server_.press("super+alt+a"));
    ASSERT_TRUE(host.waitUntil([&] { return host.modeChanges().size() == 1; }));
    // Caps Lock on does not disable a hotkey; a plain A is none. Holding the keys down long
    // enough to auto-repeat is still one press.
    ASSERT_TRUE(server_.press("Caps_Lock a Caps_Lock"));
    ASSERT_TRUE(server_.hold("super+alt+h", 1.5));
    ASSERT_TRUE(host.waitUntil([&] { return host.modeChanges().size() >= 2; }));
    ASSERT_TRUE(server_.press("super+alt+b"));
    EXPECT_TRUE(host.waitUntil([&] { return loop.call([&] { return blocked.size(); }) == 1; })) << "the other client's key";

    // Once the other client is gone the key is free for us.
    const auto regrabbed = loop.call([&] {
        blocker.reset();
        return hotkeys->grab(assignments);
    });
    EXPECT_EQ(regrabbed.size(), 4u);
    ASSERT_TRUE(server_.press("super+alt+b"));
    ASSERT_TRUE(host.waitUntil([&] { return host.modeChanges().size() >= 3; }));
    EXPECT_EQ(host.modeChanges(), (std::vector<Change>{{QuellonMode::away, "hotkey toggleAway"},
                                                       {QuellonMode::standby, "hotkey standby"},
                                                       {QuellonMode::live, "hotkey returnLive"}}));
    loop.call([&] { hotkeys.reset(); });
}

TEST_F(X11Test, TheHostsAutomationRegistersTheUsersBindingsAndTheirChanges)
{
    FakeHostController host;
    CapturingLogSink log;
    testing::LoopThread loop;
    ::setenv("DISPLAY", server_.display().c_str(), 1);
    std::vector<HotkeyAssignment> bindings{{HotkeyAction::toggleAway, {HotkeyKey::f14, 0}}};
    std::unique_ptr<HostAutomation> automation;
    loop.call([&] {
        HostAutomation::Settings settings;
        settings.profiles = [] { return ProfileWatcher::Settings{}; };
        settings.hotkeys = [&] { return bindings; };
        automation = std::make_unique<HostAutomation>(loop.loop, nullptr, host, log, settings);
        automation->start();
    });
    ASSERT_TRUE(server_.press("XF86Launch5"));
    ASSERT_TRUE(host.waitUntil([&] { return host.modeChanges().size() >= 1; }));

    // The user moves toggleAway to Ctrl+Shift+J: F14 is let go.
    loop.call([&] {
        bindings = {{HotkeyAction::toggleAway, {38, HotkeyKey::control | HotkeyKey::shift}}};
        automation->hotkeysChanged();
    });
    ASSERT_TRUE(server_.press("XF86Launch5"));
    ASSERT_TRUE(server_.press("ctrl+shift+j"));
    ASSERT_TRUE(host.waitUntil([&] { return host.modeChanges().size() >= 2; }, std::chrono::seconds(20))) << [&] {
        std::string lines;
        for (const auto& line : log.lines())
            lines += line.message + "\n";
        return lines;
    }();
    using Change = FakeHostController::ModeChange;
    EXPECT_EQ(host.modeChanges(), (std::vector<Change>{{QuellonMode::away, "hotkey toggleAway"},
                                                       {QuellonMode::live, "hotkey toggleAway"}}));
    loop.call([&] { automation.reset(); });
    ::unsetenv("DISPLAY");
}

} // namespace
} // namespace quellon::host
