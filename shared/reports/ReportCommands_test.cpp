// Runs the built quellon program's report commands against a private container.

#include "TestScratchDirectory.h"
#include "platform/DateTime.h"
#include "platform/FileIO.h"
#include "reports/QuellonBuild.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <set>

extern char** environ;

namespace quellon {
namespace {

namespace fs = std::filesystem;
using testing_support::ScratchDirectory;

struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

class ReportCommands : public testing::Test {
protected:
    ReportCommands()
    {
        container = scratch.path() / "data" / "group.com.quellon.shared";
        fs::create_directories(container / "Clips");
        fs::create_directories(scratch.path() / "config");
        for (const char* name : {"morning.mov", "standup.MP4", "morning.json", ".quellon-export-1.mov"})
            std::ofstream(container / "Clips" / name) << "x";
        std::ofstream(container / "state.json")
            << R"({"mode": "standby", "loopMode": "pingpong", "targetFPS": 30, "targetWidth": 1280,
                  "targetHeight": 720, "revision": 4, "updatedAt": "2025-03-04T09:30:00Z"})";
    }

    ProgramRun run(std::vector<std::string> arguments) const
    {
        std::vector<std::string> environment;
        for (char** entry = environ; *entry; ++entry) {
            const std::string_view variable(*entry);
            if (variable.starts_with("XDG_DATA_HOME=") || variable.starts_with("XDG_CONFIG_HOME=")
                || variable.starts_with("HOME=") || variable.starts_with("QUELLON_NO_APP_GROUP="))
                continue;
            environment.emplace_back(variable);
        }
        environment.push_back("XDG_DATA_HOME=" + (scratch.path() / "data").string());
        environment.push_back("XDG_CONFIG_HOME=" + (scratch.path() / "config").string());
        environment.push_back("HOME=" + scratch.path().string());

        arguments.insert(arguments.begin(), QUELLON_CLI_PATH);
        std::vector<char*> argv;
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& variable : environment)
            envp.push_back(variable.data());
        envp.push_back(nullptr);

        const fs::path outPath = scratch.path() / "stdout";
        const fs::path errPath = scratch.path() / "stderr";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        pid_t pid = 0;
        ProgramRun result;
        const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0)
            return result;
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.out = readRegularFile(outPath).value_or("");
        result.err = readRegularFile(errPath).value_or("");
        return result;
    }

    ScratchDirectory scratch;
    fs::path container;
};

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            result.push_back(text.substr(start));
            break;
        }
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

// The structure every diagnostics text has, whatever this machine looks like.
void expectWellFormedDiagnostics(const std::string& text)
{
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const auto all = lines(text);
    ASSERT_GE(all.size(), 30u);
    EXPECT_EQ(all[0], "Quellon diagnostics report");
    EXPECT_EQ(all[1], "==========================");
    ASSERT_EQ(all[2].rfind("Generated: ", 0), 0u);
    EXPECT_TRUE(InternetDateTime::parse(all[2].substr(11))) << all[2];
    const std::string version = "Version                   " + std::string(QuellonBuild::version()) + " ("
        + std::string(QuellonBuild::buildNumber()) + ")";
    EXPECT_EQ(all[10], version);
    for (const char* line : {"— App —", "— Capture & virtual camera —", "— Privacy posture —",
                             "Bundle ID                 com.pennaveld.quellon",
                             "App Group storage         available", "Current mode              standby",
                             "Saved loops               2"})
        EXPECT_NE(std::find(all.begin(), all.end(), line), all.end()) << "missing: " << line;

    // The log section's count agrees with what follows it.
    const auto head = std::find_if(all.begin(), all.end(),
                                   [](const std::string& line) { return line.starts_with("— Recent log entries ("); });
    ASSERT_NE(head, all.end());
    const std::size_t count = std::stoul(head->substr(std::string("— Recent log entries (").size()));
    const std::size_t following = static_cast<std::size_t>(all.end() - head - 1);
    if (count == 0) {
        ASSERT_EQ(following, 1u);
        EXPECT_EQ(head[1], "(none captured — the log store may be empty or unavailable)");
    } else {
        EXPECT_EQ(following, count);
    }
}

TEST_F(ReportCommands, DiagnosticsPrintsAWellFormedReport)
{
    const ProgramRun result = run({"diagnostics"});
    ASSERT_EQ(result.status, 0) << result.err;
    expectWellFormedDiagnostics(result.out);
}

TEST_F(ReportCommands, DiagnosticsWritesTheSuggestedFileIntoADirectory)
{
    const ProgramRun result = run({"diagnostics", "--output", scratch.path().string()});
    ASSERT_EQ(result.status, 0) << result.err;
    const auto written = readRegularFile(scratch.path() / "Quellon-Diagnostics.txt");
    ASSERT_TRUE(written);
    expectWellFormedDiagnostics(*written);
}

TEST_F(ReportCommands, DiagnosticsIntoAMissingDirectoryFailsAndLeavesNothing)
{
    const fs::path file = scratch.path() / "nowhere" / "report.txt";
    const ProgramRun result = run({"diagnostics", "--output", file.string()});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("quellon: could not write the report"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(scratch.path() / "nowhere"));
}

TEST_F(ReportCommands, PrivacyReceiptJSONIsWellFormed)
{
    const ProgramRun result = run({"privacy-receipt", "--json"});
    ASSERT_EQ(result.status, 0) << result.err;
    const auto document = nlohmann::json::parse(result.out, nullptr, false);
    ASSERT_TRUE(document.is_object()) << result.out;

    std::set<std::string> keys;
    for (const auto& item : document.items())
        keys.insert(item.key());
    EXPECT_EQ(keys, (std::set<std::string>{"generatedAt", "bundleID", "buildVersion", "appGroupIdentifier",
                                           "onThisMac", "entitlements", "architecturalAbsences"}));
    EXPECT_TRUE(InternetDateTime::parse(document.at("generatedAt").get<std::string>()));
    EXPECT_EQ(document.at("bundleID"), "com.pennaveld.quellon");
    EXPECT_EQ(document.at("appGroupIdentifier"), "group.com.quellon.shared");
    EXPECT_EQ(document.at("onThisMac"), (nlohmann::json{{"recordedLoops", 2}}));
    const auto& entitlements = document.at("entitlements");
    ASSERT_EQ(entitlements.size(), 3u);
    for (const char* key : {"sandboxEnabled", "networkClientEntitlement", "networkServerEntitlement"})
        EXPECT_TRUE(entitlements.at(key).is_boolean()) << key;
    const auto& absences = document.at("architecturalAbsences");
    ASSERT_TRUE(absences.is_array());
    EXPECT_GE(absences.size(), 4u);
    for (const auto& absence : absences) {
        EXPECT_EQ(absence.size(), 2u);
        EXPECT_TRUE(absence.at("thing").is_string());
        EXPECT_TRUE(absence.at("reason").is_string());
    }
}

} // namespace
} // namespace quellon
