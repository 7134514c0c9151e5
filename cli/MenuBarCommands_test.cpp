// The tray protocol commands of the real quellon program, on a private session bus.

#include "menubar/BusTestSupport.h"

#include "ChildProgram.h"

#include <gtest/gtest.h>

namespace quellon {
namespace {

std::vector<std::string> environment(const std::optional<std::string>& busAddress)
{
    std::vector<std::string> env{"HOME=/nonexistent"};
    if (busAddress)
        env.push_back("DBUS_SESSION_BUS_ADDRESS=" + *busAddress);
    return env;
}

testing::ProgramResult quellon(const std::vector<std::string>& args, const std::optional<std::string>& busAddress)
{
    return testing::ChildProgram(QUELLON_CLI_PATH, args, environment(busAddress)).finish();
}

TEST(MenuBarCli, PublishSendAndWatchSpeakTheProtocol)
{
    testing::PrivateSessionBus bus;
    testing::ChildProgram watch(QUELLON_CLI_PATH, {"watch", "--count", "6", "--timeout", "20"}, environment(bus.address()));
    ASSERT_EQ(watch.readErrorLine(), "quellon: watching");

    EXPECT_EQ(quellon({"publish", "--mode", "away", "--auto-return", "on", "--loops", "no"}, bus.address()).status, 0);
    EXPECT_EQ(quellon({"send", "togglePanel"}, bus.address()).status, 0);
    EXPECT_EQ(quellon({"publish", "--mode", "Sleeping"}, bus.address()).status, 0);
    EXPECT_EQ(quellon({"publish", "--terminating"}, bus.address()).status, 0);
    const auto result = watch.finish();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "com.quellon.menubar.mode.away\n"
                          "com.quellon.menubar.ar.on\n"
                          "com.quellon.menubar.loops.no\n"
                          "com.quellon.menubar.cmd.togglePanel\n"
                          "com.quellon.menubar.mode.Sleeping\n"
                          "com.quellon.menubar.terminating\n");
}

TEST(MenuBarCli, WatchTimesOutWhenTheCountIsNotReached)
{
    testing::PrivateSessionBus bus;
    const auto counted = quellon({"watch", "--count", "1", "--timeout", "0.2"}, bus.address());
    EXPECT_EQ(counted.status, 1);
    EXPECT_NE(counted.err.find("timed out after 0 of 1"), std::string::npos) << counted.err;
    const auto uncounted = quellon({"watch", "--timeout", "0.2"}, bus.address());
    EXPECT_EQ(uncounted.status, 0) << uncounted.err;
    EXPECT_EQ(uncounted.out, "");
}

TEST(MenuBarCli, BadWordsAreRefusedAndNoBusIsNoFailure)
{
    const auto unknown = quellon({"send", "setaway"}, std::nullopt);
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("unknown command \"setaway\"; one of: setLive, setAway, setStandby, record, "
                               "manageLoops, showApp, toggleAutoReturn, quit, togglePanel"),
              std::string::npos)
        << unknown.err;
    EXPECT_EQ(quellon({"publish"}, std::nullopt).status, 2);
    EXPECT_NE(quellon({"publish", "--auto-return", "yes"}, std::nullopt).status, 0);

    // Without a session bus, posting does nothing and says nothing; watching has nothing to watch.
    for (const std::vector<std::string>& args : {std::vector<std::string>{"send", "quit"},
                                                 std::vector<std::string>{"publish", "--mode", "live", "--terminating"}}) {
        const auto posted = quellon(args, std::nullopt);
        EXPECT_EQ(posted.status, 0);
        EXPECT_EQ(posted.out + posted.err, "");
    }
    const auto watch = quellon({"watch", "--timeout", "1"}, std::nullopt);
    EXPECT_EQ(watch.status, 1);
    EXPECT_NE(watch.err.find("no session bus"), std::string::npos) << watch.err;
}

} // namespace
} // namespace quellon
