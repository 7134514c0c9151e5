// The host program on a private session bus, driven by the real quellon commands, busctl and
// the tray's notifications. The host runs around a scripted controller that logs every call.

#include "host/HostBus.h"
#include "menubar/BusTestSupport.h"
#include "platform/TemporaryDirectory.h"

#include "cli/ChildProgram.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace quellon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string readFile(const fs::path& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

/// org.freedesktop.Notifications as a desktop provides it: remembers what it was asked to show.
class FakeNotifications {
public:
    struct Shown {
        std::uint32_t replaces;
        std::string summary, body;
    };

    explicit FakeNotifications(const std::string& address)
        : connection_(sdbus::createSessionBusConnectionWithAddress(address))
    {
        object_ = sdbus::createObject(*connection_, "/org/freedesktop/Notifications");
        object_->registerMethod("Notify")
            .onInterface("org.freedesktop.Notifications")
            .implementedAs([this](const std::string&, std::uint32_t replaces, const std::string&, const std::string& summary,
                                  const std::string& body, const std::vector<std::string>&,
                                  const std::map<std::string, sdbus::Variant>&, std::int32_t) {
                std::lock_guard lock(mutex_);
                shown_.push_back({replaces, summary, body});
                changed_.notify_all();
                return static_cast<std::uint32_t>(40 + shown_.size());
            });
        object_->finishRegistration();
        connection_->requestName("org.freedesktop.Notifications");
        connection_->enterEventLoopAsync();
    }
    ~FakeNotifications() { connection_->leaveEventLoop(); }

    /// The count-th notification shown (1-based), once it arrives.
    std::optional<Shown> waitFor(std::size_t count)
    {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, 5s, [&] { return shown_.size() >= count; }))
            return std::nullopt;
        return shown_[count - 1];
    }

private:
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IObject> object_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Shown> shown_;
};

class HostProgramTest : public ::testing::Test {
protected:
    HostProgramTest() : home_("quellon-host")
    {
        fs::create_directories(home_.path() / "data");
        fs::create_directories(bin());
        script("xdg-open", "printf '%s\\n' \"$*\" >> " + (home_.path() / "xdg-open.log").string());
        script("quellon-menubar", "echo started >> " + (home_.path() / "menubar.log").string());
    }

    fs::path bin() const { return home_.path() / "bin"; }
    fs::path hostLog() const { return home_.path() / "host.log"; }
    fs::path openLog() const { return home_.path() / "xdg-open.log"; }

    void script(const std::string& name, const std::string& body)
    {
        const fs::path path = bin() / name;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(path, fs::perms::owner_all);
    }

    std::vector<std::string> environment(bool withBus = true, bool graphical = false) const
    {
        std::vector<std::string> env{"HOME=" + home_.path().string(),
                                     "XDG_DATA_HOME=" + (home_.path() / "data").string(),
                                     "XDG_CONFIG_HOME=" + (home_.path() / "config").string(),
                                     "PATH=" + bin().string() + ":/usr/bin:/bin",
                                     "QUELLON_FAKE_HOST_LOG=" + hostLog().string()};
        if (withBus)
            env.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus_.address());
        if (graphical)
            env.push_back("DISPLAY=:99");
        if (refusal_)
            env.push_back("QUELLON_FAKE_HOST_REFUSE=" + *refusal_);
        if (cameraError_)
            env.push_back("QUELLON_FAKE_HOST_CAMERA_ERROR=" + *cameraError_);
        return env;
    }

    /// Starts the host around the scripted controller and waits until it serves.
    std::unique_ptr<testing::ChildProgram> startHost(bool tray = false, bool graphical = false)
    {
        auto host = std::make_unique<testing::ChildProgram>(
            QUELLON_FAKE_HOST_PATH, tray ? std::vector<std::string>{} : std::vector<std::string>{"--no-tray"},
            environment(true, graphical));
        // Anything it logs while starting comes before its ready line.
        std::string line;
        do
            line = host->readErrorLine();
        while (!line.empty() && line != "quellon: host running");
        EXPECT_EQ(line, "quellon: host running");
        return host;
    }

    testing::ProgramResult quellon(const std::vector<std::string>& args, bool withBus = true) const
    {
        return testing::ChildProgram(QUELLON_CLI_PATH, args, environment(withBus)).finish();
    }

    testing::ProgramResult busctl(const std::vector<std::string>& args) const
    {
        // "--" keeps a negative number an argument.
        std::vector<std::string> full{"--address=" + bus_.address(), "--", "call", host::HostBus::serviceName,
                                      host::HostBus::objectPath, host::HostBus::interfaceName};
        full.insert(full.end(), args.begin(), args.end());
        return testing::ChildProgram("/usr/bin/busctl", full, environment()).finish();
    }

    /// Waits until file holds line as one of its lines.
    static bool waitForLine(const fs::path& file, const std::string& line)
    {
        for (auto deadline = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < deadline;
             std::this_thread::sleep_for(20ms))
            for (const auto& seen : linesOf(readFile(file)))
                if (seen == line)
                    return true;
        return false;
    }

    testing::PrivateSessionBus bus_;
    TemporaryDirectory home_;
    std::optional<std::string> refusal_;
    std::optional<std::string> cameraError_;
};

// What `status` says first when no camera daemon runs (none does in these tests).
const std::string noCameraDaemon = "camera daemon: not running; start it with `systemctl --user start quellon-extension` (or run "
                                   "quellon-extension)\n";

const std::string noHost = "no host is running; start it with `quellon host` or `systemctl --user start quellon-host`";

TEST_F(HostProgramTest, ModeCommandsReachTheHostAndEveryChangeIsPublished)
{
    auto host = startHost();
    testing::ChildProgram watch(QUELLON_CLI_PATH, {"watch", "--count", "9", "--timeout", "20"}, environment());
    ASSERT_EQ(watch.readErrorLine(), "quellon: watching");

    for (const char* mode : {"away", "standby"}) {
        const auto result = quellon({mode});
        EXPECT_EQ(result.status, 0) << mode << ": " << result.err;
        EXPECT_EQ(result.out, "Switched the camera to " + std::string(mode) + "\n");
    }
    const auto live = quellon({"live"});
    EXPECT_EQ(live.status, 0) << live.err;
    EXPECT_EQ(live.out, "Switched the camera to live, showing lavfi:testsrc\n");
    const auto watched = watch.finish();
    EXPECT_EQ(watched.status, 0) << watched.err;
    EXPECT_EQ(watched.out, "com.quellon.menubar.mode.away\ncom.quellon.menubar.ar.off\ncom.quellon.menubar.loops.yes\n"
                           "com.quellon.menubar.mode.standby\ncom.quellon.menubar.ar.off\ncom.quellon.menubar.loops.yes\n"
                           "com.quellon.menubar.mode.live\ncom.quellon.menubar.ar.off\ncom.quellon.menubar.loops.yes\n");

    host->signal(SIGTERM);
    EXPECT_EQ(host->finish().status, 0);
    EXPECT_EQ(linesOf(readFile(hostLog())), (std::vector<std::string>{"start", "setMode away command",
                                                                      "setMode standby command",
                                                                      "setMode live command", "stop"}));
}

TEST_F(HostProgramTest, StatusAddsTheHostToTheHeartbeat)
{
    auto host = startHost();
    ASSERT_EQ(quellon({"away"}).status, 0);
    const auto status = quellon({"status"});
    EXPECT_EQ(status.status, 0) << status.err;
    EXPECT_EQ(status.out, noCameraDaemon + "not streaming (no heartbeat)\n"
                          "host: running\n"
                          "mode: away (command)\n"
                          "loop: loop-1.mov (240 frames, 843.8 MiB in memory)\n"
                          "physical camera: lavfi:testsrc (delivering frames)\n"
                          "virtual camera: connected\n"
                          "app streaming: yes\n"
                          "auto return: off\n");
    host->signal(SIGINT);
    EXPECT_EQ(host->finish().status, 0);
}

TEST_F(HostProgramTest, WithoutAHostCommandsSayHowToStartOne)
{
    for (bool withBus : {true, false}) {
        for (const char* mode : {"live", "away", "standby"}) {
            const auto result = quellon({mode}, withBus);
            EXPECT_EQ(result.status, 1) << mode;
            EXPECT_EQ(result.err, "quellon: " + noHost + "\n") << mode;
        }
        const auto status = quellon({"status"}, withBus);
        EXPECT_EQ(status.status, 0) << status.err;
        EXPECT_EQ(status.out, noCameraDaemon + "not streaming (no heartbeat)\nhost: not running (" + noHost + ")\n");
    }
}

TEST_F(HostProgramTest, RefusalsReachTheUser)
{
    refusal_ = "there is no loop to play; record one first";
    auto host = startHost();
    const auto away = quellon({"away"});
    EXPECT_EQ(away.status, 1);
    EXPECT_EQ(away.err, "quellon: there is no loop to play; record one first\n");
    host->signal(SIGTERM);
    EXPECT_EQ(host->finish().status, 0);
}

// The host takes live and then fails to open its camera: the command fails with the reason.
TEST_F(HostProgramTest, LiveFailsWhenTheHostsCameraCannotBeOpened)
{
    cameraError_ = "No camera at /dev/video97: is it plugged in?";
    auto host = startHost();
    const auto live = quellon({"live"});
    EXPECT_EQ(live.status, 1);
    EXPECT_EQ(live.out, "");
    EXPECT_EQ(live.err, "quellon: the host switched to live, but its camera /dev/video97 is unavailable: No camera at "
                        "/dev/video97: is it plugged in?\n");
    EXPECT_EQ(quellon({"standby"}).status, 0) << "the other modes need no camera";
    host->signal(SIGTERM);
    EXPECT_EQ(host->finish().status, 0);
}

TEST_F(HostProgramTest, OneHostPerSession)
{
    auto host = startHost();
    // The real program is refused before it starts any service.
    const auto second = quellon({"host", "--no-tray", "--input", "lavfi:testsrc"});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err, "quellon: a host is already running in this session (it owns com.pennaveld.quellon on the "
                          "session bus)\n");
    EXPECT_EQ(quellon({"standby"}).status, 0) << "the first host still serves";
    host->signal(SIGTERM);
    EXPECT_EQ(host->finish().status, 0);

    const auto noBus = testing::ChildProgram(QUELLON_CLI_PATH, {"host", "--no-tray"}, environment(false)).finish();
    EXPECT_EQ(noBus.status, 1);
    EXPECT_NE(noBus.err.find("the host needs the session bus"), std::string::npos) << noBus.err;
}

TEST_F(HostProgramTest, BusInterfaceAnswersBusctl)
{
    auto host = startHost();
    const struct {
        std::vector<std::string> call;
        int status;
        std::string errorPart;
    } cases[] = {
        {{"SetMode", "s", "away"}, 0, ""},
        {{"SetMode", "s", "error"}, 1, "unknown mode \"error\"; one of: live, away, standby"},
        {{"SetMode", "s", "Away"}, 1, "unknown mode \"Away\""},
        {{"Record", "d", "0"}, 0, ""},
        {{"Record", "d", "30"}, 1, "a recording is already running"},
        {{"Record", "d", "-2"}, 1, "seconds must be more than 0 and at most 600"},
        {{"Record", "d", "nan"}, 1, "seconds must be more than 0"},
    };
    for (const auto& [call, status, errorPart] : cases) {
        const auto result = busctl(call);
        EXPECT_EQ(result.status, status) << call[0] << " " << call[2] << ": " << result.err;
        EXPECT_NE(result.err.find(errorPart), std::string::npos) << result.err;
    }
    const auto status = busctl({"Status"});
    EXPECT_EQ(status.status, 0);
    EXPECT_NE(status.out.find("\\\"mode\\\":\\\"away\\\""), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("\\\"recording\\\":true"), std::string::npos) << status.out;

    testing::NotificationRecorder recorder(bus_.address());
    EXPECT_EQ(busctl({"Quit"}).status, 0);
    EXPECT_EQ(host->finish().status, 0);
    EXPECT_TRUE(recorder.waitFor("com.quellon.menubar.terminating"));
    EXPECT_EQ(linesOf(readFile(hostLog())),
              (std::vector<std::string>{"start", "setMode away command", "startRecording 12", "stop"}));
}

TEST_F(HostProgramTest, PerformsTheTrayCommands)
{
    FakeNotifications notifications(bus_.address());
    auto host = startHost();
    auto send = [&](const char* command) { ASSERT_EQ(quellon({"send", command}).status, 0) << command; };

    send("setAway");
    EXPECT_TRUE(waitForLine(hostLog(), "setMode away tray"));
    send("setStandby");
    EXPECT_TRUE(waitForLine(hostLog(), "setMode standby tray"));
    send("toggleAutoReturn");
    EXPECT_TRUE(waitForLine(hostLog(), "setAutoReturn on"));
    send("toggleAutoReturn");
    EXPECT_TRUE(waitForLine(hostLog(), "setAutoReturn off"));
    send("record");
    EXPECT_TRUE(waitForLine(hostLog(), "startRecording 12"));

    send("manageLoops");
    const fs::path clips = home_.path() / "data" / "Quellon" / "Clips";
    EXPECT_TRUE(waitForLine(openLog(), clips.string()));
    EXPECT_TRUE(fs::is_directory(clips));
    send("showApp");
    const fs::path settings = home_.path() / "config" / "com.pennaveld.quellon.json";
    EXPECT_TRUE(waitForLine(openLog(), settings.string()));
    EXPECT_EQ(readFile(settings), "{}\n") << "a missing settings file is created empty so it can be opened";

    send("togglePanel");
    const auto panel = notifications.waitFor(1);
    ASSERT_TRUE(panel);
    EXPECT_EQ(panel->summary, "Quellon \u2014 Standby");
    EXPECT_EQ(panel->replaces, 0u);
    EXPECT_NE(panel->body.find("loop: loop-1.mov (240 frames"), std::string::npos) << panel->body;
    EXPECT_NE(panel->body.find("app streaming: yes"), std::string::npos) << panel->body;
    // A failure is shown, not swallowed, and replaces the previous notification.
    send("record");
    const auto failure = notifications.waitFor(2);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->summary, "Quellon");
    EXPECT_EQ(failure->body, "record failed: a recording is already running");
    EXPECT_EQ(failure->replaces, 41u);

    testing::NotificationRecorder recorder(bus_.address());
    send("setLive");
    EXPECT_TRUE(recorder.waitFor("com.quellon.menubar.mode.live"));
    send("quit");
    EXPECT_EQ(host->finish().status, 0);
    EXPECT_TRUE(recorder.waitFor("com.quellon.menubar.terminating"));
    EXPECT_EQ(linesOf(readFile(hostLog())).back(), "stop");
}

TEST_F(HostProgramTest, AnswersTheTraysReadyAndStartsItInAGraphicalSession)
{
    auto host = startHost(/*tray=*/true, /*graphical=*/true);
    EXPECT_TRUE(waitForLine(home_.path() / "menubar.log", "started"));

    testing::NotificationRecorder recorder(bus_.address());
    ASSERT_EQ(quellon({"away"}).status, 0);
    ASSERT_TRUE(recorder.waitFor("com.quellon.menubar.loops.yes"));
    recorder.clear();
    // The tray announces itself as the tray program does; the host answers with its status.
    ASSERT_EQ(testing::ChildProgram("/usr/bin/busctl",
                                    {"--address=" + bus_.address(), "emit", "/com/quellon/Notification",
                                     "com.quellon.Notification", "Posted", "s", "com.quellon.menubar.ready"},
                                    environment())
                  .finish()
                  .status,
              0);
    EXPECT_TRUE(recorder.waitFor("com.quellon.menubar.loops.yes"));
    EXPECT_TRUE(recorder.waitFor("com.quellon.menubar.ar.off"));
    EXPECT_TRUE(recorder.waitFor("com.quellon.menubar.mode.away"));
    host->signal(SIGTERM);
    EXPECT_EQ(host->finish().status, 0);
    EXPECT_TRUE(recorder.waitFor("com.quellon.menubar.terminating"));
}

TEST_F(HostProgramTest, StartsNoTrayWhenToldOrWithoutADisplay)
{
    for (const auto& [tray, graphical] : {std::pair{false, true}, std::pair{true, false}}) {
        auto host = startHost(tray, graphical);
        host->signal(SIGTERM);
        EXPECT_EQ(host->finish().status, 0);
    }
    EXPECT_FALSE(fs::exists(home_.path() / "menubar.log"));
}

} // namespace
} // namespace quellon
