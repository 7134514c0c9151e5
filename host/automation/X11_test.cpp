#include "host/automation/AutomationTestSupport.h"
#include "host/automation/GlobalHotkeys.h"
#include "host/automation/HostAutomation.h"
#include "host/automation/SessionDisplay.h"
#include "host/automation/X11FocusWatcher.h"
#include "host/automation/X11Hotkeys.h"
#include "menubar/BusTestSupport.h"
#include "menubar/NotificationBus.h"
#include "platform/Log.h"
#include "platform/TemporaryDirectory.h"
#include "platform/ProcessTable.h"
#include "triggers/DefaultHotkeys.h"

#include <gtest/gtest.h>

#include <X11/Xauth.h>
#include <sdbus-c++/sdbus-c++.h>

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

// A private X server: Xvfb on a display number it picks itself, with extra arguments.
class PrivateXServer {
public:
    explicit PrivateXServer(std::vector<std::string> extra = {})
    {
        std::vector<std::string> arguments{"Xvfb", "-displayfd", "3", "-screen", "0", "640x480x24", "-nolisten", "tcp"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(ready[1], 3); // dup2 clears close-on-exec on the copy
            if (int null = ::open("/dev/null", O_WRONLY); null >= 0)
                ::dup2(null, 2);
            ::execvp("Xvfb", argv.data());
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

// --- The session's display ---

TEST(SessionDisplay, ComesFromTheEnvironmentsDisplayAndAuthority)
{
    EXPECT_EQ(sessionDisplayIn({"HOME=/home/u", "DISPLAY=:1", "XAUTHORITY=/run/user/1000/gdm/Xauthority"}),
              (SessionDisplay{":1", "/run/user/1000/gdm/Xauthority"}));
    EXPECT_EQ(sessionDisplayIn({"DISPLAY=:0", "DISPLAY=:2"}), (SessionDisplay{":2", std::nullopt})) << "the last one wins";
    EXPECT_EQ(sessionDisplayIn({"DISPLAY=:0", "XAUTHORITY="}), (SessionDisplay{":0", std::nullopt}));
    EXPECT_EQ(sessionDisplayIn({"DISPLAY=", "XAUTHORITY=/x"}), std::nullopt);
    EXPECT_EQ(sessionDisplayIn({"WAYLAND_DISPLAY=wayland-0", "XDISPLAY=:0"}), std::nullopt);
}

// Sets an environment variable for the scope, then puts back what was there.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const std::optional<std::string>& value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            previous_ = old;
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    }
    ~ScopedVariable() { previous_ ? ::setenv(name_, previous_->c_str(), 1) : ::unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> previous_;
};

// One MIT-MAGIC-COOKIE-1 entry for any display, as display managers write them.
void writeCookie(const std::filesystem::path& file, std::string cookie)
{
    std::string name = "MIT-MAGIC-COOKIE-1";
    std::string empty;
    Xauth entry{};
    entry.family = FamilyWild;
    entry.address = empty.data();
    entry.number = empty.data();
    entry.name_length = static_cast<unsigned short>(name.size());
    entry.name = name.data();
    entry.data_length = static_cast<unsigned short>(cookie.size());
    entry.data = cookie.data();
    FILE* stream = std::fopen(file.c_str(), "wb");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(XauWriteAuth(stream, &entry), 1);
    std::fclose(stream);
}

TEST(X11Authority, TheSessionsCookieOpensADisplayThatAsksForOne)
{
    TemporaryDirectory directory;
    const auto cookie = directory.path() / "Xauthority", other = directory.path() / "other", none = directory.path() / "none";
    writeCookie(cookie, "0123456789abcdef");
    writeCookie(other, "fedcba9876543210");
    PrivateXServer server({"-auth", cookie.string()});
    if (server.display().empty())
        GTEST_SKIP() << "Xvfb cannot start here";
    // libxcb's own lookup finds nothing: the service has no cookie of its own.
    ScopedVariable authority("XAUTHORITY", none.string());
    ScopedVariable home("HOME", directory.path().string());
    EXPECT_THROW(X11Connection{server.display()}, X11Unavailable) << "refused without the cookie";
    EXPECT_NO_THROW(X11Connection(server.display(), cookie.string()));
    EXPECT_THROW(X11Connection(server.display(), other.string()), X11Unavailable) << "a wrong cookie";
    EXPECT_THROW(X11Connection(server.display(), none.string()), X11Unavailable) << "no authority file";
}

bool mentions(const CapturingLogSink& log, const std::string& part)
{
    for (const auto& line : log.lines())
        if (line.message.find(part) != std::string::npos)
            return true;
    return false;
}

// The systemd user manager's environment, as the desktop fills it at login.
class FakeUserManager {
public:
    explicit FakeUserManager(const std::string& address) : connection_(sdbus::createSessionBusConnectionWithAddress(address))
    {
        connection_->requestName("org.freedesktop.systemd1");
        object_ = sdbus::createObject(*connection_, "/org/freedesktop/systemd1");
        object_->registerProperty("Environment").onInterface("org.freedesktop.systemd1.Manager").withGetter([this] {
            std::lock_guard lock(mutex_);
            return environment_;
        });
        object_->finishRegistration();
        connection_->enterEventLoopAsync();
    }
    ~FakeUserManager() { connection_->leaveEventLoop(); }

    /// What `systemctl --user import-environment` leaves there.
    void setEnvironment(std::vector<std::string> environment)
    {
        std::lock_guard lock(mutex_);
        environment_ = std::move(environment);
    }

private:
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IObject> object_;
    std::mutex mutex_;
    std::vector<std::string> environment_{"HOME=/home/user", "LANG=C.UTF-8"};
};

TEST(X11Session, HotkeysComeWithTheSessionsDisplayAndComeBackAfterTheServerRestarts)
{
    testing::PrivateSessionBus bus;
    FakeUserManager manager(bus.address());
    ScopedVariable display("DISPLAY", std::nullopt); // a service started before the desktop
    FakeHostController host;
    CapturingLogSink log;
    testing::LoopThread loop;
    std::unique_ptr<NotificationBus> connection;
    std::unique_ptr<GlobalHotkeys> hotkeys;
    const auto backend = [&] { return loop.call([&] { return hotkeys->backend(); }); };
    loop.call([&] {
        connection = std::make_unique<NotificationBus>(loop.loop);
        hotkeys = std::make_unique<GlobalHotkeys>(loop.loop, &connection->connection(), host, log, std::nullopt,
                                                  std::chrono::milliseconds(50));
        hotkeys->start(HotkeyActions::defaults());
    });
    ASSERT_TRUE(host.waitUntil([&] { return mentions(log, "the host keeps looking for an X display"); }));
    EXPECT_EQ(backend(), GlobalHotkeys::Backend::none);

    // The desktop logs in and imports its display into the manager.
    auto server = std::make_unique<PrivateXServer>();
    if (server->display().empty())
        GTEST_SKIP() << "Xvfb cannot start here";
    manager.setEnvironment({"HOME=/home/user", "DISPLAY=" + server->display()});
    ASSERT_TRUE(host.waitUntil([&] { return backend() == GlobalHotkeys::Backend::x11; }));
    ASSERT_TRUE(server->press("super+alt+h"));
    ASSERT_TRUE(host.waitUntil([&] { return host.mode() == QuellonMode::standby; }));

    // The X server goes away and another one comes (a new login).
    server = std::make_unique<PrivateXServer>();
    ASSERT_FALSE(server->display().empty());
    manager.setEnvironment({"DISPLAY=" + server->display()});
    ASSERT_TRUE(host.waitUntil([&] { return mentions(log, "grabbed on the X display " + server->display()); }));
    ASSERT_TRUE(server->press("super+alt+a"));
    ASSERT_TRUE(host.waitUntil([&] { return host.mode() == QuellonMode::away; }));
    using Change = FakeHostController::ModeChange;
    EXPECT_EQ(host.modeChanges(), (std::vector<Change>{{QuellonMode::standby, "hotkey standby"},
                                                       {QuellonMode::away, "hotkey toggleAway"}}));
    loop.call([&] {
        hotkeys.reset();
        connection.reset();
    });
}

} // namespace
} // namespace quellon::host
