#include "QuellonExtensionProviderSource.h"

#include "CameraPropertyRouter.h"
#include "ExtensionTestSupport.h"
#include "QuellonExtensionDeviceSource.h"
#include "QuellonExtensionStreamSource.h"
#include "backends/InMemoryCameraBackend.h"
#include "channel/CameraInfo.h"
#include "channel/QuellonCMIOChannel.h"
#include "platform/UUID.h"
#include "state/QuellonIdentifiers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace quellon {
namespace {

using ::testing::ElementsAre;
using testing::ExtensionWorld;

constexpr std::uint32_t kVirt = fourCharacterCode('v', 'i', 'r', 't');

class ProviderSourceTest : public ::testing::Test {
protected:
    std::shared_ptr<QuellonExtensionProviderSource> makeProvider()
    {
        return QuellonExtensionProviderSource::create(backend, world.services());
    }

    ExtensionWorld world;
    InMemoryCameraBackend backend;
};

TEST_F(ProviderSourceTest, NamesTheDeviceAfterTheStoredName)
{
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {std::nullopt, "Quellon Camera"},
        {"   ", "Quellon Camera"},
        {"  Studio \n", "Studio"},
    };
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

TEST_F(ProviderSourceTest, PublishesTheStableIdentityWithFreshUUIDs)
{
    auto first = makeProvider();
    auto second = makeProvider();
    const DeviceIdentity& a = first->deviceSource()->device()->identity();
    const DeviceIdentity& b = second->deviceSource()->device()->identity();
    for (const DeviceIdentity* identity : {&a, &b}) {
        EXPECT_EQ(identity->legacyID, "Quellon-Camera-Device-1F4B6A20");
        EXPECT_EQ(identity->model, "Quellon Camera");
        EXPECT_EQ(identity->manufacturer, "Quellon");
        EXPECT_EQ(identity->transportType, kVirt);
        EXPECT_TRUE(UUID::fromString(identity->deviceID));
    }
    EXPECT_NE(a.deviceID, b.deviceID);
    EXPECT_NE(first->deviceSource()->streamID(), second->deviceSource()->streamID());
    EXPECT_NE(a.deviceID, first->deviceSource()->streamID());
    EXPECT_TRUE(UUID::fromString(first->deviceSource()->streamID()));
    EXPECT_EQ(first->manufacturer({ProviderProperty::manufacturer}), "Quellon");
    EXPECT_EQ(first->manufacturer({}), std::nullopt);
}

TEST_F(ProviderSourceTest, DevicePropertiesAreFilledOnlyWhenRequested)
{
    auto provider = makeProvider();
    const auto& device = *provider->deviceSource();
    const std::pair<std::set<DeviceProperty>, DevicePropertyValues> cases[] = {
        {{}, {}},
        {{DeviceProperty::transportType}, {kVirt, std::nullopt}},
        {{DeviceProperty::model}, {std::nullopt, "Quellon Camera"}},
        {{DeviceProperty::transportType, DeviceProperty::model}, {kVirt, "Quellon Camera"}},
    };
    for (const auto& [requested, expected] : cases)
        EXPECT_EQ(device.deviceProperties(requested), expected);
    EXPECT_EQ(device.availableProperties(), (std::set<DeviceProperty>{DeviceProperty::transportType, DeviceProperty::model}));
    EXPECT_EQ(provider->availableProperties(), std::set<ProviderProperty>{ProviderProperty::manufacturer});
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
}

TEST_F(ProviderSourceTest, RenamesLive)
{
    auto provider = makeProvider();
    auto before = provider->deviceSource();
    provider->renameDevice("Desk Cam");
    provider->drainRenames();

    EXPECT_THAT(backend.publishedNames(), ElementsAre("Desk Cam"));
    EXPECT_THAT(backend.events(), ElementsAre("add stream Quellon Camera Stream", "add Quellon Camera",
                                              "remove Quellon Camera", "add stream Desk Cam Stream", "add Desk Cam"));
    auto after = provider->deviceSource();
    EXPECT_NE(after, before);
    EXPECT_NE(after->device()->identity().deviceID, before->device()->identity().deviceID);
    EXPECT_EQ(after->device()->identity().legacyID, before->device()->identity().legacyID);
    EXPECT_TRUE(world.log.contains("Quellon: device renamed live → Desk Cam"));
    // The new stream source starts from its initial values.
    EXPECT_EQ(after->streamSource()->snapshot().lastRevision, -1);
}

TEST_F(ProviderSourceTest, RenameToThePublishedNameDoesNothing)
{
    auto provider = makeProvider();
    const auto events = backend.events();
    provider->renameDevice("Quellon Camera");
    provider->drainRenames();
    EXPECT_EQ(backend.events(), events);
    EXPECT_TRUE(world.log.lines().empty());
}

TEST_F(ProviderSourceTest, RemoveFailureKeepsTheOldDevice)
{
    auto provider = makeProvider();
    auto before = provider->deviceSource();
    backend.failRemoveDevice();
    provider->renameDevice("Other");
    provider->drainRenames();
    EXPECT_EQ(provider->deviceSource(), before);
    EXPECT_THAT(backend.publishedNames(), ElementsAre("Quellon Camera"));
    EXPECT_TRUE(world.log.contains("Quellon: rename removeDevice failed: The device could not be removed."));
}

TEST_F(ProviderSourceTest, AddFailureRestoresTheOldDevice)
{
    auto provider = makeProvider();
    auto before = provider->deviceSource();
    backend.failAddDevice();
    provider->renameDevice("Other");
    provider->drainRenames();
    EXPECT_EQ(provider->deviceSource(), before);
    EXPECT_THAT(backend.publishedNames(), ElementsAre("Quellon Camera"));
    const auto lines = world.log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], (CapturingLogSink::Line{LogLevel::error, "Quellon: rename addDevice failed, restored: The device could not be added."}));
}

TEST_F(ProviderSourceTest, TwoQuickRenamesEndWithTheSecondName)
{
    auto provider = makeProvider();
    provider->renameDevice("First");
    provider->renameDevice("Second");
    provider->drainRenames();
    EXPECT_THAT(backend.publishedNames(), ElementsAre("Second"));
    EXPECT_EQ(provider->deviceSource()->localizedName(), "Second");
}

// The whole road of a name: socket write → stream source → stored → bridge → live rename.
TEST_F(ProviderSourceTest, NameChannelRenamesThroughTheRouter)
{
    auto provider = makeProvider();
    CameraPropertyRouter router(provider, [this] { return backend.sinkDescription(); });
    router.setProperty(QuellonCMIOChannel::nameSelector, "  Kitchen  ");
    provider->drainRenames();
    EXPECT_THAT(backend.publishedNames(), ElementsAre("Kitchen"));
    EXPECT_EQ(world.defaults.string(QuellonIdentifiers::customCameraNameKey), "Kitchen");

    // Writes now reach the new device's stream source.
    QuellonState record;
    record.mode = QuellonMode::error;
    record.revision = 2;
    const std::string state = *QuellonCMIOChannel::encodeState(record);
    router.setProperty(QuellonCMIOChannel::stateSelector, state);
    EXPECT_EQ(router.property(QuellonCMIOChannel::stateSelector), state);
    EXPECT_EQ(provider->deviceSource()->streamSource()->snapshot().currentMode, QuellonMode::error);
}

TEST_F(ProviderSourceTest, RouterAnswersEachSelector)
{
    auto provider = makeProvider();
    CameraPropertyRouter router(provider, [this] { return backend.sinkDescription(); });
    EXPECT_EQ(router.property(QuellonCMIOChannel::stateSelector), "");
    EXPECT_EQ(router.property(QuellonCMIOChannel::frameSelector), "");
    EXPECT_EQ(router.property(QuellonCMIOChannel::nameSelector), "");
    EXPECT_EQ(router.property(QuellonCMIOChannel::fourCharCode("zzzz")), std::nullopt);
    router.setProperty(QuellonCMIOChannel::fourCharCode("zzzz"), "ignored");

    auto infoBytes = router.property(kCameraInfoSelector);
    ASSERT_TRUE(infoBytes);
    const CameraInfo info = decodeCameraInfo(*infoBytes);
    const auto& device = *provider->deviceSource();
    EXPECT_EQ(info, (CameraInfo{"Quellon Camera", "Quellon-Camera-Device-1F4B6A20", device.device()->identity().deviceID,
                                device.streamID(), 30, "memory"}));
}

} // namespace
} // namespace quellon
