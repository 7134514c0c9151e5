// Runs the real quellon program against a private container and checks what a user sees.

#include "platform/FileIO.h"
#include "platform/TemporaryDirectory.h"
#include "state/QuellonState.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <map>
#include <sys/wait.h>
#include <unistd.h>

namespace quellon {
namespace {

namespace fs = std::filesystem;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

std::string readAll(int fd)
{
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(got));
    return text;
}

// Runs quellon with exactly the given environment.
Result run(const std::vector<std::string>& args, const std::map<std::string, std::string>& env)
{
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0)
        return {};
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::close(out[0]);
        ::close(err[0]);
        std::vector<std::string> envText;
        for (const auto& [key, value] : env)
            envText.push_back(key + "=" + value);
        std::vector<char*> argv{const_cast<char*>(QUELLON_CLI_PATH)}, envp;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (auto& e : envText)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        ::execve(QUELLON_CLI_PATH, argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    Result result;
    // Standard error is small; read it after standard output.
    result.out = readAll(out[0]);
    result.err = readAll(err[0]);
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

class CliTest : public ::testing::Test {
protected:
    CliTest() { fs::create_directories(container()); }
    fs::path container() const { return temp.path() / "data" / "group.com.quellon.shared"; }
    std::map<std::string, std::string> env() const
    {
        return {{"HOME", temp.path().string()}, {"XDG_DATA_HOME", (temp.path() / "data").string()}};
    }
    Result quellon(std::vector<std::string> args) const { return run(args, env()); }

    TemporaryDirectory temp;
};

TEST_F(CliTest, HelpAndContainer)
{
    Result help = quellon({"--help"});
    EXPECT_EQ(help.status, 0);
    for (auto command : {"container", "state", "status"})
        EXPECT_NE(help.out.find(command), std::string::npos) << command;

    Result container = quellon({"container"});
    EXPECT_EQ(container.status, 0);
    EXPECT_EQ(container.out, this->container().string() + "\n");

    Result none = run({"container"}, {});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("Shared App Group container is unavailable."), std::string::npos) << none.err;
}

TEST_F(CliTest, StateSetAppliesChangesWithANewRevision)
{
    Result first = quellon({"state", "set", "--mode", "away", "--fps", "24", "--size", "640x360", "--clip", "loop-1.mov"});
    ASSERT_EQ(first.status, 0) << first.err;
    Result second = quellon({"state", "set", "--loop-mode", "freeze"});
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

    Result show = quellon({"state", "show"});
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
        Result result = quellon(args);
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
