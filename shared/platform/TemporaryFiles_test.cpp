// Temporary files of ours: placing without replacing, and telling a live temporary file from
// one a killed process left.

#include "platform/FileIO.h"
#include "platform/TemporaryDirectory.h"
#include "platform/TemporaryFiles.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quellon {
namespace {

namespace fs = std::filesystem;

class TemporaryFilesTest : public ::testing::Test {
protected:
    fs::path write(const std::string& name, const std::string& bytes)
    {
        std::ofstream(dir / name, std::ios::binary) << bytes;
        return dir / name;
    }
    std::string read(const std::string& name) const { return readRegularFile(dir / name).value_or("<missing>"); }
    std::set<std::string> names() const
    {
        std::set<std::string> found;
        for (const auto& entry : fs::directory_iterator(dir))
            found.insert(entry.path().filename().string());
        return found;
    }

    TemporaryDirectory temp;
    const fs::path dir = temp.path();
};

TEST_F(TemporaryFilesTest, PlacingNeverReplacesAnExistingFile)
{
    write("a", "first");
    write("taken", "someone else's");
    EXPECT_FALSE(placeWithoutReplacing(dir / "a", dir / "taken"));
    EXPECT_EQ(read("a"), "first");
    EXPECT_EQ(read("taken"), "someone else's");
    EXPECT_TRUE(placeWithoutReplacing(dir / "a", dir / "free"));
    EXPECT_EQ(names(), (std::set<std::string>{"free", "taken"}));
    EXPECT_EQ(read("free"), "first");
    EXPECT_THROW(placeWithoutReplacing(dir / "missing", dir / "other"), std::system_error);

    OwnedTemporaryFile temporary(dir, ".quellon-cut-", ".mov");
    ASSERT_EQ(::write(temporary.descriptor(), "cut", 3), 3);
    EXPECT_FALSE(temporary.placeWithoutReplacing(dir / "taken"));
    EXPECT_TRUE(fs::exists(temporary.path())) << "still ours to place elsewhere";
    EXPECT_TRUE(temporary.placeWithoutReplacing(dir / "clip.mov"));
    EXPECT_EQ(read("clip.mov"), "cut");
}

TEST_F(TemporaryFilesTest, OnlyTemporariesNoLiveProcessHoldsAreStale)
{
    // A process killed while it held one.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        OwnedTemporaryFile held(dir, ".quellon-recording-", ".mov");
        [[maybe_unused]] const auto told = ::write(ready[1], "x", 1);
        ::pause();
        ::_exit(0);
    }
    char byte;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);
    // While that process lives, its file is not stale.
    EXPECT_TRUE(removeStaleTemporaryFiles(dir, quellonTemporaryPrefixes()).empty());
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);

    write(".quellon-export-left.mov", "left by a crash");
    write(".quellon-cut-left.mov", "left by a crash");
    write(".hidden-not-ours.mov", "someone else's");
    write("clip.mov", "a loop");
    OwnedTemporaryFile live(dir, ".quellon-export-", ".mov");
    const std::string liveName = live.path().filename().string();

    const auto removed = removeStaleTemporaryFiles(dir, quellonTemporaryPrefixes());
    EXPECT_EQ(removed.size(), 3u);
    EXPECT_EQ(names(), (std::set<std::string>{".hidden-not-ours.mov", "clip.mov", liveName}));
}

TEST_F(TemporaryFilesTest, ASignalRemovesTheLiveTemporariesAndEndsTheProcess)
{
    for (int signal : {SIGINT, SIGTERM}) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            removeTemporaryFilesOnSignal();
            OwnedTemporaryFile first(dir, ".quellon-cut-", ".mov");
            OwnedTemporaryFile second(dir, ".quellon-export-", ".mov");
            ::raise(signal);
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "status " << status;
        EXPECT_TRUE(names().empty()) << "after signal " << signal;
    }
}

} // namespace
} // namespace quellon
