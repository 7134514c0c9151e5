// Runs the real quellon program against a camera socket served by a fake camera.

#include "channel/CameraInfo.h"
#include "channel/QuellonCMIOChannel.h"
#include "platform/Log.h"
#include "platform/TemporaryDirectory.h"
#include "playback/PNGWriter.h"
#include "playback/PixelBuffer.h"
#include "state/QuellonState.h"
#include "transport/PropertySocketServer.h"
#include "transport/PropertyTarget.h"

#include "ChildProgram.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <map>
#include <mutex>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace quellon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using QuellonCMIOChannel::frameSelector;
using QuellonCMIOChannel::nameSelector;
using QuellonCMIOChannel::stateSelector;

class FakeCamera final : public PropertyTarget {
public:
    void setProperty(std::uint32_t selector, std::string bytes) override
    {
        std::lock_guard lock(mutex_);
        ++setCounts_[selector];
        // A renaming camera replaces its device, which starts with no state.
        if (selector == nameSelector && renames) {
            values_[kCameraInfoSelector] = encodeJSON(CameraInfo{bytes, "L", "DEV-" + bytes, "S", 30, "memory"});
            values_[stateSelector] = "";
        }
        values_[selector] = std::move(bytes);
    }
    bool renames = false;
    std::optional<std::string> property(std::uint32_t selector) override
    {
        std::lock_guard lock(mutex_);
        const auto it = values_.find(selector);
        return it == values_.end() ? std::nullopt : std::optional(it->second);
    }
    int setCount(std::uint32_t selector)
    {
        std::lock_guard lock(mutex_);
        return setCounts_[selector];
    }

private:
    mutable std::mutex mutex_;
    std::map<std::uint32_t, std::string> values_;
    std::map<std::uint32_t, int> setCounts_;
};

using Result = testing::ProgramResult;

class CameraCommandsTest : public ::testing::Test {
protected:
    CameraCommandsTest()
    {
        fs::create_directories(container());
        std::ofstream(jpeg_, std::ios::binary) << std::string("\xFF\xD8\xFF\xE0 not really decodable", 25);
    }

    fs::path container() const { return root_ / "data" / "group.com.quellon.shared"; }
    std::vector<std::string> env() const
    {
        return {"HOME=" + root_.string(), "XDG_DATA_HOME=" + (root_ / "data").string(), "XDG_CONFIG_HOME=" + (root_ / "config").string()};
    }
    Result run(const std::vector<std::string>& args) { return testing::ChildProgram(QUELLON_CLI_PATH, args, env()).finish(); }

    void startCamera()
    {
        server_ = std::make_unique<PropertySocketServer>(container() / "camera.sock", camera_, log_);
        server_->start();
    }
    // Waits up to 10 s for the camera to have received that many frames.
    void awaitFrames(int count)
    {
        for (auto until = std::chrono::steady_clock::now() + 10s; camera_.setCount(frameSelector) < count && std::chrono::steady_clock::now() < until;)
            std::this_thread::sleep_for(10ms);
    }

    TemporaryDirectory directory_{"quellon-camera-cli"};
    fs::path root_ = directory_.path(), jpeg_ = root_ / "picture.jpg";
    FakeCamera camera_;
    CapturingLogSink log_;
    std::unique_ptr<PropertySocketServer> server_;
};

TEST_F(CameraCommandsTest, EveryCameraCommandSaysWhenTheDaemonIsNotRunning)
{
    const std::vector<std::vector<std::string>> commands = {
        {"state", "get"}, {"push", jpeg_.string()}, {"push", jpeg_.string(), "--repeat"}, {"rename", "Desk"}, {"camera"}};
    for (const auto& command : commands) {
        SCOPED_TRACE(command.front());
        const Result result = run(command);
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find("not running"), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
    }
    // Storing the state does not depend on the camera.
    const Result set = run({"state", "set", "--mode", "away"});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.err, "");
}

TEST_F(CameraCommandsTest, StateSetAlsoHandsTheRecordToTheCamera)
{
    startCamera();
    camera_.setProperty(stateSelector, "");
    const Result before = run({"state", "get"});
    EXPECT_EQ(before.status, 0);
    EXPECT_EQ(before.out, "");
    EXPECT_NE(before.err.find("not received a state"), std::string::npos);

    const Result set = run({"state", "set", "--mode", "error", "--fps", "12"});
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_NE(set.err.find("sent the new state to the camera"), std::string::npos);
    const auto sent = QuellonCMIOChannel::decodeState(camera_.property(stateSelector).value_or(""));
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->mode, QuellonMode::error);
    EXPECT_EQ(sent->targetFPS, 12);
    EXPECT_EQ(sent->revision, 1);

    // What the camera holds is what state get prints.
    const Result get = run({"state", "get"});
    EXPECT_EQ(get.status, 0) << get.err;
    EXPECT_EQ(get.out, *camera_.property(stateSelector) + "\n");
}

TEST_F(CameraCommandsTest, PushRenameAndCameraReachTheDaemon)
{
    startCamera();
    const Result push = run({"push", jpeg_.string()});
    EXPECT_EQ(push.status, 0) << push.err;
    EXPECT_EQ(camera_.property(frameSelector), std::string("\xFF\xD8\xFF\xE0 not really decodable", 25));

    const CameraInfo info{"Kitchen Cam", "Quellon-Camera-Device-1F4B6A20", "DEV-UUID", "STREAM-UUID", 24, "y4m:/tmp/camera.y4m"};
    camera_.setProperty(kCameraInfoSelector, encodeJSON(info));
    const Result rename = run({"rename", "  Kitchen Cam \n"});
    EXPECT_EQ(rename.status, 0) << rename.err;
    EXPECT_EQ(camera_.property(nameSelector), "Kitchen Cam");

    const Result camera = run({"camera"});
    EXPECT_EQ(camera.status, 0) << camera.err;
    for (const char* line : {"name:         Kitchen Cam\n", "legacy ID:    Quellon-Camera-Device-1F4B6A20\n", "device UUID:  DEV-UUID\n",
                             "stream UUID:  STREAM-UUID\n", "frame rate:   24 fps\n", "sink:         y4m:/tmp/camera.y4m\n"})
        EXPECT_NE(camera.out.find(line), std::string::npos) << line;
    const Result json = run({"camera", "--json"});
    EXPECT_EQ(decodeCameraInfo(json.out), info);

    // A name with a newline and a right-to-left override reaches the camera as given, and
    // shows on the terminal with both made visible.
    camera_.setProperty(kCameraInfoSelector, encodeJSON(CameraInfo{"Evil\nName\u202e", "L", "D", "S", 30, "memory"}));
    const Result evil = run({"rename", "Evil\nName\u202e"});
    EXPECT_EQ(evil.status, 0) << evil.err;
    EXPECT_EQ(camera_.property(nameSelector), "Evil\nName\u202e");
    EXPECT_EQ(evil.out, "Asked the camera to rename itself 'Evil\\nName<U+202E>'\n");
    const Result shown = run({"camera"});
    EXPECT_EQ(shown.out.substr(0, shown.out.find("legacy ID")), "name:         Evil\\nName<U+202E>\n");
}

// The renamed camera gets the state it held back; a state set after a lost state.json still
// takes a revision the camera has not applied yet.
TEST_F(CameraCommandsTest, RenameHandsTheStateBackAndNewRevisionsPassTheCameras)
{
    startCamera();
    camera_.renames = true;
    camera_.setProperty(kCameraInfoSelector, encodeJSON(CameraInfo{"Old", "L", "DEV-1", "S", 30, "memory"}));
    QuellonState held;
    held.mode = QuellonMode::away;
    held.revision = 7;
    const std::string heldBytes = QuellonCMIOChannel::encodeState(held).value();
    camera_.setProperty(stateSelector, heldBytes);
    const Result rename = run({"rename", "Desk"});
    EXPECT_EQ(rename.status, 0) << rename.err;
    EXPECT_EQ(camera_.property(stateSelector), heldBytes);
    EXPECT_NE(rename.err.find("sent the state again"), std::string::npos) << rename.err;

    // No state.json, or a damaged one: the revision goes above the camera's.
    for (const char* stored : {"", "{ not json"}) {
        if (*stored)
            std::ofstream(container() / "state.json") << stored;
        const Result set = run({"state", "set", "--mode", "live"});
        ASSERT_EQ(set.status, 0) << set.err;
        const auto sent = QuellonCMIOChannel::decodeState(camera_.property(stateSelector).value_or(""));
        ASSERT_TRUE(sent) << stored;
        EXPECT_EQ(sent->revision, held.revision + 1) << stored;
        camera_.setProperty(stateSelector, heldBytes);
        fs::remove(container() / "state.json");
    }
}

// A camera that cannot take a name live says where it applies; "camera" shows it too.
TEST_F(CameraCommandsTest, RenameThatCannotBeLiveSaysWhereTheNameApplies)
{
    startCamera();
    const CameraInfo info{"Quellon Camera", "L", "DEV-1", "S", 30, "v4l2:/dev/video3", "Desk",
                          "it applies when v4l2loopback is loaded with card_label=\"Desk\""};
    camera_.setProperty(kCameraInfoSelector, encodeJSON(info));
    const Result rename = run({"rename", "Desk"});
    EXPECT_EQ(rename.status, 0) << rename.err;
    EXPECT_NE(rename.err.find("keeps the name 'Quellon Camera' for now: it applies when v4l2loopback"), std::string::npos)
        << rename.err;
    const Result camera = run({"camera"});
    EXPECT_NE(camera.out.find("stored name:  Desk (it applies when v4l2loopback is loaded with card_label=\"Desk\")\n"),
              std::string::npos) << camera.out;
}

TEST_F(CameraCommandsTest, BadInputIsRefusedBeforeAnythingIsSent)
{
    startCamera();
    const fs::path text = root_ / "notes.txt", empty = root_ / "empty.jpg";
    std::ofstream(text) << "hello";
    std::ofstream{empty};
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"rename", "   "}, 2}, {{"rename", std::string(65, 'n')}, 2}, {{"rename", std::string("Cam\xFF")}, 2},
        {{"push", text.string()}, 2}, {{"push", empty.string()}, 2}, {{"push", (root_ / "missing.jpg").string()}, 1},
        {{"push", root_.string()}, 1}, {{"push", jpeg_.string(), "--repeat", "--fps", "1"}, 2}, {{"push", jpeg_.string(), "--fps", "10"}, 2},
    };
    for (const auto& [args, status] : cases)
        EXPECT_EQ(run(args).status, status) << args[0] << " " << args.back();
    EXPECT_EQ(camera_.setCount(nameSelector), 0);
    EXPECT_EQ(camera_.setCount(frameSelector), 0);
}

// The camera drops pictures beyond 4096 a side or 16 Mpx; push says so instead of "sent".
TEST_F(CameraCommandsTest, PicturesLargerThanTheCameraShowsAreRefused)
{
    startCamera();
    const auto png = [&](int width, int height) {
        const fs::path path = root_ / (std::to_string(width) + "x" + std::to_string(height) + ".png");
        PNGWriter::writePNG(PixelBuffer::create(width, height, kPixelFormatBGRA), path);
        return path.string();
    };
    const Result wide = run({"push", png(5000, 8)});
    EXPECT_EQ(wide.status, 2);
    EXPECT_NE(wide.err.find("is 5000x8 pixels; the camera shows pictures of at most 4096 pixels a side"),
              std::string::npos)
        << wide.err;
    EXPECT_EQ(wide.out, "");
    EXPECT_EQ(run({"push", png(8, 4097)}).status, 2);
    EXPECT_EQ(camera_.setCount(frameSelector), 0);

    const Result atTheLimit = run({"push", png(4096, 8)});
    EXPECT_EQ(atTheLimit.status, 0) << atTheLimit.err;
    EXPECT_EQ(camera_.setCount(frameSelector), 1);
}

TEST_F(CameraCommandsTest, RepeatedPushEndsCleanlyOnInterrupt)
{
    startCamera();
    testing::ChildProgram push(QUELLON_CLI_PATH, {"push", jpeg_.string(), "--repeat", "--fps", "50"}, env());
    awaitFrames(3);
    push.signal(SIGINT);
    const Result result = push.finish();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_GE(camera_.setCount(frameSelector), 3);
    EXPECT_NE(result.out.find("sent " + jpeg_.string() + " " + std::to_string(camera_.setCount(frameSelector)) + " times"), std::string::npos)
        << result.out;
}

TEST_F(CameraCommandsTest, RepeatedPushFailsWhenTheDaemonGoesAway)
{
    startCamera();
    testing::ChildProgram push(QUELLON_CLI_PATH, {"push", jpeg_.string(), "--repeat", "--fps", "20"}, env());
    awaitFrames(2);
    server_->stop();
    const Result result = push.finish();
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("camera daemon"), std::string::npos) << result.err;
}

} // namespace
} // namespace quellon
