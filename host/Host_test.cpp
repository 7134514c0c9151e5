// The host's parts without processes: revisions, the capture's reopening, the recording tee,
// what the away loop loads, and the pump's rate.

#include "capture/FakeCaptureSource.h"
#include "capture/CameraListing.h"
#include "host/AwayPlayer.h"
#include "host/CameraLink.h"
#include "host/FramePump.h"
#include "host/FrameTee.h"
#include "host/HostService.h"
#include "host/LiveCapture.h"
#include "host/StateKeeper.h"
#include "playback/ClipDecoder.h"
#include "playback/LoopLoadError.h"
#include "playback/LoopRotation.h"
#include "playback/TestFrames.h"
#include "platform/Log.h"
#include "platform/TemporaryDirectory.h"
#include "host/HostSettingsStore.h"
#include "state/QuellonStorage.h"

#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <thread>

namespace quellon::host {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

PixelBufferRef flat(testing::Pixel pixel)
{
    return testing::makeFrame(8, 8, [pixel](int, int) { return pixel; });
}

const Date kNow = Date(std::chrono::milliseconds(1'765'000'000'250));

template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = 5s)
{
    for (auto until = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(2ms))
        if (condition())
            return true;
    return condition();
}

// --- StateKeeper ---

TEST(StateKeeper, ChangesAreStampedAboveTheStoredAndTheCamerasRevisionAndWrittenFirst)
{
    QuellonState stored;
    stored.revision = 7;
    std::vector<QuellonState> written;
    StateKeeper keeper(stored, [&](const QuellonState& state) { written.push_back(state); });

    const QuellonState& away = keeper.change([](QuellonState& s) { s.mode = QuellonMode::away; }, kNow);
    EXPECT_EQ(away.revision, 8);
    EXPECT_EQ(away.mode, QuellonMode::away);
    EXPECT_EQ(away.updatedAt, std::chrono::floor<std::chrono::seconds>(kNow)) << "whole seconds, as stored";
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written.back(), away);

    // The camera reports a higher revision from another writer: ours goes above it at once.
    EXPECT_TRUE(keeper.noteCameraRevision(40, kNow));
    EXPECT_EQ(keeper.state().revision, 41);
    EXPECT_EQ(keeper.state().mode, QuellonMode::away);
    EXPECT_EQ(keeper.change([](QuellonState& s) { s.mode = QuellonMode::standby; }, kNow).revision, 42);
}

TEST(StateKeeper, WhatTheCameraHoldsDecidesWhetherOursIsSentAgain)
{
    struct Row {
        std::optional<std::int64_t> camera;
        bool send;
        std::int64_t revisionAfter;
    };
    // Ours is 10.
    for (const Row& row : {Row{std::nullopt, true, 10}, // a camera just (re)started, or renamed
                           Row{3, true, 10},            // an older record
                           Row{10, false, 10},          // ours
                           Row{11, true, 12}}) {         // another writer's newer one
        QuellonState stored;
        stored.revision = 10;
        StateKeeper keeper(stored, [](const QuellonState&) {});
        EXPECT_EQ(keeper.noteCameraRevision(row.camera, kNow), row.send) << row.camera.value_or(-1);
        EXPECT_EQ(keeper.state().revision, row.revisionAfter) << row.camera.value_or(-1);
    }
}

TEST(StateKeeper, AChangeThatCannotBeStoredIsNotAdopted)
{
    StateKeeper keeper(QuellonState{}, [](const QuellonState&) { throw std::runtime_error("disk full"); });
    EXPECT_THROW(keeper.change([](QuellonState& s) { s.mode = QuellonMode::away; }, kNow), std::runtime_error);
    EXPECT_EQ(keeper.state(), QuellonState{});
}

TEST(StateKeeper, ANewerRecordFromAnotherWriterIsTakenInInsteadOfStampedOver)
{
    QuellonState ours;
    ours.revision = 10;
    ours.updatedAt = std::chrono::floor<std::chrono::seconds>(kNow);
    std::vector<QuellonState> written;
    StateKeeper keeper(ours, [&](const QuellonState& state) { written.push_back(state); });

    QuellonState theirs = ours;
    theirs.revision = 11;
    theirs.mode = QuellonMode::away;
    theirs.activeClipFilename = "imported-a.mov";
    EXPECT_TRUE(keeper.isNewer(theirs));
    QuellonState same = theirs;
    same.revision = 10;
    EXPECT_FALSE(keeper.isNewer(same)) << "not above ours";
    QuellonState before = theirs;
    before.updatedAt = ours.updatedAt - std::chrono::seconds(1);
    EXPECT_FALSE(keeper.isNewer(before)) << "changed before ours: a camera still holding what it was told before this host began";

    // Taken whole, it keeps its revision; from "state.json" it is not written again.
    EXPECT_EQ(keeper.adopt(theirs, [](QuellonState&) {}, kNow, true),
              (std::vector<std::string>{"mode", "activeClipFilename"}));
    EXPECT_EQ(keeper.state(), theirs);
    EXPECT_TRUE(written.empty());

    // From the camera, with a field the host puts back: the merge goes above theirs and is stored.
    QuellonState fromCamera = theirs;
    fromCamera.revision = 20;
    fromCamera.mode = QuellonMode::error;
    fromCamera.targetFPS = 15;
    EXPECT_EQ(keeper.adopt(fromCamera, [](QuellonState& merged) { merged.mode = QuellonMode::away; }, kNow + std::chrono::seconds(5), false),
              std::vector<std::string>{"targetFPS"});
    EXPECT_EQ(keeper.state().revision, 21);
    EXPECT_EQ(keeper.state().mode, QuellonMode::away);
    EXPECT_EQ(keeper.state().targetFPS, 15);
    EXPECT_EQ(keeper.state().updatedAt, std::chrono::floor<std::chrono::seconds>(kNow + std::chrono::seconds(5)));
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written.back(), keeper.state());
    // The camera still holds its 20: ours is newer and goes to it.
    EXPECT_TRUE(keeper.noteCameraRevision(20, kNow));
    EXPECT_EQ(keeper.state().revision, 21);

    // Taken whole from the camera: stored at its own revision.
    QuellonState again = keeper.state();
    again.revision = 30;
    again.loopJitter = !again.loopJitter;
    EXPECT_EQ(keeper.adopt(again, [](QuellonState&) {}, kNow, false), std::vector<std::string>{"loopJitter"});
    EXPECT_EQ(written.back(), again);
    EXPECT_EQ(StateKeeper::differences(QuellonState{}, QuellonState{}), std::vector<std::string>{});
}

TEST(StateKeeper, RevisionsStopAtTheLargestInsteadOfWrapping)
{
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(StateKeeper::nextRevision(4, 9), 10);
    EXPECT_EQ(StateKeeper::nextRevision(9, 4), 10);
    EXPECT_EQ(StateKeeper::nextRevision(max, 0), max);
    EXPECT_EQ(StateKeeper::nextRevision(-5, -9), -4);
}

// --- LiveCapture ---

CaptureFormat smallFormat()
{
    return {8, 8, 30, "rawvideo"};
}

struct AvailabilityLog {
    std::mutex mutex;
    std::vector<std::pair<bool, std::optional<std::string>>> events;
    void add(bool available, const std::optional<std::string>& error)
    {
        std::lock_guard lock(mutex);
        events.emplace_back(available, error);
    }
    std::size_t size()
    {
        std::lock_guard lock(mutex);
        return events.size();
    }
    std::vector<std::pair<bool, std::optional<std::string>>> copy()
    {
        std::lock_guard lock(mutex);
        return events;
    }
};

TEST(LiveCapture, AMissingCameraIsRetriedUntilItDeliversAndAnEndedInputIsReopenedAtOnce)
{
    std::atomic<int> opens = 0;
    AvailabilityLog log;
    // Two failed opens, then an input of 3 frames each time.
    LiveCapture capture(
        [&]() -> std::unique_ptr<CaptureSource> {
            if (++opens <= 2)
                throw CaptureError("No camera at /dev/video9");
            return std::make_unique<FakeCaptureSource>(smallFormat(), [](std::int64_t i) {
                return i < 3 ? flat({0, 0, 255, 255}) : nullptr;
            });
        },
        [&](bool available, const std::optional<std::string>& error) { log.add(available, error); }, 0.01);
    EXPECT_EQ(capture.latest().sequence, 0u);
    EXPECT_EQ(opens, 0) << "nothing opens until the camera is wanted";

    capture.setWanted(true);
    // Three whole inputs, each reopened as it ends (opens counts one before its frames come).
    ASSERT_TRUE(eventually([&] { return opens >= 5 && capture.latest().sequence >= 9; }));
    capture.setWanted(false);
    // The handler hears of the close after the state changed: wait for both.
    ASSERT_TRUE(eventually([&] {
        const auto heard = log.copy();
        return !capture.latest().available && !capture.format() && !heard.empty() && !heard.back().first;
    }));
    const auto events = log.copy();
    ASSERT_GE(events.size(), 3u);
    EXPECT_FALSE(events[0].first);
    EXPECT_EQ(events[0].second, "No camera at /dev/video9");
    EXPECT_TRUE(events[1].first);
    EXPECT_FALSE(events[1].second);
    // Reopening after the end of the input does not report the camera lost.
    for (std::size_t i = 2; i + 1 < events.size(); ++i)
        EXPECT_TRUE(events[i].first) << i;
    EXPECT_FALSE(events.back().first);
    EXPECT_FALSE(events.back().second) << "closed, not failed";
    EXPECT_FALSE(capture.latest().frame.image) << "no frame while closed";
}

TEST(LiveCapture, ReopenOpensAgainAtOnceCuttingTheRetryPauseAndReportsNoClose)
{
    std::atomic<int> opens = 0;
    std::atomic<bool> missing = true;
    AvailabilityLog log;
    // An hour between retries: only reopen() can make a second attempt within the test.
    LiveCapture capture(
        [&]() -> std::unique_ptr<CaptureSource> {
            ++opens;
            if (missing)
                throw CaptureError("No camera at /dev/video9");
            return std::make_unique<FakeCaptureSource>(smallFormat(), [](std::int64_t) { return flat({0, 0, 255, 255}); });
        },
        [&](bool available, const std::optional<std::string>& error) { log.add(available, error); }, 3600);
    capture.setWanted(true);
    ASSERT_TRUE(eventually([&] { return log.size() == 1; }));
    EXPECT_EQ(opens, 1);

    missing = false;
    capture.reopen();
    ASSERT_TRUE(eventually([&] { return capture.latest().available; })) << "the pause was cut short";
    EXPECT_EQ(opens, 2);

    // An open input is closed and opened again; the close is not reported as a loss.
    const auto before = capture.latest().sequence;
    capture.reopen();
    ASSERT_TRUE(eventually([&] { return opens == 3 && capture.latest().sequence > before + 10; }));
    EXPECT_EQ(log.copy(), (std::vector<std::pair<bool, std::optional<std::string>>>{
                              {false, "No camera at /dev/video9"}, {true, std::nullopt}}));
    capture.stop();
}

TEST(LiveCapture, AFailingReadReportsTheErrorAndTapsSeeEveryFrame)
{
    std::atomic<int> opens = 0;
    AvailabilityLog log;
    LiveCapture capture(
        [&]() -> std::unique_ptr<CaptureSource> {
            ++opens;
            return std::make_unique<FakeCaptureSource>(smallFormat(), [](std::int64_t i) -> PixelBufferRef {
                if (i == 4)
                    throw CaptureError("The camera /dev/video0 was disconnected.");
                return flat({0, 255, 0, 255});
            });
        },
        [&](bool available, const std::optional<std::string>& error) { log.add(available, error); }, 60);
    std::atomic<int> tapped = 0;
    const int tap = capture.addTap([&](const CapturedFrame& frame) {
        EXPECT_TRUE(frame.image);
        ++tapped;
    });
    capture.setWanted(true);
    ASSERT_TRUE(eventually([&] { return log.size() >= 2; }));
    const auto events = log.copy();
    EXPECT_TRUE(events[0].first);
    EXPECT_FALSE(events[0].second);
    EXPECT_FALSE(events[1].first);
    EXPECT_EQ(events[1].second, "The camera /dev/video0 was disconnected.");
    EXPECT_EQ(tapped, 4);
    EXPECT_EQ(opens, 1) << "the next try waits for the retry period";
    capture.removeTap(tap);
    capture.stop(); // ends the wait at once
}

TEST(LiveCapture, RemovingATapWaitsForItsCallInFlightAndEndsItsCalls)
{
    // As fast as frames can be made: a tap is nearly always in a call.
    LiveCapture capture(
        [] {
            return std::make_unique<FakeCaptureSource>(smallFormat(), [](std::int64_t) { return flat({9, 9, 9, 255}); });
        },
        nullptr, 0.01);
    capture.setWanted(true);

    // A recording's end: the tap writes into something its owner frees right after removeTap.
    // Without the wait, AddressSanitizer reports the write as a use after free.
    for (int round = 0; round < 200; ++round) {
        auto sink = std::make_unique<std::vector<double>>();
        std::atomic<bool> called = false;
        const int tap = capture.addTap([&called, frames = sink.get()](const CapturedFrame& frame) {
            frames->push_back(frame.time);
            called = true;
        });
        ASSERT_TRUE(eventually([&] { return called.load(); }));
        capture.removeTap(tap);
        sink.reset();
    }

    // A call held open: the remover, on another thread, does not get through while it runs.
    std::atomic<bool> entered = false, removerStarted = false, removed = false, removedWhileRunning = false;
    std::atomic<int> calls = 0;
    const int held = capture.addTap([&](const CapturedFrame&) {
        if (++calls > 1)
            return;
        entered = true;
        while (!removerStarted)
            std::this_thread::yield();
        // Give a remover that does not wait every chance to get through before this call ends.
        eventually([&] { return removed.load(); }, std::chrono::milliseconds(300));
        removedWhileRunning = removed.load();
    });
    ASSERT_TRUE(eventually([&] { return entered.load(); }));
    std::thread remover([&] {
        removerStarted = true;
        capture.removeTap(held);
        removed = true;
    });
    remover.join();
    EXPECT_FALSE(removedWhileRunning) << "removeTap returned while the tap was still running";
    const int callsAtRemoval = calls;
    const auto sequence = capture.latest().sequence;
    ASSERT_TRUE(eventually([&] { return capture.latest().sequence > sequence + 5; }));
    EXPECT_EQ(calls, callsAtRemoval) << "no call after removeTap returned";

    // A tap may take itself away from inside its own call.
    std::atomic<int> selfCalls = 0, self = 0;
    std::atomic<bool> selfRemoved = false;
    self = capture.addTap([&](const CapturedFrame&) {
        const int id = self;
        if (id == 0)
            return; // called before addTap has returned its id
        ++selfCalls;
        capture.removeTap(id);
        selfRemoved = true;
    });
    ASSERT_TRUE(eventually([&] { return selfRemoved.load(); }));
    const auto afterSelf = capture.latest().sequence;
    ASSERT_TRUE(eventually([&] { return capture.latest().sequence > afterSelf + 5; }));
    EXPECT_EQ(selfCalls, 1);
    capture.stop();
}

// --- FrameTee ---

TEST(FrameTee, QueuesFramesWithTimesFromTheFirstAndDropsTheOldestWhenFull)
{
    FrameTee tee(smallFormat(), 0.05);
    const auto frame = flat({1, 2, 3, 255});
    for (std::size_t i = 0; i < FrameTee::kQueuedFrames + 2; ++i)
        tee.push({frame, 10.0 + static_cast<double>(i) / 30});
    const auto first = tee.read();
    ASSERT_TRUE(first);
    EXPECT_NEAR(first->time, 2.0 / 30, 1e-9) << "the two oldest were dropped; times count from the first pushed";
    for (std::size_t i = 1; i < FrameTee::kQueuedFrames; ++i)
        ASSERT_TRUE(tee.read());
    EXPECT_THROW(tee.read(), CaptureError) << "a silent camera fails the recording";
    tee.interrupt();
    EXPECT_FALSE(tee.read());
    tee.push({frame, 11});
    EXPECT_FALSE(tee.read()) << "nothing after an interrupt";
}

// --- AwayPlayer ---

TEST(AwayPlayer, TheLoopIsTheActiveClipThenTheOtherVarietyClips)
{
    const fs::path clips = "/clips";
    struct Row {
        std::optional<std::string> active;
        std::vector<std::string> variety;
        std::vector<fs::path> files;
    };
    for (const Row& row : {Row{std::nullopt, {"a.mov"}, {}},
                           Row{"a.mov", {}, {clips / "a.mov"}},
                           Row{"a.mov", {"b.mov", "a.mov", "b.mov", "c.mov"}, {clips / "a.mov", clips / "b.mov", clips / "c.mov"}},
                           Row{"../x.mov", {"b.mov"}, {}},
                           Row{"a.mov", {"../../etc/passwd", "", "..", "d/e.mov"}, {clips / "a.mov"}}}) {
        QuellonState state;
        state.activeClipFilename = row.active;
        state.varietyClipFilenames = row.variety;
        EXPECT_EQ(AwayPlayer::choiceFor(state, clips).files, row.files) << row.active.value_or("none");
    }
    QuellonState state;
    state.loopMode = LoopMode::forward;
    state.loopCrossfadeFrames = 100000;
    const auto choice = AwayPlayer::choiceFor(state, clips);
    EXPECT_EQ(choice.loopMode, LoopMode::forward);
    EXPECT_EQ(choice.crossfadeFrames, LoopRotation::kMaxCrossfadeFrames) << "a hostile crossfade cannot blow up the loop's memory";
}

class CountingDecoder final : public ClipDecoder {
public:
    DecodedClip decode(const fs::path& file, std::int64_t maxFrames) override
    {
        ++requests;
        if (file.filename() != "good.mov")
            throw LoopLoadError(LoopLoadError::Case::noVideoTrack, "no video");
        DecodedClip clip{{}, 8, 8, 30, 1};
        for (std::int64_t i = 0; i < std::min<std::int64_t>(maxFrames, 5); ++i)
            clip.frames.push_back(flat({static_cast<std::uint8_t>(40 * i), 0, 0, 255}));
        return clip;
    }
    std::atomic<int> requests = 0;
};

TEST(AwayPlayer, LoadsAheadReportsFailuresAndChangesEffectsWithoutReloading)
{
    auto decoder = std::make_shared<CountingDecoder>();
    std::atomic<int> loads = 0;
    AwayPlayer player([&] { ++loads; }, [decoder](LoopMode mode, LoopJitter jitter, SimulatedLag lag, AliveMotion alive) {
        return std::make_unique<LoopFrameProvider>(mode, std::move(jitter), std::move(lag), std::move(alive), decoder,
                                                   [](const PixelBuffer&, const std::optional<NormalizedRect>&) { return std::nullopt; });
    });
    EXPECT_FALSE(player.nextFrame()) << "nothing before a loop is loaded";

    AwayPlayer::Choice good{{"/clips/good.mov"}, LoopMode::forward, 0};
    player.choose(good, {});
    ASSERT_TRUE(eventually([&] { return loads == 1; }));
    AwayPlayer::Info info = player.info();
    // The bytes are the frames as kept: J420, 64-byte luma rows and 32-byte chroma rows.
    EXPECT_EQ(info, (AwayPlayer::Info{5, 5 * (64 * 8 + 2 * 32 * 4), 1, AwayPlayer::kFrameBudget, std::nullopt, false}));
    EXPECT_TRUE(player.nextFrame());

    // The same clips with other effects: no reload.
    player.choose(good, {true, true, true, false});
    player.choose(good, {true, true, true, false});
    EXPECT_EQ(decoder->requests, 1);

    player.choose({{"/clips/broken.mov"}, LoopMode::forward, 0}, {});
    ASSERT_TRUE(eventually([&] { return loads == 2; }));
    info = player.info();
    EXPECT_EQ(info.frames, 0);
    ASSERT_TRUE(info.error);
    EXPECT_NE(info.error->find("broken.mov"), std::string::npos) << *info.error;
    EXPECT_FALSE(player.nextFrame()) << "a loop that failed leaves none playing, not the previous one";

    // A rotation: the broken clip is left out, the good one plays.
    player.choose({{"/clips/good.mov", "/clips/broken.mov"}, LoopMode::pingpong, 0}, {});
    ASSERT_TRUE(eventually([&] { return loads == 3; }));
    EXPECT_EQ(player.info().frames, 5);
    EXPECT_EQ(player.info().clips, 2);
}

// --- HostService, with a fake camera and no camera daemon ---

// Every status a host reports, for the test to read from any thread; outlives the host.
class ReportedStatuses {
public:
    void attach(HostService& host)
    {
        host.setChangeHandler([this](const HostStatus& status) {
            std::lock_guard lock(mutex_);
            statuses_.push_back(status);
        });
    }
    std::vector<HostStatus> copy() const
    {
        std::lock_guard lock(mutex_);
        return statuses_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<HostStatus> statuses_;
};

class HostServiceUnit : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("XDG_DATA_HOME", (directory.path() / "data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (directory.path() / "config").c_str(), 1);
        ::unsetenv("QUELLON_NO_APP_GROUP");
        fs::create_directories(directory.path() / "data" / "group.com.quellon.shared" / "Clips");
    }

    std::unique_ptr<HostService> makeHost()
    {
        HostOptions options;
        options.inputURL = "fake";
        options.socketPath = directory.path() / "nobody.sock"; // no camera daemon: retried quietly
        options.log = &log;
        options.settings = &settings;
        options.cameraRetrySeconds = 0.01;
        options.openCamera = [this](const std::string& input) -> std::unique_ptr<CaptureSource> {
            EXPECT_EQ(input, "fake");
            if (cameraMissing)
                throw CaptureError("No camera at /dev/video7: is it plugged in?");
            return std::make_unique<FakeCaptureSource>(smallFormat(), [](std::int64_t) { return flat({0, 255, 0, 255}); });
        };
        return std::make_unique<HostService>(options);
    }

    TemporaryDirectory directory{"quellon-host-unit"};
    CapturingLogSink log;
    HostSettingsStore settings{directory.path() / "settings.json"};
    std::atomic<bool> cameraMissing = false;
};

TEST_F(HostServiceUnit, RefusesWhatItCannotDoWithAHostError)
{
    auto host = makeHost();
    EXPECT_THROW(host->setMode(QuellonMode::away, "command"), HostError) << "before start";
    host->start();
    EXPECT_THROW(host->setMode(QuellonMode::error, "command"), std::invalid_argument);
    EXPECT_THROW(host->setMode(QuellonMode::away, "command"), HostError) << "no loop chosen";
    for (const std::string name : {"", ".hidden.mov", "../state.json", "a/b.mov", "missing.mov", "loop.json"})
        EXPECT_THROW(host->setActiveLoop(name, "command"), HostError) << name;
    EXPECT_EQ(QuellonStorage::readState().activeClipFilename, std::nullopt);
    host->stop();
    host->stop();
}

TEST_F(HostServiceUnit, TheModeFollowsThePhysicalCameraAndEveryChangeIsStoredLoggedAndReported)
{
    cameraMissing = true;
    ReportedStatuses reported;
    auto host = makeHost();
    reported.attach(*host);
    host->start();
    ASSERT_TRUE(eventually([&] { return host->mode() == QuellonMode::error; }));
    EXPECT_EQ(QuellonStorage::readState().mode, QuellonMode::error);
    EXPECT_EQ(host->status().physicalCameraError, "No camera at /dev/video7: is it plugged in?");
    EXPECT_FALSE(host->latestCameraFrame());

    cameraMissing = false;
    ASSERT_TRUE(eventually([&] {
        const auto changes = reported.copy();
        return !changes.empty() && changes.back().mode == QuellonMode::live;
    })) << "back by itself";
    EXPECT_TRUE(eventually([&] { return host->latestCameraFrame() != nullptr; }));
    EXPECT_TRUE(log.contains("host: mode live -> error (camera lost)"));
    EXPECT_TRUE(log.contains("host: mode error -> live (camera back)"));

    // Standby closes the camera: its absence is no error there.
    host->setMode(QuellonMode::standby, "tray");
    cameraMissing = true;
    EXPECT_TRUE(eventually([&] { return !host->status().physicalCameraAvailable; }));
    EXPECT_EQ(host->mode(), QuellonMode::standby);
    EXPECT_TRUE(host->lastLiveFrame()) << "kept from when Live was left";

    host->setAutoReturn(true);
    EXPECT_TRUE(settings.load().autoReturnEnabled) << "kept in the user's settings record";
    EXPECT_TRUE(host->status().autoReturn);
    host->stop();

    const QuellonState stored = QuellonStorage::readState();
    EXPECT_EQ(stored.mode, QuellonMode::standby);
    EXPECT_EQ(stored.revision, host->status().stateRevision);
    const auto changes = reported.copy();
    // The handler sees each mode with its cause (a change of loops or settings may repeat one,
    // and the first load may report the mode the run started with).
    std::vector<std::pair<QuellonMode, std::string>> modes;
    for (const HostStatus& change : changes)
        if (change.modeCause != "start" && (modes.empty() || modes.back() != std::pair(change.mode, change.modeCause)))
            modes.emplace_back(change.mode, change.modeCause);
    EXPECT_EQ(modes, (std::vector<std::pair<QuellonMode, std::string>>{
                         {QuellonMode::error, "camera lost"}, {QuellonMode::live, "camera back"}, {QuellonMode::standby, "tray"}}));
    ASSERT_FALSE(changes.empty());
    EXPECT_TRUE(changes.back().autoReturn);
    EXPECT_FALSE(changes.back().cameraConnected);
}

TEST_F(HostServiceUnit, ChangesFromSeveralThreadsAreReportedInTheOrderTheyHappened)
{
    ReportedStatuses reported;
    auto host = makeHost();
    reported.attach(*host);
    host->start();
    // Two commanders at once; each change is stored (revision up) and reported.
    const auto flip = [&](QuellonMode mode, const char* cause) {
        for (int i = 0; i < 150; ++i) {
            host->setMode(mode, cause);
            host->setMode(QuellonMode::live, cause);
        }
    };
    std::thread standby(flip, QuellonMode::standby, "tray");
    flip(QuellonMode::standby, "hotkey");
    standby.join();
    host->setAutoReturn(true); // one more report from this thread, after both

    const HostStatus now = host->status();
    host->stop();
    const auto changes = reported.copy();
    ASSERT_FALSE(changes.empty());
    for (std::size_t i = 1; i < changes.size(); ++i)
        ASSERT_LE(changes[i - 1].stateRevision, changes[i].stateRevision) << "report " << i << " went back in time";
    EXPECT_EQ(changes.back().mode, now.mode);
    EXPECT_EQ(changes.back().stateRevision, now.stateRevision);
    EXPECT_TRUE(changes.back().autoReturn);
}

fs::path clipsDirectory()
{
    return QuellonStorage::clipsDirectory();
}

bool loggedStart(const CapturingLogSink& log, std::string_view start)
{
    for (const auto& line : log.lines())
        if (line.message.starts_with(start))
            return true;
    return false;
}

TEST_F(HostServiceUnit, AnotherProgramsNewerStateIsTakenInNotStampedOver)
{
    std::ofstream(clipsDirectory() / "imported-a.mov") << "not a movie";
    auto host = makeHost();
    host->start();

    // What `quellon state set --clip imported-a.mov --mode standby` writes.
    QuellonState theirs = QuellonStorage::readState();
    theirs.revision += 5;
    theirs.mode = QuellonMode::standby;
    theirs.activeClipFilename = "imported-a.mov";
    QuellonStorage::writeState(theirs);
    ASSERT_TRUE(eventually([&] { return host->status().stateRevision == theirs.revision; }));
    HostStatus status = host->status();
    EXPECT_EQ(status.mode, QuellonMode::standby);
    EXPECT_EQ(status.modeCause, "another program (state.json)");
    EXPECT_EQ(status.activeLoop, "imported-a.mov");
    EXPECT_EQ(QuellonStorage::readState(), theirs) << "kept as written, not stamped over";
    EXPECT_TRUE(log.contains("host: took revision " + std::to_string(theirs.revision) + " from state.json (mode, activeClipFilename)"));

    // The error mode is the host's own verdict: the rest of such a record is taken, above it.
    ASSERT_TRUE(eventually([&] { return host->status().loopError.has_value(); })) << "the clip is no movie";
    theirs.revision += 1;
    theirs.mode = QuellonMode::error;
    theirs.targetFPS = 20;
    QuellonStorage::writeState(theirs);
    ASSERT_TRUE(eventually([&] { return host->status().stateRevision > theirs.revision; }));
    EXPECT_EQ(host->mode(), QuellonMode::standby);
    EXPECT_EQ(QuellonStorage::readState().targetFPS, 20);
    EXPECT_EQ(QuellonStorage::readState().mode, QuellonMode::standby);

    // Away with a loop that cannot play is refused and said so.
    theirs = QuellonStorage::readState();
    theirs.revision += 1;
    theirs.mode = QuellonMode::away;
    QuellonStorage::writeState(theirs);
    ASSERT_TRUE(eventually([&] { return loggedStart(log, "host: Away from state.json refused: the loop \"imported-a.mov\" cannot be played ("); }));
    EXPECT_EQ(host->mode(), QuellonMode::standby);
    EXPECT_EQ(QuellonStorage::readState().mode, QuellonMode::standby);
}

TEST_F(HostServiceUnit, AwayIsRefusedWithTheReasonWhenNothingCanPlay)
{
    const auto refusal = [](HostService& host) {
        try {
            host.setMode(QuellonMode::away, "command");
        } catch (const HostError& error) {
            return std::string(error.what());
        }
        return std::string("accepted");
    };
    std::ofstream(clipsDirectory() / "broken.mov") << "not a movie";
    std::ofstream(clipsDirectory() / "gone.mov") << "not a movie";
    auto host = makeHost();
    host->start();
    EXPECT_EQ(refusal(*host), "there is no loop to play: record or choose one first");

    host->setActiveLoop("gone.mov", "command");
    fs::remove(clipsDirectory() / "gone.mov");
    EXPECT_EQ(refusal(*host), "the loop \"gone.mov\" is not in the clips directory");

    host->setActiveLoop("broken.mov", "command");
    // The error of this clip's load, not one left from "gone.mov"'s.
    ASSERT_TRUE(eventually([&] {
        const auto error = host->status().loopError;
        return error && error->find("broken.mov") != std::string::npos;
    }));
    EXPECT_TRUE(refusal(*host).starts_with("the loop \"broken.mov\" cannot be played (cannot load broken.mov")) << refusal(*host);
    EXPECT_EQ(host->mode(), QuellonMode::live);
    EXPECT_EQ(QuellonStorage::readState().mode, QuellonMode::live);
}

TEST_F(HostServiceUnit, AnAwayWaitingForALoopThatFailsEndsInStandby)
{
    // The stored state asks for Away with a clip that does not load: Away is taken while the
    // clip loads, and left once it fails, so Away is never reported over the card.
    std::ofstream(clipsDirectory() / "broken.mov") << "not a movie";
    QuellonState stored;
    stored.mode = QuellonMode::away;
    stored.activeClipFilename = "broken.mov";
    QuellonStorage::writeState(stored);
    auto host = makeHost();
    host->start();
    ASSERT_TRUE(eventually([&] { return host->mode() == QuellonMode::standby; }));
    EXPECT_EQ(host->status().modeCause, "loop failed");
    EXPECT_TRUE(loggedStart(log, "host: Away ended: the loop \"broken.mov\" cannot be played (cannot load broken.mov"));
    EXPECT_EQ(QuellonStorage::readState().mode, QuellonMode::standby);

    // A stored Away without its clip does not even begin.
    host->stop();
    host.reset();
    stored.activeClipFilename = "missing.mov";
    stored.revision += 10;
    QuellonStorage::writeState(stored);
    host = makeHost();
    host->start();
    EXPECT_EQ(host->mode(), QuellonMode::standby);
    EXPECT_TRUE(log.contains("host: not starting Away: the loop \"missing.mov\" is not in the clips directory"));
}

TEST_F(HostServiceUnit, WithoutAChosenCameraTheFirstOneConnectedIsOpenedAndAChoiceReplacesIt)
{
    std::mutex mutex;
    std::vector<CameraDescription> connected;
    std::vector<std::string> opened;
    HostOptions options;
    options.socketPath = directory.path() / "nobody.sock";
    options.log = &log;
    options.settings = &settings;
    options.cameraRetrySeconds = 0.01;
    options.watchDevices = false;
    options.listCameras = [&] {
        std::lock_guard lock(mutex);
        return connected;
    };
    options.openCamera = [&](const std::string& input) -> std::unique_ptr<CaptureSource> {
        {
            std::lock_guard lock(mutex);
            if (opened.empty() || opened.back() != input)
                opened.push_back(input);
        }
        if (input.empty())
            throw CaptureError("no camera is chosen and none is connected");
        return std::make_unique<FakeCaptureSource>(smallFormat(), [](std::int64_t) { return flat({0, 255, 0, 255}); });
    };
    HostService host(options);
    host.start();
    ASSERT_TRUE(eventually([&] { return host.mode() == QuellonMode::error; }));
    EXPECT_EQ(host.status().physicalCameraError, "no camera is chosen and none is connected");

    // Plugged in after start: found at the next attempt.
    {
        std::lock_guard lock(mutex);
        connected.push_back({"HD Pro Webcam C920", "/dev/v4l/by-id/usb-046d-video-index0", "/dev/video2", {}, "uvcvideo"});
    }
    ASSERT_TRUE(eventually([&] { return host.mode() == QuellonMode::live; }));
    EXPECT_EQ(host.status().physicalCamera, "/dev/v4l/by-id/usb-046d-video-index0");

    // A choice replaces it at once and is kept in the state.
    EXPECT_THROW(host.setCamera("", "command"), HostError);
    host.setCamera("lavfi:testsrc2", "command");
    EXPECT_EQ(QuellonStorage::readState().selectedCameraID, "lavfi:testsrc2");
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return !opened.empty() && opened.back() == "lavfi:testsrc2";
    }));
    EXPECT_TRUE(eventually([&] { return host.status().physicalCameraAvailable; }));
    EXPECT_EQ(host.status().physicalCamera, "lavfi:testsrc2");
    EXPECT_EQ(host.mode(), QuellonMode::live);
    host.stop();
    std::lock_guard lock(mutex);
    EXPECT_EQ(opened, (std::vector<std::string>{"", "/dev/v4l/by-id/usb-046d-video-index0", "lavfi:testsrc2"}));
}

TEST(CameraLink, PicturesLargerThanTheCameraAreScaledToFitNotDropped)
{
    // 4096 × 2160 BGRA is 35 MB: more than the channel carries in one frame.
    const auto large = testing::makeFrame(4096, 2160, [](int x, int) { return x < 2048 ? testing::Pixel{255, 0, 0, 255} : testing::Pixel{0, 0, 255, 255}; });
    PixelBufferRef fitted = CameraLink::scaledToFit(*large, 1280, 720);
    ASSERT_TRUE(fitted);
    EXPECT_EQ(fitted->width(), 1280);
    EXPECT_EQ(fitted->height(), 675) << "the proportions kept";
    {
        const auto pixels = fitted->lockForReading();
        // Bilinear filtering may round a step below full.
        EXPECT_GE(pixels.row(300)[4 * 10], 250) << "the left half stays blue";
        EXPECT_LE(pixels.row(300)[4 * 10 + 2], 5);
        EXPECT_GE(pixels.row(300)[4 * 1270 + 2], 250) << "the right half stays red";
        EXPECT_LE(pixels.row(300)[4 * 1270], 5);
    }
    // The scratch frame is reused for the next frame of that size.
    const PixelBuffer* first = fitted.get();
    const auto again = CameraLink::scaledToFit(*large, 1280, 720, std::move(fitted));
    EXPECT_EQ(again.get(), first);

    const auto tall = testing::makeFrame(720, 2000, [](int, int) { return testing::Pixel{0, 0, 0, 255}; });
    EXPECT_EQ(CameraLink::scaledToFit(*tall, 1280, 720)->height(), 720);
    EXPECT_EQ(CameraLink::scaledToFit(*tall, 1280, 720)->width(), 259);
    EXPECT_FALSE(CameraLink::scaledToFit(*flat({0, 0, 0, 255}), 1280, 720)) << "a frame that fits is sent as it is";
}

TEST_F(HostServiceUnit, ANewRunStartsLiveAboveTheStoredRevision)
{
    QuellonState stored;
    stored.mode = QuellonMode::error;
    stored.revision = 41;
    QuellonStorage::writeState(stored);
    auto host = makeHost();
    host->start();
    EXPECT_EQ(host->mode(), QuellonMode::live);
    EXPECT_EQ(QuellonStorage::readState().revision, 42);
    EXPECT_EQ(QuellonStorage::readState().mode, QuellonMode::live);
}

// --- FramePump ---

TEST(FramePump, RunsAtTheStatesRateAsTheCameraClampsIt)
{
    for (auto [fps, period] : {std::pair{0LL, 1.0 / 5}, std::pair{-3LL, 1.0 / 5}, std::pair{24LL, 1.0 / 24}, std::pair{60LL, 1.0 / 30}})
        EXPECT_DOUBLE_EQ(FramePump::periodFor(fps), period) << fps;

    std::atomic<int> ticks = 0;
    FramePump pump([&] { ++ticks; }, [] { return 3600.0; });
    ASSERT_TRUE(eventually([&] { return ticks == 1; })) << "the first tick runs at once";
    pump.wake();
    EXPECT_TRUE(eventually([&] { return ticks == 2; })) << "a wake does not wait for the deadline";
    pump.stop();
}

} // namespace
} // namespace quellon::host
