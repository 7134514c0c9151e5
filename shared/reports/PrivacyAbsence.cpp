#include "reports/PrivacyAbsence.h"

namespace quellon::PrivacyAbsences {

const std::vector<PrivacyAbsence>& canonical()
{
    static const std::vector<PrivacyAbsence> absences{
        {"Your face as data", "The face-landmark model runs only on this machine, to grade your loops; "
                              "it identifies no one and no face data is kept."},
        {"Your voice or words", "Quellon has no audio code: no microphone is opened, and loops carry no sound."},
        {"Who you are", "No accounts, no sign-in, no identifier — nothing to track you with."},
        {"Your network activity", "Its daemons have nothing but loopback (PrivateNetwork=yes): the OS blocks "
                                  "every connection."},
        {"Other apps' data", "Sandboxed: its daemons can change no files outside the shared folder and "
                             "~/.config, and open no devices but cameras."},
        {"Crashes, analytics, telemetry", "No telemetry SDK, no crash reporter, no “anonymous diagnostics.”"},
    };
    return absences;
}

} // namespace quellon::PrivacyAbsences
