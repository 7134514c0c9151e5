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
                          .hasNetworkClientEntitlement = false, .hasNetworkServerEntitlement = true,
                          .absences = PrivacyAbsences::canonical(),
                          .generatedAt = sys_days(year(2025) / 3 / 4) + hours(9) + minutes(30) + milliseconds(750)};
}

const char* const kGoldenText = R"TEXT(==============================================
QUELLON PRIVACY RECEIPT
==============================================

Generated: 2025-03-04T09:30:00Z

- Build identity -
Bundle ID:     com.pennaveld.quellon
Build version: 1.2 (34)
App Group:     group.com.quellon.shared

- On this Mac -
Recorded loops: 7

- Entitlements & sandboxing -
App Sandbox enabled:        YES
Network client entitlement: ABSENT
Network server entitlement: PRESENT

- What this app structurally cannot do -
  1. Your face as data
     -> No face-recognition models are bundled or loaded.
  2. Your voice or words
     -> The mic is sampled only for a level meter; audio is never recorded.
  3. Who you are
     -> No accounts, no sign-in, no identifier — nothing to track you with.
  4. Your network activity
     -> No network-client entitlement — the OS blocks every outbound connection.
  5. Other apps' data
     -> Sandboxed: Quellon can only see its own container.
  6. Crashes, analytics, telemetry
     -> No telemetry SDK, no crash reporter, no “anonymous diagnostics.”

- What this means -
Every line above is a static, observable fact about this build,
verifiable by entitlement review or sandbox audit — no runtime
introspection and no trust required. With no network-client
entitlement, outbound connections are impossible at the OS level:
there is nothing to leak because nothing can leave this Mac.

==============================================)TEXT";

const char* const kGoldenJSON = R"JSON({
  "appGroupIdentifier": "group.com.quellon.shared",
  "architecturalAbsences": [
    {
      "reason": "No face-recognition models are bundled or loaded.",
      "thing": "Your face as data"
    },
    {
      "reason": "The mic is sampled only for a level meter; audio is never recorded.",
      "thing": "Your voice or words"
    },
    {
      "reason": "No accounts, no sign-in, no identifier — nothing to track you with.",
      "thing": "Who you are"
    },
    {
      "reason": "No network-client entitlement — the OS blocks every outbound connection.",
      "thing": "Your network activity"
    },
    {
      "reason": "Sandboxed: Quellon can only see its own container.",
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
    "networkServerEntitlement": true,
    "sandboxEnabled": true
  },
  "generatedAt": "2025-03-04T09:30:00Z",
  "onThisMac": {
    "recordedLoops": 7
  }
})JSON";

TEST(PrivacyReceipt, RendersTheWholeTextAndJSONByteForByte)
{
    EXPECT_EQ(fixedReceipt().text(), kGoldenText);
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
    EXPECT_NE(receipt.text().find("\nApp Sandbox enabled:        NO\nNetwork client entitlement: PRESENT\n"
                                  "Network server entitlement: ABSENT\n"),
              std::string::npos);
    EXPECT_EQ(nlohmann::json::parse(receipt.json()).at("entitlements"),
              (nlohmann::json{{"sandboxEnabled", false}, {"networkClientEntitlement", true},
                              {"networkServerEntitlement", false}}));
}

TEST(PrivacyReceipt, TextThatIsNotUTF8GivesEmptyJSONButStillRendersAsText)
{
    PrivacyReceipt receipt = fixedReceipt();
    receipt.bundleID = "com.\xff.quellon";
    EXPECT_EQ(receipt.json(), "{}");
    EXPECT_NE(receipt.text().find("Bundle ID:     com.\xff.quellon\n"), std::string::npos);
    receipt = fixedReceipt();
    receipt.absences.push_back({"thing", "bad \xc3"});
    EXPECT_EQ(receipt.json(), "{}");
}

} // namespace
} // namespace quellon
