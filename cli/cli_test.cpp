// Runs the real quellon program against a private container and checks what a user sees.

#include "platform/FileIO.h"
#include "platform/TemporaryDirectory.h"
#include "state/QuellonState.h"

#include "ChildProgram.h"

#include <gtest/gtest.h>
#include <map>

namespace quellon {
namespace {

namespace fs = std::filesystem;

// Runs quellon with exactly the given environment.
testing::ProgramResult run(const std::vector<std::string>& args, const std::map<std::string, std::string>& env)
{
    std::vector<std::string> entries;
    for (const auto& [key, value] : env)
        entries.push_back(key + "=" + value);
    return testing::ChildProgram(QUELLON_CLI_PATH, args, entries).finish();
}

class CliTest : public ::testing::Test {
protected:
    CliTest() { fs::create_directories(container()); }
    fs::path container() const { return temp.path() / "data" / "group.com.quellon.shared"; }
    std::map<std::string, std::string> env() const
    {
        return {{"HOME", temp.path().string()}, {"XDG_DATA_HOME", (temp.path() / "data").string()}};
    }
    testing::ProgramResult quellon(std::vector<std::string> args) const { return run(args, env()); }

    TemporaryDirectory temp;
};

TEST_F(CliTest, HelpAndContainer)
{
    testing::ProgramResult help = quellon({"--help"});
    EXPECT_EQ(help.status, 0);
    for (auto command : {"container", "state", "status"})
        EXPECT_NE(help.out.find(command), std::string::npos) << command;

    testing::ProgramResult container = quellon({"container"});
    EXPECT_EQ(container.status, 0);
    EXPECT_EQ(container.out, this->container().string() + "\n");

    testing::ProgramResult none = run({"container"}, {});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("Shared App Group container is unavailable."), std::string::npos) << none.err;
}

TEST_F(CliTest, StateSetAppliesChangesWithANewRevision)
{
    testing::ProgramResult first = quellon({"state", "set", "--mode", "away", "--fps", "24", "--size", "640x360", "--clip", "loop-1.mov"});
    ASSERT_EQ(first.status, 0) << first.err;
    testing::ProgramResult second = quellon({"state", "set", "--loop-mode", "freeze"});
    ASSERT_EQ(second.status, 0) << second.err;

    QuellonState stored = decodeQuellonState(readRegularFile(container() / "state.json").value_or(""));
    EXPECT_EQ(stored.mode, QuellonMode::away);
    EXPECT_EQ(stored.loopMode, LoopMode::freeze);
    EXPECT_EQ(stored.targetFPS, 24);
    EXPECT_EQ(stored.resolutionString(), "640x360");
    EXPECT_EQ(stored.activeClipFilename, "loop-1.mov");
    EXPECT_EQ(stored.revision, 2);
    EXPECT_GT(stored.updatedAt, Date{});
    EXPECT_EQ(decodeQuellonState(second.out), stored) << "what is printed is what was stored";

    testing::ProgramResult show = quellon({"state", "show"});
    EXPECT_EQ(show.status, 0);
    EXPECT_EQ(decodeQuellonState(show.out), stored);

    ASSERT_EQ(quellon({"state", "set", "--no-clip"}).status, 0);
    EXPECT_FALSE(decodeQuellonState(readRegularFile(container() / "state.json").value_or("")).activeClipFilename);
}

TEST_F(CliTest, InvalidValuesChangeNothing)
{
    ASSERT_EQ(quellon({"state", "set", "--mode", "away"}).status, 0);
    const auto before = readRegularFile(container() / "state.json");
    for (std::vector<std::string> args : {
             std::vector<std::string>{"state", "set", "--mode", "Live"},
             {"state", "set", "--mode", "away", "--fps", "60"},
             {"state", "set", "--fps", "ten"},
             {"state", "set", "--size", "1280"},
             {"state", "set", "--size", "0x720"},
             {"state", "set", "--size", "1280x720x3"},
             {"state", "set", "--loop-mode", "reverse"},
             {"state", "set", "--clip", "../state.json"},
             {"state", "set", "--bogus"},
         }) {
        testing::ProgramResult result = quellon(args);
        EXPECT_EQ(result.status, 2) << args.back();
        EXPECT_FALSE(result.err.empty()) << args.back();
        EXPECT_EQ(readRegularFile(container() / "state.json"), before) << args.back();
    }
}

TEST_F(CliTest, StatusReadsTheHeartbeat)
{
    EXPECT_NE(quellon({"status"}).out.find("not streaming"), std::string::npos);
    const auto now = std::chrono::system_clock::now();
    replaceFileAtomically(container() / "heartbeat", std::to_string(secondsSince1970(now) - 10));
    EXPECT_EQ(quellon({"status"}).out.rfind("not streaming", 0), 0u);
    EXPECT_EQ(quellon({"status", "--within", "30"}).out.rfind("streaming", 0), 0u);
}

} // namespace
} // namespace quellon
