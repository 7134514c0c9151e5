// quellon loop play into the real camera daemon, read by the real ffmpeg: the stream shows the
// loop's frames while it plays and the standby card once it stops.

#include "CameraDaemonFixture.h"
#include "ChildProgram.h"
#include "playback/TestClips.h"

#include <fstream>
#include <gtest/gtest.h>

namespace quellon {
namespace {

using testing::Frame;
using testing::kHeight;
using testing::kWidth;

class LoopPlayTest : public testing::CameraDaemonFixture {};

// The clip: blue on the left half, yellow on the right (as RGB after ffmpeg's scaling).
bool isLoopFrame(const Frame& frame)
{
    auto at = [&](int x, int y) { return reinterpret_cast<const unsigned char*>(frame.bytes.data()) + (y * kWidth + x) * 3; };
    const auto* left = at(kWidth / 4, kHeight / 2);
    const auto* right = at(kWidth * 3 / 4, kHeight / 2);
    return left[2] > 180 && left[0] < 70 && left[1] < 70 && right[0] > 180 && right[1] > 180 && right[2] < 70;
}

TEST_F(LoopPlayTest, PlaysTheLoopIntoTheCameraThenTheCardReturns)
{
    const auto clip = home / "loop.mkv";
    ASSERT_TRUE(testing::ffmpeg("-f lavfi -i color=c=blue:s=640x360:r=30:d=1 -vf "
                                "drawbox=x=320:y=0:w=320:h=360:color=yellow:t=fill -c:v ffv1",
                                clip));
    openReader();
    const Frame card = nextFrame();
    ASSERT_FALSE(isLoopFrame(card));

    testing::ChildProgram player(QUELLON_CLI_PATH, {"loop", "play", clip.string(), "--seconds", "2", "--max-frames", "30"},
                                 {"HOME=" + home.string(), "XDG_DATA_HOME=" + (home / "data").string(),
                                  "XDG_CONFIG_HOME=" + (home / "config").string()});
    // Loading (decoding and the face search) comes first; on a busy machine that takes a while.
    EXPECT_TRUE(framesUntil(30 * 60, isLoopFrame)) << "the loop never reached the stream";
    const auto loopFrames = framesUntil(30 * 10, [](const Frame& f) { return !isLoopFrame(f); });
    ASSERT_TRUE(loopFrames);
    EXPECT_GE(*loopFrames, 30) << "the loop played for about 2 s";
    // After the player stops the card is back once the last frame is stale (0.7 s, 21 frames at
    // 30 fps). A second of slack covers a last push that a busy machine delays and what sits in
    // the pipes; a player that overran its 2 s by more would fail.
    const auto cardAfter = framesUntil(90, [&](const Frame& f) { return f.difference(card) < 2.0; });
    ASSERT_TRUE(cardAfter);
    EXPECT_LE(*loopFrames + *cardAfter, 60 + 21 + 30);

    const testing::ProgramResult result = player.finish();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("loaded 30 frames of 640x360"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("CPU per frame"), std::string::npos) << result.out;
}

TEST_F(LoopPlayTest, ErrorsAndBadArgumentsHaveTheirExitStatus)
{
    const std::vector<std::string> env{"HOME=" + home.string(), "XDG_DATA_HOME=" + (home / "data").string(),
                                       "XDG_CONFIG_HOME=" + (home / "config").string()};
    auto run = [&](std::vector<std::string> args) { return testing::ChildProgram(QUELLON_CLI_PATH, args, env).finish(); };
    std::ofstream(home / "text.mov") << "not a movie";
    struct Row {
        std::vector<std::string> args;
        int status;
    };
    for (const Row& row : {Row{{"loop", "play", (home / "text.mov").string(), "--seconds", "1"}, 1},
                           Row{{"loop", "play", (home / "missing.mov").string(), "--seconds", "1"}, 1},
                           Row{{"loop", "inspect", (home / "text.mov").string()}, 1},
                           Row{{"loop", "play", "x.mov", "--mode", "reverse"}, 2},
                           Row{{"loop", "play", "x.mov", "--fps", "0"}, 2},
                           Row{{"loop", "play", "x.mov", "--max-frames", "-1"}, 2},
                           Row{{"loop", "play", "x.mov", "--crossfade", "91"}, 2},
                           Row{{"loop", "play"}, 2}}) {
        const auto result = run(row.args);
        EXPECT_EQ(result.status, row.status) << row.args.back() << ": " << result.err;
        EXPECT_FALSE(result.err.empty());
    }
}

} // namespace
} // namespace quellon
