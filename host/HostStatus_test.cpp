// The host's status as it crosses the bus, and as people read it.

#include "host/HostStatus.h"
#include "host/HostStatusText.h"
#include "state/JSONCoding.h"

#include <gtest/gtest.h>

namespace quellon::host {
namespace {

HostStatus fullStatus()
{
    HostStatus status;
    status.mode = QuellonMode::away;
    status.modeCause = "schedule Lunch \u2615";
    status.activeLoop = "loop-1.mov";
    status.loopFrames = 240;
    status.loopBytes = 884736000;
    status.rotationClips = 3;
    status.rotationFrameBudget = 720;
    status.loopError = "unreadable";
    status.physicalCamera = "/dev/video0";
    status.physicalCameraAvailable = false;
    status.physicalCameraError = "busy";
    status.cameraConnected = true;
    status.appStreaming = true;
    status.autoReturn = true;
    status.hasLoops = true;
    status.recording = true;
    status.recordingsFinished = 2;
    status.lastRecording = "loop-2.mov";
    status.lastRecordingActivated = true;
    status.refusals = 3;
    status.lastRefusal = "hotkey toggleAway: there is no loop to play";
    status.stateRevision = 9007199254740993; // beyond a double's exact integers
    return status;
}

TEST(HostStatusJSON, RoundTripsEveryField)
{
    HostStatus bare;
    bare.mode = QuellonMode::error;
    for (const HostStatus& status : {HostStatus{}, bare, fullStatus()})
        EXPECT_EQ(decodeHostStatus(encodeJSON(status)), status) << encodeJSON(status);
}

TEST(HostStatusJSON, LeavesAbsentOptionalsOut)
{
    const std::string json = encodeJSON(HostStatus{});
    for (const char* key : {"\"activeLoop\"", "\"loopError\"", "\"physicalCameraError\"", "\"lastRecording\"", "\"lastRefusal\""})
        EXPECT_EQ(json.find(key), std::string::npos) << key;
    EXPECT_NE(json.find("\"mode\":\"standby\""), std::string::npos) << json;
}

TEST(HostStatusJSON, RejectsBrokenRecords)
{
    auto with = [](const char* key, JSONCoding::Json value) {
        auto object = JSONCoding::Json::parse(encodeJSON(fullStatus()));
        if (value.is_discarded())
            object.erase(key);
        else
            object[key] = value;
        return object.dump();
    };
    const JSONCoding::Json removed(JSONCoding::Json::value_t::discarded);
    const struct {
        std::string json;
        std::string reason;
    } cases[] = {
        {"", "not valid JSON"},
        {"[1]", "not a JSON object"},
        {with("mode", "Away"), "\"mode\" has no case \"Away\""},
        {with("mode", removed), "\"mode\" is missing"},
        {with("recording", removed), "\"recording\" is missing"},
        {with("appStreaming", "yes"), "\"appStreaming\" is not a boolean"},
        {with("loopFrames", 2.5), "\"loopFrames\" is not a 64-bit integer"},
        {with("loopBytes", -1), "\"loopBytes\" is negative"},
        {with("activeLoop", 7), "\"activeLoop\" is not a string"},
        {with("recordingsFinished", -3), "\"recordingsFinished\" is negative"},
    };
    for (const auto& [json, reason] : cases) {
        try {
            decodeHostStatus(json);
            ADD_FAILURE() << "decoded: " << json;
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.what(), reason) << json;
        }
    }
}

TEST(HostStatusJSON, IgnoresUnknownKeysAndNullOptionals)
{
    auto object = JSONCoding::Json::parse(encodeJSON(fullStatus()));
    object["future"] = {1, 2};
    object["loopError"] = nullptr;
    HostStatus expected = fullStatus();
    expected.loopError.reset();
    EXPECT_EQ(decodeHostStatus(object.dump()), expected);
}

TEST(HostStatusText, FormatsBytes)
{
    const struct {
        std::int64_t bytes;
        const char* text;
    } cases[] = {{0, "0 B"}, {1023, "1023 B"}, {1024, "1.0 KiB"}, {1536, "1.5 KiB"}, {884736000, "843.8 MiB"},
                 {5LL << 30, "5.0 GiB"}, {3LL << 50, "3072.0 TiB"}};
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(formatBytes(bytes), text) << bytes;
}

TEST(HostStatusText, DescribesWhatMatters)
{
    HostStatus loaded = fullStatus();
    loaded.loopError.reset();
    loaded.physicalCameraError.reset();
    loaded.physicalCameraAvailable = true;
    loaded.recording = false;
    EXPECT_EQ(describeHostStatus(loaded), (std::vector<std::string>{
                                              "mode: away (schedule Lunch \u2615)",
                                              "loop: loop-1.mov (240 frames, 843.8 MiB in memory), rotating 3 clips",
                                              "physical camera: /dev/video0 (delivering frames)",
                                              "virtual camera: connected",
                                              "app streaming: yes",
                                              "auto return: on",
                                          }));

    const auto failing = describeHostStatus(fullStatus());
    EXPECT_EQ(failing[1], "loop: loop-1.mov (not loaded: unreadable), rotating 3 clips");
    EXPECT_EQ(failing[2], "physical camera: /dev/video0 (unavailable: busy)");
    EXPECT_EQ(failing.back(), "recording a new loop");

    const auto idle = describeHostStatus(HostStatus{});
    EXPECT_EQ(idle[0], "mode: standby");
    EXPECT_EQ(idle[1], "loop: none chosen");
    EXPECT_EQ(idle[2], "physical camera: none (closed)");

    // Names come from files and devices: a newline or an override in one must not forge or
    // reorder the lines a terminal shows.
    HostStatus hostile = fullStatus();
    hostile.activeLoop = "Evil\nmode: live\u202e.mov";
    hostile.physicalCamera = "Cam\r\x1b[2J";
    const auto shown = describeHostStatus(hostile);
    EXPECT_EQ(shown[1], "loop: Evil\\nmode: live<U+202E>.mov (not loaded: unreadable), rotating 3 clips");
    EXPECT_EQ(shown[2], "physical camera: Cam\\r\\e[2J (unavailable: busy)");
}

} // namespace
} // namespace quellon::host
