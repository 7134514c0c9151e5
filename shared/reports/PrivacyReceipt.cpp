#include "reports/PrivacyReceipt.h"

#include "reports/ReportDateFormat.h"
#include "state/JSONCoding.h"

namespace quellon {

namespace {

constexpr const char* kRule = "==============================================";

const char* presence(bool present)
{
    return present ? "PRESENT" : "ABSENT";
}

} // namespace

std::string PrivacyReceipt::text() const
{
    std::vector<std::string> lines{
        kRule,
        "QUELLON PRIVACY RECEIPT",
        kRule,
        "",
        "Generated: " + ReportDateFormat::internetDateTime(generatedAt),
        "",
        "- Build identity -",
        "Bundle ID:     " + bundleID,
        "Build version: " + buildVersion,
        "App Group:     " + appGroupIdentifier,
        "",
        "- On this Mac -",
        "Recorded loops: " + std::to_string(loopCount),
        "",
        "- Entitlements & sandboxing -",
        std::string("App Sandbox enabled:        ") + (sandboxEnabled ? "YES" : "NO"),
        std::string("Network client entitlement: ") + presence(hasNetworkClientEntitlement),
        std::string("Network server entitlement: ") + presence(hasNetworkServerEntitlement),
        "",
        "- What this app structurally cannot do -",
    };
    for (std::size_t i = 0; i < absences.size(); ++i) {
        lines.push_back("  " + std::to_string(i + 1) + ". " + absences[i].thing);
        lines.push_back("     -> " + absences[i].reason);
    }
    for (const char* line : {
             "",
             "- What this means -",
             "Every line above is a static, observable fact about this build,",
             "verifiable by entitlement review or sandbox audit — no runtime",
             "introspection and no trust required. With no network-client",
             "entitlement, outbound connections are impossible at the OS level:",
             "there is nothing to leak because nothing can leave this Mac.",
             "",
         })
        lines.emplace_back(line);
    lines.emplace_back(kRule);

    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0)
            out += '\n';
        out += lines[i];
    }
    return out;
}

std::string PrivacyReceipt::json() const
{
    using JSONCoding::Json;
    Json absencesJSON = Json::array();
    for (const PrivacyAbsence& absence : absences)
        absencesJSON.push_back({{"thing", absence.thing}, {"reason", absence.reason}});
    const Json document{
        {"generatedAt", ReportDateFormat::internetDateTime(generatedAt)},
        {"bundleID", bundleID},
        {"buildVersion", buildVersion},
        {"appGroupIdentifier", appGroupIdentifier},
        {"onThisMac", {{"recordedLoops", loopCount}}},
        {"entitlements",
         {{"sandboxEnabled", sandboxEnabled},
          {"networkClientEntitlement", hasNetworkClientEntitlement},
          {"networkServerEntitlement", hasNetworkServerEntitlement}}},
        {"architecturalAbsences", absencesJSON},
    };
    try {
        return JSONCoding::dump(document, JSONStyle::pretty);
    } catch (const EncodingError&) {
        return "{}";
    }
}

} // namespace quellon
