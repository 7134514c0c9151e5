#include "host/automation/ProfileWatcher.h"

#include "host/HostController.h"
#include "menubar/MainLoop.h"
#include "platform/Log.h"
#include "triggers/MeetingAppProfileReconciler.h"

#include <algorithm>

namespace quellon::host {

ProfileWatcher::ProfileWatcher(MainLoop& loop, HostController& host, SettingsSource settings, FrontmostSource frontmost,
                               LogSink& log, std::chrono::milliseconds interval)
    : loop_(loop), host_(host), settings_(std::move(settings)), frontmost_(std::move(frontmost)), log_(log),
      interval_(interval)
{
}

ProfileWatcher::~ProfileWatcher()
{
    stop();
}

void ProfileWatcher::start()
{
    if (timer_)
        return;
    check();
    schedule();
}

void ProfileWatcher::stop()
{
    if (timer_) {
        loop_.removeWatch(*timer_);
        timer_.reset();
    }
}

void ProfileWatcher::schedule()
{
    timer_ = loop_.runAfter(interval_, [this] {
        timer_.reset();
        check();
        schedule();
    });
}

void ProfileWatcher::check()
{
    const Settings settings = settings_();
    const HostStatus status = host_.status();
    MeetingAppProfileReconciler::State state;
    state.profilesActive = settings.profilesActive;
    state.profiles = settings.profiles;
    state.isRecording = status.recording;
    state.currentActiveLoopFilename = status.activeLoop;
    // Spare the scan of every process when no answer could lead to a switch.
    const bool anyLoop = std::any_of(state.profiles.begin(), state.profiles.end(), [](const MeetingAppProfile& profile) {
        return profile.isEnabled && profile.preferredLoopFilename;
    });
    if (state.profilesActive && !state.isRecording && anyLoop)
        state.frontmostAppBundleID = frontmost_();
    const auto decision = MeetingAppProfileReconciler::decide(state);
    if (decision.action != MeetingAppProfileReconciler::Decision::Action::switchLoop || !decision.loopFilename)
        return;
    const std::pair<std::string, std::string> attempt{*state.frontmostAppBundleID, *decision.loopFilename};
    if (refused_ == attempt)
        return;
    try {
        host_.setActiveLoop(attempt.second, "profile " + attempt.first);
        refused_.reset();
    } catch (const std::exception& error) {
        refused_ = attempt;
        log_.write(LogLevel::error, "profile " + attempt.first + ": cannot switch to the loop \"" + attempt.second
                                        + "\": " + error.what());
    }
}

} // namespace quellon::host
