#include "state/ClipMetadata.h"
#include "state/JSONCoding.h"
#include "state/QuellonState.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <functional>
#include <nlohmann/json.hpp>

namespace quellon {
namespace {

using Json = nlohmann::json;
using namespace std::chrono;

Json requiredOnly()
{
    return Json{{"mode", "away"},         {"loopMode", "forward"}, {"targetFPS", 24},
                {"targetWidth", 1920},    {"targetHeight", 1080},  {"revision", 7},
                {"updatedAt", "2025-12-06T05:46:40Z"}};
}

TEST(Modes, RawValuesDisplayNamesAndOrder)
{
    std::vector<std::pair<std::string, std::string>> modes, loopModes;
    for (auto mode : QuellonModes::allCases)
        modes.emplace_back(rawValue(mode), displayName(mode));
    for (auto mode : LoopModes::allCases)
        loopModes.emplace_back(rawValue(mode), displayName(mode));
    EXPECT_EQ(modes, (decltype(modes){{"live", "Live"}, {"away", "Away"}, {"standby", "Standby"}, {"error", "Error"}}));
    EXPECT_EQ(loopModes, (decltype(loopModes){{"pingpong", "Ping-Pong"}, {"forward", "Forward Loop"}, {"freeze", "Freeze Frame"}, {"natural", "Natural"}}));

    for (auto mode : QuellonModes::allCases)
        EXPECT_EQ(quellonModeFromRawValue(rawValue(mode)), mode);
    for (auto text : {"Live", "LIVE", " live", "live ", "", "paused"})
        EXPECT_FALSE(quellonModeFromRawValue(text)) << text;
    for (auto mode : LoopModes::allCases)
        EXPECT_EQ(loopModeFromRawValue(rawValue(mode)), mode);
    EXPECT_FALSE(loopModeFromRawValue("ping-pong"));
    EXPECT_FALSE(loopModeFromRawValue("Natural"));
}

TEST(QuellonStateJSON, RequiredKeysAloneGiveTheDefaultsForTheRest)
{
    QuellonState state = decodeQuellonState(requiredOnly().dump());
    QuellonState expected;
    expected.mode = QuellonMode::away;
    expected.loopMode = LoopMode::forward;
    expected.targetFPS = 24;
    expected.targetWidth = 1920;
    expected.targetHeight = 1080;
    expected.revision = 7;
    expected.updatedAt = Date(seconds(1765000000));
    // A record without the effects was written when they were all off by default.
    expected.loopJitter = false;
    expected.aliveMotion = false;
    EXPECT_EQ(state, expected);
    EXPECT_EQ(state.resolutionString(), "1920x1080");
}

struct DecodingCase {
    const char* name;
    std::function<void(Json&)> change;
    // Empty when the record must fail to decode; otherwise the check on the decoded record.
    std::function<bool(const QuellonState&)> check;
};

TEST(QuellonStateJSON, DecodingRules)
{
    const DecodingCase cases[] = {
        // Optional keys: missing or null give the default, a present value is kept.
        {"randomizeLoopStart false kept", [](Json& j) { j["randomizeLoopStart"] = false; }, [](const QuellonState& s) { return !s.randomizeLoopStart; }},
        {"randomizeLoopStart null is true", [](Json& j) { j["randomizeLoopStart"] = nullptr; }, [](const QuellonState& s) { return s.randomizeLoopStart; }},
        {"null camera is absent", [](Json& j) { j["selectedCameraID"] = nullptr; }, [](const QuellonState& s) { return !s.selectedCameraID; }},
        {"clip kept", [](Json& j) { j["activeClipFilename"] = "a.mov"; }, [](const QuellonState& s) { return s.activeClipFilename == "a.mov"; }},
        {"variety list kept", [](Json& j) { j["varietyClipFilenames"] = {"a", "b"}; }, [](const QuellonState& s) { return s.varietyClipFilenames == std::vector<std::string>{"a", "b"}; }},
        // A stored record keeps its effects, whatever a new record's defaults are.
        {"effects all off kept", [](Json& j) { j["loopJitter"] = j["simulatedLag"] = j["aliveMotion"] = false; },
         [](const QuellonState& s) { return !s.loopJitter && !s.simulatedLag && !s.aliveMotion; }},
        {"lag alone kept", [](Json& j) { j["loopJitter"] = j["aliveMotion"] = false; j["simulatedLag"] = true; },
         [](const QuellonState& s) { return !s.loopJitter && s.simulatedLag && !s.aliveMotion; }},
        // A record that leaves them out was written when every effect was off by default.
        {"effects null are off", [](Json& j) { j["loopJitter"] = j["simulatedLag"] = j["aliveMotion"] = nullptr; },
         [](const QuellonState& s) { return !s.loopJitter && !s.simulatedLag && !s.aliveMotion; }},
        {"crossfade null is 0", [](Json& j) { j["loopCrossfadeFrames"] = nullptr; }, [](const QuellonState& s) { return s.loopCrossfadeFrames == 0; }},
        {"integral float is an integer", [](Json& j) { j["targetFPS"] = 30.0; }, [](const QuellonState& s) { return s.targetFPS == 30; }},
        {"unknown key ignored", [](Json& j) { j["futureFeature"] = {{"x", 1}}; }, [](const QuellonState& s) { return s.mode == QuellonMode::away; }},
        // Required keys: missing, null, wrong type or unknown raw value fail the whole record.
        {"no revision", [](Json& j) { j.erase("revision"); }, {}},
        {"no updatedAt", [](Json& j) { j.erase("updatedAt"); }, {}},
        {"null mode", [](Json& j) { j["mode"] = nullptr; }, {}},
        {"mode not a raw value", [](Json& j) { j["mode"] = "paused"; }, {}},
        {"mode capitalised", [](Json& j) { j["mode"] = "Live"; }, {}},
        {"loop mode unknown", [](Json& j) { j["loopMode"] = "reverse"; }, {}},
        {"fps as text", [](Json& j) { j["targetFPS"] = "30"; }, {}},
        {"fps fractional", [](Json& j) { j["targetFPS"] = 29.97; }, {}},
        {"width beyond 64 bits", [](Json& j) { j["targetWidth"] = 18446744073709551615ull; }, {}},
        {"date with fraction", [](Json& j) { j["updatedAt"] = "2025-12-06T05:46:40.5Z"; }, {}},
        {"date as number", [](Json& j) { j["updatedAt"] = 1765000000; }, {}},
        // Optional keys of the wrong type fail too.
        {"loopJitter as text", [](Json& j) { j["loopJitter"] = "true"; }, {}},
        {"loopJitter as number", [](Json& j) { j["loopJitter"] = 1; }, {}},
        {"variety list with a number", [](Json& j) { j["varietyClipFilenames"] = {"a", 2}; }, {}},
        {"camera as number", [](Json& j) { j["selectedCameraID"] = 3; }, {}},
    };
    for (const DecodingCase& c : cases) {
        Json json = requiredOnly();
        c.change(json);
        if (c.check) {
            QuellonState state;
            ASSERT_NO_THROW(state = decodeQuellonState(json.dump())) << c.name;
            EXPECT_TRUE(c.check(state)) << c.name;
        } else {
            EXPECT_THROW(decodeQuellonState(json.dump()), DecodingError) << c.name;
        }
    }
}

TEST(QuellonStateJSON, RejectsTextThatIsNoObject)
{
    for (auto text : {"", "[]", "null", "\"live\"", "{", "{}", "{\"mode\":\"live\"} trailing"})
        EXPECT_THROW(decodeQuellonState(text), DecodingError) << text;
}

TEST(QuellonStateJSON, EncodesTheDefaultRecordWithThirteenSortedKeys)
{
    const std::string text = encodeJSON(QuellonState::defaultState(), JSONStyle::compact);
    EXPECT_EQ(text,
              "{\"aliveMotion\":true,\"loopCrossfadeFrames\":0,\"loopJitter\":true,\"loopMode\":\"natural\","
              "\"mode\":\"live\",\"randomizeLoopStart\":true,\"revision\":0,\"simulatedLag\":false,\"targetFPS\":30,"
              "\"targetHeight\":720,\"targetWidth\":1280,\"updatedAt\":\"1970-01-01T00:00:00Z\",\"varietyClipFilenames\":[]}");
    EXPECT_EQ(QuellonState::defaultState().resolutionString(), "1280x720");
    EXPECT_EQ(decodeQuellonState(text), QuellonState::defaultState());
    // A new user's Away: the walk with held frames and drifting light, no stalls.
    const QuellonState fresh;
    EXPECT_EQ(fresh.loopMode, LoopMode::natural);
    EXPECT_TRUE(fresh.loopJitter && fresh.aliveMotion && !fresh.simulatedLag);
}

TEST(QuellonStateJSON, RoundTripKeepsWholeSecondsAndDropsFractions)
{
    QuellonState state;
    state.selectedCameraID = "cam-1";
    state.activeClipFilename = "loop-1.mov";
    state.varietyClipFilenames = {"a.mov", "b.mov"};
    state.loopJitter = state.simulatedLag = state.aliveMotion = true;
    state.randomizeLoopStart = false;
    state.updatedAt = Date(seconds(1765000000));
    EXPECT_EQ(decodeQuellonState(encodeJSON(state, JSONStyle::pretty)), state);

    state.updatedAt += milliseconds(250);
    QuellonState readBack = decodeQuellonState(encodeJSON(state, JSONStyle::pretty));
    EXPECT_NE(readBack, state);
    EXPECT_EQ(readBack.updatedAt, Date(seconds(1765000000)));
}

TEST(QuellonStateJSON, RefusesToEncodeWhatCouldNotBeReadBack)
{
    QuellonState state;
    state.activeClipFilename = std::string("bad\xff");
    EXPECT_THROW(encodeJSON(state, JSONStyle::compact), EncodingError);
}

TEST(ClipMetadataJSON, OnlyTheDisplayNameIsOptional)
{
    ClipMetadata metadata{"loop", 4.5, Date(seconds(1765000000)), "1280x720", 30, "pingpong", "loop-1.mov", std::nullopt};
    const std::string text = encodeJSON(metadata, JSONStyle::compact);
    EXPECT_EQ(text.find("displayName"), std::string::npos);
    EXPECT_EQ(decodeClipMetadata(text), metadata);

    metadata.displayName = "Morning";
    EXPECT_EQ(decodeClipMetadata(encodeJSON(metadata, JSONStyle::compact)), metadata);

    Json json = Json::parse(text);
    json["loopMode"] = "not-a-mode"; // host vocabulary: stored unchanged
    EXPECT_EQ(decodeClipMetadata(json.dump()).loopMode, "not-a-mode");
    for (auto key : {"clipType", "duration", "createdAt", "resolution", "fps", "loopMode", "filename"}) {
        Json missing = Json::parse(text);
        missing.erase(key);
        EXPECT_THROW(decodeClipMetadata(missing.dump()), DecodingError) << key;
    }
    json["duration"] = "4.5";
    EXPECT_THROW(decodeClipMetadata(json.dump()), DecodingError);

    // The quality cache round-trips; a sidecar without one (every older one) or with one that
    // cannot be read still loads, without it.
    metadata.qualityCache = ClipQualityCache{123456, 1765000000123456789, 0.5, 0.01, 0.2, 4.5};
    const std::string cached = encodeJSON(metadata, JSONStyle::compact);
    EXPECT_EQ(decodeClipMetadata(cached), metadata);
    Json broken = Json::parse(cached);
    broken["qualityCache"].erase("motion");
    metadata.qualityCache.reset();
    EXPECT_EQ(decodeClipMetadata(broken.dump()), metadata);
    broken["qualityCache"] = "fast";
    EXPECT_EQ(decodeClipMetadata(broken.dump()), metadata);
    metadata.qualityCache = ClipQualityCache{1, 2, std::nan(""), 0, 0, 0};
    EXPECT_THROW(encodeJSON(metadata, JSONStyle::compact), EncodingError);
}

TEST(ClipMetadataJSON, RefusesToEncodeANonFiniteDuration)
{
    ClipMetadata metadata{"loop", 0, Date(seconds(1765000000)), "1280x720", 30, "pingpong", "loop-1.mov", std::nullopt};
    for (double duration : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity()}) {
        metadata.duration = duration;
        EXPECT_THROW(encodeJSON(metadata, JSONStyle::pretty), EncodingError) << duration;
    }
}

// Dates the in-memory type cannot hold are refused on reading, in every record, instead of
// coming back as some other year.
TEST(RecordDates, YearsOutsideWhatADateHoldsAreDecodingErrors)
{
    const std::string clip = encodeJSON(
        ClipMetadata{"loop", 4.5, Date(seconds(1765000000)), "1280x720", 30, "pingpong", "loop-1.mov", std::nullopt},
        JSONStyle::compact);
    const std::string state = encodeJSON(QuellonState::defaultState(), JSONStyle::compact);
    for (auto text : {"2300-01-01T00:00:00Z", "1600-01-01T00:00:00Z", "5512-01-01T00:00:10Z"}) {
        Json clipJSON = Json::parse(clip);
        clipJSON["createdAt"] = text;
        EXPECT_THROW(decodeClipMetadata(clipJSON.dump()), DecodingError) << text;
        Json stateJSON = Json::parse(state);
        stateJSON["updatedAt"] = text;
        EXPECT_THROW(decodeQuellonState(stateJSON.dump()), DecodingError) << text;
    }
}

} // namespace
} // namespace quellon
