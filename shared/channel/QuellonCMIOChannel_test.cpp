#include "channel/CameraInfo.h"
#include "channel/QuellonCMIOChannel.h"
#include "state/JSONCoding.h"
#include "state/QuellonState.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace quellon {
namespace {

using namespace QuellonCMIOChannel;
using namespace std::chrono_literals;

TEST(QuellonCMIOChannelTest, SelectorsAreBigEndianCodesMatchingThePropertyNames)
{
    struct Channel { std::uint32_t selector; const char* code; std::uint32_t packed; const char* rawValue; };
    const Channel channels[] = {
        {stateSelector, "qlst", 0x716C7374u, statePropertyRawValue}, {frameSelector, "qlfr", 0x716C6672u, framePropertyRawValue},
        {nameSelector, "qlnm", 0x716C6E6Du, namePropertyRawValue}, {kCameraInfoSelector, "qlin", 0x716C696Eu, nullptr},
    };
    for (const auto& channel : channels) {
        SCOPED_TRACE(channel.code);
        EXPECT_EQ(channel.selector, channel.packed);
        EXPECT_EQ(fourCharCodeText(channel.selector), channel.code);
        if (channel.rawValue) {
            EXPECT_EQ(std::string(channel.rawValue), std::string("4cc_") + channel.code + "_glob_0000");
        }
    }
    // Hostile selectors come from the wire and end up in log lines.
    EXPECT_EQ(fourCharCodeText(0x00FF0A41u), "???A");
}

QuellonState sampleState()
{
    QuellonState state;
    state.mode = QuellonMode::error;
    state.selectedCameraID = "cam-1";
    state.loopMode = LoopMode::freeze;
    state.targetFPS = 24;
    state.targetWidth = 1920;
    state.targetHeight = 1080;
    state.varietyClipFilenames = {"a.mov", "b.mov"};
    state.revision = 42;
    state.updatedAt = std::chrono::sys_days{std::chrono::year{2026} / 3 / 14} + 15h + 9min + 26s;
    return state;
}

TEST(QuellonCMIOChannelTest, StateIsCompactJSONWithISODatesAndRoundTripsToTheSecond)
{
    QuellonState state = sampleState();
    const auto bytes = encodeState(state);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(bytes->find_first_of("\n "), std::string::npos);
    const auto json = nlohmann::json::parse(*bytes);
    EXPECT_EQ(json.at("updatedAt"), "2026-03-14T15:09:26Z");
    EXPECT_EQ(json.at("mode"), "error");
    EXPECT_FALSE(json.contains("activeClipFilename"));
    EXPECT_EQ(decodeState(*bytes), state);

    state.updatedAt += 250ms;
    const auto decoded = decodeState(encodeState(state).value());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->updatedAt, std::chrono::floor<std::chrono::seconds>(state.updatedAt));
    EXPECT_NE(*decoded, state);
}

TEST(QuellonCMIOChannelTest, TextThatIsNotUTF8AndUndecodableBytesGiveNothing)
{
    QuellonState badClip = sampleState(), badVariety = sampleState();
    badClip.activeClipFilename = std::string("clip\xff.mov");
    badVariety.varietyClipFilenames.push_back("\xC3");
    EXPECT_FALSE(encodeState(badClip));
    EXPECT_FALSE(encodeState(badVariety));

    const std::string good = encodeState(sampleState()).value();
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string text = good;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    const std::string cases[] = {
        "", "not json", "[]", good.substr(0, good.size() / 2),
        replaced("\"revision\":42", "\"revision\":\"42\""), replaced("\"revision\":42,", ""),
        replaced("2026-03-14T15:09:26Z", "2026-03-14T15:09:26.5Z"), replaced("2026-03-14T15:09:26Z", "1773500966"),
        replaced("\"error\"", "\"Error\""), replaced("cam-1", "cam\xff"),
    };
    for (const auto& bytes : cases)
        EXPECT_FALSE(decodeState(bytes)) << bytes;
    EXPECT_TRUE(decodeState(replaced("{", "{\"futureKey\":[1,2],")));
}

using NameCase = std::pair<std::string, std::optional<std::string>>;

std::string repeated(std::string_view piece, int count)
{
    std::string text;
    while (count-- > 0)
        text += piece;
    return text;
}

// Cases on which both directions agree: valid UTF-8 in, trimmed bytes out.
TEST(QuellonCMIOChannelTest, NamesAreTrimmedAndLimitedTo64BytesEitherWay)
{
    const std::string emoji = "\xF0\x9F\x98\x80"; // U+1F600, 4 bytes
    const std::string euro = "\xE2\x82\xAC";      // U+20AC, 3 bytes
    const std::string x64(64, 'x');
    const NameCase cases[] = {
        {"Studio Cam", "Studio Cam"}, {"  Studio Cam \t\r\n", "Studio Cam"}, {"Inner  spaces stay", "Inner  spaces stay"},
        {"\xC2\xA0\xE3\x80\x80" "Cam\xE2\x80\xA8", "Cam"}, // no-break, ideographic, line separator
        {"", std::nullopt}, {" \t\n ", std::nullopt},
        {x64, x64}, {x64 + "x", std::nullopt}, {"   " + x64 + "\n\n", x64},
        {repeated(emoji, 16), repeated(emoji, 16)}, {repeated(emoji, 16) + "a", std::nullopt},
        {repeated(euro, 21) + "\xC3\xA9", std::nullopt}, // 63 + 2 bytes
        {repeated(euro, 21) + "a", repeated(euro, 21) + "a"},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(encodeName(input), expected) << input;
        EXPECT_EQ(decodeName(input), expected) << input;
    }
}

TEST(QuellonCMIOChannelTest, DecodeNameReplacesInvalidUTF8BeforeMeasuring)
{
    const std::string fffd = "\xEF\xBF\xBD";
    const NameCase cases[] = {
        {"\xFF", fffd}, {" Cam\xFF ", "Cam" + fffd}, {"Caf\xC3", "Caf" + fffd}, // the last a truncated sequence
        {"\xED\xA0\x80", fffd + fffd + fffd},                           // encoded surrogate
        {std::string(61, 'x') + "\xFF", std::string(61, 'x') + fffd}, // 64 bytes once replaced
        {std::string(62, 'x') + "\xFF", std::nullopt},                  // 65 bytes once replaced
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(decodeName(input), expected) << input;
        EXPECT_FALSE(encodeName(input)) << input; // a host never sends bytes that are not UTF-8
    }
}

TEST(CameraInfoTest, RoundTripsAsCompactJSONAndFailsWholeOnBadValues)
{
    const CameraInfo info{"Quellon Camera", "Quellon-Camera-Device-1F4B6A20", "6F1C0C1E-8A59-4C53-9A44-3B8C1E2A7F10",
                          "0B7C3D2E-1111-4C53-9A44-3B8C1E2A7F10", 24, "y4m:/tmp/camera.y4m"};
    const std::string json = encodeJSON(info);
    EXPECT_EQ(json.find('\n'), std::string::npos);
    EXPECT_EQ(decodeCameraInfo(json), info);
    const CameraInfo pending{info.name, info.legacyID, info.deviceUUID, info.streamUUID, info.fps, info.sink, "Studio",
                             "when reloaded"};
    EXPECT_EQ(decodeCameraInfo(encodeJSON(pending)), pending);
    EXPECT_EQ(decodeCameraInfo(R"({"name":"A","legacyID":"L","deviceUUID":"D","streamUUID":"S","fps":5,"sink":"v4l2","extra":1})"),
              (CameraInfo{"A", "L", "D", "S", 5, "v4l2"}));
    for (const char* bad : {R"({"name":"A","legacyID":"L","deviceUUID":"D","streamUUID":"S","fps":30})",
                            R"({"name":"A","legacyID":"L","deviceUUID":"D","streamUUID":"S","fps":"30","sink":"y4m"})",
                            R"({"name":null,"legacyID":"L","deviceUUID":"D","streamUUID":"S","fps":30,"sink":"y4m"})", R"(["name"])", ""})
        EXPECT_THROW(decodeCameraInfo(bad), DecodingError) << bad;
}

} // namespace
} // namespace quellon
