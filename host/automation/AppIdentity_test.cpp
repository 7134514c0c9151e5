#include "host/automation/AppIdentity.h"
#include "host/automation/AutomationTestSupport.h"
#include "host/automation/CameraReaders.h"
#include "host/automation/FrontmostApp.h"
#include "platform/ProcessTable.h"
#include "platform/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <fstream>

namespace quellon::host {
namespace {

namespace fs = std::filesystem;
using testing::addProcess;
using testing::FakeProcess;

TEST(AppIdentityTest, ApplicationIDFromTheProcessesUnit)
{
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        // Launcher and ID, with the ID's own dashes escaped.
        {"0::/user.slice/user-1000.slice/user@1000.service/app.slice/app-gnome-org.gnome.Terminal-4242.scope\n",
         "org.gnome.Terminal"},
        {"0::/user.slice/user@1000.service/app.slice/app-gnome-google\\x2dchrome-77.scope\n", "google-chrome"},
        // No launcher; a Flatpak's scope names its ID.
        {"0::/user.slice/user@1000.service/app.slice/app-us.zoom.Zoom-9.scope\n", "us.zoom.Zoom"},
        {"0::/user.slice/user@1000.service/app.slice/app-flatpak-com.slack.Slack-31337.scope\n", "com.slack.Slack"},
        // Services, with and without an instance.
        {"0::/user.slice/user@1000.service/app.slice/app-org.kde.konsole@a1b2.service\n", "org.kde.konsole"},
        {"0::/user.slice/user@1000.service/app.slice/app-kde-org.kde.dolphin.service\n", "org.kde.dolphin"},
        // A program started from a terminal sits in the terminal's helper scope, not the app's.
        {"0::/user.slice/user@1000.service/app.slice/app-org.gnome.Terminal.slice/vte-spawn-5c1f.scope\n", std::nullopt},
        {"0::/user.slice/user-1000.slice/session-2.scope\n", std::nullopt},
        // Malformed units name nothing: a scope without its suffix, too many parts, a bad escape.
        {"0::/app.slice/app-zoom.scope\n", std::nullopt},
        {"0::/app.slice/app-a-b-c-1.scope\n", std::nullopt},
        {"0::/app.slice/app-gnome-bad\\x2-1.scope\n", std::nullopt},
        {"", std::nullopt},
        // cgroup v1: the systemd hierarchy's line carries the unit.
        {"12:cpu,cpuacct:/\n1:name=systemd:/user.slice/user@1000.service/app.slice/app-firefox-3.scope\n", "firefox"},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(AppIdentities::fromCgroup(text), expected) << text;
}

TEST(AppIdentityTest, FlatpakIDFromTheSandboxInfo)
{
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"[Application]\nname=us.zoom.Zoom\nruntime=runtime/org.freedesktop.Platform\n", "us.zoom.Zoom"},
        {"[Instance]\nname=wrong\n[Application]\n name = com.slack.Slack \n", "com.slack.Slack"},
        {"[Runtime]\nname=org.freedesktop.Platform\n", std::nullopt},
        {"[Application]\nnamespace=x\nname=\n", std::nullopt},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(AppIdentities::fromFlatpakInfo(text), expected) << text;
}

TEST(AppIdentityTest, IdentityPrefersScopeThenFlatpakThenExecutable)
{
    TemporaryDirectory directory;
    const fs::path proc = directory.path() / "proc";
    addProcess(proc, {10, "zoom", "0::/app.slice/app-gnome-us.zoom.Zoom-1.scope\n", {}, "ignored.Flatpak"});
    addProcess(proc, {11, "slack", "0::/app.slice/app-org.gnome.Shell-2.slice/vte-spawn-1.scope\n", {}, "com.slack.Slack"});
    addProcess(proc, {12, "obs", "0::/user.slice/session-2.scope\n"});
    const ProcessTable table(proc);
    EXPECT_EQ(AppIdentities::identify(table, 10), (AppIdentity{"us.zoom.Zoom", AppIdentity::Source::desktopFile}));
    EXPECT_EQ(AppIdentities::identify(table, 11), (AppIdentity{"com.slack.Slack", AppIdentity::Source::flatpak}));
    EXPECT_EQ(AppIdentities::identify(table, 12), (AppIdentity{"obs", AppIdentity::Source::executable}));
    EXPECT_EQ(AppIdentities::identify(table, 13), std::nullopt) << "a process that is gone";
}

TEST(ProcessTableTest, ExecutableNameAndStartTimeFromRealProcesses)
{
    const ProcessTable table;
    const pid_t self = ::getpid();
    ASSERT_TRUE(table.executableName(self));
    EXPECT_EQ(*table.executableName(self), "quellon_automation_tests");
    const auto started = table.startTime(self);
    ASSERT_TRUE(started);
    EXPECT_GE(*started, table.startTime(1).value_or(0)) << "we started after init";
}

TEST(ProcessTableTest, HoldersSkipWritersWhenOnlyReadersCount)
{
    TemporaryDirectory directory;
    const fs::path proc = directory.path() / "proc", node = directory.path() / "camera.y4m";
    addProcess(proc, {20, "ffmpeg", "", {node}});
    addProcess(proc, {21, "quellon-extension", "", {"/dev/null", node}});
    // The daemon writes the FIFO: its descriptor is write-only.
    std::ofstream(proc / "21" / "fdinfo" / "4") << "pos:\t0\nflags:\t02000001\n";
    addProcess(proc, {22, "vlc", "", {"/dev/null"}});
    // A reader of a FIFO renewed since it opened it.
    addProcess(proc, {23, "mpv", "", {node.string() + " (deleted)"}});
    const ProcessTable table(proc);
    EXPECT_EQ(table.holders(node), (std::vector<pid_t>{20, 21, 23}));
    EXPECT_EQ(table.holders(node, true), (std::vector<pid_t>{20, 23}));
}

TEST(CameraReadersTest, NewestReaderFirstWithoutOurOwnPrograms)
{
    TemporaryDirectory directory;
    const fs::path proc = directory.path() / "proc", fifo = directory.path() / "camera.y4m", video = "/dev/video7";
    addProcess(proc, {30, "zoom", "0::/app.slice/app-us.zoom.Zoom-1.scope\n", {fifo}, "", 500});
    addProcess(proc, {31, "chrome", "0::/app.slice/app-gnome-google\\x2dchrome-2.scope\n", {video}, "", 900});
    addProcess(proc, {32, "quellon-extension", "", {video, fifo}, "", 50});
    addProcess(proc, {33, "bash", "", {"/dev/null"}, "", 990});
    addProcess(proc, {34, "ffmpeg", "", {video}, "", 100});
    const CameraReaders readers(ProcessTable(proc), [&] { return std::vector<fs::path>{fifo, video}; }, 34);
    const std::vector<CameraReader> expected{{31, {"google-chrome", AppIdentity::Source::desktopFile}},
                                             {30, {"us.zoom.Zoom", AppIdentity::Source::desktopFile}}};
    EXPECT_EQ(readers.readers(), expected) << "ourselves (34) and the camera daemon (32) are no readers";
}

TEST(CameraReadersTest, CameraNodesAreTheFifoAndTheVirtualVideoDevices)
{
    TemporaryDirectory directory;
    const fs::path sys = directory.path() / "sys";
    fs::create_directories(sys / "devices/virtual/video4linux/video4");
    fs::create_directories(sys / "devices/pci0000:00/usb1/video4linux/video0");
    fs::create_directories(sys / "class/video4linux");
    fs::create_directory_symlink(sys / "devices/virtual/video4linux/video4", sys / "class/video4linux/video4");
    fs::create_directory_symlink(sys / "devices/pci0000:00/usb1/video4linux/video0", sys / "class/video4linux/video0");
    EXPECT_EQ(cameraNodes(fs::path("/c"), sys, "/dev"), (std::vector<fs::path>{"/c/camera.y4m", "/dev/video4"}));
    EXPECT_EQ(cameraNodes(std::nullopt, directory.path() / "nothing", "/dev"), std::vector<fs::path>{});
}

TEST(FrontmostAppTest, ReadersComeFirstAndTheFocusedOneAmongThem)
{
    const CameraReader zoom{1, {"us.zoom.Zoom", AppIdentity::Source::desktopFile}};
    const CameraReader chrome{2, {"google-chrome", AppIdentity::Source::desktopFile}};
    const AppIdentity focusedZoom{"us.zoom.Zoom", AppIdentity::Source::desktopFile};
    const AppIdentity focusedEditor{"org.gnome.TextEditor", AppIdentity::Source::desktopFile};
    struct Case {
        std::vector<CameraReader> readers;
        std::optional<AppIdentity> focused;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {{chrome, zoom}, focusedZoom, "us.zoom.Zoom"},
        {{chrome, zoom}, focusedEditor, "google-chrome"},
        {{}, focusedEditor, "org.gnome.TextEditor"},
        {{zoom}, std::nullopt, "us.zoom.Zoom"},
        {{}, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(frontmostApp(c.readers, c.focused), c.expected) << c.readers.size() << " readers";
}

} // namespace
} // namespace quellon::host
