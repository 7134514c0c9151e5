// Runs every command line that README.md and docs/*.md show for quellon, quellon-extension
// and quellon-menubar, so the documents cannot drift from the programs.
//
// Code blocks are run as a reader would type them, in their order, each document in private
// directories of its own, with a test pattern standing in for the camera. Command names in the
// prose are checked against the programs' help: the subcommand must exist and every flag it
// names must be one the help lists. A block that shows a command after "$ " followed by its
// output must print that output's unindented lines (indented lines are examples).

#include "ChildProgram.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quellon {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::set<std::string> kOurPrograms{"quellon", "quellon-extension", "quellon-menubar"};

// Documented commands that cannot run here, and why. Keyed by the command as written.
const std::map<std::string, std::string> kSkipped{
    {"quellon-menubar", "the tray needs a desktop's StatusNotifierItem host and takes the tray's bus name"},
};

// Commands that run until they are stopped: they must still be running (or have ended well)
// after a moment, and end well on Ctrl-C.
bool runsUntilStopped(const std::vector<std::string>& words)
{
    const auto has = [&](const char* word) { return std::find(words.begin(), words.end(), word) != words.end(); };
    // Help prints and ends, however slowly a loaded machine starts the program.
    if (has("--help"))
        return false;
    return words[0] == "quellon-extension" || has("--repeat") || (words.size() > 1 && words[1] == "host")
        || (words.size() > 1 && words[1] == "watch") || (words.size() > 2 && words[1] == "loop" && words[2] == "play");
}

// ---- Reading the documents ----------------------------------------------------------------

// One command of ours as a document shows it.
struct DocCommand {
    std::string where;              // "docs/HOST.md:204"
    std::string text;               // the command as written
    std::vector<std::string> words; // program name first (without its directory)
    bool inProse = false;           // an inline `code` span rather than a code block
    bool background = false;        // ended with "&"
    std::vector<std::string> shownOutput; // the lines a "$ " block shows after it

    bool operator==(const DocCommand&) const = default;
};

// A shell word splitter, just enough for documentation: quotes, backslashes, comments,
// $(...) (whose commands are taken out and run first), and the operators | || && ; &.
// Alternatives written without spaces (a|b) stay inside their word.
struct ShellLine {
    std::vector<std::vector<std::string>> segments; // each a simple command's words
    std::vector<bool> background;
    std::vector<std::string> substitutions; // the text of each $(...)
};

ShellLine splitShell(const std::string& line)
{
    ShellLine result;
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    const auto endWord = [&] {
        if (inWord)
            words.push_back(word);
        word.clear();
        inWord = false;
    };
    const auto endSegment = [&](bool background) {
        endWord();
        if (!words.empty()) {
            result.segments.push_back(words);
            result.background.push_back(background);
        }
        words.clear();
    };
    const auto takeSubstitution = [&](std::size_t& i) {
        // line[i] is the "(" after "$"; finds its match.
        int depth = 0;
        const std::size_t start = i + 1;
        for (; i < line.size(); ++i) {
            if (line[i] == '(')
                ++depth;
            else if (line[i] == ')' && --depth == 0)
                break;
        }
        result.substitutions.push_back(line.substr(start, i - start));
        word += "$(...)";
        inWord = true;
    };
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\'') {
            const std::size_t end = line.find('\'', i + 1);
            word += line.substr(i + 1, end - i - 1);
            inWord = true;
            i = end == std::string::npos ? line.size() : end;
        } else if (c == '"') {
            inWord = true;
            for (++i; i < line.size() && line[i] != '"'; ++i) {
                if (line[i] == '\\' && i + 1 < line.size())
                    word += line[++i];
                else if (line[i] == '$' && i + 1 < line.size() && line[i + 1] == '(')
                    takeSubstitution(++i);
                else
                    word += line[i];
            }
        } else if (c == '\\' && i + 1 < line.size()) {
            word += line[++i];
            inWord = true;
        } else if (c == '$' && i + 1 < line.size() && line[i + 1] == '(') {
            takeSubstitution(++i);
        } else if (c == '#' && !inWord) {
            break;
        } else if (c == ' ' || c == '\t') {
            endWord();
        } else if (c == '|' && inWord && i + 1 < line.size() && line[i + 1] != ' ' && line[i + 1] != '|') {
            word += c; // a|b: alternatives
        } else if (c == '|' || c == ';') {
            if (i + 1 < line.size() && line[i + 1] == c)
                ++i;
            endSegment(false);
        } else if (c == '&') {
            const bool both = i + 1 < line.size() && line[i + 1] == '&';
            if (both)
                ++i;
            endSegment(!both);
        } else {
            word += c;
            inWord = true;
        }
    }
    endSegment(false);
    return result;
}

// The words of a simple command from our programs: leading assignments and sudo dropped, the
// program's directory dropped. Nothing when the command is another program's.
std::optional<std::vector<std::string>> ourCommand(std::vector<std::string> words)
{
    while (!words.empty() && (words[0] == "sudo" || (words[0].find('=') != std::string::npos && words[0][0] != '-')))
        words.erase(words.begin());
    if (words.empty())
        return std::nullopt;
    words[0] = fs::path(words[0]).filename().string();
    if (!kOurPrograms.contains(words[0]))
        return std::nullopt;
    return words;
}

void addShellLine(const std::string& where, const std::string& line, std::vector<DocCommand>& out)
{
    const ShellLine shell = splitShell(line);
    // Substitutions run before the line that holds them.
    for (const std::string& inner : shell.substitutions)
        addShellLine(where, inner, out);
    for (std::size_t i = 0; i < shell.segments.size(); ++i)
        if (auto words = ourCommand(shell.segments[i])) {
            std::string text;
            for (const auto& w : *words)
                text += (text.empty() ? "" : " ") + w;
            out.push_back({where, text, *words, false, shell.background[i], {}});
        }
}

std::vector<DocCommand> extractCommands(const std::string& markdown, const std::string& name)
{
    std::vector<DocCommand> commands;
    std::istringstream in(markdown);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);

    std::optional<std::size_t> fence; // the fence's indentation while inside one
    bool previousBlank = true;
    bool inIndentedBlock = false;
    std::string pending; // a block line continued with "\"
    std::size_t pendingLine = 0;
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::size_t prompted = kNone; // the last "$ " command, collecting its output
    for (std::size_t n = 0; n < lines.size(); ++n) {
        const std::string& line = lines[n];
        const std::string where = name + ":" + std::to_string(n + 1);
        const std::size_t indent = line.find_first_not_of(' ');
        const std::string trimmed = indent == std::string::npos ? "" : line.substr(indent);
        if (trimmed.starts_with("```") || trimmed.starts_with("~~~")) {
            fence = fence ? std::nullopt : std::optional<std::size_t>(indent);
            prompted = kNone;
            previousBlank = false;
            continue;
        }
        // An indented code block starts after a blank line; list items' text is not one.
        const bool indentedCode = !fence && indent != std::string::npos && indent >= 4
            && (inIndentedBlock || previousBlank);
        inIndentedBlock = indentedCode;
        previousBlank = trimmed.empty();
        if (fence || indentedCode) {
            // The block's own indentation is not part of its text; output keeps the rest.
            std::string text = fence ? line.substr(std::min(*fence, indent == std::string::npos ? line.size() : indent))
                                     : line.substr(4);
            // Continuations join the next line.
            if (!pending.empty())
                text = pending + " " + text;
            else
                pendingLine = n;
            if (text.ends_with("\\")) {
                pending = text.substr(0, text.size() - 1);
                continue;
            }
            pending.clear();
            const std::string at = name + ":" + std::to_string(pendingLine + 1);
            if (text.starts_with("$ ")) {
                const std::size_t before = commands.size();
                addShellLine(at, text.substr(2), commands);
                prompted = commands.size() > before ? commands.size() - 1 : kNone;
                continue;
            }
            if (prompted != kNone) {
                // Output shown after a "$ " command; the block holds nothing else.
                if (!text.empty() && text[0] != ' ')
                    commands[prompted].shownOutput.push_back(text);
                continue;
            }
            addShellLine(at, text, commands);
            continue;
        }
        // Prose: every `code` span that is a command of ours.
        for (std::size_t open = line.find('`'); open != std::string::npos;) {
            const std::size_t close = line.find('`', open + 1);
            if (close == std::string::npos)
                break;
            const std::string span = line.substr(open + 1, close - open - 1);
            std::istringstream spanWords(span);
            std::vector<std::string> words;
            for (std::string w; spanWords >> w;)
                words.push_back(w);
            if (!words.empty() && kOurPrograms.contains(fs::path(words[0]).filename().string())) {
                words[0] = fs::path(words[0]).filename().string();
                commands.push_back({where, span, words, true, false, {}});
            }
            open = line.find('`', close + 1);
        }
    }
    return commands;
}

bool isPlaceholder(const std::string& word)
{
    return !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || c == '-' || (c >= '0' && c <= '9');
    }) && word[0] >= 'A' && word[0] <= 'Z';
}

std::vector<std::string> alternatives(const std::string& word)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t bar; (bar = word.find('|', start)) != std::string::npos; start = bar + 1)
        parts.push_back(word.substr(start, bar - start));
    parts.push_back(word.substr(start));
    return parts;
}

// The subcommands a prose span names (alternatives give one each) and the flags it uses.
struct ProseCheck {
    std::vector<std::vector<std::string>> paths;
    std::vector<std::string> flags;
};

ProseCheck proseCheck(const DocCommand& command)
{
    ProseCheck check;
    std::vector<std::vector<std::string>> paths{{command.words[0]}};
    bool pathDone = false;
    for (std::size_t i = 1; i < command.words.size(); ++i) {
        std::string word = command.words[i];
        word.erase(std::remove(word.begin(), word.end(), '['), word.end());
        word.erase(std::remove(word.begin(), word.end(), ']'), word.end());
        if (word.starts_with("-")) {
            check.flags.push_back(word.substr(0, word.find('=')));
            pathDone = true;
        } else if (pathDone || word.empty() || word == "|" || isPlaceholder(alternatives(word).back())) {
            pathDone = true;
        } else {
            std::vector<std::vector<std::string>> longer;
            for (const auto& path : paths)
                for (const std::string& alternative : alternatives(word)) {
                    longer.push_back(path);
                    longer.back().push_back(alternative);
                }
            paths = longer;
        }
    }
    check.paths = paths;
    return check;
}

// ---- Running them -------------------------------------------------------------------------

struct Outcome {
    std::optional<int> status;     // exit status, when it exited
    std::optional<int> signal;     // the signal that ended it
    bool stillRunning = false;     // (for commands that run until stopped) when it was interrupted
    std::string out, err;
};

// A child whose output goes to files, so nothing blocks on a full pipe.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& env, const fs::path& cwd,
          const fs::path& outputs)
        : out_(outputs.string() + ".out"), err_(outputs.string() + ".err")
    {
        std::vector<char*> args, envp;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        for (const auto& e : env)
            envp.push_back(const_cast<char*>(e.c_str()));
        args.push_back(nullptr);
        envp.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            const int in = ::open("/dev/null", O_RDONLY);
            const int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(in, 0), ::dup2(out, 1), ::dup2(err, 2);
            if (::chdir(cwd.c_str()) != 0)
                ::_exit(126);
            ::execve(args[0], args.data(), envp.data());
            ::_exit(127);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child()
    {
        if (pid_ > 0 && !ended_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    // Waits for the end at most that long; false when it is still running.
    bool waitFor(std::chrono::milliseconds limit)
    {
        for (auto until = std::chrono::steady_clock::now() + limit;;) {
            int raw = 0;
            if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
                ended_ = true;
                if (WIFEXITED(raw))
                    outcome_.status = WEXITSTATUS(raw);
                if (WIFSIGNALED(raw))
                    outcome_.signal = WTERMSIG(raw);
                return true;
            }
            if (std::chrono::steady_clock::now() >= until)
                return false;
            std::this_thread::sleep_for(20ms);
        }
    }
    void signal(int number) { ::kill(pid_, number); }
    Outcome outcome()
    {
        outcome_.out = slurp(out_);
        outcome_.err = slurp(err_);
        return outcome_;
    }
    Outcome& state() { return outcome_; }

private:
    static std::string slurp(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    pid_t pid_ = -1;
    bool ended_ = false;
    fs::path out_, err_;
    Outcome outcome_;
};

std::string describe(const Outcome& outcome)
{
    std::ostringstream text;
    if (outcome.status)
        text << "exit " << *outcome.status;
    else if (outcome.signal)
        text << "signal " << *outcome.signal;
    else
        text << "still running";
    text << "\n--- stdout ---\n" << outcome.out.substr(0, 2000) << "\n--- stderr ---\n" << outcome.err.substr(0, 2000);
    return text.str();
}

const char* const kTestPattern = "lavfi:testsrc2=size=320x240:rate=15";

// Private directories for one document, the pictures and clips its examples name, and the
// programs in the background that its commands expect.
class DocWorld {
public:
    DocWorld() : root_(fs::temp_directory_path() / ("quellon-docs-" + std::to_string(::getpid()) + "-" + std::to_string(++count_)))
    {
        fs::remove_all(root_);
        for (const char* dir : {"home", "data/group.com.quellon.shared", "config", "run", "work", "logs"})
            fs::create_directories(root_ / dir);
        fs::permissions(root_ / "run", fs::perms::owner_all, fs::perm_options::replace);
        // The chosen camera is the test pattern, so "quellon record" needs no webcam.
        Child state({QUELLON_CLI_PATH, "state", "set", "--mode", "live"}, env(), root_ / "work", root_ / "logs" / "state");
        if (!state.waitFor(30s) || state.outcome().status != 0)
            throw std::runtime_error("could not write the state: " + describe(state.outcome()));
        nlohmann::json record = nlohmann::json::parse(std::ifstream(container() / "state.json"));
        record["selectedCameraID"] = kTestPattern;
        std::ofstream(container() / "state.json") << record.dump(2);
    }
    ~DocWorld()
    {
        stopBackground();
        fs::remove_all(root_);
    }

    fs::path container() const { return root_ / "data" / "group.com.quellon.shared"; }
    std::string work(const std::string& name) const { return (root_ / "work" / name).string(); }

    // The example files the documents name, made by ffmpeg in the working directory.
    void makeExampleMedia()
    {
        if (fs::exists(work("clip.mp4")))
            return;
        ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=1", "-frames:v", "1", work("picture.jpg")});
        ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=15", "-t", "4", "-pix_fmt", "yuv420p", work("clip.mp4")});
    }

    std::vector<std::string> env() const
    {
        std::vector<std::string> entries{
            "HOME=" + (root_ / "home").string(), "XDG_DATA_HOME=" + (root_ / "data").string(),
            "XDG_CONFIG_HOME=" + (root_ / "config").string(), "XDG_RUNTIME_DIR=" + (root_ / "run").string(),
            // No session bus: nothing reaches the user's own.
            "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (root_ / "run" / "no-bus").string(),
            "PATH=/usr/local/bin:/usr/bin:/bin", "LC_ALL=C.UTF-8", "TZ=UTC"};
        // The leak checker's suppressions this test runs with reach the programs it starts.
        if (const char* leakOptions = std::getenv("LSAN_OPTIONS"))
            entries.push_back(std::string("LSAN_OPTIONS=") + leakOptions);
        return entries;
    }

    // A loop in the library under a known name, made again if a command removed it.
    std::string libraryLoop()
    {
        const std::string name = "imported-clip.mov";
        if (!fs::exists(container() / "Clips" / name)) {
            makeExampleMedia();
            Child importing({QUELLON_CLI_PATH, "loops", "import", work("clip.mp4")}, env(), root_ / "work",
                            root_ / "logs" / "import");
            if (!importing.waitFor(60s) || importing.outcome().status != 0)
                ADD_FAILURE() << "could not put a loop into the library: " << describe(importing.outcome());
        }
        return name;
    }

    // The value a placeholder stands for in the command; nothing when the test has no stand-in.
    std::optional<std::string> standIn(const std::string& placeholder, const std::vector<std::string>& words)
    {
        const std::string group = words.size() > 1 ? words[1] : "";
        if (placeholder == "NAME")
            return group == "schedules" ? std::optional<std::string>("Lunch") : libraryLoop();
        if (placeholder == "CLIP" || placeholder == "LOOP")
            return libraryLoop();
        if (placeholder == "FILE") {
            makeExampleMedia();
            return work("clip.mp4");
        }
        if (placeholder == "DEST") {
            fs::remove(work("exported.mov"));
            return work("exported.mov");
        }
        if (placeholder == "S")
            return "0.5";
        if (placeholder == "E")
            return "3.5";
        if (placeholder == "APP-ID")
            return "us.zoom.Zoom";
        if (placeholder == "TEXT")
            return "Zoom";
        if (placeholder == "URL")
            return kTestPattern;
        return std::nullopt;
    }

    // The command lines to run for one documented command: placeholders filled in, optional
    // parts kept, and one line for each alternative of a|b words (taken side by side).
    std::vector<std::vector<std::string>> expand(const DocCommand& command)
    {
        std::vector<std::string> words;
        for (std::string word : command.words) {
            if (word.starts_with("[") )
                word.erase(0, 1);
            if (word.ends_with("]"))
                word.pop_back();
            words.push_back(word);
        }
        std::size_t variants = 1;
        for (const auto& word : words) {
            const auto parts = alternatives(word);
            // Alternative placeholders (ID|NAME) take the last, the one the test can stand in for.
            if (!isPlaceholder(parts.back()))
                variants = std::max(variants, parts.size());
        }
        std::vector<std::vector<std::string>> lines;
        for (std::size_t v = 0; v < variants; ++v) {
            std::vector<std::string> line;
            for (const auto& word : words) {
                const auto parts = alternatives(word);
                std::string chosen = isPlaceholder(parts.back()) ? parts.back() : parts[std::min(v, parts.size() - 1)];
                if (isPlaceholder(chosen)) {
                    auto value = standIn(chosen, words);
                    if (!value) {
                        ADD_FAILURE() << command.where << ": no stand-in for " << chosen << " in `" << command.text
                                      << "`; teach the documentation test one";
                        return {};
                    }
                    chosen = *value;
                }
                line.push_back(chosen);
            }
            // Recordings are cut to 1 s: the line is checked, not the length of the take.
            if (line.size() > 1 && line[1] == "record") {
                const auto seconds = std::find(line.begin(), line.end(), "--seconds");
                if (seconds != line.end() && seconds + 1 != line.end())
                    *(seconds + 1) = "1";
                else
                    line.insert(line.end(), {"--seconds", "1"});
            }
            lines.push_back(line);
        }
        return lines;
    }

    static std::string programPath(const std::string& name)
    {
        if (name == "quellon-extension")
            return QUELLON_EXTENSION_PATH;
        return QUELLON_CLI_PATH;
    }

    // Runs one command line to its end, or, for one that runs until stopped, for a moment and
    // then interrupts it.
    Outcome run(std::vector<std::string> line, bool background)
    {
        line[0] = programPath(line[0]);
        const fs::path logs = root_ / "logs" / std::to_string(++runs_);
        if (background) {
            background_.push_back(std::make_unique<Child>(line, env(), root_ / "work", logs));
            // The daemon is up once its socket answers; a daemon that fails ends instead.
            Child& child = *background_.back();
            for (int i = 0; i < 500 && !fs::exists(container() / "camera.sock"); ++i)
                if (child.waitFor(20ms))
                    return child.outcome();
            Outcome running;
            running.stillRunning = true;
            return running;
        }
        Child child(line, env(), root_ / "work", logs);
        std::vector<std::string> words(line);
        words[0] = fs::path(words[0]).filename().string();
        if (runsUntilStopped(words)) {
            if (child.waitFor(1500ms))
                return child.outcome();
            child.signal(SIGINT);
            if (!child.waitFor(10s))
                return child.outcome();
            Outcome outcome = child.outcome();
            outcome.stillRunning = true;
            return outcome;
        }
        child.waitFor(90s);
        return child.outcome();
    }

    bool cameraRunning() const { return fs::exists(container() / "camera.sock"); }

    // Stops the programs started in the background; each must end cleanly on SIGTERM.
    void stopBackground()
    {
        for (auto& child : background_) {
            child->signal(SIGTERM);
            if (!child->waitFor(10s))
                ADD_FAILURE() << "a background program did not stop on SIGTERM";
            else if (child->state().status != 0)
                ADD_FAILURE() << "a background program ended badly: " << describe(child->outcome());
        }
        background_.clear();
    }

private:
    void ffmpeg(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"/usr/bin/ffmpeg", "-loglevel", "error", "-y"});
        Child child(args, {"PATH=/usr/bin:/bin"}, root_ / "work", root_ / "logs" / "ffmpeg");
        if (!child.waitFor(60s) || child.outcome().status != 0)
            throw std::runtime_error("ffmpeg failed: " + describe(child.outcome()));
    }

    static inline int count_ = 0;
    fs::path root_;
    int runs_ = 0;
    std::vector<std::unique_ptr<Child>> background_;
};

std::vector<std::string> documents()
{
    std::vector<std::string> names{"README.md"};
    std::vector<std::string> docs;
    for (const auto& entry : fs::directory_iterator(fs::path(QUELLON_SOURCE_DIR) / "docs"))
        if (entry.path().extension() == ".md")
            docs.push_back("docs/" + entry.path().filename().string());
    std::sort(docs.begin(), docs.end());
    names.insert(names.end(), docs.begin(), docs.end());
    return names;
}

std::string readDocument(const std::string& name)
{
    std::ifstream in(fs::path(QUELLON_SOURCE_DIR) / name);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// ---- The extraction itself ----------------------------------------------------------------

DocCommand written(std::vector<std::string> words)
{
    return {"", "", std::move(words), false, false, {}};
}

TEST(DocCommandExtraction, ReadsBlocksProseAndShellSyntax)
{
    const std::string markdown = "Intro `quellon loops trim NAME --start S` and `ffmpeg -i x` and `quellon`.\n"
                                 "\n"
                                 "```sh\n"
                                 "# a comment naming quellon camera\n"
                                 "build/extension/quellon-extension --sink y4m &      # the camera\n"
                                 "ffplay \"$(build/cli/quellon container)/camera.y4m\" &\n"
                                 "quellon settings set schedules|profiles on|off\n"
                                 "quellon record --name \"Desk, morning\" \\\n"
                                 "  --seconds 4 | tee log && quellon loops list\n"
                                 "sudo apt install ./quellon_*.deb\n"
                                 "```\n"
                                 "\n"
                                 "    quellon state show\n"
                                 "\n"
                                 "```\n"
                                 "$ quellon profiles apps\n"
                                 "Reading the camera now:\n"
                                 "  us.zoom.Zoom   desktop file\n"
                                 "```\n";
    const std::vector<DocCommand> commands = extractCommands(markdown, "x.md");
    std::vector<std::string> texts;
    for (const auto& command : commands)
        texts.push_back(command.where + (command.inProse ? " prose " : command.background ? " & " : " ") + command.text);
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "x.md:1 prose quellon loops trim NAME --start S",
                         "x.md:1 prose quellon",
                         "x.md:5 & quellon-extension --sink y4m",
                         "x.md:6 quellon container",
                         "x.md:7 quellon settings set schedules|profiles on|off",
                         "x.md:8 quellon record --name Desk, morning --seconds 4",
                         "x.md:8 quellon loops list",
                         "x.md:13 quellon state show",
                         "x.md:16 quellon profiles apps",
                     }));
    ASSERT_EQ(commands.size(), 9u);
    EXPECT_EQ(commands[5].words, (std::vector<std::string>{"quellon", "record", "--name", "Desk, morning", "--seconds", "4"}));
    EXPECT_EQ(commands.back().shownOutput, std::vector<std::string>{"Reading the camera now:"});

    const ProseCheck trim = proseCheck(commands[0]);
    EXPECT_EQ(trim.paths, (std::vector<std::vector<std::string>>{{"quellon", "loops", "trim"}}));
    EXPECT_EQ(trim.flags, std::vector<std::string>{"--start"});
    const ProseCheck host = proseCheck(written({"quellon", "host", "[--camera", "ID", "|", "--input", "URL]", "[--no-tray]"}));
    EXPECT_EQ(host.paths, (std::vector<std::vector<std::string>>{{"quellon", "host"}}));
    EXPECT_EQ(host.flags, (std::vector<std::string>{"--camera", "--input", "--no-tray"}));
    const ProseCheck groups = proseCheck(written({"quellon", "settings|schedules"}));
    EXPECT_EQ(groups.paths, (std::vector<std::vector<std::string>>{{"quellon", "settings"}, {"quellon", "schedules"}}));
}

TEST(DocCommandExtraction, AlternativesRunSideBySideAndPlaceholdersGetStandIns)
{
    DocWorld world;
    const auto settings = world.expand(written({"quellon", "settings", "set", "schedules|profiles|lock-trigger", "on|off"}));
    EXPECT_EQ(settings, (std::vector<std::vector<std::string>>{{"quellon", "settings", "set", "schedules", "on"},
                                                               {"quellon", "settings", "set", "profiles", "off"},
                                                               {"quellon", "settings", "set", "lock-trigger", "off"}}));
    const auto removal = world.expand(written({"quellon", "schedules", "remove", "ID|NAME"}));
    EXPECT_EQ(removal, (std::vector<std::vector<std::string>>{{"quellon", "schedules", "remove", "Lunch"}}));
    const auto profile = world.expand(written({"quellon", "profiles", "add", "APP-ID", "--loop", "CLIP", "[--name", "TEXT]"}));
    EXPECT_EQ(profile, (std::vector<std::vector<std::string>>{
                           {"quellon", "profiles", "add", "us.zoom.Zoom", "--loop", "imported-clip.mov", "--name", "Zoom"}}));
    EXPECT_TRUE(fs::exists(world.container() / "Clips" / "imported-clip.mov"));
    const auto record = world.expand(written({"quellon", "record"}));
    EXPECT_EQ(record, (std::vector<std::vector<std::string>>{{"quellon", "record", "--seconds", "1"}}));
}

// ---- Every document ----------------------------------------------------------------------

class Documents : public ::testing::TestWithParam<std::string> {};

TEST_P(Documents, EveryCommandItShowsRunsAsItSays)
{
    const std::string name = GetParam();
    const std::vector<DocCommand> commands = extractCommands(readDocument(name), name);
    DocWorld world;
    const bool runsCommands = std::any_of(commands.begin(), commands.end(), [](const DocCommand& c) { return !c.inProse; });
    if (runsCommands)
        world.makeExampleMedia();
    // The camera daemon, for documents that talk to a running camera without starting one.
    const bool startsItsCamera = std::any_of(commands.begin(), commands.end(), [](const DocCommand& c) {
        return !c.inProse && c.background && c.words[0] == "quellon-extension";
    });
    if (runsCommands && !startsItsCamera) {
        const Outcome camera = world.run({"quellon-extension", "--sink", "y4m"}, true);
        ASSERT_TRUE(camera.stillRunning) << describe(camera);
    }

    for (const DocCommand& command : commands) {
        SCOPED_TRACE(command.where + ": " + command.text);
        if (auto skipped = kSkipped.find(command.words[0] + (command.words.size() > 1 ? " " + command.words[1] : ""));
            skipped != kSkipped.end() || (skipped = kSkipped.find(command.words[0])) != kSkipped.end()) {
            std::cout << "[ skipped  ] " << command.where << " `" << command.text << "`: " << skipped->second << "\n";
            continue;
        }
        if (command.inProse) {
            // The command must exist and take every flag the sentence gives it.
            const ProseCheck check = proseCheck(command);
            for (const auto& path : check.paths) {
                std::vector<std::string> help(path);
                help.push_back("--help");
                // Many sentences name the same command; its help is asked once.
                static std::map<std::vector<std::string>, Outcome> helps;
                if (!helps.contains(help))
                    helps[help] = world.run(help, false);
                const Outcome& outcome = helps[help];
                std::string joined;
                for (const auto& w : path)
                    joined += w + " ";
                EXPECT_EQ(outcome.status, 0) << "`" << joined << "--help`: " << describe(outcome);
                // Help for an unknown subcommand is its parent's; the usage line names whose it is.
                const std::string usage = "Usage: " + joined;
                EXPECT_TRUE(outcome.out.find(usage) != std::string::npos
                            || outcome.out.find(usage.substr(0, usage.size() - 1) + "\n") != std::string::npos)
                    << "no such command `" << joined << "`:\n" << outcome.out;
                for (const std::string& flag : check.flags)
                    EXPECT_NE(outcome.out.find(flag), std::string::npos)
                        << "`" << joined << "` takes no " << flag << ":\n" << outcome.out;
            }
            continue;
        }
        for (const auto& line : world.expand(command)) {
            const Outcome outcome = world.run(line, command.background);
            if (outcome.stillRunning) {
                // Stopped by us: it must have taken Ctrl-C as the end it documents.
                EXPECT_TRUE(command.background || outcome.status == 0 || outcome.status == 130
                            || outcome.signal == SIGINT)
                    << describe(outcome);
                continue;
            }
            EXPECT_EQ(outcome.status, 0) << describe(outcome);
            for (const std::string& shown : command.shownOutput)
                EXPECT_NE(("\n" + outcome.out).find("\n" + shown + "\n"), std::string::npos)
                    << "the document shows the line \"" << shown << "\":\n" << outcome.out;
        }
    }
    world.stopBackground();
}

INSTANTIATE_TEST_SUITE_P(ReadmeAndDocs, Documents, ::testing::ValuesIn(documents()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name = fs::path(info.param).stem().string();
                             std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
                             return name;
                         });

// ---- What RECORDING.md promises about a loop's length ---------------------------------------

// A loop is 3 to 15 s long; a take that gives less (a short --seconds, an input that ends
// early) is saved, but graded C with the reason.
TEST(RecordingLength, ATakeUnderThreeSecondsIsGradedCWithTheReason)
{
    DocWorld world;
    for (const std::vector<std::string>& line :
         {std::vector<std::string>{"quellon", "record", "--seconds", "2", "--input", kTestPattern, "--name", "short"},
          {"quellon", "record", "--input", "lavfi:testsrc2=size=320x240:rate=25:duration=0.04", "--name", "blip"}}) {
        SCOPED_TRACE(line[line.size() - 1]);
        const Outcome outcome = world.run(line, false);
        ASSERT_EQ(outcome.status, 0) << describe(outcome);
        EXPECT_NE(outcome.out.find("Grade C (Needs another take)"), std::string::npos) << outcome.out;
        EXPECT_NE(outcome.out.find("This loop is shorter than 3 seconds"), std::string::npos) << outcome.out;
    }
}

} // namespace
} // namespace quellon
