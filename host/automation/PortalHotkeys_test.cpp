#include "host/automation/AutomationTestSupport.h"
#include "host/automation/GlobalHotkeys.h"
#include "host/automation/PortalHotkeys.h"
#include "menubar/BusTestSupport.h"
#include "menubar/NotificationBus.h"
#include "platform/Log.h"
#include "triggers/DefaultHotkeys.h"

#include <gtest/gtest.h>

#include <sdbus-c++/sdbus-c++.h>

namespace quellon::host {
namespace {

using testing::FakeHostController;
using testing::LoopThread;
using VarDict = std::map<std::string, sdbus::Variant>;
using Bound = std::vector<std::pair<std::string, std::string>>;

// The desktop portal's GlobalShortcuts as the interface describes it, on the private bus.
class FakePortal {
public:
    explicit FakePortal(const std::string& address, bool refuseBinding = false)
        : connection_(sdbus::createSessionBusConnectionWithAddress(address)), refuse_(refuseBinding)
    {
        connection_->requestName(PortalHotkeys::service);
        object_ = sdbus::createObject(*connection_, PortalHotkeys::objectPath);
        object_->registerMethod(PortalHotkeys::interfaceName, "CreateSession", "a{sv}", "o", [this](sdbus::MethodCall call) {
            VarDict options;
            call >> options;
            const std::string request = requestPath(call.getSender(), options.at("handle_token").get<std::string>());
            const std::string session = std::string(PortalHotkeys::objectPath) + "/session/"
                + pathPart(call.getSender()) + "/" + options.at("session_handle_token").get<std::string>();
            {
                std::lock_guard lock(mutex_);
                session_ = session;
            }
            auto reply = call.createReply();
            reply << sdbus::ObjectPath(request);
            reply.send();
            respond(request, 0, VarDict{{"session_handle", sdbus::Variant(session)}});
        });
        object_->registerMethod(PortalHotkeys::interfaceName, "BindShortcuts", "oa(sa{sv})sa{sv}", "o", [this](sdbus::MethodCall call) {
            sdbus::ObjectPath session;
            std::vector<sdbus::Struct<std::string, VarDict>> shortcuts;
            std::string parent;
            VarDict options;
            call >> session >> shortcuts >> parent >> options;
            {
                std::lock_guard lock(mutex_);
                for (auto& shortcut : shortcuts)
                    bound_.emplace_back(shortcut.get<0>(), shortcut.get<1>().at("preferred_trigger").get<std::string>());
            }
            const std::string request = requestPath(call.getSender(), options.at("handle_token").get<std::string>());
            auto reply = call.createReply();
            reply << sdbus::ObjectPath(request);
            reply.send();
            respond(request, refuse_ ? 1 : 0, VarDict{});
        });
        object_->registerProperty("version").onInterface(PortalHotkeys::interfaceName).withGetter([] { return 1u; });
        object_->finishRegistration();
        connection_->enterEventLoopAsync();
    }

    ~FakePortal() { connection_->leaveEventLoop(); }

    Bound bound() const
    {
        std::lock_guard lock(mutex_);
        return bound_;
    }
    std::string session() const
    {
        std::lock_guard lock(mutex_);
        return session_;
    }

    /// The user pressed the shortcut id of session.
    void activate(const std::string& session, const std::string& id)
    {
        auto signal = object_->createSignal(PortalHotkeys::interfaceName, "Activated");
        signal << sdbus::ObjectPath(session) << id << std::uint64_t{0} << VarDict{};
        object_->emitSignal(signal);
    }

private:
    static std::string pathPart(std::string sender)
    {
        sender.erase(0, 1);
        for (char& c : sender)
            if (c == '.')
                c = '_';
        return sender;
    }
    static std::string requestPath(const std::string& sender, const std::string& token)
    {
        return std::string(PortalHotkeys::objectPath) + "/request/" + pathPart(sender) + "/" + token;
    }
    void respond(const std::string& path, std::uint32_t response, const VarDict& results)
    {
        auto request = sdbus::createObject(*connection_, path);
        auto signal = request->createSignal("org.freedesktop.portal.Request", "Response");
        signal << response << results;
        request->emitSignal(signal);
    }

    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IObject> object_;
    bool refuse_;
    mutable std::mutex mutex_;
    Bound bound_;
    std::string session_;
};

class PortalHotkeysTest : public ::testing::Test {
protected:
    ~PortalHotkeysTest() override
    {
        loop_.call([this] {
            hotkeys_.reset();
            bus_.reset();
        });
    }

    // Starts the hotkeys with no X display to fall back on, and waits for the outcome.
    GlobalHotkeys::Backend start(const std::vector<HotkeyAssignment>& assignments)
    {
        loop_.call([&] {
            bus_ = std::make_unique<NotificationBus>(loop_.loop);
            hotkeys_ = std::make_unique<GlobalHotkeys>(loop_.loop, &bus_->connection(), host_, log_, std::string());
            hotkeys_->start(assignments);
        });
        GlobalHotkeys::Backend backend = GlobalHotkeys::Backend::pending;
        host_.waitUntil([&] {
            backend = loop_.call([&] { return hotkeys_->backend(); });
            return backend != GlobalHotkeys::Backend::pending;
        });
        return backend;
    }

    testing::PrivateSessionBus sessionBus_;
    FakeHostController host_;
    CapturingLogSink log_;
    LoopThread loop_;
    std::unique_ptr<NotificationBus> bus_;
    std::unique_ptr<GlobalHotkeys> hotkeys_;
};

TEST_F(PortalHotkeysTest, UsableBindingsAreBoundAndActivationsBecomeModeCommands)
{
    FakePortal portal(sessionBus_.address());
    auto assignments = HotkeyActions::defaults();
    assignments[2].binding = HotkeyBinding{HotkeyKey::a, 0}; // standby on a bare A: unusable
    ASSERT_EQ(start(assignments), GlobalHotkeys::Backend::portal);
    EXPECT_EQ(portal.bound(), (Bound{{"toggleAway", "ALT+LOGO+a"}, {"returnLive", "ALT+LOGO+b"}, {"panicToggle", "F13"}}));
    EXPECT_TRUE(log_.contains("hotkey standby: A is not usable as a global hotkey; not registered"));

    using Change = FakeHostController::ModeChange;
    // Another application's session with the same shortcut name is not ours.
    portal.activate("/org/freedesktop/portal/desktop/session/1_1/other", "toggleAway");
    portal.activate(portal.session(), "toggleAway");
    ASSERT_TRUE(host_.waitUntil([&] { return !host_.modeChanges().empty(); }));
    portal.activate(portal.session(), "panicToggle");
    portal.activate(portal.session(), "noSuchAction");
    portal.activate(portal.session(), "panicToggle");
    ASSERT_TRUE(host_.waitUntil([&] { return host_.modeChanges().size() >= 3; }));
    EXPECT_EQ(host_.modeChanges(), (std::vector<Change>{{QuellonMode::away, "hotkey toggleAway"},
                                                        {QuellonMode::standby, "hotkey panicToggle"},
                                                        {QuellonMode::live, "hotkey panicToggle"}}));
}

TEST_F(PortalHotkeysTest, ARefusalInThePortalIsRespected)
{
    FakePortal portal(sessionBus_.address(), true);
    EXPECT_EQ(start(HotkeyActions::defaults()), GlobalHotkeys::Backend::none);
    EXPECT_EQ(portal.bound().size(), 4u) << "asked for all four";
    EXPECT_TRUE(log_.contains("hotkeys: the shortcuts were not bound (the dialog was cancelled or refused)"));
}

TEST_F(PortalHotkeysTest, WithoutPortalAndX11TheHostSaysOnceThatHotkeysAreUnavailable)
{
    EXPECT_EQ(start(HotkeyActions::defaults()), GlobalHotkeys::Backend::none);
    std::size_t said = 0;
    for (const auto& line : log_.lines())
        said += line.message.find("hotkeys are unavailable") != std::string::npos;
    EXPECT_EQ(said, 1u);
    EXPECT_TRUE(log_.contains("hotkeys are unavailable: no desktop portal with global shortcuts and no X display "
                              "(DISPLAY is not set); the host keeps looking for an X display, or bind `quellon away` "
                              "in the desktop's keyboard settings"));
}

} // namespace
} // namespace quellon::host
