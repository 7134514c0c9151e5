#pragma once
// Auto return: while Away with auto return on, watches the physical camera for the user's
// face back in its place and then returns to Live.

#include "host/HostStatus.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace quellon {
class FaceDetector;
class LogSink;
}

namespace quellon::host {

class HostController;

/// The samples of one armed spell, in order: the return is due once the user has first been
/// seen gone (`absences` samples in a row without their presence) and then back
/// (`confirmations` samples in a row with it). The reference face is the user a moment ago, so
/// without the absence first an Away chosen while still seated (a hotkey, a lock before
/// standing up, a schedule) would end within seconds.
class ReturnJudge {
public:
    ReturnJudge(int absences, int confirmations);
    /// Takes one sample's verdict; true when the return is due.
    bool sample(bool presenceConfirmed);
    bool absenceSeen() const { return absenceSeen_; }
    /// Before any absence, the user has been in place for as many samples in a row as a return
    /// needs: the moment a return without the absence rule would have come.
    bool stayedSeated() const { return stayedSeated_; }

private:
    int absences_;
    int confirmations_;
    bool absenceSeen_ = false;
    bool stayedSeated_ = false;
    int inARow_ = 0;
    int seatedInARow_ = 0;
};

/// Armed by a status of Away with auto return on, disarmed by any other. While armed it keeps
/// the physical camera open, samples its newest frame every interval on a thread of its own
/// (face search takes tens of milliseconds: never on the loop thread), and switches to Live
/// ("presence confirmed") once a ReturnJudge has seen the seat empty and then the user's
/// presence confirmed against the face of the last live frame (PresenceMatch). What it samples
/// never reaches the virtual camera: the host shows the loop until the switch.
class AutoReturnWatcher {
public:
    struct Options {
        /// Twice a second: quick enough to be back before the user speaks, cheap enough to run
        /// through a whole absence.
        std::chrono::milliseconds interval{500};
        /// Three samples in a row (about 1.5 s) without the user in place: they have really
        /// left, rather than a face search missing once or the user turning away.
        int absences = 3;
        /// Three samples in a row (about 1.5 s): a colleague passing behind the desk or one
        /// false detection does not end Away; the user sitting down does.
        int confirmations = 3;
        /// The largest face distance that still counts as the user in place, read at every
        /// sample (the settings may change it).
        std::function<double()> tolerance;
        /// The face detector to use; the sampling thread's own when null.
        FaceDetector* detector = nullptr;
    };

    AutoReturnWatcher(HostController& host, LogSink& log, Options options);
    /// Stops the thread, letting the camera close if it was kept open.
    ~AutoReturnWatcher();
    AutoReturnWatcher(const AutoReturnWatcher&) = delete;
    AutoReturnWatcher& operator=(const AutoReturnWatcher&) = delete;

    /// Feeds the host's status; returns at once (the host calls this from its own threads).
    void statusChanged(const HostStatus& status);

    /// True while sampling.
    bool armed() const;
    /// The seat has been seen empty since the latest arming.
    bool absenceSeen() const;
    /// Samples taken since construction.
    std::int64_t samplesTaken() const;

private:
    void run();

    HostController& host_;
    LogSink& log_;
    Options options_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool wanted_ = false;    // what the latest status asks for
    std::uint64_t statuses_ = 0; // statuses heard, to tell one that came during a return
    bool armed_ = false;     // what the thread has done about it
    bool stopping_ = false;
    std::int64_t samples_ = 0;
    bool absenceSeen_ = false;
    std::thread thread_;
};

} // namespace quellon::host
