#include "host/HostSettings.h"
#include "host/HostSettingsStore.h"

#include "platform/FileIO.h"
#include "platform/Log.h"
#include "platform/TemporaryDirectory.h"
#include "state/JSONCoding.h"
#include "triggers/HotkeyKey.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace quellon::host {
namespace {

namespace fs = std::filesystem;

HostSettings sample()
{
    HostSettings settings;
    settings.schedules.push_back(LoopSchedule(UUID::random(), "Lunch", 720, 780, {2, 3, 4, 5, 6}, true));
    settings.schedules.push_back(LoopSchedule(UUID::random(), "Late", 1320, 120, {6}, false));
    settings.profiles.push_back({UUID::random(), "org.example.Meet", "Meet", "loop-2.mov", true});
    settings.profiles.push_back({UUID::random(), "zoom", "Zoom", std::nullopt, false});
    settings.schedulesEnabled = false;
    settings.lockTriggerEnabled = true;
    settings.autoReturnEnabled = true;
    settings.autoReturnTolerance = 0.25;
    settings.hotkeys.standby = {HotkeyKey::f14, 0};
    settings.scheduleAwayIsScheduled = true;
    settings.scheduleDismissedWindowID = settings.schedules[0].id;
    return settings;
}

TEST(HostSettings, RoundTripsThroughTheDefaultsAndKeepsTheirOtherKeys)
{
    const HostSettings settings = sample();
    const std::string merged = mergeIntoDefaults(settings, R"({"QuellonCustomCameraName":"Desk","autoReturn":"true"})");
    EXPECT_EQ(decodeHostSettings(merged), settings);
    const auto object = nlohmann::json::parse(merged);
    EXPECT_EQ(object["QuellonCustomCameraName"], "Desk");
    EXPECT_EQ(object["autoReturn"], "true");

    // Clearing the dismissal removes its key rather than leaving a stale one behind.
    HostSettings cleared = settings;
    cleared.scheduleDismissedWindowID.reset();
    const std::string again = mergeIntoDefaults(cleared, merged);
    EXPECT_FALSE(nlohmann::json::parse(again).contains(HostSettingsKeys::scheduleDismissedWindowID));
    EXPECT_EQ(decodeHostSettings(again), cleared);
}

TEST(HostSettings, MissingKeysTakeTheirDefaults)
{
    const HostSettings decoded = decodeHostSettings(R"({"hotkeys":{"standby":{"keyCode":107,"modifiers":0}}})");
    HostSettings expected;
    expected.hotkeys.standby = {HotkeyKey::f14, 0};
    EXPECT_EQ(decoded, expected);
    EXPECT_EQ(expected.autoReturnTolerance, 0.5);
    EXPECT_EQ(HostSettings{}.hotkeys, HotkeyBindings::defaults());
    EXPECT_EQ(decoded.hotkeys.toggleAway.displayString(), "Alt+Super+A") << "the other bindings keep their defaults";
    EXPECT_EQ(decoded.hotkeys.panicToggle.displayString(), "F13");
}

TEST(HostSettings, AnyBadValueFailsTheWholeRecordNamingWhere)
{
    const std::string schedule = R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"A","startMinute":1,"endMinute":2,"weekdays":[1],"isEnabled":true})";
    const struct {
        std::string json;
        std::string mentions;
    } cases[] = {
        {"not json", "not valid JSON"},
        {"[1,2]", "not a JSON object"},
        {R"({"schedules":{}})", "\"schedules\""},
        {R"({"schedules":[)" + schedule + R"(,{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F"}]})", "\"schedules\"[1]"},
        {R"({"meetingAppProfiles":[{"id":"x","appBundleID":"a","appDisplayName":"A","isEnabled":true}]})",
         "\"meetingAppProfiles\"[0]"},
        {R"({"lockTriggerEnabled":"yes"})", "lockTriggerEnabled"},
        {R"({"autoReturnTolerance":-1})", "autoReturnTolerance"},
        {R"({"autoReturnTolerance":"0.5"})", "autoReturnTolerance"},
        {R"({"hotkeys":{"toggleAway":{"keyCode":0}}})", "\"hotkeys\".toggleAway"},
        {R"({"hotkeys":[]})", "\"hotkeys\""},
        {R"({"scheduleDismissedWindowID":"nope"})", "scheduleDismissedWindowID"},
    };
    for (const auto& test : cases) {
        try {
            decodeHostSettings(test.json);
            ADD_FAILURE() << "decoded: " << test.json;
        } catch (const DecodingError& error) {
            EXPECT_NE(std::string(error.what()).find(test.mentions), std::string::npos) << error.what();
        }
    }
}

class HostSettingsStoreTest : public ::testing::Test {
protected:
    fs::path file() const { return temp.path() / "config" / "com.pennaveld.quellon.json"; }
    TemporaryDirectory temp;
    HostSettingsStore store{file()};
};

TEST_F(HostSettingsStoreTest, UpdatesCreateTheFileAndKeepTheOtherDefaults)
{
    EXPECT_EQ(store.load(), HostSettings{}) << "no file yet: the defaults";
    fs::create_directories(file().parent_path());
    replaceFileAtomically(file(), R"({"QuellonCustomCameraName":"Desk"})");
    const HostSettings stored = store.update([](HostSettings& settings) { settings.lockTriggerEnabled = true; });
    EXPECT_TRUE(stored.lockTriggerEnabled);
    EXPECT_EQ(store.load(), stored);
    EXPECT_NE(readRegularFile(file()).value_or("").find("\"QuellonCustomCameraName\": \"Desk\""), std::string::npos);

    // A change that throws writes nothing.
    const std::string before = readRegularFile(file()).value_or("");
    EXPECT_THROW(store.update([](HostSettings& settings) {
        settings.lockTriggerEnabled = false;
        throw std::runtime_error("changed my mind");
    }),
                 std::runtime_error);
    EXPECT_EQ(readRegularFile(file()), before);
}

TEST_F(HostSettingsStoreTest, ACorruptFileIsReportedCopiedAndNeverWrittenOver)
{
    fs::create_directories(file().parent_path());
    const std::string handEdited = R"({"schedulesEnabled": true, "schedules": [{"name": "Lunch"}], "lockTriggerEnabled": true})";
    replaceFileAtomically(file(), handEdited);

    EXPECT_THROW(store.load(), HostSettingsError);
    EXPECT_THROW(store.update([](HostSettings& settings) { settings.profilesEnabled = false; }), HostSettingsError);
    EXPECT_EQ(readRegularFile(file()), handEdited) << "a failed update leaves the file alone";

    CapturingLogSink log;
    const auto loaded = store.loadAtStartup(log);
    EXPECT_FALSE(loaded.readable);
    EXPECT_EQ(loaded.settings, HostSettings{}) << "the host runs on the defaults meanwhile";
    ASSERT_TRUE(loaded.copy);
    EXPECT_EQ(readRegularFile(*loaded.copy), handEdited);
    EXPECT_EQ(loaded.copy->parent_path(), file().parent_path());
    EXPECT_EQ(readRegularFile(file()), handEdited);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, LogLevel::error);
    for (const std::string& part : {file().string(), std::string("\"schedules\"[0]"), loaded.copy->string()})
        EXPECT_NE(lines[0].message.find(part), std::string::npos) << lines[0].message;

    // A readable file loads without a copy or a report.
    fs::remove(file());
    CapturingLogSink quiet;
    EXPECT_TRUE(store.loadAtStartup(quiet).readable);
    EXPECT_TRUE(quiet.lines().empty());
}

TEST_F(HostSettingsStoreTest, ANonRegularFileIsAnErrorNotAHang)
{
    fs::create_directories(file());
    EXPECT_THROW(store.load(), HostSettingsError);
}

} // namespace
} // namespace quellon::host
