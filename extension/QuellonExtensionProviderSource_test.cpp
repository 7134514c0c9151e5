#include "QuellonExtensionProviderSource.h"

#include "CameraPropertyRouter.h"
#include "ExtensionTestSupport.h"
#include "QuellonExtensionDeviceSource.h"
#include "QuellonExtensionStreamSource.h"
#include "backends/InMemoryCameraBackend.h"
#include "channel/CameraInfo.h"
#include "channel/QuellonCMIOChannel.h"
#include "channel/PropertyFraming.h"
#include "platform/FileIO.h"
#include "platform/UUID.h"
#include "state/QuellonIdentifiers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace quellon {
namespace {

using ::testing::ElementsAre;
using testing::ExtensionWorld;
using Line = CapturingLogSink::Line;

constexpr std::uint32_t kVirt = fourCharacterCode('v', 'i', 'r', 't');
constexpr const char* kLegacyID = "Quellon-Camera-Device-1F4B6A20";

class ProviderSourceTest : public ::testing::Test {
protected:
    std::shared_ptr<QuellonExtensionProviderSource> makeProvider()
    {
        return QuellonExtensionProviderSource::create(backend, world.services());
    }
    void rename(QuellonExtensionProviderSource& provider, const std::string& name)
    {
        provider.renameDevice(name);
        provider.drainRenames();
    }

    ExtensionWorld world;
    InMemoryCameraBackend backend;
};

TEST_F(ProviderSourceTest, NamesTheDeviceAfterTheStoredName)
{
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {std::nullopt, "Quellon Camera"}, {"   ", "Quellon Camera"}, {"  Studio \n", "Studio"}};
    for (const auto& [stored, expected] : cases) {
        ExtensionWorld world;
        InMemoryCameraBackend backend;
        if (stored)
            world.defaults.setString(QuellonIdentifiers::customCameraNameKey, *stored);
        auto provider = QuellonExtensionProviderSource::create(backend, world.services());
        EXPECT_THAT(backend.events(), ElementsAre("add stream " + expected + " Stream", "add " + expected));
        EXPECT_EQ(provider->deviceSource()->localizedName(), expected);
    }
}

// The legacy ID is stable; device and stream IDs are fresh UUIDs. Properties are filled only when asked for.
TEST_F(ProviderSourceTest, PublishesTheStableIdentityWithFreshUUIDs)
{
    auto first = makeProvider();
    auto second = makeProvider();
    const auto& a = *first->deviceSource();
    const auto& b = *second->deviceSource();
    const DeviceIdentity& identity = a.device()->identity();
    EXPECT_EQ(std::tuple(identity.legacyID, identity.model, identity.manufacturer, identity.transportType),
              std::tuple(kLegacyID, "Quellon Camera", "Quellon", kVirt));
    EXPECT_TRUE(UUID::fromString(identity.deviceID) && UUID::fromString(a.streamID()));
    EXPECT_EQ(b.device()->identity().legacyID, kLegacyID);
    EXPECT_NE(identity.deviceID, a.streamID());
    EXPECT_NE(identity.deviceID, b.device()->identity().deviceID);
    EXPECT_NE(a.streamID(), b.streamID());
    EXPECT_EQ(first->manufacturer({ProviderProperty::manufacturer}), "Quellon");
    EXPECT_EQ(first->manufacturer({}), std::nullopt);
    EXPECT_EQ(first->availableProperties(), std::set<ProviderProperty>{ProviderProperty::manufacturer});

    using P = DeviceProperty;
    const std::pair<std::set<P>, DevicePropertyValues> cases[] = {{{}, {}}, {{P::transportType}, {kVirt, std::nullopt}},
        {{P::model}, {std::nullopt, "Quellon Camera"}}, {{P::transportType, P::model}, {kVirt, "Quellon Camera"}}};
    for (const auto& [requested, expected] : cases)
        EXPECT_EQ(a.deviceProperties(requested), expected);
    EXPECT_EQ(a.availableProperties(), (std::set<P>{P::transportType, P::model}));
}

TEST_F(ProviderSourceTest, FailuresToPublishAreLoggedAndTheDaemonCarriesOn)
{
    backend.failAddStream();
    backend.failAddDevice();
    auto provider = makeProvider();
    EXPECT_TRUE(world.log.contains("Quellon: failed to add stream: The stream could not be added."));
    EXPECT_TRUE(world.log.contains("Quellon: failed to add device: The device could not be added."));
    ASSERT_TRUE(provider->deviceSource());
    EXPECT_TRUE(backend.publishedNames().empty());
    // The daemon reads this to end start-up of a sink the user asked for.
    EXPECT_EQ(provider->publishError(), "The device could not be added.");
    EXPECT_EQ(makeProvider()->publishError(), std::nullopt);
}

TEST_F(ProviderSourceTest, RenamesLiveWithAFreshDeviceAndStreamSource)
{
    auto provider = makeProvider();
    auto before = provider->deviceSource();
    rename(*provider, "Desk Cam");
    EXPECT_THAT(backend.events(), ElementsAre("add stream Quellon Camera Stream", "add Quellon Camera",
                                              "remove Quellon Camera", "add stream Desk Cam Stream", "add Desk Cam"));
    auto after = provider->deviceSource();
    EXPECT_NE(after->device()->identity().deviceID, before->device()->identity().deviceID);
    EXPECT_EQ(after->device()->identity().legacyID, kLegacyID);
    EXPECT_TRUE(world.log.contains("Quellon: device renamed live → Desk Cam"));
    EXPECT_EQ(after->streamSource()->snapshot().lastRevision, -1);

    // Two quick renames end with the second name.
    provider->renameDevice("First");
    rename(*provider, "Second");
    EXPECT_THAT(backend.publishedNames(), ElementsAre("Second"));
    EXPECT_EQ(provider->deviceSource()->localizedName(), "Second");
}

/// Host time that stands still while held: a tick that reads it waits inside its frame.
class HoldingClock final : public Clock {
public:
    double hostTimeSeconds() const override
    {
        std::unique_lock lock(mutex_);
        ++readers_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return !held_; });
        return 1000.0;
    }
    Date now() const override { return Date(); }

    void hold()
    {
        std::lock_guard lock(mutex_);
        held_ = true;
        readersAtHold_ = readers_;
    }
    void release()
    {
        {
            std::lock_guard lock(mutex_);
            held_ = false;
        }
        changed_.notify_all();
    }
    /// Waits until some thread has read the clock since it was held (counted from the hold, not
    /// from this call: the reader may come first).
    void waitForReader()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return readers_ > readersAtHold_; });
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool held_ = false;
    mutable int readers_ = 0;
    int readersAtHold_ = 0;
};

// At shutdown the daemon withdraws the device, then releases the sources before the backend,
// the clock and the log. A tick holds its source while it runs: unless the withdrawal waits for
// a tick in progress and ends the ticks, the last release can be that tick's, after all of
// them are gone.
TEST_F(ProviderSourceTest, WithdrawingTheDeviceWaitsForTheTickInProgressAndEndsTheTicks)
{
    HoldingClock clock;
    const ExtensionServices services{clock, world.log, world.defaults, world.platform, world.frames, world.timers, world.bridge};
    auto provider = QuellonExtensionProviderSource::create(backend, services);
    std::weak_ptr<QuellonExtensionStreamSource> source = provider->deviceSource()->streamSource();
    std::static_pointer_cast<InMemoryCameraBackend::Device>(provider->deviceSource()->device())->stream()->startClient();
    source.lock()->drain();
    ASSERT_EQ(world.timers.liveTimers(), 1);

    clock.hold();
    std::thread ticking([&] { world.timers.fire(); });
    clock.waitForReader(); // a tick is inside its frame
    std::atomic<bool> withdrawn = false;
    std::thread stopping([&] {
        provider->removeDevice();
        withdrawn = true;
    });
    // Either the withdrawal returns while the tick still holds the source, or it reaches the
    // close, which waits for the tick.
    const std::string closing = "Quellon ext: stream closing after the frame in progress";
    for (int i = 0; i < 10000 && !withdrawn && !world.log.contains(closing); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(withdrawn) << "the device was withdrawn while a tick still sent a frame";
    EXPECT_TRUE(world.log.contains(closing));
    clock.release();
    ticking.join();
    stopping.join();

    // Nothing but the provider holds the source now: releasing it destroys the source here.
    provider.reset();
    EXPECT_TRUE(source.expired());
    EXPECT_EQ(world.timers.liveTimers(), 0);
    EXPECT_EQ(world.timers.fire(), 0) << "no tick after the withdrawal";
}

// The published name again, a refused removal and a refused add all keep the old device.
TEST_F(ProviderSourceTest, FailedOrNeedlessRenamesKeepTheOldDevice)
{
    const std::tuple<const char*, void (InMemoryCameraBackend::*)(int), std::vector<Line>> cases[] = {
        {"Quellon Camera", nullptr, {}},
        {"Other", &InMemoryCameraBackend::failRemoveDevice,
         {{LogLevel::error, "Quellon: rename removeDevice failed: The device could not be removed."}}},
        {"Other", &InMemoryCameraBackend::failAddDevice,
         {{LogLevel::error, "Quellon: rename addDevice failed, restored: The device could not be added."}}},
        {"Other", &InMemoryCameraBackend::failMakeDevice,
         {{LogLevel::error, "Quellon: rename addDevice failed, restored: The device could not be made."}}},
    };
    for (const auto& [name, failure, lines] : cases) {
        ExtensionWorld world;
        InMemoryCameraBackend backend;
        auto provider = QuellonExtensionProviderSource::create(backend, world.services());
        auto before = provider->deviceSource();
        if (failure)
            (backend.*failure)(1);
        rename(*provider, name);
        EXPECT_EQ(provider->deviceSource(), before) << lines.size();
        EXPECT_THAT(backend.publishedNames(), ElementsAre("Quellon Camera"));
        EXPECT_EQ(world.log.lines(), lines);
        // The rename queue lives on: a later rename still goes through.
        rename(*provider, "Later");
        EXPECT_THAT(backend.publishedNames(), ElementsAre("Later"));
    }
}

// The whole road of a name: socket write → stream source → stored → bridge → live rename; then
// writes reach the new device's stream source.
TEST_F(ProviderSourceTest, RouterRenamesAndAnswersEachSelector)
{
    auto provider = makeProvider();
    CameraPropertyRouter router(provider, [this] { return backend.sinkDescription(); });
    for (auto selector : {QuellonCMIOChannel::stateSelector, QuellonCMIOChannel::frameSelector, QuellonCMIOChannel::nameSelector})
        EXPECT_EQ(router.property(selector), "");
    EXPECT_EQ(router.property(QuellonCMIOChannel::fourCharCode("zzzz")), std::nullopt);
    router.setProperty(QuellonCMIOChannel::fourCharCode("zzzz"), "ignored");

    router.setProperty(QuellonCMIOChannel::nameSelector, "  Kitchen  ");
    provider->drainRenames();
    EXPECT_THAT(backend.publishedNames(), ElementsAre("Kitchen"));
    EXPECT_EQ(world.defaults.string(QuellonIdentifiers::customCameraNameKey), "Kitchen");
    QuellonState record;
    record.mode = QuellonMode::error;
    record.revision = 2;
    const std::string state = *QuellonCMIOChannel::encodeState(record);
    router.setProperty(QuellonCMIOChannel::stateSelector, state);
    EXPECT_EQ(router.property(QuellonCMIOChannel::stateSelector), state);
    EXPECT_EQ(provider->deviceSource()->streamSource()->snapshot().currentMode, QuellonMode::error);

    const auto& device = *provider->deviceSource();
    EXPECT_EQ(decodeCameraInfo(router.property(kCameraInfoSelector).value()),
              (CameraInfo{"Kitchen", kLegacyID, device.device()->identity().deviceID, device.streamID(), 30, "memory"}));
}

// A state whose date the in-memory date cannot hold, as a fuzzer sent it over the socket: the
// request is refused as undecodable and the camera keeps what it had. Skipped where the shared
// findings are not checked out beside the repository.
TEST_F(ProviderSourceTest, StateWithAnOverflowingYearIsRefused)
{
    const std::filesystem::path path =
        std::filesystem::path(QUELLON_SOURCE_DIR) / "../shared/fuzz-findings/socket_server-qlst-year-overflow";
    const auto bytes = readRegularFile(path);
    if (!bytes)
        GTEST_SKIP() << "no fuzz finding at " << path;
    ASSERT_GE(bytes->size(), PropertyFraming::kRequestHeaderSize);
    const auto* raw = reinterpret_cast<const std::uint8_t*>(bytes->data());
    const auto header = PropertyFraming::decodeRequestHeader(
        std::span<const std::uint8_t, PropertyFraming::kRequestHeaderSize>(raw, PropertyFraming::kRequestHeaderSize));
    ASSERT_EQ(header.selector, QuellonCMIOChannel::stateSelector);
    auto provider = makeProvider();
    CameraPropertyRouter router(provider, [] { return std::string("memory"); });
    const std::string payload = bytes->substr(PropertyFraming::kRequestHeaderSize, header.length);
    router.setProperty(header.selector, payload);
    provider->deviceSource()->streamSource()->drain();
    EXPECT_EQ(router.property(QuellonCMIOChannel::stateSelector), "");
    EXPECT_TRUE(world.log.contains("Quellon ext: state decode failed (" + std::to_string(payload.size()) + " bytes)"));
}

} // namespace
} // namespace quellon
