#include "menubar/MenuBarBridge.h"

#include "platform/Environment.h"
#include "platform/FileIO.h"
#include "platform/PlatformDirectories.h"
#include "platform/TemporaryDirectory.h"

#include <gtest/gtest.h>

namespace quellon {
namespace {

namespace fs = std::filesystem;
using MenuBarBridge::Command;

TEST(MenuBarCommand, RawValuesMatchExactlyAndRoundTrip)
{
    const std::vector<std::pair<Command, std::string>> expected{{Command::setLive, "setLive"},
        {Command::setAway, "setAway"}, {Command::setStandby, "setStandby"}, {Command::record, "record"},
        {Command::manageLoops, "manageLoops"}, {Command::showApp, "showApp"},
        {Command::toggleAutoReturn, "toggleAutoReturn"}, {Command::quit, "quit"}, {Command::togglePanel, "togglePanel"}};
    ASSERT_EQ(MenuBarBridge::allCommands.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(MenuBarBridge::allCommands[i], expected[i].first);
        EXPECT_EQ(MenuBarBridge::rawValue(expected[i].first), expected[i].second);
        EXPECT_EQ(MenuBarBridge::commandFromRawValue(expected[i].second), expected[i].first);
    }
}

TEST(MenuBarCommand, OtherTextYieldsNoCommand)
{
    for (const char* text : {"SetAway", "setaway", "TOGGLEPANEL", "togglepanel", "", " quit", "quit ", "setLive\n"})
        EXPECT_EQ(MenuBarBridge::commandFromRawValue(text), std::nullopt) << text;
}

TEST(MenuBarGroupContainer, PlatformContainerElseHomeFallbackIgnoringNoAppGroup)
{
    FixedDirectories directories;
    MapEnvironment environment({{"HOME", "/home/ada"}, {"QUELLON_NO_APP_GROUP", "1"}});
    EXPECT_EQ(MenuBarBridge::groupContainerURL(directories, environment),
              fs::path("/home/ada/.local/share/group.com.quellon.shared"));
    directories.appGroup = "/data/group.com.quellon.shared";
    EXPECT_EQ(MenuBarBridge::groupContainerURL(directories, environment), fs::path("/data/group.com.quellon.shared"));
    directories.appGroup.reset();
    environment.unset("HOME");
    EXPECT_EQ(MenuBarBridge::groupContainerURL(directories, environment), std::nullopt);
}

TEST(MenuBarGroupContainer, XdgContainerIsUsedOnlyOnceItExists)
{
    TemporaryDirectory home;
    MapEnvironment environment({{"HOME", home.path().string()}, {"XDG_DATA_HOME", (home.path() / "data").string()}});
    XdgDirectories directories(environment);
    EXPECT_EQ(MenuBarBridge::groupContainerURL(directories, environment),
              home.path() / ".local/share/group.com.quellon.shared");
    fs::create_directories(home.path() / "data/group.com.quellon.shared");
    EXPECT_EQ(MenuBarBridge::groupContainerURL(directories, environment), home.path() / "data/group.com.quellon.shared");
}

class PanelAnchorTest : public ::testing::Test {
protected:
    void writeText(const std::string& text) { replaceFileAtomically(directory.path() / "panel-anchor.json", text); }
    std::optional<PanelAnchor> read() { return MenuBarBridge::readPanelAnchor(directory.path()); }

    TemporaryDirectory directory;
};

TEST_F(PanelAnchorTest, WholeAndHalfPointRectanglesRoundTripAsCompactJSON)
{
    for (const PanelAnchor& anchor : {PanelAnchor{1200, 0, 24, 22}, PanelAnchor{812.5, 3.5, 30.5, 24.5},
                                      PanelAnchor{-1920, 1080, 0, 0}}) {
        MenuBarBridge::writePanelAnchor(anchor, directory.path());
        EXPECT_EQ(read(), anchor);
    }
    MenuBarBridge::writePanelAnchor({812.5, 3, 30, 24.5}, directory.path());
    EXPECT_EQ(readRegularFile(directory.path() / "panel-anchor.json"), R"({"h":24.5,"w":30.0,"x":812.5,"y":3.0})");
}

TEST_F(PanelAnchorTest, ReadingAcceptsOnlyAnAllNumberObjectWithTheFourKeys)
{
    struct Case {
        const char* text;
        std::optional<PanelAnchor> expected;
    };
    const Case cases[] = {
        {R"({"x":10,"y":20,"w":30,"h":40})", PanelAnchor{10, 20, 30, 40}},
        {R"({"x":1.5,"y":-2,"w":3,"h":4,"scale":2})", PanelAnchor{1.5, -2, 3, 4}},
        {R"({"x":10,"y":20,"w":30})", std::nullopt},
        {R"({"x":10,"y":20,"w":30,"h":40,"screen":"left"})", std::nullopt},
        {R"({"x":10,"y":20,"w":30,"h":"40"})", std::nullopt},
        {R"({"x":10,"y":20,"w":30,"h":null})", std::nullopt},
        {R"({"x":10,"y":20,"w":30,"h":true})", std::nullopt},
        {R"({"x":10,"y":20,"w":30,"h":[40]})", std::nullopt},
        {R"([10,20,30,40])", std::nullopt},
        {R"({"x":10,"y":20,"w":30,"h":40)", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        writeText(c.text);
        EXPECT_EQ(read(), c.expected) << c.text;
    }
}

TEST_F(PanelAnchorTest, MissingFileOrContainerGivesNothingAndWritingThereIsHarmless)
{
    EXPECT_EQ(read(), std::nullopt);
    EXPECT_EQ(MenuBarBridge::readPanelAnchor(std::nullopt), std::nullopt);
    const fs::path missing = directory.path() / "not-created";
    MenuBarBridge::writePanelAnchor({1, 2, 3, 4}, missing);
    MenuBarBridge::writePanelAnchor({1, 2, 3, 4}, std::nullopt);
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_TRUE(fs::is_empty(directory.path()));
}

} // namespace
} // namespace quellon
