// A writer killed at any moment must leave "state.json" holding one whole record: the old one
// or the new one, never a mix and never nothing.

#include "platform/Environment.h"
#include "platform/FileIO.h"
#include "platform/PlatformDirectories.h"
#include "platform/TemporaryDirectory.h"
#include "state/QuellonState.h"
#include "state/QuellonStorage.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace quellon {
namespace {

TEST(StateCrashSafety, AKilledWriterLeavesTheOldOrTheNewRecord)
{
    TemporaryDirectory temp;
    MapEnvironment environment;
    FixedDirectories directories;
    directories.appGroup = temp.path();
    const ContainerPlatform platform{environment, directories};

    // Two records of different sizes, so a torn write could not pass for either.
    QuellonState small;
    small.revision = 1;
    QuellonState large;
    large.revision = 2;
    large.mode = QuellonMode::away;
    large.varietyClipFilenames.assign(2000, "a-long-variety-clip-name.mov");
    QuellonStorage::writeState(small, platform);

    // Kills spread over a few writes, however slow this machine's writes (and fsyncs) are now.
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i)
        QuellonStorage::writeState(i % 2 ? small : large, platform);
    const auto write = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started) / 3;
    std::mt19937 random(12345);
    // At most 0.1 s a kill, so a slow disk makes the test longer, not endless.
    std::uniform_int_distribution<std::int64_t> delayMicroseconds(0, std::clamp<std::int64_t>(4 * write.count(), 20000, 100000));
    constexpr int kKills = 300;
    int decodedLarge = 0;
    for (int kill = 0; kill < kKills; ++kill) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (unsigned i = 0;; ++i)
                QuellonStorage::writeState(i % 2 ? small : large, platform);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(random)));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);

        auto text = readRegularFile(temp.path() / "state.json");
        ASSERT_TRUE(text) << "kill " << kill << ": state.json is gone";
        QuellonState read;
        ASSERT_NO_THROW(read = decodeQuellonState(*text)) << "kill " << kill << ": torn file";
        ASSERT_TRUE(read == small || read == large) << "kill " << kill;
        decodedLarge += read == large;
    }
    // Both records were seen, so the kills did land in the middle of writing.
    EXPECT_GT(decodedLarge, 0);
    EXPECT_LT(decodedLarge, kKills);
}

} // namespace
} // namespace quellon
