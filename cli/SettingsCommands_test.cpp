// The settings commands through the real quellon program, against a private config directory.

#include "host/HostSettingsStore.h"
#include "platform/FileIO.h"
#include "platform/TemporaryDirectory.h"
#include "state/ClipMetadata.h"
#include "state/JSONCoding.h"

#include "ChildProgram.h"

#include <gtest/gtest.h>

namespace quellon {
namespace {

namespace fs = std::filesystem;

class SettingsCommandsTest : public ::testing::Test {
protected:
    testing::ProgramResult quellon(const std::vector<std::string>& args) const
    {
        return testing::ChildProgram(QUELLON_CLI_PATH, args,
                                     {"HOME=" + temp.path().string(), "XDG_CONFIG_HOME=" + config().string(),
                                      "XDG_DATA_HOME=" + (temp.path() / "data").string()})
            .finish();
    }
    fs::path config() const { return temp.path() / "config"; }
    fs::path file() const { return config() / "com.pennaveld.quellon.json"; }
    host::HostSettings stored() const { return host::HostSettingsStore(file()).load(); }

    TemporaryDirectory temp;
};

TEST_F(SettingsCommandsTest, SchedulesAreAddedListedAndRemovedByNameOrID)
{
    auto lunch = quellon({"schedules", "add", "Lunch", "--start", "12:00", "--end", "13:30", "--days", "Mon,fri"});
    ASSERT_EQ(lunch.status, 0) << lunch.err;
    ASSERT_EQ(quellon({"schedules", "add", "Night", "--start", "22:00", "--end", "2:00"}).status, 0);

    auto schedules = stored().schedules;
    ASSERT_EQ(schedules.size(), 2u);
    EXPECT_EQ(schedules[0].name, "Lunch");
    EXPECT_EQ(schedules[0].startMinute, 720);
    EXPECT_EQ(schedules[0].endMinute, 810);
    EXPECT_EQ(schedules[0].weekdays, (std::set<std::int64_t>{2, 6}));
    EXPECT_EQ(schedules[1].weekdays, (std::set<std::int64_t>{1, 2, 3, 4, 5, 6, 7})) << "every day by default";
    // The program runs in the C locale here: its clock is the 24-hour one, in lists as in what
    // a command says it did.
    EXPECT_EQ(lunch.out, "Added schedule 'Lunch': 12:00 – 13:30, mon,fri (id " + schedules[0].id.uuidString() + ")\n");

    auto list = quellon({"schedules", "list"});
    EXPECT_EQ(list.out, schedules[0].id.uuidString() + "  Lunch  12:00 – 13:30  mon,fri\n"
                            + schedules[1].id.uuidString() + "  Night  22:00 – 02:00  every day\n");

    EXPECT_EQ(quellon({"schedules", "remove", "Lunch"}).out, "Removed schedule 'Lunch'\n");
    EXPECT_EQ(quellon({"schedules", "remove", schedules[1].id.uuidString()}).status, 0);
    EXPECT_TRUE(stored().schedules.empty());
    auto missing = quellon({"schedules", "remove", "Lunch"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("no schedule"), std::string::npos) << missing.err;
}

TEST_F(SettingsCommandsTest, InvalidInputChangesNothing)
{
    ASSERT_EQ(quellon({"schedules", "add", "Lunch", "--start", "12:00", "--end", "13:00"}).status, 0);
    const std::string before = readRegularFile(file()).value_or("");
    const std::vector<std::vector<std::string>> invalid{
        {"schedules", "add", "X", "--start", "24:00", "--end", "13:00"},
        {"schedules", "add", "X", "--start", "12:60", "--end", "13:00"},
        {"schedules", "add", "X", "--start", "12", "--end", "13:00"},
        {"schedules", "add", "X", "--start", "1:2:3", "--end", "13:00"},
        {"schedules", "add", "X", "--start", "12:00", "--end", "12:00"},
        {"schedules", "add", "X", "--start", "12:00", "--end", "13:00", "--days", "mon,someday"},
        {"schedules", "add", "Lunch", "--start", "9:00", "--end", "10:00"},
        {"profiles", "add", "zoom", "--loop", "../../etc/passwd"},
        {"settings", "set", "schedules", "maybe"},
        {"settings", "set", "colour", "on"},
    };
    for (const auto& args : invalid) {
        auto result = quellon(args);
        EXPECT_EQ(result.status, 2) << args[1] << " " << args[2] << ": " << result.err;
        EXPECT_FALSE(result.err.empty());
    }
    EXPECT_EQ(readRegularFile(file()), before);
}

TEST_F(SettingsCommandsTest, SwitchesAndProfiles)
{
    const struct {
        const char* key;
        bool host::HostSettings::*field;
    } switches[] = {
        {"schedules", &host::HostSettings::schedulesEnabled},
        {"profiles", &host::HostSettings::profilesEnabled},
        {"lock-trigger", &host::HostSettings::lockTriggerEnabled},
        {"auto-return", &host::HostSettings::autoReturnEnabled},
    };
    for (const auto& entry : switches) {
        for (bool on : {true, false, true}) {
            ASSERT_EQ(quellon({"settings", "set", entry.key, on ? "on" : "off"}).status, 0);
            EXPECT_EQ(stored().*entry.field, on) << entry.key;
        }
    }
    auto show = quellon({"settings", "show"});
    EXPECT_NE(show.out.find("lock-trigger: on"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find(file().string()), std::string::npos);

    ASSERT_EQ(quellon({"profiles", "add", "us.zoom.Zoom", "--loop", "loop-1.mov", "--name", "Zoom"}).status, 0);
    ASSERT_EQ(quellon({"profiles", "add", "firefox", "--loop", "loop-2.mov"}).status, 0);
    EXPECT_EQ(quellon({"profiles", "add", "firefox", "--loop", "loop-3.mov"}).status, 2) << "one profile per app";
    auto profiles = stored().profiles;
    ASSERT_EQ(profiles.size(), 2u);
    EXPECT_EQ(profiles[0].appDisplayName, "Zoom");
    EXPECT_EQ(profiles[0].preferredLoopFilename, "loop-1.mov");
    EXPECT_EQ(profiles[1].appDisplayName, "firefox");
    EXPECT_NE(quellon({"profiles", "list"}).out.find("us.zoom.Zoom  \"Zoom\"  loop loop-1.mov"), std::string::npos);
    EXPECT_EQ(quellon({"profiles", "remove", "us.zoom.Zoom"}).out, "Removed the profile 'us.zoom.Zoom'\n");
    EXPECT_EQ(quellon({"profiles", "remove", profiles[1].id.uuidString()}).status, 0);
    EXPECT_TRUE(stored().profiles.empty());
}

// --loop takes a loop as every loop argument does: the name `loops list` shows finds its file;
// names that came from elsewhere print with their control characters visible.
TEST_F(SettingsCommandsTest, ProfilesNameLoopsAsTheLibraryDoes)
{
    const fs::path clips = temp.path() / "data" / "group.com.quellon.shared" / "Clips";
    fs::create_directories(clips);
    replaceFileAtomically(clips / "loop-7.mov", "a clip");
    replaceFileAtomically(clips / "loop-7.json",
                          encodeJSON(ClipMetadata{"recorded", 4, {}, "320x240", 15, "pingpong", "loop-7.mov", "Morning"},
                                     JSONStyle::compact));
    const auto added = quellon({"profiles", "add", "us.zoom.Zoom", "--loop", "Morning", "--name", "Evil\nApp\u202e"});
    ASSERT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(stored().profiles.at(0).preferredLoopFilename, "loop-7.mov");
    EXPECT_EQ(added.out, "Added a profile: 'us.zoom.Zoom' plays 'loop-7.mov' (id " + stored().profiles.at(0).id.uuidString() + ")\n");
    EXPECT_EQ(added.err, "") << "the loop exists";
    EXPECT_NE(quellon({"profiles", "list"}).out.find("us.zoom.Zoom  \"Evil\\nApp<U+202E>\"  loop loop-7.mov\n"), std::string::npos);

    const auto later = quellon({"profiles", "add", "firefox", "--loop", "Evening"});
    EXPECT_EQ(later.status, 0) << "a loop recorded later still counts";
    EXPECT_EQ(later.err, "quellon: note: there is no loop 'Evening' in the clips directory yet\n");
}

TEST_F(SettingsCommandsTest, ACorruptFileIsReportedAndLeftAlone)
{
    fs::create_directories(config());
    const std::string corrupt = "{\"schedules\": [{\"name\": \"Lunch\"}]";
    replaceFileAtomically(file(), corrupt);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"settings", "set", "profiles", "off"},
             {"schedules", "add", "Lunch", "--start", "12:00", "--end", "13:00"},
             {"schedules", "list"},
             {"settings", "show"}}) {
        auto result = quellon(args);
        EXPECT_EQ(result.status, 1) << args[0];
        EXPECT_NE(result.err.find(file().string() + " is not valid"), std::string::npos) << result.err;
    }
    EXPECT_EQ(readRegularFile(file()), corrupt);
}

} // namespace
} // namespace quellon
