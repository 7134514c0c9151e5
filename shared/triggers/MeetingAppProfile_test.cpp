#include "triggers/MeetingAppProfile.h"

#include "state/JSONCoding.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace quellon {
namespace {

using Json = nlohmann::json;

const UUID kID = *UUID::fromString("0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d");

TEST(MeetingAppProfileTest, EncodesUpperCaseIDAndOmitsAnAbsentLoop)
{
    const std::pair<MeetingAppProfile, const char*> cases[] = {
        {{kID, "us.zoom.xos", "Zoom", "zoom-loop.mov", true},
         R"({"appBundleID":"us.zoom.xos","appDisplayName":"Zoom","id":"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D",)"
         R"("isEnabled":true,"preferredLoopFilename":"zoom-loop.mov"})"},
        {{kID, "com.microsoft.teams2", "Microsoft Teams", std::nullopt, false},
         R"({"appBundleID":"com.microsoft.teams2","appDisplayName":"Microsoft Teams",)"
         R"("id":"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D","isEnabled":false})"},
    };
    for (const auto& [profile, json] : cases) {
        EXPECT_EQ(encodeJSON(profile, JSONStyle::compact), json);
        EXPECT_EQ(decodeMeetingAppProfile(encodeJSON(profile, JSONStyle::pretty)), profile);
    }
    EXPECT_EQ(decodeMeetingAppProfile(R"({"appBundleID":"a","appDisplayName":"b","id":"0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d",)"
                                      R"("isEnabled":true,"preferredLoopFilename":null,"color":"blue"})"),
              (MeetingAppProfile{kID, "a", "b", std::nullopt, true}));
}

TEST(MeetingAppProfileTest, DecodingFailsWholeOnAMissingKeyOrWrongType)
{
    const Json valid = Json::parse(encodeJSON(MeetingAppProfile{kID, "us.zoom.xos", "Zoom", "zoom-loop.mov", true}, JSONStyle::compact));
    ASSERT_NO_THROW(decodeMeetingAppProfile(valid.dump()));
    // A key paired with nothing is removed; otherwise it is given the wrong value.
    const std::pair<const char*, std::optional<Json>> cases[] = {
        {"id", std::nullopt}, {"appBundleID", std::nullopt}, {"appDisplayName", std::nullopt}, {"isEnabled", std::nullopt},
        {"id", "0A1B2C3D"}, {"id", 7}, {"appBundleID", Json::array({"us.zoom.xos"})}, {"appDisplayName", nullptr},
        {"preferredLoopFilename", 3}, {"isEnabled", "yes"},
    };
    for (const auto& [key, value] : cases) {
        Json changed = valid;
        value ? void(changed[key] = *value) : void(changed.erase(key));
        EXPECT_THROW(decodeMeetingAppProfile(changed.dump()), DecodingError) << key << " " << (value ? value->dump() : "absent");
    }
}

} // namespace
} // namespace quellon
