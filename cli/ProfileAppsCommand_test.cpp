#include "ChildProgram.h"

#include "platform/ProcessTable.h"
#include "platform/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace quellon {
namespace {

namespace fs = std::filesystem;

TEST(ProfileAppsCommandTest, ListsTheProcessReadingTheCameraWithItsIdentifier)
{
    TemporaryDirectory home;
    const fs::path container = home.path() / "data" / "group.com.quellon.shared";
    fs::create_directories(container);
    const fs::path fifo = container / "camera.y4m";
    std::ofstream(fifo) << "YUV4MPEG2 ";

    // A reader of the camera: sleep, holding the file open for reading.
    testing::ChildProgram reader("/bin/sh", {"-c", "exec 3<\"$0\"; exec sleep 30", fifo.string()}, {"PATH=/usr/bin:/bin"});
    const ProcessTable processes;
    std::optional<pid_t> pid;
    for (int attempt = 0; attempt < 500 && !pid; ++attempt) {
        for (pid_t holder : processes.holders(fifo, true))
            if (processes.executableName(holder) == "sleep")
                pid = holder;
        if (!pid)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(pid) << "the reader did not start";

    const std::vector<std::string> env{"HOME=" + home.path().string(), "XDG_DATA_HOME=" + (home.path() / "data").string()};
    testing::ChildProgram program(QUELLON_CLI_PATH, {"profiles", "apps"}, env);
    const auto result = program.finish();
    reader.signal(SIGTERM);
    reader.finish();

    ASSERT_EQ(result.status, 0) << result.err;
    const auto reading = result.out.substr(0, result.out.find("Focused window:"));
    EXPECT_NE(reading.find("pid " + std::to_string(*pid)), std::string::npos) << result.out;
    // Our test runs outside any desktop unit, so sleep is known by its executable only.
    EXPECT_NE(reading.find("  sleep "), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("Focused window:\n  (not known: no X display (DISPLAY is not set))\n"), std::string::npos)
        << result.out;
}

} // namespace
} // namespace quellon
