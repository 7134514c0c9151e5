#include "triggers/MeetingAppProfile.h"

#include "state/JSONCoding.h"

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>

namespace quellon {
namespace {

using Json = nlohmann::json;

const UUID kID = *UUID::fromString("0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d");

TEST(MeetingAppProfileTest, EncodesUpperCaseIDAndOmitsAnAbsentLoop)
{
    struct Case {
        MeetingAppProfile profile;
        const char* json;
    };
    const Case cases[] = {
        {{kID, "us.zoom.xos", "Zoom", "zoom-loop.mov", true},
         R"({"appBundleID":"us.zoom.xos","appDisplayName":"Zoom","id":"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D",)"
         R"("isEnabled":true,"preferredLoopFilename":"zoom-loop.mov"})"},
        {{kID, "com.microsoft.teams2", "Microsoft Teams", std::nullopt, false},
         R"({"appBundleID":"com.microsoft.teams2","appDisplayName":"Microsoft Teams",)"
         R"("id":"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D","isEnabled":false})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.profile.appDisplayName);
        EXPECT_EQ(encodeJSON(c.profile, JSONStyle::compact), c.json);
        EXPECT_EQ(decodeMeetingAppProfile(encodeJSON(c.profile, JSONStyle::pretty)), c.profile);
    }
}

TEST(MeetingAppProfileTest, DecodingAcceptsNullLoopAndUnknownKeys)
{
    MeetingAppProfile profile = decodeMeetingAppProfile(
        R"({"appBundleID":"a","appDisplayName":"b","id":"0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d",)"
        R"("isEnabled":true,"preferredLoopFilename":null,"color":"blue"})");
    EXPECT_EQ(profile, (MeetingAppProfile{kID, "a", "b", std::nullopt, true}));
}

TEST(MeetingAppProfileTest, DecodingFailsWholeOnAMissingKeyOrWrongType)
{
    const Json valid = Json::parse(
        R"({"appBundleID":"us.zoom.xos","appDisplayName":"Zoom","id":"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D",)"
        R"("isEnabled":true,"preferredLoopFilename":"zoom-loop.mov"})");
    ASSERT_NO_THROW(decodeMeetingAppProfile(valid.dump()));

    struct Case {
        const char* what;
        std::function<void(Json&)> change;
    };
    const Case cases[] = {
        {"no id", [](Json& j) { j.erase("id"); }},
        {"no appBundleID", [](Json& j) { j.erase("appBundleID"); }},
        {"no appDisplayName", [](Json& j) { j.erase("appDisplayName"); }},
        {"no isEnabled", [](Json& j) { j.erase("isEnabled"); }},
        {"id not a UUID", [](Json& j) { j["id"] = "0A1B2C3D"; }},
        {"id as number", [](Json& j) { j["id"] = 7; }},
        {"bundle ID as array", [](Json& j) { j["appBundleID"] = Json::array({"us.zoom.xos"}); }},
        {"display name null", [](Json& j) { j["appDisplayName"] = nullptr; }},
        {"loop as number", [](Json& j) { j["preferredLoopFilename"] = 3; }},
        {"isEnabled as text", [](Json& j) { j["isEnabled"] = "yes"; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Json changed = valid;
        c.change(changed);
        EXPECT_THROW(decodeMeetingAppProfile(changed.dump()), DecodingError);
    }
}

} // namespace
} // namespace quellon
