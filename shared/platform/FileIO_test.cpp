#include "platform/FileIO.h"
#include "platform/TemporaryDirectory.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <fstream>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <vector>

namespace quellon {
namespace {

namespace fs = std::filesystem;

void writeText(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> entries(const fs::path& directory)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory))
        names.push_back(entry.path().filename().string());
    return names;
}

TEST(ReadRegularFile, ReadsOnlyRegularFilesWithinTheCap)
{
    TemporaryDirectory dir;
    const fs::path file = dir.path() / "file";
    writeText(file, "hello");
    EXPECT_EQ(readRegularFile(file), "hello");
    EXPECT_EQ(readRegularFile(file, 5), "hello");
    EXPECT_FALSE(readRegularFile(file, 4)) << "a file over the cap counts as unreadable";

    writeText(file, "");
    EXPECT_EQ(readRegularFile(file), "");

    EXPECT_FALSE(readRegularFile(dir.path() / "missing"));
    EXPECT_FALSE(readRegularFile(dir.path())) << "a directory is not a file";
}

TEST(ReadRegularFile, DoesNotBlockOnAFifoOrADevice)
{
    TemporaryDirectory dir;
    const fs::path fifo = dir.path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Without a writer a blocking open would wait for ever; the test's timeout would catch that.
    EXPECT_FALSE(readRegularFile(fifo));
    EXPECT_FALSE(readRegularFile("/dev/zero")) << "an endless device must not be read";
}

TEST(ReplaceFileAtomically, ReplacesTheContentAndLeavesNoTemporaryFile)
{
    TemporaryDirectory dir;
    const fs::path file = dir.path() / "state.json";
    for (auto durability : {Durability::durable, Durability::fast}) {
        replaceFileAtomically(file, "first", durability);
        replaceFileAtomically(file, "second, longer", durability);
        EXPECT_EQ(readRegularFile(file), "second, longer");
        replaceFileAtomically(file, "", durability);
        EXPECT_EQ(readRegularFile(file), "");
        EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"state.json"});
    }
}

TEST(ReplaceFileAtomically, ReportsFailureAndLeavesNothingBehind)
{
    TemporaryDirectory dir;
    EXPECT_THROW(replaceFileAtomically(dir.path() / "missing" / "file", "x"), std::system_error);

    // The target is a directory: the rename fails after the temporary file was written.
    fs::create_directory(dir.path() / "target");
    writeText(dir.path() / "target" / "inside", "kept");
    EXPECT_THROW(replaceFileAtomically(dir.path() / "target", "x"), std::system_error);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"target"});
    EXPECT_EQ(readRegularFile(dir.path() / "target" / "inside"), "kept");
}

TEST(ReplaceFileAtomically, ConcurrentWritersLeaveOneCompleteVersion)
{
    TemporaryDirectory dir;
    const fs::path file = dir.path() / "shared";
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            const std::string content(10000 + t, static_cast<char>('a' + t));
            for (int i = 0; i < 100; ++i)
                replaceFileAtomically(file, content, Durability::fast);
        });
    }
    for (auto& writer : writers)
        writer.join();
    auto content = readRegularFile(file);
    ASSERT_TRUE(content);
    ASSERT_FALSE(content->empty());
    const int t = (*content)[0] - 'a';
    EXPECT_EQ(*content, std::string(10000 + t, static_cast<char>('a' + t)));
    EXPECT_EQ(entries(dir.path()).size(), 1u);
}

TEST(CreateFileAtomically, WritesANewFileButNeverReplacesOne)
{
    TemporaryDirectory dir;
    const fs::path file = dir.path() / "report.txt";
    createFileAtomically(file, "first");
    EXPECT_EQ(readRegularFile(file), "first");

    fs::create_symlink(dir.path() / "nowhere", dir.path() / "dangling");
    for (const fs::path& taken : {file, dir.path() / "dangling"}) {
        try {
            createFileAtomically(taken, "second");
            ADD_FAILURE() << taken << " was replaced";
        } catch (const std::system_error& error) {
            EXPECT_EQ(error.code(), std::errc::file_exists) << taken;
        }
    }
    EXPECT_EQ(readRegularFile(file), "first");
    EXPECT_FALSE(fs::exists(dir.path() / "nowhere")) << "a link is not followed to make its target";
    auto names = entries(dir.path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"dangling", "report.txt"})) << "no temporary file is left";
}

TEST(CreateFileAtomically, OfWritersRacingForOneNameExactlyOneWins)
{
    TemporaryDirectory dir;
    const fs::path file = dir.path() / "raced";
    std::atomic<int> wins = 0, refusals = 0;
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&, t] {
            try {
                createFileAtomically(file, std::string(1000, static_cast<char>('a' + t)));
                ++wins;
            } catch (const std::system_error& error) {
                refusals += error.code() == std::errc::file_exists;
            }
        });
    for (auto& writer : writers)
        writer.join();
    EXPECT_EQ(wins, 1);
    EXPECT_EQ(refusals, 3);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"raced"});
}

} // namespace
} // namespace quellon
