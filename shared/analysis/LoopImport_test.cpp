#include "analysis/LoopImport.h"

#include "platform/FileIO.h"
#include "platform/TemporaryFiles.h"
#include "platform/TemporaryDirectory.h"

#include <gtest/gtest.h>
#include <atomic>
#include <fstream>
#include <csignal>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

namespace quellon {
namespace {

namespace fs = std::filesystem;

TEST(LoopImport, ImportableByTheLastComponentsExtensionInAnyCase)
{
    const std::pair<const char*, bool> cases[] = {
        {"clip.mov", true}, {"Clip.MOV", true}, {"A.M4V", true}, {"talk.Mp4", true},
        {"dir.avi/clip.mov", true}, {"clip", false}, {"clip.avi", false}, {"movie.mov.zip", false},
        {"clip.mov/", true}, {"mov", false}, {"clip.", false}, {"clip.mov.", false}, {"", false},
    };
    for (const auto& [name, importable] : cases)
        EXPECT_EQ(LoopImport::isImportable(name), importable) << name;
    EXPECT_EQ(LoopImport::importableExtensions(), (std::set<std::string>{"mov", "mp4", "m4v"}));
}

TEST(LoopImport, SanitisingKeepsOnlySafeCharacters)
{
    const std::string sixty(60, 'x');
    const std::pair<std::string, std::string> cases[] = {
        {"Beach Day.mov", "Beach-Day"},
        {"  hello  ", "hello"},
        {"___", "loop"},
        {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.mp4", "loop"},                 // Japanese only
        {"\xC3\xA9t\xC3\xA9", "t"},                                          // été, precomposed
        {"e\xCC\x81te\xCC\x81", "e-te"},                                     // été, combining accents
        {sixty, std::string(40, 'x')},
        {std::string(39, 'a') + "-b", std::string(39, 'a') + "-"},           // cut after trimming
        {"talk.final.MP4", "talk"},
        {"notes.txt", "notes"},
        {"movie.mov.zip", "movie-mov"},
        {".mov", "loop"},
        {"Monday stand-up!", "Monday-stand-up"},
        {"../../etc/passwd", "etc-passwd"},
        {"a/b.c/d", "a-b-c-d"},
        {"\xFF\xFE" "ab\xC3", "ab"},                                          // invalid UTF-8
        {"x\x01y\ny", "x-y-y"},
        {"", "loop"},
    };
    for (const auto& [name, base] : cases)
        EXPECT_EQ(LoopImport::sanitizedBase(name), base) << name;
    EXPECT_EQ(LoopImport::exportFilename("Monday stand-up!"), "Monday-stand-up.mov");
    EXPECT_EQ(LoopImport::exportFilename("../x"), "x.mov");
}

TEST(LoopImport, ImportNamesAvoidExistingOnesExactly)
{
    struct Case {
        const char* suggested;
        std::set<std::string> existing;
        const char* expected;
    };
    const Case cases[] = {
        {"Beach Day.mov", {}, "imported-Beach-Day.mov"},
        {"Beach Day.mov", {"imported-Beach-Day.mov", "imported-Beach-Day-1.mov"}, "imported-Beach-Day-2.mov"},
        {"Beach Day.mov", {"imported-Beach-Day-1.mov"}, "imported-Beach-Day.mov"},
        {"beach day.mov", {"Imported-beach-day.mov"}, "imported-beach-day.mov"},
        {"\xE6\x97\xA5.mp4", {"imported-loop.mov"}, "imported-loop-1.mov"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(LoopImport::uniqueDestinationName(c.suggested, c.existing), c.expected) << c.suggested;

    std::set<std::string> many{"imported-x.mov"};
    for (int n = 1; n <= 11; ++n)
        many.insert("imported-x-" + std::to_string(n) + ".mov");
    EXPECT_EQ(LoopImport::uniqueDestinationName("x", many), "imported-x-12.mov") << "n is plain decimal";
}

class AtomicCopyTest : public ::testing::Test {
protected:
    fs::path write(const fs::path& path, const std::string& bytes)
    {
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    static std::string read(const fs::path& path) { return readRegularFile(path, 1 << 30).value_or("<unreadable>"); }
    static std::size_t temporaries(const fs::path& directory)
    {
        std::size_t count = 0;
        for (const auto& entry : fs::directory_iterator(directory))
            count += entry.path().filename().string().starts_with(".quellon-export-");
        return count;
    }
    static std::string pattern(std::size_t size, char seed)
    {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<char>(seed + i * 31 + (i >> 13));
        return bytes;
    }

    TemporaryDirectory temp;
    const fs::path dir = temp.path();
};

TEST_F(AtomicCopyTest, CopiesOrReplacesWithTheCompleteFile)
{
    const std::string content = pattern(9 * 1024 * 1024 + 17, 'a'); // more than one chunk
    const fs::path source = write(dir / "source.mp4", content);

    LoopImport::atomicCopy(source, dir / "new.mov");
    EXPECT_EQ(read(dir / "new.mov"), content);

    const fs::path existing = write(dir / "existing.mov", "old content");
    std::vector<std::uint64_t> progress;
    LoopImport::atomicCopy(source, existing, [&](std::uint64_t copied) { progress.push_back(copied); });
    EXPECT_EQ(read(existing), content);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), content.size());
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));

    LoopImport::atomicCopy(write(dir / "empty", ""), dir / "empty.mov");
    EXPECT_EQ(read(dir / "empty.mov"), "");
    EXPECT_EQ(read(source), content) << "the source is never touched";
    EXPECT_EQ(temporaries(dir), 0u);
}

TEST_F(AtomicCopyTest, FailuresThrowTheSystemErrorAndLeaveTheDestinationAsItWas)
{
    const fs::path source = write(dir / "source.mov", "new content");
    write(dir / "plain-file", "a file where a directory is expected");
    fs::create_directory(dir / "a-directory");
    write(dir / "a-directory" / "inside", "kept");
    ::mkfifo((dir / "fifo").c_str(), 0600);
    const fs::path destination = write(dir / "destination.mov", "old content");

    struct Case {
        const char* what;
        fs::path from, to;
        std::errc error;
    };
    const Case cases[] = {
        {"missing source", dir / "missing.mov", destination, std::errc::no_such_file_or_directory},
        {"source is a directory", dir / "a-directory", destination, std::errc::is_a_directory},
        {"source is a FIFO (must not hang)", dir / "fifo", destination, std::errc::invalid_argument},
        {"destination directory is a file", source, dir / "plain-file" / "out.mov", std::errc::not_a_directory},
        {"destination directory is missing", source, dir / "nowhere" / "out.mov", std::errc::no_such_file_or_directory},
        {"destination is a directory", source, dir / "a-directory", std::errc::is_a_directory},
    };
    for (const Case& c : cases) {
        try {
            LoopImport::atomicCopy(c.from, c.to);
            ADD_FAILURE() << c.what << ": no error";
        } catch (const std::system_error& error) {
            EXPECT_EQ(error.code(), std::make_error_code(c.error)) << c.what << ": " << error.what();
        }
        EXPECT_EQ(read(destination), "old content") << c.what;
        EXPECT_EQ(read(dir / "a-directory" / "inside"), "kept") << c.what;
        EXPECT_EQ(temporaries(dir), 0u) << c.what;
        EXPECT_EQ(temporaries(dir / "a-directory"), 0u) << c.what;
    }
}

TEST_F(AtomicCopyTest, ASourceThatChangesMidCopyFailsButOneUnlinkedStillCopiesWhole)
{
    const std::string content = pattern(9 * 1024 * 1024, 'q');
    const fs::path destination = write(dir / "destination.mov", "old content");

    const fs::path truncated = write(dir / "truncated.mov", content);
    bool cut = false;
    try {
        LoopImport::atomicCopy(truncated, destination, [&](std::uint64_t) {
            if (!std::exchange(cut, true))
                fs::resize_file(truncated, 1000);
        });
        ADD_FAILURE() << "a truncated source was copied";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::make_error_code(std::errc::io_error)) << error.what();
    }
    EXPECT_EQ(read(destination), "old content");
    EXPECT_EQ(temporaries(dir), 0u);

    // An unlinked file lives on while it is open: the copy is the whole of it.
    const fs::path vanishing = write(dir / "vanishing.mov", content);
    LoopImport::atomicCopy(vanishing, destination, [&](std::uint64_t) { fs::remove(vanishing); });
    EXPECT_EQ(read(destination), content);
    EXPECT_EQ(temporaries(dir), 0u);

    // A progress callback that throws leaves nothing behind either.
    write(destination, "old content");
    EXPECT_THROW(LoopImport::atomicCopy(write(dir / "again.mov", content), destination,
                                        [](std::uint64_t) { throw std::runtime_error("cancelled"); }),
                 std::runtime_error);
    EXPECT_EQ(read(destination), "old content");
    EXPECT_EQ(temporaries(dir), 0u);
}

TEST_F(AtomicCopyTest, ReadersNeverSeeAPartialFile)
{
    const std::string oldContent = pattern(3 * 1024 * 1024, 'o');
    const std::string newContent = pattern(17 * 1024 * 1024, 'n');
    const fs::path source = write(dir / "source.mov", newContent);
    const fs::path destination = write(dir / "destination.mov", oldContent);

    // Deterministic: at every chunk the destination is still the old file.
    std::size_t checks = 0;
    LoopImport::atomicCopy(source, destination, [&](std::uint64_t copied) {
        if (copied < newContent.size()) {
            ++checks;
            EXPECT_EQ(read(destination) == oldContent, true) << "after " << copied << " bytes";
        }
    });
    EXPECT_GT(checks, 0u);
    EXPECT_EQ(read(destination), newContent);

    // Concurrent: a reader polling throughout sees only whole versions.
    write(destination, oldContent);
    std::atomic<bool> done = false;
    std::size_t polls = 0, partial = 0;
    std::thread reader([&] {
        while (!done) {
            const std::string seen = read(destination);
            ++polls;
            partial += seen != oldContent && seen != newContent;
        }
    });
    for (int round = 0; round < 3; ++round) {
        LoopImport::atomicCopy(source, destination);
        write(dir / "old.mov", oldContent);
        LoopImport::atomicCopy(dir / "old.mov", destination);
    }
    done = true;
    reader.join();
    EXPECT_GT(polls, 0u);
    EXPECT_EQ(partial, 0u);
}

TEST_F(AtomicCopyTest, CopiesAsANewFileNeverTakeANameAnotherCopyTookFirst)
{
    const fs::path source = write(dir / "source.mp4", pattern(100000, 's'));
    // Another import places "imported-x.mov" between our choice and our placement.
    int asked = 0;
    const std::string name = LoopImport::atomicCopyAsNewFile(source, dir, [&](const std::set<std::string>& names) {
        if (++asked == 1)
            write(dir / "imported-x.mov", "the other import");
        return LoopImport::uniqueDestinationName("x.mp4", names);
    });
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(name, "imported-x-1.mov");
    EXPECT_EQ(read(dir / "imported-x.mov"), "the other import") << "never replaced";
    EXPECT_EQ(read(dir / "imported-x-1.mov"), read(source));
    EXPECT_EQ(temporaries(dir), 0u);
}

TEST_F(AtomicCopyTest, TemporariesOfInterruptedCopiesAreRemoved)
{
    const fs::path source = write(dir / "source.mp4", pattern(3 * 1024 * 1024, 'i'));
    // SIGTERM and SIGINT in the middle of a copy: the process ends by the signal, and its
    // temporary file is gone.
    for (int signal : {SIGTERM, SIGINT}) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            removeTemporaryFilesOnSignal();
            try {
                LoopImport::atomicCopy(source, dir / "interrupted.mov", [&](std::uint64_t) { ::raise(signal); });
            } catch (...) {
            }
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "status " << status;
        EXPECT_EQ(temporaries(dir), 0u) << "signal " << signal;
        EXPECT_FALSE(fs::exists(dir / "interrupted.mov"));
    }

    // One a killed run left (no process holds it) goes with the next copy into that directory.
    write(dir / ".quellon-export-0BEC2C6E-6D44-4B43-9E14-16CA7A0F4A37.mov", "left by a killed run");
    LoopImport::atomicCopy(source, dir / "next.mov");
    EXPECT_EQ(temporaries(dir), 0u);
}

TEST_F(AtomicCopyTest, KeepsAnExistingDestinationWhenAskedTo)
{
    const fs::path source = write(dir / "source.mp4", pattern(64 * 1024, 'k'));
    const fs::path existing = write(dir / "existing.mov", "old content");
    try {
        LoopImport::atomicCopy(source, existing, {}, ExistingFile::keep);
        ADD_FAILURE() << "the existing file was replaced";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::file_exists);
    }
    EXPECT_EQ(read(existing), "old content");

    // A file that appears at the destination while the copy runs is kept too.
    const fs::path raced = dir / "raced.mov";
    EXPECT_THROW(LoopImport::atomicCopy(source, raced, [&](std::uint64_t) { write(raced, "made meanwhile"); },
                                        ExistingFile::keep),
                 std::system_error);
    EXPECT_EQ(read(raced), "made meanwhile");

    LoopImport::atomicCopy(source, dir / "fresh.mov", {}, ExistingFile::keep);
    EXPECT_EQ(read(dir / "fresh.mov"), read(source));
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_FALSE(entry.path().filename().string().starts_with(".quellon-export-")) << entry.path();
}

} // namespace
} // namespace quellon
