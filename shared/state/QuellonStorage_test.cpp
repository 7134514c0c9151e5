#include "platform/Environment.h"
#include "platform/FileIO.h"
#include "platform/FuzzFindings.h"
#include "platform/PlatformDirectories.h"
#include "platform/TemporaryDirectory.h"
#include "state/ClipMetadata.h"
#include "state/QuellonState.h"
#include "state/QuellonStorage.h"

#include <gtest/gtest.h>
#include <fstream>
#include <sys/stat.h>
#include <thread>

namespace quellon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

/// A container in a temporary directory: the App Group directory exists, application
/// support is a second directory.
class StorageTest : public ::testing::Test {
protected:
    StorageTest()
    {
        directories.appGroup = temp.path() / "group";
        directories.applicationSupport = {temp.path() / "support"};
        fs::create_directories(*directories.appGroup);
    }

    fs::path root() const { return *directories.appGroup; }

    TemporaryDirectory temp;
    MapEnvironment environment;
    FixedDirectories directories;
    ContainerPlatform platform{environment, directories};
};

TEST_F(StorageTest, ContainerRuleHonoursOnlyTheExactOptOut)
{
    struct Case {
        std::optional<std::string> optOut;
        bool expectAppGroup;
    };
    for (const Case& c : {Case{std::nullopt, true}, Case{"1", false}, Case{"true", true}, Case{"0", true}, Case{" 1", true}}) {
        environment = MapEnvironment();
        if (c.optOut)
            environment.set("QUELLON_NO_APP_GROUP", *c.optOut);
        const fs::path expected = c.expectAppGroup ? root() : temp.path() / "support" / "Quellon";
        EXPECT_EQ(QuellonStorage::containerURL(platform), expected) << c.optOut.value_or("(unset)");
        if (!c.expectAppGroup) {
            EXPECT_TRUE(fs::is_directory(expected)) << "the fallback directory is created";
        }
    }
}

TEST_F(StorageTest, WithoutAnyDirectoryTheContainerIsUnavailable)
{
    directories.appGroup.reset();
    directories.applicationSupport.clear();
    EXPECT_FALSE(QuellonStorage::containerURL(platform));
    try {
        QuellonStorage::readState(platform);
        FAIL() << "readState must fail";
    } catch (const StorageError& error) {
        EXPECT_EQ(error.code(), StorageError::Code::containerUnavailable);
        EXPECT_STREQ(error.what(), "Shared App Group container is unavailable. Check that the App Group entitlement is "
                                   "configured identically on the app and the camera extension.");
    }
    EXPECT_THROW(QuellonStorage::writeState(QuellonState::defaultState(), platform), StorageError);
    EXPECT_THROW(QuellonStorage::clipsDirectory(platform), StorageError);
    EXPECT_THROW(QuellonStorage::standbyImageURL(platform), StorageError);
    EXPECT_FALSE(QuellonStorage::readMetadata("a.mov", platform));
    EXPECT_FALSE(QuellonStorage::readHeartbeat(platform));
    EXPECT_FALSE(QuellonStorage::isExtensionStreaming(3, system_clock::now(), platform));
    QuellonStorage::writeHeartbeat(system_clock::now(), platform); // does nothing, raises nothing
}

TEST_F(StorageTest, UnusableStateFilesReadAsTheDefault)
{
    const fs::path state = root() / "state.json";
    EXPECT_EQ(QuellonStorage::readState(platform), QuellonState::defaultState()) << "missing";
    for (const std::string& content : std::vector<std::string>{"", "{}", "{\"mode\":\"paused\"}", "garbage", std::string(kMaxSharedFileBytes + 1, ' ')}) {
        replaceFileAtomically(state, content);
        EXPECT_EQ(QuellonStorage::readState(platform), QuellonState::defaultState()) << content.substr(0, 20);
    }
    fs::remove(state);
    ASSERT_EQ(::mkfifo(state.c_str(), 0600), 0);
    EXPECT_EQ(QuellonStorage::readState(platform), QuellonState::defaultState()) << "a FIFO must not block the reader";
}

TEST_F(StorageTest, WrittenStateReadsBackWithSortedKeys)
{
    QuellonState state;
    state.mode = QuellonMode::away;
    state.revision = 12;
    state.activeClipFilename = "loop-1.mov";
    state.updatedAt = Date(seconds(1765000000));
    QuellonStorage::writeState(state, platform);
    EXPECT_EQ(QuellonStorage::readState(platform), state);

    auto text = readRegularFile(root() / "state.json");
    ASSERT_TRUE(text);
    std::vector<std::size_t> positions;
    for (auto key : {"activeClipFilename", "aliveMotion", "loopCrossfadeFrames", "loopJitter", "loopMode", "mode",
                     "randomizeLoopStart", "revision", "simulatedLag", "targetFPS", "targetHeight", "targetWidth",
                     "updatedAt", "varietyClipFilenames"})
        positions.push_back(text->find(std::string("\"") + key + "\""));
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
    EXPECT_EQ(std::count(positions.begin(), positions.end(), std::string::npos), 0);
}

TEST_F(StorageTest, ConcurrentStateWritersLeaveADecodableFile)
{
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            QuellonState state;
            state.varietyClipFilenames.assign(50 * (t + 1), "clip.mov");
            for (int i = 0; i < 50; ++i) {
                state.revision = t * 1000 + i;
                QuellonStorage::writeState(state, platform);
            }
        });
    }
    for (auto& writer : writers)
        writer.join();
    auto text = readRegularFile(root() / "state.json");
    ASSERT_TRUE(text);
    QuellonState last = decodeQuellonState(*text);
    const auto writer = last.revision / 1000;
    EXPECT_EQ(last.varietyClipFilenames.size(), static_cast<std::size_t>(50 * (writer + 1)));
}

TEST_F(StorageTest, ClipLocations)
{
    const fs::path clips = root() / "Clips";
    struct Case {
        const char* clip;
        const char* sidecar;
    };
    for (const Case& c : {Case{"loop-1.mov", "loop-1.json"}, Case{"loop", "loop.json"}, Case{"a.b.mov", "a.b.json"},
                          Case{"loop-1.json", "loop-1.json"}, Case{".hidden", ".hidden.json"}}) {
        EXPECT_EQ(QuellonStorage::metadataURL(c.clip, platform), clips / c.sidecar) << c.clip;
        EXPECT_EQ(QuellonStorage::clipURL(c.clip, platform), clips / c.clip);
    }
    for (auto bad : {"", ".", "..", "../state.json", "a/b.mov", "/etc/passwd"}) {
        EXPECT_THROW(QuellonStorage::clipURL(bad, platform), std::invalid_argument) << bad;
        EXPECT_FALSE(QuellonStorage::readMetadata(bad, platform)) << bad;
    }
}

TEST_F(StorageTest, MetadataRoundTripAndFailures)
{
    EXPECT_FALSE(QuellonStorage::readMetadata("loop-1.mov", platform));
    EXPECT_TRUE(fs::is_directory(root() / "Clips")) << "reading creates the clips directory";

    ClipMetadata metadata{"loop", 6.0, Date(seconds(1765000000)), "1280x720", 30, "pingpong", "other-name.mov", "Desk"};
    QuellonStorage::writeMetadata(metadata, "loop-1.mov", platform);
    EXPECT_TRUE(fs::exists(root() / "Clips" / "loop-1.json")) << "the location comes from the argument";
    EXPECT_EQ(QuellonStorage::readMetadata("loop-1.mov", platform), metadata);

    replaceFileAtomically(root() / "Clips" / "loop-1.json", "{\"clipType\":\"loop\"}");
    EXPECT_FALSE(QuellonStorage::readMetadata("loop-1.mov", platform));

    // "Clips" is a file: the directory cannot be made, and the platform's error reaches the writer.
    fs::remove_all(root() / "Clips");
    std::ofstream(root() / "Clips") << "x";
    EXPECT_THROW(QuellonStorage::writeMetadata(metadata, "loop-1.mov", platform), fs::filesystem_error);
    EXPECT_FALSE(QuellonStorage::readMetadata("loop-1.mov", platform));
}

TEST(HeartbeatText, ShortestRoundTripWithAFraction)
{
    struct Case {
        Date date;
        const char* text;
    };
    for (const Case& c : {Case{Date(seconds(1765000000)), "1765000000.0"},
                          Case{Date(seconds(1765000000) + milliseconds(250)), "1765000000.25"},
                          Case{Date(seconds(1765000000) + milliseconds(123)), "1765000000.123"},
                          Case{Date{}, "0.0"}, Case{Date(seconds(-5)), "-5.0"}}) {
        EXPECT_EQ(QuellonStorage::heartbeatText(c.date), c.text);
    }
    // Whatever the fraction, the text reads back to the same double.
    for (int ns : {1, 7, 999999, 123456789}) {
        Date date = Date(seconds(1765000000) + nanoseconds(ns));
        auto text = QuellonStorage::heartbeatText(date);
        ASSERT_TRUE(text);
        EXPECT_EQ(std::stod(*text), secondsSince1970(date)) << *text;
        EXPECT_EQ(text->find('e'), std::string::npos);
    }
}

TEST(HeartbeatText, ParsesTrimmedNumbersOnly)
{
    EXPECT_EQ(QuellonStorage::parseHeartbeat("1765000000.25\n"), Date(seconds(1765000000) + milliseconds(250)));
    EXPECT_EQ(QuellonStorage::parseHeartbeat(" \t1.765e9 \r\n"), Date(seconds(1765000000)));
    for (auto bad : {"", "\n", "abc", "1765000000.25x", "12 34", "\xff" "1", "nan", "inf", "1e400"})
        EXPECT_FALSE(QuellonStorage::parseHeartbeat(bad)) << bad;
}

TEST_F(StorageTest, HeartbeatFileAndTheStreamingWindow)
{
    const Date h = Date(seconds(1765000000));
    QuellonStorage::writeHeartbeat(h, platform);
    EXPECT_EQ(readRegularFile(root() / "heartbeat"), "1765000000.0");
    EXPECT_EQ(QuellonStorage::readHeartbeat(platform), h);

    EXPECT_TRUE(QuellonStorage::isExtensionStreaming(3, h + seconds(3), platform)) << "the edge is inside";
    EXPECT_FALSE(QuellonStorage::isExtensionStreaming(3, h + milliseconds(3001), platform));
    EXPECT_TRUE(QuellonStorage::isExtensionStreaming(3, h - seconds(60), platform)) << "a future heartbeat counts";

    replaceFileAtomically(root() / "heartbeat", "letters");
    EXPECT_FALSE(QuellonStorage::isExtensionStreaming(3, h, platform));
    fs::remove(root() / "heartbeat");
    ASSERT_EQ(::mkfifo((root() / "heartbeat").c_str(), 0600), 0);
    EXPECT_FALSE(QuellonStorage::readHeartbeat(platform)) << "a FIFO must not block the reader";
}

TEST_F(StorageTest, HeartbeatsAtTheEndsOfTimeAreNotStreaming)
{
    QUELLON_LOAD_FUZZ_FINDING(ancient, "heartbeat-age-overflow");
    const Date now = Date(seconds(1765000000));
    // Near the ends of what a Date holds: the age in nanoseconds does not fit 64 bits.
    for (const std::string& text : {ancient, std::string("-9200000000"), std::string("9200000000")}) {
        replaceFileAtomically(root() / "heartbeat", text);
        ASSERT_TRUE(QuellonStorage::readHeartbeat(platform)) << text;
        EXPECT_EQ(QuellonStorage::isExtensionStreaming(3, now, platform), text[0] != '-')
            << text << ": only a future heartbeat counts as fresh";
    }
}

} // namespace
} // namespace quellon
