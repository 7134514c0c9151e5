#include "host/automation/AutoReturnWatcher.h"

#include "analysis/FaceDetector.h"
#include "analysis/LoopEntry.h"
#include "analysis/PresenceMatch.h"
#include "host/HostController.h"
#include "platform/Log.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace quellon::host {

namespace {

std::optional<LoopEntry::FaceGeometry> faceOf(const PixelBufferRef& frame, FaceDetector& detector)
{
    if (!frame)
        return std::nullopt;
    return LoopEntry::faceGeometry(*frame, detector);
}

} // namespace

ReturnJudge::ReturnJudge(int absences, int confirmations)
    : absences_(std::max(absences, 1)), confirmations_(std::max(confirmations, 1))
{
}

bool ReturnJudge::sample(bool presenceConfirmed)
{
    if (!absenceSeen_) {
        // Still waiting for the user to go: a sample with them in place starts the count again.
        inARow_ = presenceConfirmed ? 0 : inARow_ + 1;
        seatedInARow_ = presenceConfirmed ? seatedInARow_ + 1 : 0;
        if (seatedInARow_ >= confirmations_)
            stayedSeated_ = true;
        if (inARow_ >= absences_) {
            absenceSeen_ = true;
            inARow_ = 0;
        }
        return false;
    }
    inARow_ = presenceConfirmed ? inARow_ + 1 : 0;
    return inARow_ >= confirmations_;
}

AutoReturnWatcher::AutoReturnWatcher(HostController& host, LogSink& log, Options options)
    : host_(host), log_(log), options_(std::move(options))
{
    if (options_.absences < 1)
        options_.absences = 1;
    if (options_.confirmations < 1)
        options_.confirmations = 1;
    if (options_.interval.count() < 1)
        options_.interval = std::chrono::milliseconds(1);
    thread_ = std::thread([this] { run(); });
}

AutoReturnWatcher::~AutoReturnWatcher()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void AutoReturnWatcher::statusChanged(const HostStatus& status)
{
    {
        std::lock_guard lock(mutex_);
        wanted_ = status.mode == QuellonMode::away && status.autoReturn;
        ++statuses_;
    }
    wake_.notify_all();
}

bool AutoReturnWatcher::armed() const
{
    std::lock_guard lock(mutex_);
    return armed_;
}

bool AutoReturnWatcher::absenceSeen() const
{
    std::lock_guard lock(mutex_);
    return absenceSeen_;
}

std::int64_t AutoReturnWatcher::samplesTaken() const
{
    std::lock_guard lock(mutex_);
    return samples_;
}

void AutoReturnWatcher::run()
{
    // The detector loads its models when first made: only a host that arms pays for it.
    FaceDetector* detector = options_.detector;
    std::optional<LoopEntry::FaceGeometry> reference;
    ReturnJudge judge(options_.absences, options_.confirmations);
    bool seatedNoted = false; // said once per arming that the user has not left yet
    auto next = std::chrono::steady_clock::now();

    std::unique_lock lock(mutex_);
    for (;;) {
        if (armed_)
            wake_.wait_until(lock, next, [&] { return stopping_ || !wanted_; });
        else
            wake_.wait(lock, [&] { return stopping_ || wanted_; });
        if (stopping_ || armed_ != wanted_) {
            const bool arm = wanted_ && !stopping_;
            if (arm != armed_) {
                armed_ = arm;
                absenceSeen_ = false;
                lock.unlock();
                // Host calls happen outside our lock: the host may be delivering a status to
                // statusChanged() at this very moment.
                host_.setKeepCameraOpen(arm);
                if (arm) {
                    if (!detector)
                        detector = &threadFaceDetector();
                    // The face as the user left it; with none, any face confirms presence.
                    reference = faceOf(host_.lastLiveFrame(), *detector);
                    judge = ReturnJudge(options_.absences, options_.confirmations);
                    seatedNoted = false;
                    next = std::chrono::steady_clock::now() + options_.interval;
                    log_.write(LogLevel::debug,
                               reference ? "auto return armed" : "auto return armed without a reference face");
                }
                lock.lock();
            }
            // A stop that came while arming still closes the camera first (next turn).
            if (stopping_ && !armed_)
                return;
            continue;
        }
        if (!armed_ || std::chrono::steady_clock::now() < next)
            continue;

        lock.unlock();
        const auto candidate = faceOf(host_.latestCameraFrame(), *detector);
        const double tolerance = options_.tolerance ? options_.tolerance() : PresenceMatch::defaultTolerance;
        const bool back = judge.sample(PresenceMatch::isPresenceConfirmed(candidate, reference, tolerance));
        // Counted before it acts: whoever sees the switch to Live sees the sample behind it.
        lock.lock();
        ++samples_;
        const bool newlyEmpty = judge.absenceSeen() && !std::exchange(absenceSeen_, true);
        const bool newlySeated = judge.stayedSeated() && !std::exchange(seatedNoted, true);
        const std::uint64_t heardBefore = statuses_;
        lock.unlock();
        if (newlySeated)
            log_.write(LogLevel::debug, "auto return: the user is still in place; Away lasts until they have left");
        if (newlyEmpty)
            log_.write(LogLevel::debug, "auto return: the seat is empty; the user's return ends Away");
        if (back) {
            try {
                host_.setMode(QuellonMode::live, "presence confirmed");
            } catch (const std::exception& error) {
                log_.write(LogLevel::error, std::string("auto return: cannot return to Live: ") + error.what());
            }
            host_.setKeepCameraOpen(false);
        }
        lock.lock();
        if (back) {
            // Done until the next Away: the status that follows the switch says Live anyway. A
            // status that came meanwhile is the newest word and stands (Away again re-arms).
            armed_ = false;
            if (statuses_ == heardBefore)
                wanted_ = false;
        }
        // Keep the rhythm, but a slow sample does not make the next ones bunch up.
        next += options_.interval;
        if (const auto now = std::chrono::steady_clock::now(); next < now)
            next = now + options_.interval;
    }
}

} // namespace quellon::host
