// The loop library and the recorder end to end: the real quellon program, media made by the
// real ffmpeg, a private container.

#include "platform/FileIO.h"
#include "platform/TemporaryDirectory.h"
#include "capture/TestFootage.h"
#include "playback/ClipDecoder.h"
#include "playback/TestFrames.h"
#include "state/ClipMetadata.h"
#include "state/JSONCoding.h"

#include "ChildProgram.h"

#include <gtest/gtest.h>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <cerrno>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>
#include <thread>
#include <tuple>

namespace quellon {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class LoopLibraryTest : public ::testing::Test {
protected:
    LoopLibraryTest() { fs::create_directories(clips()); }

    fs::path clips() const { return temp.path() / "data" / "group.com.quellon.shared" / "Clips"; }
    std::vector<std::string> env() const
    {
        return {"HOME=" + temp.path().string(), "XDG_DATA_HOME=" + (temp.path() / "data").string()};
    }
    testing::ProgramResult quellon(const std::vector<std::string>& args) const
    {
        return testing::ChildProgram(QUELLON_CLI_PATH, args, env()).finish();
    }
    // A clip made by the real ffmpeg from a filter graph.
    fs::path makeClip(const std::string& name, const std::string& graph, const std::vector<std::string>& codec = {"-c:v", "libx264", "-pix_fmt", "yuv420p"})
    {
        const fs::path path = temp.path() / name;
        std::vector<std::string> args{"-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i", graph};
        args.insert(args.end(), codec.begin(), codec.end());
        args.push_back(path.string());
        const auto result = testing::ChildProgram("/usr/bin/ffmpeg", args, {}).finish();
        EXPECT_EQ(result.status, 0) << result.err;
        return path;
    }
    std::set<std::string> listing() const
    {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(clips()))
            names.insert(entry.path().filename().string());
        return names;
    }
    ClipMetadata sidecar(const std::string& clip) const
    {
        return decodeClipMetadata(readRegularFile(clips() / (fs::path(clip).stem().string() + ".json")).value_or(""));
    }
    // Runs quellon with all its output on a pseudo-terminal, as from an interactive shell: the
    // exit status and everything it wrote.
    std::pair<int, std::string> onTerminal(const std::vector<std::string>& args) const
    {
        std::vector<std::string> environment = env();
        std::vector<char*> argv{const_cast<char*>(QUELLON_CLI_PATH)}, envp;
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        for (std::string& variable : environment)
            envp.push_back(variable.data());
        envp.push_back(nullptr);
        int terminal = -1;
        const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
        if (pid < 0)
            return {-1, "forkpty failed"};
        if (pid == 0) {
            ::execve(QUELLON_CLI_PATH, argv.data(), envp.data());
            ::_exit(127);
        }
        std::string text;
        char buffer[4096];
        for (ssize_t got; (got = ::read(terminal, buffer, sizeof buffer)) != 0;) {
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                break; // EIO: the program has closed the terminal
            text.append(buffer, static_cast<std::size_t>(got));
        }
        ::close(terminal);
        int status = 0;
        ::waitpid(pid, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
    }
    static std::string bytes(const fs::path& path) { return readRegularFile(path, 1 << 30).value_or("<unreadable>"); }

    TemporaryDirectory temp;
};

TEST_F(LoopLibraryTest, ImportCopiesPlayableFilesAndRefusesHostileOnes)
{
    const fs::path clip = makeClip("Beach Day.mp4", "testsrc2=size=320x240:rate=15:duration=5");
    auto imported = quellon({"loops", "import", clip.string()});
    ASSERT_EQ(imported.status, 0) << imported.err;
    EXPECT_EQ(imported.out, "Imported 'Beach Day' as imported-Beach-Day.mov\n");
    EXPECT_EQ(bytes(clips() / "imported-Beach-Day.mov"), bytes(clip)) << "copied byte for byte";
    const ClipMetadata metadata = sidecar("imported-Beach-Day.mov");
    EXPECT_EQ(metadata.clipType, "imported");
    EXPECT_EQ(metadata.resolution, "320x240");
    EXPECT_EQ(metadata.fps, 15);
    EXPECT_NEAR(metadata.duration, 5, 0.1);
    EXPECT_EQ(metadata.filename, "imported-Beach-Day.mov");
    EXPECT_EQ(metadata.displayName, "Beach Day");

    EXPECT_EQ(quellon({"loops", "import", clip.string()}).out, "Imported 'Beach Day' as imported-Beach-Day-1.mov\n")
        << "an existing name";
    EXPECT_EQ(quellon({"loops", "import", clip.string(), "--name", "../../evil"}).out, "Imported '../../evil' as imported-evil.mov\n");
    const std::string longName(300, 'n');
    EXPECT_TRUE(quellon({"loops", "import", clip.string(), "--name", longName}).out.ends_with(
        " as imported-" + std::string(40, 'n') + ".mov\n"));
    const fs::path longFile = temp.path() / (std::string(200, 'L') + ".mp4");
    fs::copy_file(clip, longFile);
    EXPECT_TRUE(quellon({"loops", "import", longFile.string()}).out.ends_with(" as imported-" + std::string(40, 'L') + ".mov\n"));

    std::ofstream(temp.path() / "notes.mov") << "this is a text file, not a movie\n";
    const std::string whole = bytes(clip);
    std::ofstream(temp.path() / "truncated.mp4", std::ios::binary) << whole.substr(0, whole.size() / 3);
    const std::set<std::string> before = listing();
    struct Case {
        std::string file;
        int status;
        std::string message;
    };
    const Case refusals[] = {
        {(temp.path() / "notes.mov").string(), 1, "is not a video Quellon can play"},
        {(temp.path() / "truncated.mp4").string(), 1, "is not a video Quellon can play"},
        {(temp.path() / "clip.avi").string(), 2, "only .mov, .mp4 and .m4v files can be imported"},
        {(temp.path() / "missing.mp4").string(), 1, "no such file"},
        {temp.path().string() + "/", 2, "only .mov, .mp4 and .m4v files can be imported"},
    };
    for (const Case& c : refusals) {
        const auto refused = quellon({"loops", "import", c.file});
        EXPECT_EQ(refused.status, c.status) << c.file;
        EXPECT_NE(refused.err.find(c.message), std::string::npos) << refused.err;
    }
    EXPECT_EQ(listing(), before) << "a refused import leaves nothing behind";
}

TEST_F(LoopLibraryTest, ExportRemoveListAnalyseAndTrim)
{
    const fs::path clip = makeClip("talk.mp4", "testsrc2=size=320x240:rate=15:duration=6");
    ASSERT_EQ(quellon({"loops", "import", clip.string(), "--name", "Monday stand-up!"}).status, 0);
    const std::string name = "imported-Monday-stand-up.mov";

    // Export onto an existing file keeps it unless --force; into a directory it takes the
    // loop's name, and a file of that name there is kept too.
    const fs::path existing = temp.path() / "existing.mov";
    std::ofstream(existing) << "old";
    const auto kept = quellon({"loops", "export", name, existing.string()});
    EXPECT_EQ(kept.status, 1);
    EXPECT_EQ(kept.err, "quellon: " + existing.string() + " exists already; give --force to replace it\n");
    EXPECT_EQ(bytes(existing), "old");
    const auto forced = quellon({"loops", "export", name, existing.string(), "--force"});
    ASSERT_EQ(forced.status, 0) << forced.err;
    EXPECT_EQ(forced.out, "Exported 'Monday stand-up!' to " + existing.string() + "\n");
    EXPECT_EQ(bytes(existing), bytes(clip));
    fs::create_directory(temp.path() / "out");
    const auto exported = quellon({"loops", "export", name, (temp.path() / "out").string()});
    EXPECT_EQ(exported.out, "Exported 'Monday stand-up!' to " + (temp.path() / "out" / "Monday-stand-up.mov").string() + "\n")
        << exported.err;
    EXPECT_EQ(bytes(temp.path() / "out" / "Monday-stand-up.mov"), bytes(clip));
    EXPECT_EQ(quellon({"loops", "export", name, (temp.path() / "out").string()}).status, 1) << "the file in it is kept";
    for (const auto& entry : fs::directory_iterator(temp.path() / "out"))
        EXPECT_FALSE(entry.path().filename().string().starts_with(".quellon-export-"));

    for (const std::string& bad : std::vector<std::string>{"../talk.mp4", "..", "", "sub/x.mov", "imported-Monday-stand-up.json",
                                                            ".hidden.mov", clip.string()}) {
        for (const std::vector<std::string>& command : {std::vector<std::string>{"loops", "remove", bad},
                                                        {"loops", "analyse", bad},
                                                        {"loops", "export", bad, temp.path().string()}}) {
            const auto refused = quellon(command);
            EXPECT_EQ(refused.status, 2) << command[1] << " \"" << bad << "\": " << refused.err;
        }
    }
    EXPECT_EQ(quellon({"loops", "remove", "nothing.mov"}).status, 1);

    const auto analysed = quellon({"loops", "analyse", name, "--json"});
    ASSERT_EQ(analysed.status, 0) << analysed.err;
    const json report = json::parse(analysed.out);
    EXPECT_EQ(report["frames"], 90);
    EXPECT_EQ(report["grade"], "A") << report.dump();
    EXPECT_EQ(report["title"], "Great loop");
    ASSERT_TRUE(report["seam"].is_object());
    EXPECT_GE(report["seam"]["end"].get<double>() - report["seam"]["start"].get<double>(), 3.0);

    // A window that is reversed, too short or past the end is refused, not moved.
    const std::set<std::string> before = listing();
    for (const auto& [start, end, message] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"4.5", "1", "quellon: --end (1.00 s) must come after --start (4.50 s)\n"},
             {"0", "2", "quellon: the window 0.00 s to 2.00 s is 2.00 s long: a loop is at least 3.00 s\n"},
             {"2", "7", "quellon: 'Monday stand-up!' is 6.00 s long: the window 2.00 s to 7.00 s runs past its end\n"},
             {"-1", "3", "quellon: --start and --end are seconds from the loop's start, 0 or more\n"},
         }) {
        const auto refused = quellon({"loops", "trim", name, "--start=" + start, "--end=" + end});
        EXPECT_EQ(refused.status, 2) << start << " " << end;
        EXPECT_EQ(refused.err, message);
        EXPECT_EQ(refused.out, "");
    }
    EXPECT_EQ(listing(), before);

    const auto trimmed = quellon({"loops", "trim", name, "--start", "1", "--end", "4.5"});
    ASSERT_EQ(trimmed.status, 0) << trimmed.err;
    EXPECT_EQ(trimmed.out, "Trimmed 'Monday stand-up!' to 1.00 s \u2013 4.50 s (3.50 s) as imported-Monday-stand-up-trim.mov\n");
    EXPECT_NEAR(sidecar("imported-Monday-stand-up-trim.mov").duration, 3.5, 1e-9);
    FFmpegClipDecoder decoder;
    // Decoded at the 30 fps output: 3.5 s of the 15 fps clip, each frame twice.
    EXPECT_NEAR(static_cast<double>(decoder.decode(clips() / "imported-Monday-stand-up-trim.mov", 1000).frames.size()), 105, 2);
    EXPECT_EQ(bytes(clips() / name), bytes(clip)) << "the original is kept";

    const auto replaced = quellon({"loops", "trim", name, "--start", "0", "--end", "3", "--replace"});
    ASSERT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_EQ(replaced.out, "Trimmed 'Monday stand-up!' to 0.00 s \u2013 3.00 s (3.00 s) in place\n");
    EXPECT_NEAR(sidecar(name).duration, 3.0, 1e-9);
    EXPECT_NEAR(static_cast<double>(decoder.decode(clips() / name, 1000).frames.size()), 90, 2);

    const auto listed = quellon({"loops", "list", "--json"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    const json loops = json::parse(listed.out);
    ASSERT_EQ(loops.size(), 2u);
    EXPECT_EQ(loops[1]["name"], name) << "sorted by name: '-' before '.'";
    EXPECT_EQ(loops[1]["displayName"], "Monday stand-up!");
    EXPECT_EQ(loops[0]["displayName"], "Monday stand-up! (trimmed)");
    EXPECT_EQ(loops[1]["resolution"], "320x240");
    EXPECT_EQ(loops[1]["fps"], 15);
    EXPECT_DOUBLE_EQ(loops[1]["duration"].get<double>(), 3.0);
    EXPECT_TRUE(loops[1]["grade"].is_string());

    std::ofstream(clips() / "notes.txt") << "not ours to delete";
    const auto removed = quellon({"loops", "remove", name});
    ASSERT_EQ(removed.status, 0) << removed.err;
    EXPECT_EQ(removed.out, "Removed 'Monday stand-up!' (" + name + ")\n");
    EXPECT_EQ(listing(), (std::set<std::string>{"imported-Monday-stand-up-trim.json", "imported-Monday-stand-up-trim.mov", "notes.txt"}));
}

// Every command that takes a loop finds it the same ways: its file name with or without .mov,
// the name `loops list` shows when only one loop has it, or a path.
TEST_F(LoopLibraryTest, LoopArgumentsTakeNamesDisplayNamesAndPaths)
{
    const fs::path clip = makeClip("walk.mp4", "testsrc2=size=160x120:rate=15:duration=4");
    for (const char* display : {"Morning", "Twice", "Twice", "Evil\nName\u202e"})
        ASSERT_EQ(quellon({"loops", "import", clip.string(), "--name", display}).status, 0) << display;
    ASSERT_EQ(listing().count("imported-Morning.mov"), 1u);

    for (const std::string& argument : {std::string("imported-Morning.mov"), std::string("imported-Morning"), std::string("Morning"),
                                        (clips() / "imported-Morning.mov").string()}) {
        const auto analysed = quellon({"loops", "analyse", argument, "--json"});
        EXPECT_EQ(analysed.status, 0) << argument << ": " << analysed.err;
        EXPECT_EQ(json::parse(analysed.out, nullptr, false).value("name", ""), "imported-Morning.mov") << argument;
    }
    const auto inspected = quellon({"loop", "inspect", "Morning", "--json", "--max-frames", "4"});
    EXPECT_EQ(inspected.status, 0) << inspected.err;
    EXPECT_EQ(json::parse(inspected.out, nullptr, false).value("file", ""), (clips() / "imported-Morning.mov").string());
    const auto byPath = quellon({"loop", "inspect", clip.string(), "--json", "--max-frames", "4"});
    EXPECT_EQ(byPath.status, 0) << "loop commands take any file: " << byPath.err;

    const auto ambiguous = quellon({"loops", "analyse", "Twice"});
    EXPECT_EQ(ambiguous.status, 2);
    EXPECT_EQ(ambiguous.err, "quellon: \"Twice\" is the name of 2 loops (imported-Twice-1.mov, imported-Twice.mov): give the file name.\n");
    const auto missing = quellon({"loop", "inspect", "Evening"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "quellon: No loop named \"Evening\" (see \"quellon loops list\").\n");

    // Names that came in from elsewhere show with their control characters visible.
    const auto listed = quellon({"loops", "list"});
    EXPECT_NE(listed.out.find("  'Evil\\nName<U+202E>'  "), std::string::npos) << listed.out;
    EXPECT_EQ(listed.out.find("\u202e"), std::string::npos);
    EXPECT_EQ(quellon({"loops", "remove", "Evil\nName\u202e"}).out, "Removed 'Evil\\nName<U+202E>' (imported-Evil-Name.mov)\n");
}

// The grade is kept in the sidecar for the clip as it is: the next listing reads it instead of
// decoding the clip again, and a clip that changed is measured again.
TEST_F(LoopLibraryTest, ListingKeepsEachGradeInTheSidecarUntilTheClipChanges)
{
    const fs::path source = makeClip("calm.mp4", "testsrc2=size=160x120:rate=15:duration=4");
    ASSERT_EQ(quellon({"loops", "import", source.string(), "--name", "Calm"}).status, 0);
    const fs::path clip = clips() / "imported-Calm.mov";
    auto grade = [&] {
        const auto listed = quellon({"loops", "list", "--json"});
        const json loops = json::parse(listed.out, nullptr, false);
        return loops.is_array() && loops.size() == 1 && loops[0]["grade"].is_string() ? loops[0]["grade"].get<std::string>() : "none";
    };
    const std::string measured = grade();
    ASSERT_NE(measured, "none");
    ASSERT_NE(measured, "C");
    ClipMetadata stored = sidecar(clip.filename().string());
    ASSERT_TRUE(stored.qualityCache);
    EXPECT_EQ(stored.qualityCache->clipBytes, static_cast<std::int64_t>(fs::file_size(clip)));
    EXPECT_EQ(stored.displayName, "Calm") << "the rest of the sidecar stays";

    // A cache that calls the clip dark and still is believed while the clip is unchanged.
    stored.qualityCache->brightness = 0.01;
    stored.qualityCache->motion = 0;
    std::ofstream(clips() / "imported-Calm.json") << encodeJSON(stored, JSONStyle::compact);
    EXPECT_EQ(grade(), "C");

    fs::last_write_time(clip, fs::last_write_time(clip) + std::chrono::seconds(2));
    EXPECT_EQ(grade(), measured) << "a changed clip is measured again";
    EXPECT_GT(sidecar(clip.filename().string()).qualityCache->brightness, 0.1);
}

// A window over the longest loop is cut to it, and the output says so.
TEST_F(LoopLibraryTest, TrimSaysWhatItCutALongWindowTo)
{
    const fs::path clip = makeClip("long.mp4", "testsrc2=size=160x120:rate=10:duration=18");
    ASSERT_EQ(quellon({"loops", "import", clip.string(), "--name", "Long"}).status, 0);
    const auto trimmed = quellon({"loops", "trim", "Long", "--start", "1", "--end", "18"});
    ASSERT_EQ(trimmed.status, 0) << trimmed.err;
    EXPECT_EQ(trimmed.out, "Trimmed 'Long' to 1.00 s \u2013 16.00 s (15.00 s, cut from the 17.00 s asked for: a loop is at most "
                           "15.00 s) as imported-Long-trim.mov\n");
    EXPECT_NEAR(sidecar("imported-Long-trim.mov").duration, 15, 1e-9);
}

TEST_F(LoopLibraryTest, RecordingStoresATrimmedClipWithItsSidecarAndReport)
{
    const auto recorded = quellon({"record", "--seconds", "4", "--input", "lavfi:testsrc2=size=320x240:rate=15", "--name", "Desk"});
    ASSERT_EQ(recorded.status, 0) << recorded.err;
    EXPECT_EQ(listing(), (std::set<std::string>{"Desk.json", "Desk.mov"}));
    EXPECT_TRUE(recorded.out.starts_with("Saved 'Desk' as Desk.mov: ")) << recorded.out;
    EXPECT_NE(recorded.out.find("Grade "), std::string::npos) << recorded.out;
    EXPECT_NE(recorded.out.find("Seam boundary jump: "), std::string::npos) << recorded.out;
    EXPECT_NE(recorded.err.find("Hint: Center yourself in frame"), std::string::npos) << "a test pattern has no face";
    EXPECT_EQ(recorded.err.find("s left"), std::string::npos) << "no progress bar off a terminal";
    EXPECT_EQ(recorded.err.find("Saving"), std::string::npos);

    const ClipMetadata metadata = sidecar("Desk.mov");
    EXPECT_EQ(metadata.clipType, "recorded");
    EXPECT_EQ(metadata.resolution, "320x240");
    EXPECT_EQ(metadata.fps, 15);
    EXPECT_EQ(metadata.filename, "Desk.mov");
    EXPECT_EQ(metadata.displayName, "Desk");
    EXPECT_GE(metadata.duration, 3.0);
    EXPECT_LE(metadata.duration, 4.1);
    FFmpegClipDecoder decoder;
    const DecodedClip clip = decoder.decode(clips() / "Desk.mov", 1000);
    EXPECT_EQ(clip.width, 320);
    EXPECT_NEAR(static_cast<double>(clip.frames.size()), metadata.duration * 30, 3) << "at the 30 fps output";
}

// A name that is taken is refused before anything is recorded, unless --force; on a terminal
// the countdown, the save and the analysis show while they run.
TEST_F(LoopLibraryTest, RecordingKeepsAnExistingLoopUnlessForcedAndShowsProgressOnATerminal)
{
    std::ofstream(clips() / "Desk.mov") << "an earlier loop";
    const auto refused = quellon({"record", "--seconds", "3", "--input", "lavfi:testsrc2=size=160x120:rate=15", "--name", "Desk"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "quellon: A loop named 'Desk.mov' exists already: give --force to replace it, or another --name.\n");
    EXPECT_EQ(bytes(clips() / "Desk.mov"), "an earlier loop");
    EXPECT_EQ(listing(), (std::set<std::string>{"Desk.mov"}));

    const auto [status, shown] = onTerminal({"record", "--seconds", "3", "--input", "lavfi:testsrc2=size=160x120:rate=15",
                                             "--name", "Desk", "--force"});
    ASSERT_EQ(status, 0) << shown;
    EXPECT_NE(shown.find("] 2 s left"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Saving and analysing the loop..."), std::string::npos) << shown;
    EXPECT_NE(shown.find("Saved 'Desk' as Desk.mov: "), std::string::npos) << shown;
    EXPECT_EQ(listing(), (std::set<std::string>{"Desk.json", "Desk.mov"}));
    EXPECT_NE(bytes(clips() / "Desk.mov"), "an earlier loop");
}

TEST_F(LoopLibraryTest, RecordingFindsTheSeamWhereTheFirstAndLastSecondsMatch)
{
    // A wave that moves across the picture and comes back to the same place every 4 seconds.
    const std::string graph = "lavfi:color=c=gray:size=160x120:rate=15,format=gray,"
                              "geq=lum='128+100*sin(2*PI*(X/W+T/4))',format=yuv420p";
    const auto recorded = quellon({"record", "--seconds", "5.5", "--input", graph, "--name", "wave"});
    ASSERT_EQ(recorded.status, 0) << recorded.err;
    const ClipMetadata metadata = sidecar("wave.mov");
    EXPECT_NEAR(metadata.duration, 4, 0.01) << "one period; the frame that repeats the first is left out";
    FFmpegClipDecoder decoder;
    const DecodedClip clip = decoder.decode(clips() / "wave.mov", 1000);
    ASSERT_EQ(clip.frames.size(), 120u) << "60 frames, each twice at the 30 fps output";
    // Played forward, the last frame leads into the first as any frame leads into the next: the
    // wrap neither holds nor jumps.
    auto difference = [](const PixelBuffer& a, const PixelBuffer& b) {
        double sum = 0;
        auto left = a.lockForReading(), right = b.lockForReading();
        for (int y = 0; y < a.height(); ++y)
            for (int x = 0; x < a.width() * 4; x += 4)
                sum += std::abs(int(left.row(y)[x + 1]) - int(right.row(y)[x + 1]));
        return sum / (a.width() * a.height());
    };
    const double wrap = difference(*clip.frames.back(), *clip.frames.front());
    const double step = difference(*clip.frames[0], *clip.frames[2]);
    EXPECT_GT(wrap, step / 2) << "the last frame is no copy of the first";
    EXPECT_LT(wrap, step * 1.5) << "the wrap moves like any other step";
    const auto jump = recorded.out.find("Seam boundary jump: ");
    ASSERT_NE(jump, std::string::npos);
    EXPECT_LT(std::stod(recorded.out.substr(jump + 20)), 0.005) << recorded.out;
}

TEST_F(LoopLibraryTest, InterruptedOrFailedRecordingsLeaveTheClipsAsTheyWere)
{
    std::ofstream(clips() / "kept.mov") << "an earlier loop";
    const std::set<std::string> before = listing();

    testing::ChildProgram recording(QUELLON_CLI_PATH, {"record", "--seconds", "30", "--input", "lavfi:testsrc2=size=320x240:rate=15"}, env());
    // Wait until frames are being written, then press Ctrl-C.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (listing().size() == before.size() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    recording.signal(SIGINT);
    const auto result = recording.finish();
    EXPECT_EQ(result.status, 130) << result.err;
    EXPECT_NE(result.err.find("Recording cancelled; nothing was kept."), std::string::npos) << result.err;
    EXPECT_EQ(listing(), before);

    const auto missing = quellon({"record", "--camera", "/dev/video97"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "quellon: No camera at /dev/video97: is it plugged in? `quellon cameras` lists the cameras there are.\n");
    const auto unknown = quellon({"record", "--camera", "nosuch"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.err, "quellon: There is no camera 'nosuch': `quellon cameras` lists the cameras there are (record from a "
                           "file or a test pattern with --input).\n");
    const auto broken = quellon({"record", "--input", "lavfi:nosuchfilter"});
    EXPECT_EQ(broken.status, 1);
    EXPECT_EQ(listing(), before);
}

TEST_F(LoopLibraryTest, PhoneAndColourTaggedClipsLookTheSameAfterImportAndTrim)
{
    ASSERT_TRUE(testing::havePhotographs()) << "python3-skimage's photographs are missing";
    FFmpegClipDecoder decoder;
    auto colourAt = [](const PixelBuffer& frame, int x, int y) {
        const auto p = testing::pixelOf(frame, x, y);
        return std::array<int, 3>{p[2], p[1], p[0]};
    };
    auto worstError = [](const std::array<int, 3>& colour) {
        int worst = 0;
        for (std::size_t i = 0; i < 3; ++i)
            worst = std::max(worst, std::abs(colour[i] - testing::kKnownColour[i]));
        return worst;
    };

    for (auto matrix : {testing::Matrix::bt709, testing::Matrix::bt601}) {
        const std::string name = matrix == testing::Matrix::bt709 ? "bt709" : "bt601";
        SCOPED_TRACE(name);
        const fs::path clip = temp.path() / (name + ".mp4");
        ASSERT_TRUE(testing::makeTaggedColourClip(clip, matrix, 4));
        ASSERT_EQ(quellon({"loops", "import", clip.string()}).status, 0);
        const auto trimmed = quellon({"loops", "trim", "imported-" + name + ".mov", "--start", "0.5", "--end", "3.6"});
        ASSERT_EQ(trimmed.status, 0) << trimmed.err;
        for (const std::string& loop : {"imported-" + name + ".mov", "imported-" + name + "-trim.mov"}) {
            const DecodedClip played = decoder.decode(clips() / loop, 1);
            const auto colour = colourAt(*played.frames.front(), 160, 120);
            EXPECT_LE(worstError(colour), 3) << loop << ": " << colour[0] << "," << colour[1] << "," << colour[2];
        }
    }

    // A portrait phone clip with B-frames stays upright (the band at the top) after a trim,
    // whether it replaces the loop or not.
    const fs::path phone = temp.path() / "phone.mov";
    ASSERT_TRUE(testing::makePortraitPhoneClip(phone, true, 15, 4));
    ASSERT_EQ(quellon({"loops", "import", phone.string()}).status, 0);
    EXPECT_EQ(sidecar("imported-phone.mov").resolution, "1080x1920");
    ASSERT_EQ(quellon({"loops", "trim", "imported-phone.mov", "--start", "0.2", "--end", "3.5"}).status, 0);
    ASSERT_EQ(quellon({"loops", "trim", "imported-phone.mov", "--start", "0.5", "--end", "3.8", "--replace"}).status, 0);
    for (const std::string loop : {"imported-phone-trim.mov", "imported-phone.mov"}) {
        const DecodedClip played = decoder.decode(clips() / loop, 1);
        ASSERT_EQ(std::pair(played.width, played.height), (std::pair<std::int64_t, std::int64_t>(1080, 1920))) << loop;
        EXPECT_LE(worstError(colourAt(*played.frames.front(), 540, 100)), 6) << loop << ": the band is at the top";
    }
}

TEST_F(LoopLibraryTest, ImportsAtOnceKeepEveryClipAndLeftTemporariesGo)
{
    // What a killed import, trim and recording left; and a file that is not ours.
    for (const std::string name : {".quellon-export-9F0C.mov", ".quellon-cut-77A1.mov", ".quellon-recording-1B2C.mov",
                                   ".other-program.mov"})
        std::ofstream(clips() / name) << "left behind";
    const fs::path clip = makeClip("Same Name.mp4", "testsrc2=size=160x120:rate=15:duration=2");

    std::vector<std::unique_ptr<testing::ChildProgram>> imports;
    for (int i = 0; i < 3; ++i)
        imports.push_back(std::make_unique<testing::ChildProgram>(QUELLON_CLI_PATH, std::vector<std::string>{"loops", "import", clip.string()}, env()));
    std::set<std::string> printed;
    for (auto& import : imports) {
        const auto result = import->finish();
        EXPECT_EQ(result.status, 0) << result.err;
        printed.insert(result.out);
    }
    EXPECT_EQ(printed, (std::set<std::string>{"Imported 'Same Name' as imported-Same-Name.mov\n",
                                              "Imported 'Same Name' as imported-Same-Name-1.mov\n",
                                              "Imported 'Same Name' as imported-Same-Name-2.mov\n"}))
        << "each import its own name";
    for (const std::string name : {"imported-Same-Name.mov", "imported-Same-Name-1.mov", "imported-Same-Name-2.mov"})
        EXPECT_EQ(bytes(clips() / name), bytes(clip)) << name;
    EXPECT_EQ(listing(), (std::set<std::string>{".other-program.mov", "imported-Same-Name.json", "imported-Same-Name.mov",
                                                "imported-Same-Name-1.json", "imported-Same-Name-1.mov",
                                                "imported-Same-Name-2.json", "imported-Same-Name-2.mov"}));
}

} // namespace
} // namespace quellon
