#include "reports/PrivacyReceipt.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>


namespace quellon {
namespace {

using namespace std::chrono;

PrivacyReceipt fixedReceipt()
{
    return PrivacyReceipt{
        .bundleID = "com.pennaveld.quellon",
        .buildVersion = "1.2 (34)",
        .appGroupIdentifier = "group.com.quellon.shared",
        .loopCount = 7,
        .sandboxEnabled = true,
        .hasNetworkClientEntitlement = false,
        .hasNetworkServerEntitlement = true,
        .absences = PrivacyAbsences::canonical(),
        .generatedAt = sys_days(year(2025) / 3 / 4) + hours(9) + minutes(30) + milliseconds(750),
    };
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

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos)
            return lines;
        start = end + 1;
    }
}

TEST(PrivacyReceipt, RendersTheWholeTextByteForByte)
{
    EXPECT_EQ(fixedReceipt().text(), kGoldenText);
}

TEST(PrivacyReceipt, RendersTheWholeJSONByteForByte)
{
    EXPECT_EQ(fixedReceipt().json(), kGoldenJSON);
}

TEST(PrivacyReceipt, EqualReceiptsRenderIdentically)
{
    const PrivacyReceipt a = fixedReceipt();
    PrivacyReceipt b = fixedReceipt();
    ASSERT_EQ(a, b);
    EXPECT_EQ(a.text(), b.text());
    EXPECT_EQ(a.json(), b.json());
    b.absences.pop_back();
    EXPECT_NE(a, b);
    EXPECT_NE(a.text(), b.text());
}

TEST(PrivacyReceipt, HasTwentyNineLinesPlusTwoPerAbsenceAndNoTrailingNewline)
{
    for (std::size_t count : {0u, 1u, 6u}) {
        PrivacyReceipt receipt = fixedReceipt();
        receipt.absences.assign(PrivacyAbsences::canonical().begin(), PrivacyAbsences::canonical().begin() + count);
        const std::string text = receipt.text();
        const auto lines = splitLines(text);
        EXPECT_EQ(lines.size(), 29 + 2 * count) << count << " absences";
        EXPECT_EQ(lines.back(), std::string(46, '='));
        EXPECT_NE(text.back(), '\n');
    }
}

TEST(PrivacyReceipt, WithoutAbsencesGoesStraightToWhatThisMeans)
{
    PrivacyReceipt receipt = fixedReceipt();
    receipt.absences.clear();
    EXPECT_NE(receipt.text().find("- What this app structurally cannot do -\n\n- What this means -\n"),
              std::string::npos);
    const auto document = nlohmann::json::parse(receipt.json());
    EXPECT_EQ(document.at("architecturalAbsences"), nlohmann::json::array());
    EXPECT_NE(receipt.json().find("\"architecturalAbsences\": []"), std::string::npos);
}

struct FlagCase {
    bool sandbox, client, server;
    const char* sandboxText;
    const char* clientText;
    const char* serverText;
};

class PrivacyReceiptFlags : public testing::TestWithParam<FlagCase> {};

TEST_P(PrivacyReceiptFlags, PrintAsWordsAndAsJSONBooleans)
{
    const FlagCase& flags = GetParam();
    PrivacyReceipt receipt = fixedReceipt();
    receipt.sandboxEnabled = flags.sandbox;
    receipt.hasNetworkClientEntitlement = flags.client;
    receipt.hasNetworkServerEntitlement = flags.server;
    const auto lines = splitLines(receipt.text());
    ASSERT_EQ(lines.size(), 41u);
    EXPECT_EQ(lines[15], std::string("App Sandbox enabled:        ") + flags.sandboxText);
    EXPECT_EQ(lines[16], std::string("Network client entitlement: ") + flags.clientText);
    EXPECT_EQ(lines[17], std::string("Network server entitlement: ") + flags.serverText);
    const auto entitlements = nlohmann::json::parse(receipt.json()).at("entitlements");
    EXPECT_EQ(entitlements, (nlohmann::json{{"sandboxEnabled", flags.sandbox},
                                            {"networkClientEntitlement", flags.client},
                                            {"networkServerEntitlement", flags.server}}));
}

INSTANTIATE_TEST_SUITE_P(Combinations, PrivacyReceiptFlags,
                         testing::Values(FlagCase{false, true, false, "NO", "PRESENT", "ABSENT"},
                                         FlagCase{true, false, true, "YES", "ABSENT", "PRESENT"}));

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
