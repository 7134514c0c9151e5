// What the tray link tells the user by itself: recordings that ended and refusals that no one
// else answers for, each once.

#include "host/Desktop.h"
#include "host/HostController.h"
#include "host/TrayLink.h"
#include "menubar/BusTestSupport.h"
#include "menubar/MainLoop.h"
#include "menubar/NotificationBus.h"

#include <gtest/gtest.h>

namespace quellon::host {
namespace {

class ShownNotifications final : public Desktop {
public:
    void open(const std::filesystem::path&) override {}
    void notify(const std::string& summary, const std::string& body) override { shown.push_back(summary + ": " + body); }
    std::vector<std::string> shown;
};

class StillController final : public HostController {
public:
    void setMode(QuellonMode, const std::string&) override {}
    QuellonMode mode() const override { return QuellonMode::live; }
    HostStatus status() const override { return current; }
    void setActiveLoop(const std::string&, const std::string&) override {}
    void setAutoReturn(bool) override {}
    void startRecording(double) override {}
    PixelBufferRef latestCameraFrame() const override { return {}; }
    PixelBufferRef lastLiveFrame() const override { return {}; }
    void setKeepCameraOpen(bool) override {}
    void setChangeHandler(ChangeHandler) override {}
    HostStatus current;
};

TEST(TrayLink, AnnouncesEachFinishedRecordingAndEachRefusalNoOneElseAnswers)
{
    testing::PrivateSessionBus bus;
    MainLoop loop;
    NotificationBus notifications(loop);
    StillController controller;
    // What happened before the link began is not announced.
    controller.current.recordingsFinished = 2;
    controller.current.refusals = 1;
    controller.current.lastRefusal = "hotkey toggleAway: old news";
    ShownNotifications desktop;
    TrayLink link(notifications, controller, desktop, [] {});

    HostStatus status = controller.current;
    link.noticeRecordings(status);
    link.noticeRefusals(status);
    EXPECT_TRUE(desktop.shown.empty());

    status.recordingsFinished = 3;
    status.lastRecording = "loop-3.mov";
    status.lastRecordingActivated = true;
    link.noticeRecordings(status);
    link.noticeRecordings(status); // the same status again: nothing new
    status.recordingsFinished = 4;
    status.lastRecordingActivated = false;
    status.lastRecording = "loop-4.mov";
    link.noticeRecordings(status);
    status.recordingsFinished = 5;
    status.lastRecording.reset();
    link.noticeRecordings(status);

    for (const char* refusal : {"tray: there is no loop to play", "command: there is no loop to play",
                                "hotkey toggleAway: there is no loop to play", "schedule Lunch: the loop \"a.mov\" is not in the clips directory"}) {
        ++status.refusals;
        status.lastRefusal = refusal;
        link.noticeRefusals(status);
        link.noticeRefusals(status);
    }
    EXPECT_EQ(desktop.shown, (std::vector<std::string>{
                                 "Quellon: Recorded loop-3.mov. It is now the active loop: Away plays it.",
                                 "Quellon: Recorded loop-4.mov. Choose it under Loops to play it when Away.",
                                 "Quellon: The recording was not saved; the host's log says why.",
                                 "Quellon: Away was refused (hotkey toggleAway: there is no loop to play)",
                                 "Quellon: Away was refused (schedule Lunch: the loop \"a.mov\" is not in the clips directory)",
                             }));
}

} // namespace
} // namespace quellon::host
