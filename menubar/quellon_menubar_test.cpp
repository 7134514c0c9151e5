// The real quellon-menubar on a private session bus, against a StatusNotifierWatcher and a
// tray host that the test plays: what a desktop panel sees, and what the Quellon app hears.

#include "menubar/BusTestSupport.h"
#include "menubar/MenuBarBridge.h"
#include "platform/FileIO.h"

#include "../cli/ChildProgram.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <mutex>
#include <thread>

namespace quellon {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* itemService = "com.pennaveld.quellon.menubar";
using Properties = std::map<std::string, sdbus::Variant>;
using Layout = sdbus::Struct<std::int32_t, Properties, std::vector<sdbus::Variant>>;

/// Polls check every 20 ms for up to 5 s.
template <typename F>
bool eventually(F check)
{
    for (int i = 0; i < 250; ++i) {
        if (check())
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return check();
}

/// org.kde.StatusNotifierWatcher as a panel provides it: remembers who registered.
class FakeWatcher {
public:
    explicit FakeWatcher(const std::string& address) : connection_(sdbus::createSessionBusConnectionWithAddress(address))
    {
        object_ = sdbus::createObject(*connection_, "/StatusNotifierWatcher");
        object_->registerMethod("RegisterStatusNotifierItem")
            .onInterface("org.kde.StatusNotifierWatcher")
            .implementedAs([this](const std::string& service) {
                std::lock_guard lock(mutex_);
                registered_.push_back(service);
            });
        object_->finishRegistration();
        connection_->requestName("org.kde.StatusNotifierWatcher");
        connection_->enterEventLoopAsync();
    }
    ~FakeWatcher() { connection_->leaveEventLoop(); }

    std::vector<std::string> registered()
    {
        std::lock_guard lock(mutex_);
        return registered_;
    }

private:
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IObject> object_;
    std::mutex mutex_;
    std::vector<std::string> registered_;
};

/// One menu entry as a host reads it from GetLayout.
struct ShownEntry {
    std::string type;  // "standard" or "separator"
    std::string label;
    bool enabled = true;
    std::string toggleType;
    int toggleState = -1;
    bool operator==(const ShownEntry&) const = default;
};

std::ostream& operator<<(std::ostream& out, const ShownEntry& e)
{
    return out << "{" << e.type << " '" << e.label << "' " << e.enabled << " " << e.toggleType << " " << e.toggleState << "}";
}

class MenuBarTest : public ::testing::Test {
protected:
    MenuBarTest()
        : recorder(bus.address()), host(sdbus::createSessionBusConnectionWithAddress(bus.address())),
          menu(sdbus::createProxy(*host, itemService, "/MenuBar")),
          item(sdbus::createProxy(*host, itemService, "/StatusNotifierItem")),
          hostEvents(sdbus::createSessionBusConnectionWithAddress(bus.address()))
    {
        fs::create_directories(container());
        // The host's view of the menu's change signals, on a connection of its own.
        layoutUpdates = hostEvents->addMatch("type='signal',interface='com.canonical.dbusmenu',member='LayoutUpdated'",
                                             [this](sdbus::Message&) { ++layoutUpdated; });
        hostEvents->enterEventLoopAsync();
    }

    ~MenuBarTest() override
    {
        hostEvents->leaveEventLoop();
        for (auto& program : programs)
            if (program.second) {
                program.first->signal(SIGKILL);
                program.first->finish();
            }
    }

    fs::path container() const { return home.path() / "data" / MenuBarBridge::appGroupID; }

    /// Starts quellon-menubar; returns its index in programs.
    std::size_t start()
    {
        programs.emplace_back(std::make_unique<testing::ChildProgram>(QUELLON_MENUBAR_PATH, std::vector<std::string>{},
            std::vector<std::string>{"DBUS_SESSION_BUS_ADDRESS=" + bus.address(), "HOME=" + home.path().string(),
                                     "XDG_DATA_HOME=" + (home.path() / "data").string()}),
            true);
        return programs.size() - 1;
    }
    /// Starts it and waits for its ready notification.
    std::size_t startReady()
    {
        const auto index = start();
        EXPECT_TRUE(recorder.waitFor(MenuBarBridge::helperReady));
        return index;
    }
    testing::ProgramResult finish(std::size_t index)
    {
        programs[index].second = false;
        return programs[index].first->finish();
    }

    std::vector<ShownEntry> shownMenu(std::uint32_t* revision = nullptr)
    {
        std::uint32_t rev = 0;
        Layout root;
        menu->callMethod("GetLayout").onInterface("com.canonical.dbusmenu")
            .withArguments(std::int32_t(0), std::int32_t(-1), std::vector<std::string>{})
            .storeResultsTo(rev, root);
        if (revision)
            *revision = rev;
        std::vector<ShownEntry> entries;
        for (const auto& child : root.get<2>()) {
            const auto layout = child.get<Layout>();
            const auto& p = layout.get<1>();
            ShownEntry e;
            e.type = p.count("type") ? p.at("type").get<std::string>() : "standard";
            e.label = p.count("label") ? p.at("label").get<std::string>() : "";
            e.enabled = p.count("enabled") ? p.at("enabled").get<bool>() : true;
            e.toggleType = p.count("toggle-type") ? p.at("toggle-type").get<std::string>() : "";
            e.toggleState = p.count("toggle-state") ? p.at("toggle-state").get<std::int32_t>() : -1;
            EXPECT_EQ(layout.get<0>(), std::int32_t(entries.size() + 1));
            entries.push_back(e);
        }
        return entries;
    }

    /// The entries of the submenu with that id, with their ids.
    std::vector<std::pair<std::int32_t, ShownEntry>> shownSubmenu(std::int32_t id)
    {
        std::uint32_t rev = 0;
        Layout parent;
        menu->callMethod("GetLayout").onInterface("com.canonical.dbusmenu")
            .withArguments(id, std::int32_t(-1), std::vector<std::string>{})
            .storeResultsTo(rev, parent);
        EXPECT_EQ(parent.get<1>().count("children-display") ? parent.get<1>().at("children-display").get<std::string>() : "",
                  "submenu");
        std::vector<std::pair<std::int32_t, ShownEntry>> entries;
        for (const auto& child : parent.get<2>()) {
            const auto layout = child.get<Layout>();
            const auto& p = layout.get<1>();
            ShownEntry e;
            e.type = p.count("type") ? p.at("type").get<std::string>() : "standard";
            e.label = p.count("label") ? p.at("label").get<std::string>() : "";
            e.enabled = p.count("enabled") ? p.at("enabled").get<bool>() : true;
            e.toggleType = p.count("toggle-type") ? p.at("toggle-type").get<std::string>() : "";
            e.toggleState = p.count("toggle-state") ? p.at("toggle-state").get<std::int32_t>() : -1;
            entries.emplace_back(layout.get<0>(), e);
        }
        return entries;
    }

    std::string itemProperty(const std::string& name)
    {
        return item->getProperty(name).onInterface("org.kde.StatusNotifierItem").get<std::string>();
    }

    void click(std::int32_t id)
    {
        menu->callMethod("Event").onInterface("com.canonical.dbusmenu")
            .withArguments(id, std::string("clicked"), sdbus::Variant(std::int32_t(0)), std::uint32_t(0));
    }

    testing::PrivateSessionBus bus;
    testing::NotificationRecorder recorder;
    TemporaryDirectory home{"quellon-menubar"};
    std::unique_ptr<sdbus::IConnection> host;
    std::unique_ptr<sdbus::IProxy> menu, item;
    std::unique_ptr<sdbus::IConnection> hostEvents;
    sdbus::Slot layoutUpdates;
    std::atomic<int> layoutUpdated{0};
    std::vector<std::pair<std::unique_ptr<testing::ChildProgram>, bool>> programs;
};

ShownEntry separator() { return {"separator", "", true, "", -1}; }
ShownEntry plain(std::string label) { return {"standard", std::move(label), true, "", -1}; }
ShownEntry checkable(std::string label, bool on) { return {"standard", std::move(label), true, "checkmark", on ? 1 : 0}; }

std::vector<ShownEntry> expectedMenu(const std::string& header, bool live, bool away, bool standby, bool autoReturn)
{
    return {{"standard", "Quellon \u2014 " + header, false, "", -1}, separator(), plain("Open Quellon Panel"),
            plain("Open Settings\u2026"), separator(), checkable("Live", live), checkable("Away", away),
            checkable("Standby", standby), plain("Camera"), separator(), plain("Record New Loop"),
            plain("Manage Loops\u2026"), plain("Loops"), checkable("Enable Auto Return", autoReturn), separator(),
            plain("Quit Quellon")};
}

TEST_F(MenuBarTest, RegistersWithTheWatcherAndAgainWhenAWatcherAppearsLater)
{
    startReady();
    auto late = std::make_unique<FakeWatcher>(bus.address());
    EXPECT_TRUE(eventually([&] { return late->registered() == std::vector<std::string>{itemService}; }));
    late.reset(); // the panel restarts
    FakeWatcher restarted(bus.address());
    EXPECT_TRUE(eventually([&] { return restarted.registered() == std::vector<std::string>{itemService}; }));

    EXPECT_EQ(itemProperty("Category"), "ApplicationStatus");
    EXPECT_EQ(itemProperty("Id"), "quellon");
    EXPECT_EQ(itemProperty("Title"), "Quellon");
    EXPECT_EQ(item->getProperty("Menu").onInterface("org.kde.StatusNotifierItem").get<sdbus::ObjectPath>(), "/MenuBar");
    EXPECT_TRUE(fs::exists(fs::path(itemProperty("IconThemePath")) / "hicolor/scalable/status/quellon-zzz-symbolic.svg"));
}

TEST_F(MenuBarTest, AWatcherAlreadyRunningGetsTheItemAtStart)
{
    FakeWatcher watcher(bus.address());
    startReady();
    EXPECT_TRUE(eventually([&] { return watcher.registered() == std::vector<std::string>{itemService}; }));
}

TEST_F(MenuBarTest, IconAndMenuFollowEachStatusNotification)
{
    startReady();
    using ToolTip = sdbus::Struct<std::string, std::vector<sdbus::Struct<std::int32_t, std::int32_t, std::vector<std::uint8_t>>>,
                                  std::string, std::string>;
    struct Step {
        std::vector<std::string> posted;
        std::string icon;
        std::string description;
        std::vector<ShownEntry> menu;
    };
    const Step steps[] = {
        {{}, "person.fill", "Quellon Live", expectedMenu("Live", true, false, false, false)},
        {{"com.quellon.menubar.mode.error"}, "exclamationmark.triangle.fill", "Quellon Error",
         expectedMenu("Error", false, false, false, false)},
        {{"com.quellon.menubar.ar.on"}, "exclamationmark.triangle.fill", "Quellon Error",
         expectedMenu("Error", false, false, false, true)},
        {{"com.quellon.menubar.mode.away"}, "zzz", "Quellon Away", expectedMenu("Away", false, true, false, true)},
        {{"com.quellon.menubar.ar.off", "com.quellon.menubar.mode.standby"}, "pause.fill", "Quellon Standby",
         expectedMenu("Standby", false, false, true, false)},
        // Text outside the four modes is not observed: nothing changes until a known one comes.
        {{"com.quellon.menubar.mode.Sleeping", "com.quellon.menubar.mode.Live", "com.quellon.menubar.loops.yes",
          "com.quellon.menubar.mode.live"},
         "person.fill", "Quellon Live", expectedMenu("Live", true, false, false, false)},
    };
    int updatesBefore = layoutUpdated;
    for (const Step& step : steps) {
        for (const auto& name : step.posted)
            MenuBarBridge::post(name);
        const std::string context = step.posted.empty() ? "fresh start" : step.posted.back();
        EXPECT_TRUE(eventually([&] { return shownMenu() == step.menu; })) << context << "\n"
            << ::testing::PrintToString(shownMenu());
        EXPECT_EQ(itemProperty("IconName"), "quellon-" + step.icon + "-symbolic") << context;
        const auto tip = item->getProperty("ToolTip").onInterface("org.kde.StatusNotifierItem").get<ToolTip>();
        EXPECT_EQ(tip.get<2>(), step.description) << context;
        EXPECT_FALSE(tip.get<1>().empty()) << context;
        if (!step.posted.empty()) {
            EXPECT_TRUE(eventually([&] { return layoutUpdated > updatesBefore; })) << context;
        }
        updatesBefore = layoutUpdated;
    }
    // Pixmaps for hosts without our icon theme, in several sizes.
    const auto pixmaps = item->getProperty("IconPixmap").onInterface("org.kde.StatusNotifierItem")
        .get<std::vector<sdbus::Struct<std::int32_t, std::int32_t, std::vector<std::uint8_t>>>>();
    ASSERT_GE(pixmaps.size(), 3u);
    for (const auto& p : pixmaps)
        EXPECT_EQ(p.get<2>().size(), std::size_t(p.get<0>() * p.get<1>() * 4));
}

TEST_F(MenuBarTest, ChoosingAnEntryPostsItsCommandAndChangesNothingElse)
{
    startReady();
    const std::vector<std::pair<std::int32_t, std::string>> entries{{3, "togglePanel"}, {4, "showApp"}, {6, "setLive"},
        {7, "setAway"}, {8, "setStandby"}, {11, "record"}, {12, "manageLoops"}, {14, "toggleAutoReturn"}, {16, "quit"}};
    shownMenu(); // the host reads the layout once it has the item
    for (const auto& [id, command] : entries) {
        recorder.clear();
        // AboutToShow first, as hosts do before opening the menu.
        bool needUpdate = true;
        menu->callMethod("AboutToShow").onInterface("com.canonical.dbusmenu").withArguments(std::int32_t(0))
            .storeResultsTo(needUpdate);
        EXPECT_FALSE(needUpdate);
        click(id);
        EXPECT_TRUE(recorder.waitFor("com.quellon.menubar.cmd." + command)) << id;
    }
    // The header and separators carry no command; the app alone changes the status.
    recorder.clear();
    for (std::int32_t id : {1, 2, 5, 9, 10, 13, 15, 17, 18})
        click(id);
    MenuBarBridge::post("com.quellon.menubar.test.sentinel");
    ASSERT_TRUE(recorder.waitFor("com.quellon.menubar.test.sentinel"));
    EXPECT_EQ(recorder.names(), std::vector<std::string>{"com.quellon.menubar.test.sentinel"});
    EXPECT_EQ(itemProperty("IconName"), "quellon-person.fill-symbolic");
    EXPECT_EQ(shownMenu(), expectedMenu("Live", true, false, false, false));
}

/// The host's SetLoop and SetCamera as the tray calls them.
class FakeHost {
public:
    explicit FakeHost(const std::string& address) : connection_(sdbus::createSessionBusConnectionWithAddress(address))
    {
        object_ = sdbus::createObject(*connection_, "/com/pennaveld/quellon");
        for (const char* method : {"SetLoop", "SetCamera"})
            object_->registerMethod(method).onInterface("com.pennaveld.quellon.Host").implementedAs([this, method](const std::string& value) {
                std::lock_guard lock(mutex_);
                calls_.push_back(std::string(method) + " " + value);
                if (value == "refused.mov")
                    throw sdbus::Error("org.freedesktop.DBus.Error.Failed", "no such loop");
            });
        object_->finishRegistration();
        connection_->requestName("com.pennaveld.quellon");
        connection_->enterEventLoopAsync();
    }
    ~FakeHost() { connection_->leaveEventLoop(); }
    std::vector<std::string> calls()
    {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IObject> object_;
    std::mutex mutex_;
    std::vector<std::string> calls_;
};

TEST_F(MenuBarTest, TheLoopsSubmenuListsTheLibraryWithTheActiveLoopCheckedAndChoosesThroughTheHost)
{
    fs::create_directories(container() / "Clips");
    std::ofstream(container() / "Clips" / "loop-1.mov") << "clip";
    std::ofstream(container() / "Clips" / "loop-1.json")
        << R"({"clipType":"loop","createdAt":"2026-01-01T00:00:00Z","displayName":"Morning coffee","duration":12,)"
           R"("filename":"loop-1.mov","fps":30,"loopMode":"pingpong","resolution":"1280x720"})";
    std::ofstream(container() / "Clips" / "imported-a.mov") << "clip";
    std::ofstream(container() / "Clips" / ".quellon-recording-1.mov") << "half-written";
    std::ofstream(container() / "state.json")
        << R"({"activeClipFilename":"imported-a.mov","loopMode":"pingpong","mode":"live","revision":3,"targetFPS":30,)"
           R"("targetHeight":720,"targetWidth":1280,"updatedAt":"2026-01-01T00:00:00Z"})";
    FakeHost host(bus.address());
    startReady();

    const auto loops = shownSubmenu(13);
    ASSERT_EQ(loops.size(), 2u);
    EXPECT_EQ(loops[0].second, checkable("imported-a", true));
    EXPECT_EQ(loops[1].second, checkable("Morning coffee", false));
    const auto cameras = shownSubmenu(9);
    ASSERT_EQ(cameras.size(), 1u);
    EXPECT_EQ(cameras[0].second.label, "No camera found");
    EXPECT_FALSE(cameras[0].second.enabled);

    recorder.clear();
    click(loops[1].first);
    click(cameras[0].first); // says so, chooses nothing
    ASSERT_TRUE(eventually([&] { return !host.calls().empty(); }));
    EXPECT_EQ(host.calls(), std::vector<std::string>{"SetLoop loop-1.mov"});
    EXPECT_TRUE(recorder.names().empty()) << "a choice is a call to the host, not a notification";

    // The host stores the choice; the menu follows it when it is opened next.
    std::ofstream(container() / "state.json")
        << R"({"activeClipFilename":"loop-1.mov","loopMode":"pingpong","mode":"live","revision":4,"targetFPS":30,)"
           R"("targetHeight":720,"targetWidth":1280,"updatedAt":"2026-01-01T00:00:01Z"})";
    bool needUpdate = false;
    menu->callMethod("AboutToShow").onInterface("com.canonical.dbusmenu").withArguments(std::int32_t(0)).storeResultsTo(needUpdate);
    EXPECT_TRUE(needUpdate);
    const auto after = shownSubmenu(13);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].second, checkable("imported-a", false));
    EXPECT_EQ(after[1].second, checkable("Morning coffee", true));
}

TEST_F(MenuBarTest, PlainClickWritesTheAnchorAndTogglesThePanelOtherClicksPostNothing)
{
    startReady();
    recorder.clear();
    item->callMethod("ContextMenu").onInterface("org.kde.StatusNotifierItem").withArguments(std::int32_t(5), std::int32_t(6));
    item->callMethod("SecondaryActivate").onInterface("org.kde.StatusNotifierItem").withArguments(std::int32_t(5), std::int32_t(6));
    item->callMethod("Activate").onInterface("org.kde.StatusNotifierItem").withArguments(std::int32_t(1432), std::int32_t(18));
    ASSERT_TRUE(recorder.waitFor("com.quellon.menubar.cmd.togglePanel"));
    EXPECT_EQ(recorder.names(), std::vector<std::string>{"com.quellon.menubar.cmd.togglePanel"});
    EXPECT_EQ(MenuBarBridge::readPanelAnchor(container()), (PanelAnchor{1432, 18, 0, 0}));

    // Without a container directory the click still toggles the panel.
    fs::remove_all(container());
    recorder.clear();
    item->callMethod("Activate").onInterface("org.kde.StatusNotifierItem").withArguments(std::int32_t(1), std::int32_t(2));
    EXPECT_TRUE(recorder.waitFor("com.quellon.menubar.cmd.togglePanel"));
    EXPECT_FALSE(fs::exists(container()));
}

TEST_F(MenuBarTest, ASecondCopyEndsAtOnceWithoutRegisteringOrPosting)
{
    FakeWatcher watcher(bus.address());
    startReady();
    ASSERT_TRUE(eventually([&] { return watcher.registered().size() == 1; }));
    recorder.clear();
    const auto second = finish(start());
    EXPECT_EQ(second.status, 0);
    MenuBarBridge::post("com.quellon.menubar.test.sentinel");
    ASSERT_TRUE(recorder.waitFor("com.quellon.menubar.test.sentinel"));
    EXPECT_EQ(recorder.names(), std::vector<std::string>{"com.quellon.menubar.test.sentinel"});
    EXPECT_EQ(watcher.registered().size(), 1u);
    // The first copy still answers.
    EXPECT_EQ(shownMenu().size(), 16u);
}

TEST_F(MenuBarTest, TerminatingAndSignalsEndTheProgramCleanly)
{
    const auto first = startReady();
    MenuBarBridge::post(MenuBarBridge::mainTerminating);
    EXPECT_EQ(finish(first).status, 0);

    for (int signal : {SIGTERM, SIGINT}) {
        recorder.clear();
        const auto index = startReady();
        programs[index].first->signal(signal);
        const auto result = finish(index);
        EXPECT_EQ(result.status, 0) << signal;
        EXPECT_EQ(result.err, "") << signal;
    }
}

} // namespace
} // namespace quellon
