// Runs the real quellon program against a private container and checks what a user sees.

#include "platform/FileIO.h"
#include "platform/TemporaryDirectory.h"
#include "reports/QuellonBuild.h"
#include "state/QuellonState.h"

#include "ChildProgram.h"

#include <gtest/gtest.h>
#include <cstdlib>
#include <map>

namespace quellon {
namespace {

namespace fs = std::filesystem;

// Runs a program (quellon unless named) with exactly the given environment, plus the leak
// checker's suppressions this test runs with (fontconfig's configuration outlives the card).
struct Invocation {
    std::string program;
    std::vector<std::string> args;
};
testing::ProgramResult runProgram(const Invocation& invocation, const std::map<std::string, std::string>& env)
{
    std::vector<std::string> entries;
    for (const auto& [key, value] : env)
        entries.push_back(key + "=" + value);
    if (const char* leakOptions = std::getenv("LSAN_OPTIONS"))
        entries.push_back(std::string("LSAN_OPTIONS=") + leakOptions);
    return testing::ChildProgram(invocation.program, invocation.args, entries).finish();
}
testing::ProgramResult run(const std::vector<std::string>& args, const std::map<std::string, std::string>& env)
{
    return runProgram(Invocation{QUELLON_CLI_PATH, args}, env);
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

TEST_F(CliTest, StatusReadsTheHeartbeatAndSaysWhenTheDaemonIsStopped)
{
    const std::string stopped = "camera daemon: not running; start it with `systemctl --user start quellon-extension` (or run "
                                "quellon-extension)\n";
    EXPECT_EQ(quellon({"status"}).out.find(stopped + "not streaming (no heartbeat)\n"), 0u);
    const auto now = std::chrono::system_clock::now();
    replaceFileAtomically(container() / "heartbeat", std::to_string(secondsSince1970(now) - 10));
    EXPECT_EQ(quellon({"status"}).out.find(stopped + "not streaming"), 0u);
    EXPECT_EQ(quellon({"status", "--within", "30"}).out.find(stopped + "streaming"), 0u);
}

// Every program answers --version and --help by printing and ending; none starts its work.
TEST_F(CliTest, ProgramsPrintTheirVersionAndHelpAndExit)
{
    const std::string version = " " + std::string(QuellonBuild::version()) + " (build " + std::string(QuellonBuild::buildNumber()) + ")\n";
    const auto cli = quellon({"--version"});
    EXPECT_EQ(cli.status, 0);
    EXPECT_EQ(cli.out, "quellon" + version);

    const auto trayVersion = runProgram(Invocation{QUELLON_MENUBAR_PATH, {"--version"}}, env());
    EXPECT_EQ(trayVersion.status, 0) << trayVersion.err;
    EXPECT_EQ(trayVersion.out, "quellon-menubar" + version);
    const auto trayHelp = runProgram(Invocation{QUELLON_MENUBAR_PATH, {"--help"}}, env());
    EXPECT_EQ(trayHelp.status, 0) << trayHelp.err;
    EXPECT_TRUE(trayHelp.out.starts_with("Usage: quellon-menubar")) << trayHelp.out;
    const auto trayWrong = runProgram(Invocation{QUELLON_MENUBAR_PATH, {"--bus", "x"}}, env());
    EXPECT_EQ(trayWrong.status, 2);
    EXPECT_EQ(trayWrong.err, "quellon-menubar: unknown argument \"--bus\" (see --help)\n");

    const auto daemon = runProgram(Invocation{QUELLON_EXTENSION_PATH, {"--version"}}, env());
    EXPECT_EQ(daemon.status, 0) << daemon.err;
    EXPECT_EQ(daemon.out, "quellon-extension" + version);
}

// An unknown word is named, with the choices there are, instead of "A subcommand is required".
TEST_F(CliTest, UnknownCommandsAndOptionsAreNamed)
{
    const auto command = quellon({"bogus"});
    EXPECT_EQ(command.status, 2);
    EXPECT_TRUE(command.err.starts_with("quellon: unknown command \"bogus\" for quellon; the commands are: container, "
                                        "diagnostics,")) << command.err;
    for (const char* listed : {"loops", "record", "status", "live"})
        EXPECT_NE(command.err.find(std::string(", ") + listed), std::string::npos) << listed;

    const auto nested = quellon({"loops", "bogus"});
    EXPECT_EQ(nested.status, 2);
    EXPECT_TRUE(nested.err.starts_with("quellon: unknown command \"bogus\" for quellon loops; the commands are: list, import, "
                                       "export, remove, analyse, trim")) << nested.err;

    const auto option = quellon({"--bogus"});
    EXPECT_EQ(option.status, 2);
    EXPECT_EQ(option.err, "quellon: unknown option --bogus (see `quellon --help`)\n");

    for (const auto& result : {command, nested, option})
        EXPECT_EQ(result.err.find("A subcommand is required"), std::string::npos);
}

// A file the user names is written whole or not at all, and one that is there is kept unless
// --force says otherwise.
TEST_F(CliTest, WritersRefuseAnExistingFileUnlessForced)
{
    const fs::path report = temp.path() / "report.txt", card = temp.path() / "card.png";
    for (const fs::path& file : {report, card})
        replaceFileAtomically(file, "keep me");
    fs::create_directory(temp.path() / "out");
    replaceFileAtomically(temp.path() / "out" / "Quellon-Diagnostics.txt", "keep me");
    fs::create_symlink(temp.path() / "target", temp.path() / "link.png");

    for (const auto& [args, file] : std::vector<std::pair<std::vector<std::string>, fs::path>>{
             {{"diagnostics", "--output", report.string()}, report},
             {{"diagnostics", "--output", (temp.path() / "out").string()}, temp.path() / "out" / "Quellon-Diagnostics.txt"},
             {{"standby-card", card.string()}, card},
             {{"standby-card", (temp.path() / "link.png").string()}, temp.path() / "link.png"},
         }) {
        const auto refused = quellon(args);
        EXPECT_EQ(refused.status, 1) << args[0];
        EXPECT_EQ(refused.err, "quellon: " + file.string() + " exists already; give --force to replace it\n");
        EXPECT_EQ(refused.out, "");
    }
    EXPECT_EQ(readRegularFile(report), "keep me");
    EXPECT_EQ(readRegularFile(card), "keep me");
    EXPECT_FALSE(fs::exists(temp.path() / "target")) << "the link is not followed";

    const auto forced = quellon({"diagnostics", "--output", report.string(), "--force"});
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_EQ(forced.out, "Wrote the diagnostics report to " + report.string() + "\n");
    EXPECT_TRUE(readRegularFile(report).value_or("").starts_with("Quellon diagnostics report\n"));

    const auto drawn = quellon({"standby-card", card.string(), "--size", "320x180", "--force"});
    EXPECT_EQ(drawn.status, 0) << drawn.err;
    EXPECT_EQ(drawn.out, "Wrote a 320x180 standby card to " + card.string() + "\n");
    EXPECT_TRUE(readRegularFile(card).value_or("").starts_with("\x89PNG\r\n\x1A\n"));
    const auto fresh = quellon({"standby-card", (temp.path() / "new.png").string(), "--size", "64x36"});
    EXPECT_EQ(fresh.status, 0) << fresh.err;
    EXPECT_TRUE(fs::is_regular_file(temp.path() / "new.png"));
    // A card the camera daemon would refuse as "standby.png" is not drawn at all.
    const auto huge = quellon({"standby-card", (temp.path() / "huge.png").string(), "--size", "5000x720"});
    EXPECT_EQ(huge.status, 2) << huge.err;
    EXPECT_NE(huge.err.find("4096"), std::string::npos) << huge.err;
    EXPECT_FALSE(fs::exists(temp.path() / "huge.png"));
    for (const auto& entry : fs::directory_iterator(temp.path()))
        EXPECT_FALSE(entry.path().filename().string().starts_with(".")) << "left behind: " << entry.path();
}

} // namespace
} // namespace quellon
