#include "host/TrayLink.h"

#include "host/Desktop.h"
#include "host/HostBus.h"
#include "host/HostController.h"
#include "host/HostStatusText.h"
#include "menubar/MainLoop.h"
#include "menubar/NotificationBus.h"
#include "platform/Environment.h"
#include "platform/FileIO.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "state/QuellonIdentifiers.h"
#include "state/QuellonStorage.h"

#include <mutex>

namespace quellon::host {

using MenuBarBridge::Command;

/// Carries change notifications from host threads to the loop while the link lives.
struct TrayLink::Relay {
    std::mutex mutex;
    MainLoop* loop = nullptr;
    TrayLink* link = nullptr;
};

namespace {

void logError(std::string_view message)
{
    static SystemLogSink sink("quellon");
    sink.write(LogLevel::error, message);
}

std::optional<QuellonMode> modeOf(Command command)
{
    switch (command) {
    case Command::setLive:
        return QuellonMode::live;
    case Command::setAway:
        return QuellonMode::away;
    case Command::setStandby:
        return QuellonMode::standby;
    default:
        return std::nullopt;
    }
}

} // namespace

TrayLink::TrayLink(NotificationBus& bus, HostController& controller, Desktop& desktop, std::function<void()> quit,
                   std::function<void(const HostStatus&)> alsoOnChange)
    : bus_(bus), controller_(controller), desktop_(desktop), quit_(std::move(quit)), relay_(std::make_shared<Relay>())
{
    relay_->loop = &bus.loop();
    relay_->link = this;
    // Only what happens from now on.
    const HostStatus now = controller_.status();
    recordingsNoticed_ = now.recordingsFinished;
    refusalsNoticed_ = now.refusals;
    for (Command command : MenuBarBridge::allCommands)
        observers_.push_back(std::make_unique<DarwinObserver>(
            bus, std::string(MenuBarBridge::commandPrefix) + std::string(MenuBarBridge::rawValue(command)),
            [this, command] { perform(command); }));
    observers_.push_back(std::make_unique<DarwinObserver>(bus, MenuBarBridge::helperReady,
                                                          [this] { publish(controller_.status()); }));

    std::weak_ptr<Relay> weak = relay_;
    controller_.setChangeHandler([weak, alsoOnChange](const HostStatus& status) {
        if (alsoOnChange)
            alsoOnChange(status);
        auto relay = weak.lock();
        if (!relay)
            return;
        std::lock_guard lock(relay->mutex);
        if (!relay->loop)
            return;
        relay->loop->post([weak, status] {
            // Runs on the loop thread, where the link is destroyed: no lock needed to use it.
            if (auto alive = weak.lock(); alive && alive->link) {
                alive->link->publish(status);
                alive->link->noticeRecordings(status);
                alive->link->noticeRefusals(status);
            }
        });
    });
}

TrayLink::~TrayLink()
{
    controller_.setChangeHandler({});
    std::lock_guard lock(relay_->mutex);
    relay_->loop = nullptr;
    relay_->link = nullptr;
}

void TrayLink::publish(const HostStatus& status)
{
    bus_.post(std::string(MenuBarBridge::modePrefix) + std::string(rawValue(status.mode)));
    bus_.post(std::string(MenuBarBridge::autoReturnPrefix) + MenuBarBridge::bools[status.autoReturn ? 0 : 1]);
    bus_.post(std::string(MenuBarBridge::hasLoopsPrefix) + MenuBarBridge::loops[status.hasLoops ? 0 : 1]);
}

void TrayLink::noticeRecordings(const HostStatus& status)
{
    if (status.recordingsFinished <= recordingsNoticed_)
        return;
    recordingsNoticed_ = status.recordingsFinished;
    if (!status.lastRecording)
        desktop_.notify("Quellon", "The recording was not saved; the host's log says why.");
    else if (status.lastRecordingActivated)
        desktop_.notify("Quellon", "Recorded " + *status.lastRecording + ". It is now the active loop: Away plays it.");
    else
        desktop_.notify("Quellon", "Recorded " + *status.lastRecording + ". Choose it under Loops to play it when Away.");
}

void TrayLink::noticeRefusals(const HostStatus& status)
{
    if (status.refusals <= refusalsNoticed_)
        return;
    refusalsNoticed_ = status.refusals;
    const std::string refusal = status.lastRefusal.value_or("");
    if (refusal.starts_with("tray: ") || refusal.starts_with("command: "))
        return;
    desktop_.notify("Quellon", "Away was refused (" + refusal + ")");
}

void TrayLink::postTerminating()
{
    bus_.post(MenuBarBridge::mainTerminating);
}

std::optional<std::filesystem::path> TrayLink::settingsFile()
{
    return JsonFileUserDefaults::fileForDomain(QuellonIdentifiers::hostBundleID, Environment::process());
}

void TrayLink::perform(Command command)
{
    try {
        if (auto mode = modeOf(command)) {
            controller_.setMode(*mode, "tray");
            return;
        }
        switch (command) {
        case Command::record:
            controller_.startRecording(HostBus::defaultRecordingSeconds);
            break;
        case Command::manageLoops:
            desktop_.open(QuellonStorage::clipsDirectory());
            break;
        case Command::showApp: {
            const auto file = settingsFile();
            if (!file)
                throw HostError("there is no settings directory (neither XDG_CONFIG_HOME nor HOME is set)");
            // An editor cannot open what does not exist; an empty object is a valid store.
            if (!std::filesystem::exists(*file)) {
                std::filesystem::create_directories(file->parent_path());
                replaceFileAtomically(*file, "{}\n");
            }
            desktop_.open(*file);
            break;
        }
        case Command::toggleAutoReturn:
            controller_.setAutoReturn(!controller_.status().autoReturn);
            break;
        case Command::quit:
            quit_();
            break;
        case Command::togglePanel: {
            const HostStatus status = controller_.status();
            std::string body;
            for (const auto& line : describeHostStatus(status))
                body += (body.empty() ? "" : "\n") + line;
            desktop_.notify("Quellon \u2014 " + std::string(displayName(status.mode)), body);
            break;
        }
        default:
            break;
        }
    } catch (const std::exception& error) {
        const std::string what = std::string(MenuBarBridge::rawValue(command)) + " failed: " + error.what();
        logError("Quellon: " + what);
        desktop_.notify("Quellon", what);
    }
}

} // namespace quellon::host
