#include "StatusIcons.h"
#include "StatusMenu.h"

#include <gtest/gtest.h>

#include <set>

namespace quellon {
namespace {

TEST(StatusMenu, SymbolPerModeWithUnknownTextShowingThePerson)
{
    const std::vector<std::tuple<std::string, std::string, std::string>> cases{
        {"live", "person.fill", "Quellon Live"},
        {"away", "zzz", "Quellon Away"},
        {"standby", "pause.fill", "Quellon Standby"},
        {"error", "exclamationmark.triangle.fill", "Quellon Error"},
        {"Away", "person.fill", "Quellon Live"},
        {"", "person.fill", "Quellon Live"},
    };
    for (const auto& [mode, symbol, description] : cases) {
        const auto s = statusSymbol(mode);
        EXPECT_EQ(s.symbolName, symbol) << mode;
        EXPECT_EQ(s.iconName, "quellon-" + symbol + "-symbolic") << mode;
        EXPECT_EQ(s.accessibilityDescription, description) << mode;
    }
}

TEST(StatusMenu, HeaderAndCheckMarksFollowTheFields)
{
    struct Case {
        std::string mode;
        bool autoReturn;
        std::string header;
        std::vector<bool> checks; // Live, Away, Standby, Enable Auto Return
    };
    const Case cases[] = {
        {"live", false, "Quellon \u2014 Live", {true, false, false, false}},
        {"away", true, "Quellon \u2014 Away", {false, true, false, true}},
        {"standby", false, "Quellon \u2014 Standby", {false, false, true, false}},
        {"error", true, "Quellon \u2014 Error", {false, false, false, true}},
        {"sleeping", false, "Quellon \u2014 Live", {false, false, false, false}},
    };
    for (const Case& c : cases) {
        const StatusMenu menu = buildStatusMenu(c.mode, c.autoReturn);
        ASSERT_EQ(menu.size(), 16u);
        EXPECT_EQ(menu[0].title, c.header);
        EXPECT_FALSE(menu[0].enabled);
        EXPECT_EQ(menu[5].checked, c.checks[0]) << c.mode;
        EXPECT_EQ(menu[6].checked, c.checks[1]) << c.mode;
        EXPECT_EQ(menu[7].checked, c.checks[2]) << c.mode;
        EXPECT_EQ(menu[13].checked, c.checks[3]) << c.mode;
    }
}

TEST(StatusMenu, CameraAndLoopsSubmenusOfferTheChoicesWithTheActiveOnesChecked)
{
    MenuChoices choices;
    choices.loops = {{"Morning coffee", "loop-1.mov"}, {"imported-a", "imported-a.mov"}};
    choices.activeLoop = "imported-a.mov";
    choices.cameras = {{"HD Pro Webcam C920 (/dev/video2)", "/dev/v4l/by-id/usb-046d-video-index0"}};
    const StatusMenu menu = buildStatusMenu("live", false, choices);
    const MenuEntry& camera = menu.at(8);
    const MenuEntry& loops = menu.at(12);
    EXPECT_EQ(camera.title, "Camera");
    EXPECT_EQ(loops.title, "Loops");
    EXPECT_EQ(camera.kind, MenuEntry::Kind::submenu);
    EXPECT_EQ(loops.kind, MenuEntry::Kind::submenu);

    ASSERT_EQ(loops.children.size(), 2u);
    EXPECT_EQ(loops.children[0].title, "Morning coffee");
    EXPECT_EQ(loops.children[0].choice, (MenuChoice{MenuChoice::Kind::loop, "loop-1.mov"}));
    EXPECT_EQ(loops.children[0].checked, false);
    EXPECT_EQ(loops.children[1].checked, true);
    ASSERT_EQ(camera.children.size(), 1u);
    EXPECT_EQ(camera.children[0].choice, (MenuChoice{MenuChoice::Kind::camera, "/dev/v4l/by-id/usb-046d-video-index0"}));
    EXPECT_EQ(camera.children[0].checked, false) << "none chosen: the host takes the first camera by itself";

    // Nothing to choose: one disabled line that says so, never an empty submenu.
    const StatusMenu bare = buildStatusMenu("live", false, {});
    for (const auto& [index, text] : {std::pair{8, "No camera found"}, std::pair{12, "No loops yet"}}) {
        ASSERT_EQ(bare.at(index).children.size(), 1u);
        EXPECT_EQ(bare.at(index).children[0].title, text);
        EXPECT_FALSE(bare.at(index).children[0].enabled);
        EXPECT_FALSE(bare.at(index).children[0].choice);
    }
}

TEST(StatusIcons, EachSymbolDrawsItsOwnShapeAtEverySize)
{
    std::set<std::vector<std::uint8_t>> distinct;
    for (const auto& symbol : allStatusSymbols()) {
        const auto pixmaps = renderStatusSymbolSizes(symbol.symbolName);
        ASSERT_EQ(pixmaps.size(), std::size(iconPixmapSizes));
        for (std::size_t i = 0; i < pixmaps.size(); ++i) {
            const auto& p = pixmaps[i];
            ASSERT_EQ(p.width, iconPixmapSizes[i]);
            ASSERT_EQ(p.argb.size(), std::size_t(p.width * p.height * 4));
            std::size_t ink = 0, transparent = 0;
            for (std::size_t px = 0; px < p.argb.size(); px += 4) {
                ink += p.argb[px];
                transparent += p.argb[px] == 0;
                // Straight (not premultiplied) grey wherever something is drawn; faint edge
                // pixels lose precision in Cairo's premultiplied store.
                if (p.argb[px] >= 32) {
                    EXPECT_NEAR(p.argb[px + 1], 0xbe, 4) << symbol.symbolName;
                }
            }
            // Covers a tenth of the square or more, and leaves a fifth or more empty.
            EXPECT_GT(ink / 255, p.argb.size() / 4 / 10) << symbol.symbolName << " " << p.width;
            EXPECT_GT(transparent, p.argb.size() / 4 / 5) << symbol.symbolName << " " << p.width;
        }
        distinct.insert(pixmaps[0].argb);
    }
    EXPECT_EQ(distinct.size(), 4u);
    const auto unknown = renderStatusSymbol("star", 16);
    EXPECT_EQ(unknown.argb, std::vector<std::uint8_t>(16 * 16 * 4, 0));
}

} // namespace
} // namespace quellon
