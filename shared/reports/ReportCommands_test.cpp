// Runs the built quellon program's report commands against a private container.

#include "ConfinedChild.h"
#include "TestScratchDirectory.h"
#include "menubar/BusTestSupport.h"
#include "reports/MachineFacts.h"
#include "platform/DateTime.h"
#include "platform/FileIO.h"
#include "reports/QuellonBuild.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

namespace quellon {
namespace {

namespace fs = std::filesystem;
using testing_support::ScratchDirectory;

struct ProgramRun {
    int status = -1;
    std::string out, err;
};

class ReportCommands : public ::testing::Test {
protected:
    ReportCommands()
    {
        fs::create_directories(container / "Clips");
        for (const char* name : {"morning.mov", "standup.MP4", "morning.json", ".quellon-export-1.mov"})
            std::ofstream(container / "Clips" / name) << "x";
        std::ofstream(container / "state.json")
            << R"({"mode": "standby", "loopMode": "pingpong", "targetFPS": 30, "targetWidth": 1280,
                  "targetHeight": 720, "revision": 4, "updatedAt": "2025-03-04T09:30:00Z"})";
    }

    // Runs the program with only this test's directories in its environment.
    ProgramRun run(const std::vector<std::string>& arguments) const
    {
        auto quoted = [](const fs::path& path) { return "'" + path.string() + "'"; };
        const fs::path out = scratch.path() / "stdout", err = scratch.path() / "stderr";
        std::string command = "env -u QUELLON_NO_APP_GROUP XDG_DATA_HOME=" + quoted(scratch.path() / "data")
            + " XDG_CONFIG_HOME=" + quoted(scratch.path() / "config") + " HOME=" + quoted(scratch.path()) + " "
            + quoted(QUELLON_CLI_PATH);
        for (const std::string& argument : arguments)
            command += " " + quoted(argument);
        const int status = std::system((command + " >" + quoted(out) + " 2>" + quoted(err) + " </dev/null").c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readRegularFile(out).value_or(""),
                readRegularFile(err).value_or("")};
    }

    ScratchDirectory scratch;
    fs::path container = scratch.path() / "data" / "group.com.quellon.shared";
};

// The structure every diagnostics text has, whatever this machine looks like.
void expectWellFormedDiagnostics(const std::string& text)
{
    std::vector<std::string> all;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        all.push_back(line);
    ASSERT_TRUE(text.ends_with('\n'));
    ASSERT_GE(all.size(), 30u);
    EXPECT_EQ(all[0] + "\n" + all[1], "Quellon diagnostics report\n==========================");
    ASSERT_TRUE(all[2].starts_with("Generated: "));
    EXPECT_TRUE(InternetDateTime::parse(all[2].substr(11))) << all[2];
    EXPECT_EQ(all[10], "Version                   " + std::string(QuellonBuild::version()) + " ("
                           + std::string(QuellonBuild::buildNumber()) + ")");
    for (const char* line : {"— App —", "— Capture & virtual camera —", "— Privacy posture —",
                             "Application ID            com.pennaveld.quellon",
                             "Current mode              standby",
                             "Saved loops               2"})
        EXPECT_NE(std::find(all.begin(), all.end(), line), all.end()) << "missing: " << line;
    for (const char* start : {"Shared container          available (", "Microphone access         not used by Quellon",
                              "Operating system          ", "Sandbox                   ",
                              "Network access            "})
        EXPECT_NE(std::find_if(all.begin(), all.end(), [&](const auto& line) { return line.starts_with(start); }),
                  all.end())
            << "missing: " << start;

    // The log section's count agrees with what follows it.
    const std::string logHead = "— Recent log entries (";
    const auto head = std::find_if(all.begin(), all.end(), [&](const auto& line) { return line.starts_with(logHead); });
    ASSERT_NE(head, all.end());
    const std::size_t count = std::stoul(head->substr(logHead.size()));
    ASSERT_EQ(static_cast<std::size_t>(all.end() - head - 1), std::max<std::size_t>(count, 1));
    if (count == 0) {
        EXPECT_EQ(head[1], "(none captured — the log store may be empty or unavailable)");
    }
}

TEST_F(ReportCommands, DiagnosticsPrintsOrWritesAWellFormedReport)
{
    const ProgramRun printed = run({"diagnostics"});
    ASSERT_EQ(printed.status, 0) << printed.err;
    expectWellFormedDiagnostics(printed.out);

    // Given a directory, the report goes into the suggested file in it.
    const ProgramRun written = run({"diagnostics", "--output", scratch.path().string()});
    ASSERT_EQ(written.status, 0) << written.err;
    const auto file = readRegularFile(scratch.path() / "Quellon-Diagnostics.txt");
    ASSERT_TRUE(file);
    expectWellFormedDiagnostics(*file);
}

TEST_F(ReportCommands, DiagnosticsIntoAMissingDirectoryFailsAndLeavesNothing)
{
    const ProgramRun result = run({"diagnostics", "--output", (scratch.path() / "nowhere" / "report.txt").string()});
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
    ASSERT_TRUE(absences.is_array() && absences.size() >= 4) << absences;
    for (const auto& absence : absences)
        EXPECT_TRUE(absence.size() == 2 && absence.at("thing").is_string() && absence.at("reason").is_string());
}

// Listens on the socket and owns the host's bus name, as the camera daemon and the host do.
bool standInForCameraAndHost(const fs::path& socketPath)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    socketPath.string().copy(address.sun_path, sizeof(address.sun_path) - 1);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 || ::listen(fd, 4) != 0)
        return false;
    // Held until the process is killed.
    sd_bus* bus = nullptr;
    return sd_bus_open_user(&bus) >= 0 && sd_bus_request_name(bus, "com.pennaveld.quellon", 0) >= 0;
}

TEST(HostOnTheBus, IsFoundByItsName)
{
    testing::PrivateSessionBus bus;
    const LinuxMachineFacts facts;
    EXPECT_EQ(facts.busNameOwnerProcess("com.pennaveld.quellon"), std::nullopt);
    sd_bus* raw = nullptr;
    ASSERT_GE(sd_bus_open_user(&raw), 0);
    ASSERT_GE(sd_bus_request_name(raw, "com.pennaveld.quellon", 0), 0);
    EXPECT_EQ(facts.busNameOwnerProcess("com.pennaveld.quellon"), ::getpid());
    sd_bus_flush_close_unref(raw);
    EXPECT_EQ(facts.busNameOwnerProcess("com.pennaveld.quellon"), std::nullopt);
}

TEST_F(ReportCommands, ReceiptOfConfinedProgramsClaimsEveryAbsence)
{
    testing::PrivateSessionBus bus;
    const auto expectReceipt = [&](bool confined, const std::string& explanation) {
        const ProgramRun result = run({"privacy-receipt", "--json", "--explain"});
        ASSERT_EQ(result.status, 0) << result.err;
        const auto document = nlohmann::json::parse(result.out, nullptr, false);
        ASSERT_TRUE(document.is_object()) << result.out;
        EXPECT_EQ(document.at("entitlements").at("sandboxEnabled"), confined) << result.err;
        EXPECT_EQ(document.at("entitlements").at("networkClientEntitlement"), !confined) << result.err;
        EXPECT_EQ(document.at("architecturalAbsences").size(), confined ? 6u : 4u);
        EXPECT_NE(result.err.find(explanation), std::string::npos) << result.err;
        const ProgramRun text = run({"privacy-receipt"});
        ASSERT_EQ(text.status, 0) << text.err;
        EXPECT_NE(text.out.find(confined ? "\nOutbound connections:       BLOCKED\n"
                                         : "\nOutbound connections:       NOT BLOCKED\n"),
                  std::string::npos)
            << text.out;
        EXPECT_EQ(text.out.find("nothing can leave this machine") != std::string::npos, confined) << text.out;
    };
    expectReceipt(false, "host: not running");
    {
        const fs::path socket = container / "camera.sock";
        const testing_support::ConfinedChild programs([&] { return standInForCameraAndHost(socket); });
        if (programs.failure())
            GTEST_SKIP() << *programs.failure();
        expectReceipt(true, "host (pid " + std::to_string(programs.pid()) + "): seccomp filter");
    }
    // Once they have stopped, nothing is claimed for them.
    expectReceipt(false, "camera daemon: not running");
}

} // namespace
} // namespace quellon
