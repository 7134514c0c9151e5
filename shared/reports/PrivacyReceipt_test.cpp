#include "reports/PrivacyReceipt.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>

namespace quellon {
namespace {

using namespace std::chrono;

PrivacyReceipt fixedReceipt()
{
    return PrivacyReceipt{.bundleID = "com.pennaveld.quellon", .buildVersion = "1.2 (34)",
                          .appGroupIdentifier = "group.com.quellon.shared", .loopCount = 7, .sandboxEnabled = true,
                          .hasNetworkClientEntitlement = false, .hasNetworkServerEntitlement = false,
                          .absences = PrivacyAbsences::canonical(),
                          .generatedAt = sys_days(year(2025) / 3 / 4) + hours(9) + minutes(30) + milliseconds(750)};
}

const char* const kGoldenReceipt = R"TEXT(==============================================
QUELLON PRIVACY RECEIPT
==============================================

Generated: 2025-03-04T09:30:00Z

- Build identity -
App ID:        com.pennaveld.quellon
Build version: 1.2 (34)
Shared folder: $XDG_DATA_HOME/group.com.quellon.shared

- On this machine -
Recorded loops: 7

- Sandboxing & network -
Daemons sandboxed:          YES
Outbound connections:       BLOCKED
Inbound connections:        BLOCKED

- What this app structurally cannot do -
  1. Your face as data
     -> The face-landmark model runs only on this machine, to grade your loops; it identifies no one and no face data is kept.
  2. Your voice or words
     -> Quellon has no audio code: no microphone is opened, and loops carry no sound.
  3. Who you are
     -> No accounts, no sign-in, no identifier — nothing to track you with.
  4. Your network activity
     -> Its daemons have nothing but loopback (PrivateNetwork=yes): the OS blocks every connection.
  5. Other apps' data
     -> Sandboxed: its daemons can change no files outside the shared folder and ~/.config, and open no devices but cameras.
  6. Crashes, analytics, telemetry
     -> No telemetry SDK, no crash reporter, no “anonymous diagnostics.”

- What this means -
The sandbox and network lines were read from the running camera
daemon and host (/proc); their shipped systemd units start them with
PrivateNetwork=yes and Unix sockets only. With nothing but loopback,
connections are impossible at the OS level: there is nothing to
leak because nothing can leave this machine.

==============================================)TEXT";

const char* const kGoldenJSON = R"JSON({
  "appGroupIdentifier": "group.com.quellon.shared",
  "architecturalAbsences": [
    {
      "reason": "The face-landmark model runs only on this machine, to grade your loops; it identifies no one and no face data is kept.",
      "thing": "Your face as data"
    },
    {
      "reason": "Quellon has no audio code: no microphone is opened, and loops carry no sound.",
      "thing": "Your voice or words"
    },
    {
      "reason": "No accounts, no sign-in, no identifier — nothing to track you with.",
      "thing": "Who you are"
    },
    {
      "reason": "Its daemons have nothing but loopback (PrivateNetwork=yes): the OS blocks every connection.",
      "thing": "Your network activity"
    },
    {
      "reason": "Sandboxed: its daemons can change no files outside the shared folder and ~/.config, and open no devices but cameras.",
      "thing": "Other apps' data"
    },
    {
      "reason": "No telemetry SDK, no crash reporter, no “anonymous diagnostics.”",
      "thing": "Crashes, analytics, telemetry"
    }
  ],
  "buildVersion": "1.2 (34)",
  "bundleID": "com.pennaveld.quellon",
  "entitlements": {
    "networkClientEntitlement": false,
    "networkServerEntitlement": false,
    "sandboxEnabled": true
  },
  "generatedAt": "2025-03-04T09:30:00Z",
  "onThisMac": {
    "recordedLoops": 7
  }
})JSON";

TEST(PrivacyReceipt, RendersTheWholeTextAndJSONByteForByte)
{
    EXPECT_EQ(fixedReceipt().text(), kGoldenReceipt);
    EXPECT_EQ(fixedReceipt().json(), kGoldenJSON);
}

TEST(PrivacyReceipt, EachAbsenceTakesTwoLinesAndNoneLeavesAnEmptySection)
{
    for (std::size_t count : {0u, 1u}) {
        PrivacyReceipt receipt = fixedReceipt();
        receipt.absences.resize(count);
        const std::string text = receipt.text();
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 28 + 2 * count) << count << " absences";
        EXPECT_TRUE(text.ends_with("\n\n" + std::string(46, '='))) << count << " absences";
    }
    PrivacyReceipt receipt = fixedReceipt();
    receipt.absences.clear();
    EXPECT_NE(receipt.text().find("- What this app structurally cannot do -\n\n- What this means -\n"),
              std::string::npos);
    EXPECT_NE(receipt.json().find("\"architecturalAbsences\": [],"), std::string::npos) << receipt.json();
}

TEST(PrivacyReceipt, FlagsPrintAsWordsAndAsJSONBooleans)
{
    PrivacyReceipt receipt = fixedReceipt();
    receipt.sandboxEnabled = false;
    receipt.hasNetworkClientEntitlement = true;
    receipt.hasNetworkServerEntitlement = false;
    EXPECT_NE(receipt.text().find("\nDaemons sandboxed:          NO\nOutbound connections:       NOT BLOCKED\n"
                                  "Inbound connections:        BLOCKED\n"),
              std::string::npos);
    EXPECT_EQ(nlohmann::json::parse(receipt.json()).at("entitlements"),
              (nlohmann::json{{"sandboxEnabled", false}, {"networkClientEntitlement", true},
                              {"networkServerEntitlement", false}}));
}

TEST(PrivacyReceipt, ClaimsNothingCanLeaveOnlyWhenBothDirectionsAreBlocked)
{
    const std::string claim = "nothing can leave this machine.";
    EXPECT_NE(fixedReceipt().text().find(claim), std::string::npos);
    for (auto [client, server] : {std::pair{true, false}, {false, true}, {true, true}}) {
        PrivacyReceipt receipt = fixedReceipt();
        receipt.hasNetworkClientEntitlement = client;
        receipt.hasNetworkServerEntitlement = server;
        const std::string text = receipt.text();
        EXPECT_EQ(text.find(claim), std::string::npos) << text;
        EXPECT_NE(text.find("not shown to be cut off from the network"), std::string::npos) << text;
        // The paragraph keeps its length, so the layout does not move.
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 40) << text;
    }
}

TEST(PrivacyReceipt, SaysNothingOnlyTrueOfAnotherSystem)
{
    for (bool flag : {false, true}) {
        PrivacyReceipt receipt = fixedReceipt();
        receipt.sandboxEnabled = receipt.hasNetworkClientEntitlement = receipt.hasNetworkServerEntitlement = flag;
        const std::string text = receipt.text();
        for (const char* word : {"Mac", "macOS", "Bundle ID", "App Group", "App Sandbox", "entitlement", "mic ",
                                 "level meter", "no runtime", "face-recognition"})
            EXPECT_EQ(text.find(word), std::string::npos) << word << " in:\n" << text;
    }
}

TEST(PrivacyReceipt, TextThatIsNotUTF8GivesEmptyJSONButStillRendersAsText)
{
    PrivacyReceipt receipt = fixedReceipt();
    receipt.bundleID = "com.\xff.quellon";
    EXPECT_EQ(receipt.json(), "{}");
    EXPECT_NE(receipt.text().find("App ID:        com.\xff.quellon\n"), std::string::npos);
    receipt = fixedReceipt();
    receipt.absences.push_back({"thing", "bad \xc3"});
    EXPECT_EQ(receipt.json(), "{}");
}

} // namespace
} // namespace quellon
