// Everything real: the camera daemon (FIFO sink) read by ffmpeg, `quellon host` with an FFmpeg
// input as the physical camera, and the quellon commands on a private session bus.

#include "CameraDaemonFixture.h"
#include "capture/TestFootage.h"
#include "host/HostBus.h"
#include "menubar/BusTestSupport.h"
#include "playback/TestClips.h"

#include "cli/ChildProgram.h"

#include "channel/CameraClient.h"
#include "channel/QuellonCMIOChannel.h"
#include "capture/CameraListing.h"

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <mutex>
#include <sdbus-c++/sdbus-c++.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace quellon {
namespace {

using testing::Frame;
using testing::kHeight;
using testing::kWidth;
namespace fs = std::filesystem;

// The "physical camera" is lime, the loop blue; both fill the frame.
bool isColour(const Frame& frame, int r, int g, int b)
{
    for (auto [x, y] : {std::pair{4, 4}, std::pair{kWidth / 2, kHeight / 2}, std::pair{kWidth - 5, kHeight - 5}}) {
        const auto* p = reinterpret_cast<const unsigned char*>(frame.bytes.data()) + (y * kWidth + x) * 3;
        if (std::abs(p[0] - r) > 60 || std::abs(p[1] - g) > 60 || std::abs(p[2] - b) > 60)
            return false;
    }
    return true;
}
bool isLime(const Frame& frame) { return isColour(frame, 0, 255, 0); }
bool isBlue(const Frame& frame) { return isColour(frame, 0, 0, 255); }
bool isRed(const Frame& frame) { return isColour(frame, 255, 0, 0); }

/// A session bus at a fixed address, so that it can be killed and started again where the
/// host looks for it.
class RestartableBus {
public:
    explicit RestartableBus(fs::path directory) : directory_(std::move(directory))
    {
        std::ofstream(directory_ / "bus.conf")
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>session</type><listen>unix:path="
            << (directory_ / "bus").string()
            << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
               "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
               "<allow own=\"*\"/></policy></busconfig>\n";
        start();
    }
    ~RestartableBus() { kill(); }

    std::string address() const { return "unix:path=" + (directory_ / "bus").string(); }

    void start()
    {
        fs::remove(directory_ / "bus");
        const std::string config = "--config-file=" + (directory_ / "bus.conf").string();
        pid_ = ::fork();
        if (pid_ == 0) {
            if (int null = ::open("/dev/null", O_WRONLY); null >= 0) {
                ::dup2(null, 1);
                ::dup2(null, 2);
            }
            ::execlp("dbus-daemon", "dbus-daemon", config.c_str(), "--nofork", "--nopidfile", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 500 && !fs::exists(directory_ / "bus"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    void kill()
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    fs::path directory_;
    pid_t pid_ = -1;
};

/// The host logs its start-up on standard error too; its ready line comes last.
bool waitUntilServing(testing::ChildProgram& host)
{
    for (std::string line = host.readErrorLine(); !line.empty(); line = host.readErrorLine())
        if (line == "quellon: host running")
            return true;
    return false;
}

/// Reads the host's log until a line holding text; false when the host's output ends first.
bool waitForLogLine(testing::ChildProgram& host, const std::string& text)
{
    for (std::string line = host.readErrorLine(); !line.empty(); line = host.readErrorLine())
        if (line.find(text) != std::string::npos)
            return true;
    return false;
}

/// Reads the host's log for up to limit until a line holding one of texts; that line, or
/// nothing when the time is up or the log ends first (the host writes no empty lines).
std::optional<std::string> logLineWithin(testing::ChildProgram& host, const std::vector<std::string>& texts,
                                         std::chrono::seconds limit = std::chrono::seconds(60))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const std::string line = host.readErrorLine(std::max(left, std::chrono::milliseconds(1)));
        if (line.empty())
            return std::nullopt;
        for (const std::string& text : texts)
            if (line.find(text) != std::string::npos)
                return line;
    }
}

// The seat the camera looks at: a plain orange wall, with or without the user (the astronaut
// photograph at the left, the face about a third of the picture tall).
constexpr const char* kWall = "0xC87828";
bool showsTheWall(const Frame& frame)
{
    for (auto [x, y] : {std::pair{kWidth - 10, 8}, std::pair{kWidth - 10, kHeight - 10}}) {
        const auto* p = reinterpret_cast<const unsigned char*>(frame.bytes.data()) + (y * kWidth + x) * 3;
        if (std::abs(p[0] - 200) > 50 || std::abs(p[1] - 120) > 50 || std::abs(p[2] - 40) > 50)
            return false;
    }
    return true;
}

/// What a meeting shows, frame by frame, read on a thread of its own while the test follows
/// the host's log: each frame is the loop, the live seat, or something else (the card).
class MeetingView {
public:
    enum class Shows { loop, live, other };
    struct Seen {
        std::chrono::steady_clock::time_point at;
        Shows shows;
    };

    explicit MeetingView(std::function<Frame()> next)
        : thread_([this, next = std::move(next)](std::stop_token stop) {
              try {
                  while (!stop.stop_requested()) {
                      const Frame frame = next();
                      const Shows shows = isBlue(frame) ? Shows::loop : showsTheWall(frame) ? Shows::live : Shows::other;
                      std::lock_guard lock(mutex_);
                      seen_.push_back({std::chrono::steady_clock::now(), shows});
                      changed_.notify_all();
                  }
              } catch (const std::exception&) {
                  std::lock_guard lock(mutex_);
                  ended_ = true;
                  changed_.notify_all();
              }
          })
    {
    }

    /// The first frame read after since showing shows, once it comes (within a minute).
    std::optional<Seen> firstAfter(std::chrono::steady_clock::time_point since, Shows shows)
    {
        std::unique_lock lock(mutex_);
        std::optional<Seen> found;
        changed_.wait_for(lock, std::chrono::seconds(60), [&] {
            for (const Seen& seen : seen_)
                if (seen.at >= since && seen.shows == shows) {
                    found = seen;
                    return true;
                }
            return ended_;
        });
        return found;
    }

    std::vector<Seen> seen() const
    {
        std::lock_guard lock(mutex_);
        return seen_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Seen> seen_;
    bool ended_ = false;
    std::jthread thread_; // last: stopped and joined first
};

/// A desktop's screen saver on the session bus, announcing locks and unlocks as GNOME and KDE
/// do. After each announcement it pings the host: one sender's messages reach a receiver in
/// order, so once set() returns the host has taken the news.
class FakeScreenSaver {
public:
    explicit FakeScreenSaver(const std::string& address)
        : connection_(sdbus::createSessionBusConnectionWithAddress(address))
    {
        object_ = sdbus::createObject(*connection_, "/org/freedesktop/ScreenSaver");
        object_->registerSignal("ActiveChanged").onInterface(kInterface).withParameters<bool>();
        object_->finishRegistration();
        connection_->requestName(kInterface);
        host_ = sdbus::createProxy(*connection_, host::HostBus::serviceName, host::HostBus::objectPath);
    }

    void set(bool locked)
    {
        object_->emitSignal("ActiveChanged").onInterface(kInterface).withArguments(locked);
        host_->callMethod("Ping").onInterface("org.freedesktop.DBus.Peer");
    }

private:
    static constexpr const char* kInterface = "org.freedesktop.ScreenSaver";
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IObject> object_;
    std::unique_ptr<sdbus::IProxy> host_;
};

class HostProgramCameraTest : public testing::CameraDaemonFixture {
protected:
    std::vector<std::string> environment() const
    {
        return {"HOME=" + home.string(), "XDG_DATA_HOME=" + (home / "data").string(),
                "XDG_CONFIG_HOME=" + (home / "config").string(), "PATH=/usr/bin:/bin",
                "DBUS_SESSION_BUS_ADDRESS=" + bus.address(),
                std::string("LSAN_OPTIONS=suppressions=") + QUELLON_LSAN_SUPPRESSIONS};
    }

    testing::ProgramResult quellon(const std::vector<std::string>& args) const
    {
        return testing::ChildProgram(QUELLON_CLI_PATH, args, environment()).finish();
    }

    /// Asks `quellon status` until its output holds text; the last output.
    std::string statusUntil(const std::string& text, int attempts = 200) const
    {
        std::string seen;
        for (int attempt = 0; attempt < attempts; ++attempt) {
            seen = quellon({"status"}).out;
            if (seen.find(text) != std::string::npos)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return seen;
    }

    void makeClip(const std::string& colour, const std::string& name)
    {
        fs::create_directories(container / "Clips");
        ASSERT_TRUE(testing::ffmpeg("-f lavfi -i color=c=" + colour + ":s=320x180:r=30:d=1 -c:v ffv1", container / "Clips" / name));
    }

    testing::PrivateSessionBus bus;
};

TEST_F(HostProgramCameraTest, TheHostFeedsTheCameraAndFollowsTheCommands)
{
    // Away needs a loop to play: a blue clip, chosen in the stored state.
    fs::create_directories(container / "Clips");
    ASSERT_TRUE(testing::ffmpeg("-f lavfi -i color=c=blue:s=320x180:r=30:d=1 -c:v ffv1", container / "Clips" / "blue.mkv"));
    const auto chosen = quellon({"state", "set", "--clip", "blue.mkv", "--mode", "live"});
    ASSERT_EQ(chosen.status, 0) << chosen.err;

    testing::ChildProgram host(QUELLON_CLI_PATH, {"host", "--no-tray", "--input", "lavfi:color=c=lime:s=320x180:r=30"},
                               environment());
    ASSERT_TRUE(waitUntilServing(host));
    openReader();
    ASSERT_EQ(quellon({"live"}).status, 0);
    EXPECT_TRUE(framesUntil(300, isLime)) << "the live input reaches the meeting app";

    // The chosen loop loads in the background and its report repeats the mode: wait for it, so
    // that the one notification watched is the switch.
    std::string loaded;
    for (int attempt = 0; attempt < 200; ++attempt) {
        loaded = quellon({"status"}).out;
        if (loaded.find("loop: blue.mkv (") != std::string::npos && loaded.find("loop: blue.mkv (0 frames") == std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_NE(loaded.find("loop: blue.mkv (30 frames"), std::string::npos) << loaded;
    testing::ChildProgram watch(QUELLON_CLI_PATH, {"watch", "--count", "1", "--timeout", "20"}, environment());
    ASSERT_EQ(watch.readErrorLine(), "quellon: watching");
    const auto away = quellon({"away"});
    EXPECT_EQ(away.status, 0) << away.err;
    const auto watched = watch.finish();
    EXPECT_EQ(watched.out, "com.quellon.menubar.mode.away\n") << watched.err;
    EXPECT_TRUE(framesUntil(300, isBlue)) << "the loop replaces the live picture";

    const auto status = quellon({"status"});
    EXPECT_EQ(status.status, 0) << status.err;
    EXPECT_NE(status.out.find("host: running\nmode: away (command)\n"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("physical camera: lavfi:color=c=lime:s=320x180:r=30"), std::string::npos) << status.out;

    // The settings commands reach the running host through its settings file: the tray's
    // auto-return switch follows, and the status tells what is armed and what comes next.
    ASSERT_EQ(quellon({"settings", "set", "auto-return", "on"}).status, 0);
    ASSERT_EQ(quellon({"schedules", "add", "Lunch", "--start", "12:00", "--end", "13:00"}).status, 0);
    std::string seen;
    for (int attempt = 0; attempt < 100; ++attempt) {
        seen = quellon({"status"}).out;
        if (seen.find("auto return: on") != std::string::npos && seen.find("Next schedule change: Lunch") != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_NE(seen.find("auto return: on"), std::string::npos) << seen;
    EXPECT_NE(seen.find("Automatic: "), std::string::npos) << seen;
    EXPECT_NE(seen.find("Next schedule change: Lunch"), std::string::npos) << seen;

    host.signal(SIGTERM);
    const auto ended = host.finish();
    EXPECT_EQ(ended.status, 0) << ended.err;
}

TEST_F(HostProgramCameraTest, ALoopChosenWhileTheHostRunsIsWhatAwayPlays)
{
    makeClip("blue", "blue.mkv");
    makeClip("red", "imported-a.mkv");
    testing::ChildProgram host(QUELLON_CLI_PATH, {"host", "--no-tray", "--input", "lavfi:color=c=lime:s=320x180:r=30"},
                               environment());
    ASSERT_TRUE(waitUntilServing(host));
    openReader();
    ASSERT_TRUE(framesUntil(300, isLime));

    // Nothing playable: refused with the reason, from the command and on the bus; Live stays.
    const auto refused = quellon({"away"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("there is no loop to play"), std::string::npos) << refused.err;
    {
        auto connection = sdbus::createSessionBusConnectionWithAddress(bus.address());
        auto proxy = sdbus::createProxy(*connection, "com.pennaveld.quellon", "/com/pennaveld/quellon");
        try {
            proxy->callMethod("SetMode").onInterface("com.pennaveld.quellon.Host").withArguments(std::string("away"));
            ADD_FAILURE() << "Away was taken without a loop";
        } catch (const sdbus::Error& error) {
            EXPECT_EQ(error.getName(), "org.freedesktop.DBus.Error.Failed");
            EXPECT_NE(error.getMessage().find("there is no loop to play"), std::string::npos) << error.getMessage();
        }
    }
    EXPECT_NE(quellon({"status"}).out.find("mode: live"), std::string::npos);
    EXPECT_TRUE(framesUntil(30, isLime)) << "Live goes on";

    // Chosen by the name `loops list` shows, without the extension.
    const auto chosen = quellon({"loops", "use", "blue"});
    ASSERT_EQ(chosen.status, 0) << chosen.err;
    EXPECT_EQ(chosen.out, "active loop: blue.mkv\n");
    EXPECT_EQ(quellon({"loops", "use", "nothing-like-it"}).status, 1);
    ASSERT_NE(statusUntil("loop: blue.mkv (30 frames").find("loop: blue.mkv (30 frames"), std::string::npos);
    const auto away = quellon({"away"});
    ASSERT_EQ(away.status, 0) << away.err;
    EXPECT_TRUE(framesUntil(300, isBlue)) << "the chosen loop plays";

    // Another program's state: `quellon state set` while the host runs is taken, not stamped over.
    const auto set = quellon({"state", "set", "--clip", "imported-a.mkv"});
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_TRUE(framesUntil(30 * 20, isRed)) << "the clip set from outside plays";
    const auto stored = quellon({"state", "show"}).out;
    EXPECT_NE(stored.find("\"activeClipFilename\": \"imported-a.mkv\""), std::string::npos) << stored;

    // And a record sent straight to the camera by yet another writer.
    QuellonState sent = *QuellonCMIOChannel::decodeState(*CameraClient(socket).property(QuellonCMIOChannel::stateSelector));
    sent.revision += 1;
    sent.activeClipFilename = "blue.mkv";
    sent.updatedAt = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    CameraClient(socket).sendState(sent);
    EXPECT_TRUE(framesUntil(30 * 20, isBlue)) << "the clip the camera was told plays";
    EXPECT_NE(statusUntil("loop: blue.mkv").find("mode: away (command)"), std::string::npos);

    host.signal(SIGTERM);
    EXPECT_EQ(host.finish().status, 0);
}

TEST_F(HostProgramCameraTest, ACameraChosenOrPluggedInLaterIsPickedUp)
{
    if (!listCameras().empty())
        GTEST_SKIP() << "a camera is connected: the host would take it";
    // No camera at start: the host waits for one.
    testing::ChildProgram host(QUELLON_CLI_PATH, {"host", "--no-tray"}, environment());
    ASSERT_TRUE(waitUntilServing(host));
    openReader();
    EXPECT_NE(statusUntil("mode: error").find("mode: error"), std::string::npos);

    // A camera that is not there yet: an input that appears later, as a camera plugged in.
    const fs::path late = home / "late-camera.mkv";
    const auto chosen = quellon({"cameras", "use", late.string()});
    ASSERT_EQ(chosen.status, 0) << chosen.err;
    EXPECT_EQ(quellon({"cameras", "use", "/dev/video77"}).status, 1) << "a device that is not listed";
    const fs::path made = home / "made.mkv";
    ASSERT_TRUE(testing::ffmpeg("-f lavfi -i color=c=lime:s=320x180:r=30:d=2 -c:v ffv1", made));
    fs::rename(made, late);
    EXPECT_TRUE(framesUntil(30 * 20, isLime)) << "plugged in: Live shows it";
    EXPECT_NE(statusUntil("mode: live").find("mode: live"), std::string::npos);

    // Unplugged and plugged in again: back to Live by itself.
    fs::rename(late, made);
    EXPECT_NE(statusUntil("mode: error").find("mode: error"), std::string::npos);
    fs::rename(made, late);
    EXPECT_NE(statusUntil("mode: live").find("mode: live"), std::string::npos);
    EXPECT_TRUE(framesUntil(30 * 20, isLime));

    host.signal(SIGTERM);
    EXPECT_EQ(host.finish().status, 0);
}

TEST_F(HostProgramCameraTest, TheHostOutlivesItsSessionAndSystemBusAndTheFeedNeverStops)
{
    makeClip("blue", "blue.mkv");
    ASSERT_EQ(quellon({"state", "set", "--clip", "blue.mkv", "--mode", "live"}).status, 0);
    fs::create_directories(home / "session-bus");
    fs::create_directories(home / "system-bus");
    RestartableBus restartable(home / "session-bus");
    RestartableBus systemBus(home / "system-bus");
    std::vector<std::string> env = environment();
    for (auto& variable : env)
        if (variable.starts_with("DBUS_SESSION_BUS_ADDRESS="))
            variable = "DBUS_SESSION_BUS_ADDRESS=" + restartable.address();
    env.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + systemBus.address());
    const auto run = [&](const std::vector<std::string>& args) { return testing::ChildProgram(QUELLON_CLI_PATH, args, env).finish(); };

    testing::ChildProgram host(QUELLON_CLI_PATH, {"host", "--no-tray", "--input", "lavfi:color=c=lime:s=320x180:r=30"}, env);
    ASSERT_TRUE(waitUntilServing(host));
    openReader();
    std::string status;
    for (int attempt = 0; attempt < 200 && status.find("loop: blue.mkv (30 frames") == std::string::npos; ++attempt) {
        status = run({"status"}).out;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(run({"away"}).status, 0);
    ASSERT_TRUE(framesUntil(300, isBlue));

    restartable.kill();
    // Three seconds of frames after the bus went: every one the loop, none the card.
    for (int i = 0; i < 90; ++i)
        ASSERT_TRUE(isBlue(nextFrame())) << "frame " << i << " after the bus went";
    EXPECT_NE(run({"status"}).out.find("host: not running"), std::string::npos) << "no bus, no host to ask";

    restartable.start();
    status.clear();
    for (int attempt = 0; attempt < 200 && status.find("host: running") == std::string::npos; ++attempt) {
        status = run({"status"}).out;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_NE(status.find("host: running\nmode: away (command)"), std::string::npos) << status;
    ASSERT_TRUE(waitForLogLine(host, "Quellon host: connected to the session bus again"));

    // The system bus goes too (the automation's): the feed goes on, and so does the session.
    systemBus.kill();
    ASSERT_TRUE(waitForLogLine(host, "Quellon host: lost a bus connection"));
    for (int i = 0; i < 30; ++i)
        ASSERT_TRUE(isBlue(nextFrame())) << "frame " << i << " after the system bus went";
    systemBus.start();
    ASSERT_TRUE(waitForLogLine(host, "Quellon host: the system bus is back"));
    ASSERT_TRUE(waitForLogLine(host, "Quellon host: connected to the session bus again"));
    ASSERT_EQ(run({"live"}).status, 0) << "commands reach it again";
    EXPECT_TRUE(framesUntil(300, isLime));

    host.signal(SIGTERM);
    EXPECT_EQ(host.finish().status, 0);
}

TEST_F(HostProgramCameraTest, AnAwayTakenWhileSeatedLastsUntilTheUserHasLeftAndComeBack)
{
    ASSERT_TRUE(testing::havePhotographs()) << "python3-skimage's photographs are missing";
    // A short loop: it is ready sooner.
    fs::create_directories(container / "Clips");
    ASSERT_TRUE(testing::ffmpeg("-f lavfi -i color=c=blue:s=320x180:r=30:d=0.5 -c:v ffv1", container / "Clips" / "blue.mkv"));
    ASSERT_EQ(quellon({"state", "set", "--clip", "blue.mkv", "--mode", "live"}).status, 0);
    ASSERT_EQ(quellon({"settings", "set", "auto-return", "on"}).status, 0);
    // The camera is a file the host reads again whenever it ends; replacing it changes the scene.
    const fs::path seated = home / "seated.mkv", empty = home / "empty.mkv", camera = home / "camera.mkv";
    const std::string wall = std::string("-f lavfi -i color=c=") + kWall + ":s=640x360:r=30:d=0.5 ";
    ASSERT_TRUE(testing::ffmpeg(wall + "-loop 1 -framerate 30 -i '" + testing::photograph("astronaut.png")
                                    + "' -filter_complex \"[1:v]scale=600:600[user];[0:v][user]overlay=x=-190:y=-50:shortest=1,"
                                      "format=yuv420p\" -c:v ffv1",
                                seated));
    ASSERT_TRUE(testing::ffmpeg(wall + "-pix_fmt yuv420p -c:v ffv1", empty));
    const auto show = [&](const fs::path& scene) {
        fs::copy_file(scene, home / "next.mkv", fs::copy_options::overwrite_existing);
        fs::rename(home / "next.mkv", camera);
    };
    show(seated);

    std::vector<std::string> env = environment();
    env.push_back("QUELLON_DEBUG=1"); // auto return's steps, on standard error
    testing::ChildProgram host(QUELLON_CLI_PATH, {"host", "--no-tray", "--input", camera.string()}, env);
    ASSERT_TRUE(waitUntilServing(host));
    openReader();
    ASSERT_TRUE(framesUntil(300, showsTheWall)) << "Live shows the user";
    ASSERT_NE(statusUntil("loop: blue.mkv (15 frames").find("loop: blue.mkv (15 frames"), std::string::npos);
    MeetingView meeting([this] { return nextFrame(); });

    // Away from a script or a hotkey daemon over the bus, the user still at the desk.
    const auto away = testing::ChildProgram("/usr/bin/busctl",
                                            {"--address=" + bus.address(), "call", host::HostBus::serviceName,
                                             host::HostBus::objectPath, host::HostBus::interfaceName, "SetMode", "s", "away"},
                                            env)
                          .finish();
    ASSERT_EQ(away.status, 0) << away.err;
    const auto armed = logLineWithin(host, {"auto return armed"});
    ASSERT_TRUE(armed);
    EXPECT_EQ(armed->find("without a reference face"), std::string::npos) << *armed;
    ASSERT_TRUE(meeting.firstAfter({}, MeetingView::Shows::loop)) << "the loop replaces the live picture";

    // Seated through as many samples as a return takes: Away stays. (The host logs every mode
    // change: a bounce shows as "mode away -> live".)
    const std::string returned = "-> live";
    const auto stayed = logLineWithin(host, {"the user is still in place", returned});
    ASSERT_TRUE(stayed) << "the watcher never saw the user stay";
    ASSERT_EQ(stayed->find(returned), std::string::npos) << "Away ended with the user still seated: " << *stayed;
    EXPECT_NE(quellon({"status"}).out.find("mode: away (command)"), std::string::npos);

    // The user leaves; the seat is seen empty. Still Away.
    show(empty);
    const auto left = logLineWithin(host, {"the seat is empty", returned});
    ASSERT_TRUE(left) << "the watcher never saw the seat empty";
    ASSERT_EQ(left->find(returned), std::string::npos) << "Away ended before the user came back: " << *left;

    // And comes back: Live again.
    const auto back = std::chrono::steady_clock::now();
    show(seated);
    const auto live = meeting.firstAfter(back, MeetingView::Shows::live);
    ASSERT_TRUE(live) << "Live comes back with the user";
    EXPECT_NE(statusUntil("mode: live").find("mode: live (presence confirmed)"), std::string::npos);
    std::cout << "Live again " << std::chrono::duration_cast<std::chrono::milliseconds>(live->at - back).count()
              << " ms after the user came back\n";

    // Between the first frame of the loop and the user's return the meeting never saw the seat.
    bool looping = false;
    for (const auto& seen : meeting.seen()) {
        if (seen.at >= back)
            break;
        looping = looping || seen.shows == MeetingView::Shows::loop;
        EXPECT_FALSE(looping && seen.shows == MeetingView::Shows::live) << "the meeting saw the seat while Away";
    }

    host.signal(SIGTERM);
    EXPECT_EQ(host.finish().status, 0);
}

TEST_F(HostProgramCameraTest, TheScreenLockLeavesStandbyAloneAndEndsOnlyItsOwnAway)
{
    makeClip("blue", "blue.mkv");
    ASSERT_EQ(quellon({"state", "set", "--clip", "blue.mkv", "--mode", "live"}).status, 0);
    ASSERT_EQ(quellon({"settings", "set", "lock-trigger", "on"}).status, 0);
    std::vector<std::string> env = environment();
    // No system bus (so no logind): the desktop's screen saver reports the lock.
    env.push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (home / "no-system-bus").string());
    testing::ChildProgram host(QUELLON_CLI_PATH, {"host", "--no-tray", "--input", "lavfi:color=c=lime:s=320x180:r=30"}, env);
    ASSERT_TRUE(waitUntilServing(host));
    openReader();
    ASSERT_TRUE(framesUntil(300, isLime));
    ASSERT_NE(statusUntil("loop: blue.mkv (30 frames").find("loop: blue.mkv (30 frames"), std::string::npos);
    FakeScreenSaver screen(bus.address());
    const auto mode = [&] {
        const std::string out = quellon({"status"}).out;
        const auto at = out.find("mode: ");
        return at == std::string::npos ? out : out.substr(at, out.find('\n', at) - at);
    };

    // Standby: the lock leaves it alone, and so does the unlock.
    ASSERT_EQ(quellon({"standby"}).status, 0);
    ASSERT_TRUE(framesUntil(300, [](const Frame& frame) { return !isLime(frame) && !isBlue(frame); })) << "the card";
    screen.set(true);
    EXPECT_EQ(mode(), "mode: standby (command)");
    screen.set(false);
    EXPECT_EQ(mode(), "mode: standby (command)") << "the unlock does not turn Standby into Live";

    // Live: the lock makes an Away that its unlock ends.
    ASSERT_EQ(quellon({"live"}).status, 0);
    screen.set(true);
    EXPECT_EQ(mode(), "mode: away (screen locked)");
    EXPECT_TRUE(framesUntil(300, isBlue)) << "locked: the loop plays";
    screen.set(false);
    EXPECT_EQ(mode(), "mode: live (screen unlocked)");
    EXPECT_TRUE(framesUntil(300, isLime)) << "unlocked: Live again";

    // An Away taken by hand outlives a lock and its unlock.
    ASSERT_EQ(quellon({"away"}).status, 0);
    screen.set(true);
    screen.set(false);
    EXPECT_EQ(mode(), "mode: away (command)");

    host.signal(SIGTERM);
    EXPECT_EQ(host.finish().status, 0);
}

} // namespace
} // namespace quellon
