#include "reports/PrivacyAbsence.h"

namespace quellon::PrivacyAbsences {

const std::vector<PrivacyAbsence>& canonical()
{
    static const std::vector<PrivacyAbsence> absences{
        {"Your face as data", "No face-recognition models are bundled or loaded."},
        {"Your voice or words", "The mic is sampled only for a level meter; audio is never recorded."},
        {"Who you are", "No accounts, no sign-in, no identifier — nothing to track you with."},
        {"Your network activity", "No network-client entitlement — the OS blocks every outbound connection."},
        {"Other apps' data", "Sandboxed: Quellon can only see its own container."},
        {"Crashes, analytics, telemetry", "No telemetry SDK, no crash reporter, no “anonymous diagnostics.”"},
    };
    return absences;
}

} // namespace quellon::PrivacyAbsences
