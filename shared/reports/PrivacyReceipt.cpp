#include "reports/PrivacyReceipt.h"

#include "reports/ReportDateFormat.h"
#include "state/JSONCoding.h"

namespace quellon {

namespace {

constexpr const char* kRule = "==============================================";

const char* blocking(bool allowed)
{
    return allowed ? "NOT BLOCKED" : "BLOCKED";
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
        "App ID:        " + bundleID,
        "Build version: " + buildVersion,
        "Shared folder: $XDG_DATA_HOME/" + appGroupIdentifier,
        "",
        "- On this machine -",
        "Recorded loops: " + std::to_string(loopCount),
        "",
        "- Sandboxing & network -",
        std::string("Daemons sandboxed:          ") + (sandboxEnabled ? "YES" : "NO"),
        std::string("Outbound connections:       ") + blocking(hasNetworkClientEntitlement),
        std::string("Inbound connections:        ") + blocking(hasNetworkServerEntitlement),
        "",
        "- What this app structurally cannot do -",
    };
    for (std::size_t i = 0; i < absences.size(); ++i) {
        lines.push_back("  " + std::to_string(i + 1) + ". " + absences[i].thing);
        lines.push_back("     -> " + absences[i].reason);
    }
    // What the two network lines mean depends on what was found.
    const bool networkBlocked = !hasNetworkClientEntitlement && !hasNetworkServerEntitlement;
    const std::vector<const char*> meaning = networkBlocked
        ? std::vector<const char*>{
              "The sandbox and network lines were read from the running camera",
              "daemon and host (/proc); their shipped systemd units start them with",
              "PrivateNetwork=yes and Unix sockets only. With nothing but loopback,",
              "connections are impossible at the OS level: there is nothing to",
              "leak because nothing can leave this machine."}
        : std::vector<const char*>{
              "The sandbox and network lines were read from the running camera",
              "daemon and host (/proc). Quellon has no networking code, but these",
              "processes were not shown to be cut off from the network: run them",
              "from their systemd units (PrivateNetwork=yes, Unix sockets only)",
              "and check with --explain; then the OS blocks every connection."};
    lines.emplace_back("");
    lines.emplace_back("- What this means -");
    lines.insert(lines.end(), meaning.begin(), meaning.end());
    lines.emplace_back("");
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
