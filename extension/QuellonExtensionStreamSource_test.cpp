#include "QuellonExtensionStreamSource.h"

#include "ExtensionTestSupport.h"
#include "backends/InMemoryCameraBackend.h"
#include "channel/QuellonCMIOChannel.h"
#include "platform/FileIO.h"
#include "state/QuellonIdentifiers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace quellon {
namespace {

using testing::ExtensionWorld;

class StreamSourceTest : public ::testing::Test {
protected:
    StreamSourceTest()
    {
        device = std::dynamic_pointer_cast<InMemoryCameraBackend::Device>(
            backend.makeDevice({"Quellon Camera", "ID", "LEGACY", "Quellon Camera", "Quellon", 0}));
        source = QuellonExtensionStreamSource::create("Quellon Camera Stream", "STREAM-ID", device, world.services());
        device->addStream(source->stream());
        stream = device->stream();
    }

    void sendState(QuellonState state)
    {
        source->setStateProperty(*QuellonCMIOChannel::encodeState(state));
        source->drain();
    }

    static QuellonState stateWith(std::int64_t revision, QuellonMode mode = QuellonMode::away)
    {
        QuellonState state;
        state.revision = revision;
        state.mode = mode;
        return state;
    }

    void push(const std::string& bytes)
    {
        source->setFrameProperty(bytes);
        source->drain();
    }

    void startClient()
    {
        stream->startClient();
        source->drain();
    }

    void stopClient()
    {
        stream->stopClient();
        source->drain();
    }

    /// Fires the frame timer once; gives the frame sent, or null when nothing was sent.
    PixelBufferRef tick()
    {
        const std::size_t before = stream->sentCount();
        world.timers.fire();
        if (stream->sentCount() == before)
            return nullptr;
        return stream->sent().back().frame;
    }

    std::optional<Date> heartbeat() { return QuellonStorage::readHeartbeat(world.platform); }

    ExtensionWorld world;
    InMemoryCameraBackend backend;
    std::shared_ptr<InMemoryCameraBackend::Device> device;
    std::shared_ptr<QuellonExtensionStreamSource> source;
    std::shared_ptr<InMemoryCameraBackend::Stream> stream;
};

TEST_F(StreamSourceTest, StartsIdleInStandbyWithTheFixedFormat)
{
    const auto snapshot = source->snapshot();
    EXPECT_EQ(snapshot.currentMode, QuellonMode::standby);
    EXPECT_EQ(snapshot.lastRevision, -1);
    EXPECT_EQ(snapshot.width, 1280);
    EXPECT_EQ(snapshot.height, 720);
    EXPECT_EQ(snapshot.fps, 30);
    EXPECT_FALSE(snapshot.timerRunning);
    EXPECT_EQ(source->formats(), (std::vector<StreamFormat>{{kPixelFormatBGRA, 1280, 720, {1, 30}, {1, 30}}}));
    EXPECT_EQ(stream->identity(), (StreamIdentity{"Quellon Camera Stream", "STREAM-ID"}));
}

// Only the first start and the last stop act; a stop without a start does no harm.
TEST_F(StreamSourceTest, CountsClients)
{
    struct Case {
        const char* steps; // s = start, p = stop
        std::int64_t clients;
        bool timerRunning;
        int timersStarted;
    };
    const Case cases[] = {
        {"s", 1, true, 1},
        {"ss", 2, true, 1},
        {"ssp", 1, true, 1},
        {"sspp", 0, false, 1},
        {"p", 0, false, 0},
        {"pps", 1, true, 1},
        {"spsp", 0, false, 2},
        {"sppps", 1, true, 2},
    };
    for (const Case& c : cases) {
        ExtensionWorld world;
        InMemoryCameraBackend backend;
        auto device = backend.makeDevice({});
        auto source = QuellonExtensionStreamSource::create("S", "ID", device, world.services());
        for (const char* step = c.steps; *step; ++step)
            *step == 's' ? source->startStream() : source->stopStream();
        const auto snapshot = source->snapshot();
        EXPECT_EQ(snapshot.startClients, c.clients) << c.steps;
        EXPECT_EQ(snapshot.timerRunning, c.timerRunning) << c.steps;
        EXPECT_EQ(world.timers.liveTimers(), c.timerRunning ? 1 : 0) << c.steps;
        EXPECT_EQ(world.timers.startedTimers(), c.timersStarted) << c.steps;
    }
}

TEST_F(StreamSourceTest, PushedFrameIsFreshForSevenTenthsOfASecond)
{
    struct Case {
        double age;
        QuellonMode mode;
        bool pushedSent;
    };
    const Case cases[] = {
        {0.0, QuellonMode::live, true},      {0.69, QuellonMode::live, true},   {0.7, QuellonMode::live, false},
        {5.0, QuellonMode::live, false},     {0.69, QuellonMode::standby, true}, {0.69, QuellonMode::error, true},
        {0.7, QuellonMode::error, false},
    };
    std::int64_t revision = 1;
    startClient();
    for (const Case& c : cases) {
        sendState(stateWith(revision++, c.mode));
        push("640x360");
        world.clock.advance(c.age);
        PixelBufferRef sent = tick();
        ASSERT_TRUE(sent) << c.age;
        EXPECT_EQ(sent == source->snapshot().latestPushedFrame, c.pushedSent) << "age " << c.age;
        if (!c.pushedSent) {
            EXPECT_EQ(sent->width(), 1280);
        }
    }
}

// The frame keeps its own size although the format says 1280 × 720, and a newer push replaces
// the buffer without a tick in between.
TEST_F(StreamSourceTest, SendsPushedFramesAtTheirOwnSizeStampedWithHostTime)
{
    world.clock.setHostTime(1234.5);
    startClient();
    push("320x180");
    push("640x360");
    PixelBufferRef sent = tick();
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->width(), 640);
    EXPECT_EQ(sent->height(), 360);
    EXPECT_EQ(stream->sent().back().hostTimeNanos, 1234500000000ULL);
    EXPECT_EQ(stream->sentCount(), 1u);
}

TEST_F(StreamSourceTest, WritesTheHeartbeatAtMostOnceASecond)
{
    startClient();
    struct Step {
        double advance;
        bool written;
    };
    const Step steps[] = {{0.0, true}, {0.5, false}, {0.49, false}, {0.01, true}, {0.99, false}, {1.5, true}};
    for (const Step& step : steps) {
        world.clock.advance(step.advance);
        const auto before = heartbeat();
        ASSERT_TRUE(tick());
        const auto after = heartbeat();
        EXPECT_EQ(after != before, step.written) << "after +" << step.advance;
        if (step.written) {
            ASSERT_TRUE(after);
            EXPECT_LT(std::chrono::abs(*after - world.clock.now()), std::chrono::milliseconds(1));
        }
    }
}

TEST_F(StreamSourceTest, NothingSentMeansNoHeartbeatAndTheNextTickTriesAgain)
{
    world.frames.failCards = true;
    startClient();
    EXPECT_FALSE(tick());
    EXPECT_FALSE(heartbeat());
    world.frames.failCards = false;
    EXPECT_TRUE(tick());
    EXPECT_TRUE(heartbeat());
    EXPECT_EQ(world.frames.cardRenders, 2);
}

TEST_F(StreamSourceTest, ClampsTheRateAndTheFrameDurationFollows)
{
    const std::pair<std::int64_t, std::int32_t> cases[] = {{0, 5}, {-7, 5}, {4, 5}, {5, 5}, {15, 15}, {30, 30}, {60, 30}};
    std::int64_t revision = 1;
    for (auto [target, expected] : cases) {
        QuellonState state = stateWith(revision++);
        state.targetFPS = target;
        sendState(state);
        EXPECT_EQ(source->streamProperties({StreamProperty::frameDuration}).frameDuration, (FrameDuration{1, expected}))
            << target;
        EXPECT_EQ(stream->frameRate(), expected) << target;
    }
}

// A new rate changes the frame duration at once but the timer only at the next start.
TEST_F(StreamSourceTest, TimerIntervalFollowsTheRateAtTheNextStart)
{
    startClient();
    EXPECT_DOUBLE_EQ(world.timers.lastInterval(), 1.0 / 30);
    QuellonState state = stateWith(1);
    state.targetFPS = 10;
    sendState(state);
    EXPECT_EQ(world.timers.startedTimers(), 1);
    EXPECT_DOUBLE_EQ(world.timers.lastInterval(), 1.0 / 30);
    stopClient();
    startClient();
    EXPECT_DOUBLE_EQ(world.timers.lastInterval(), 1.0 / 10);
}

TEST_F(StreamSourceTest, RepeatedRevisionIsStoredButChangesNothingUntilTheNextStart)
{
    QuellonState first = stateWith(7, QuellonMode::away);
    first.targetFPS = 20;
    sendState(first);
    QuellonState second = stateWith(7, QuellonMode::error);
    second.targetFPS = 10;
    second.targetWidth = 640;
    const std::string secondBytes = *QuellonCMIOChannel::encodeState(second);
    source->setStateProperty(secondBytes);
    source->drain();

    auto snapshot = source->snapshot();
    EXPECT_EQ(snapshot.currentMode, QuellonMode::away);
    EXPECT_EQ(snapshot.fps, 20);
    EXPECT_EQ(snapshot.width, 1280);
    EXPECT_EQ(source->streamProperties({StreamProperty::state}).state, secondBytes);

    startClient();
    snapshot = source->snapshot();
    EXPECT_EQ(snapshot.currentMode, QuellonMode::error);
    EXPECT_EQ(snapshot.fps, 10);
    EXPECT_EQ(snapshot.width, 640);
}

TEST_F(StreamSourceTest, UndecodableStatesAreLoggedAndKeepTheLastState)
{
    const std::string cases[] = {"", "not json", "{}", R"({"mode":"sideways"})", "[1,2]"};
    for (const std::string& bytes : cases) {
        source->setStateProperty(bytes);
        source->drain();
        EXPECT_TRUE(world.log.contains("Quellon ext: state decode failed (" + std::to_string(bytes.size()) + " bytes)"))
            << bytes;
        EXPECT_EQ(source->snapshot().currentMode, QuellonMode::standby) << bytes;
        EXPECT_EQ(source->streamProperties({StreamProperty::state}).state, "") << bytes;
    }
    startClient();
    ASSERT_TRUE(tick());
    EXPECT_EQ(world.frames.lastSubtitle, "Camera paused");

    const std::string good = *QuellonCMIOChannel::encodeState(stateWith(3, QuellonMode::live));
    source->setStateProperty(good);
    source->setStateProperty("garbage");
    source->drain();
    EXPECT_TRUE(world.log.contains("Quellon ext: state (" + std::to_string(good.size()) + " bytes) mode=live"));
    EXPECT_EQ(source->snapshot().currentMode, QuellonMode::live);
    EXPECT_EQ(source->streamProperties({StreamProperty::state}).state, good);
}

TEST_F(StreamSourceTest, CardCaptionFollowsTheModeAndIsCachedPerSizeAndCaption)
{
    startClient();
    struct Step {
        std::optional<QuellonMode> mode;
        std::int64_t width;
        const char* caption;
        int renders;
    };
    const Step steps[] = {
        {std::nullopt, 1280, "Camera paused", 1},
        {std::nullopt, 1280, "Camera paused", 1},
        {QuellonMode::error, 1280, "Camera unavailable", 2},
        {QuellonMode::error, 1280, "Camera unavailable", 2},
        {QuellonMode::away, 1280, "Camera paused", 3},
        {QuellonMode::live, 1280, "Camera paused", 3},
        {QuellonMode::live, 800, "Camera paused", 4},
    };
    std::int64_t revision = 1;
    for (const Step& step : steps) {
        if (step.mode) {
            QuellonState state = stateWith(revision++, *step.mode);
            state.targetWidth = step.width;
            sendState(state);
        }
        PixelBufferRef card = tick();
        ASSERT_TRUE(card);
        EXPECT_EQ(world.frames.lastSubtitle, step.caption);
        EXPECT_EQ(world.frames.lastTitle, "Quellon");
        EXPECT_EQ(world.frames.cardRenders, step.renders);
        EXPECT_EQ(card->width(), step.width);
    }
}

TEST_F(StreamSourceTest, StandbyPictureTakesPrecedenceAtItsOwnSizeForEitherCaption)
{
    replaceFileAtomically(QuellonStorage::standbyImageURL(world.platform), "\x89PNG fake");
    startClient();
    for (QuellonMode mode : {QuellonMode::standby, QuellonMode::error}) {
        sendState(stateWith(mode == QuellonMode::error ? 2 : 1, mode));
        PixelBufferRef card = tick();
        ASSERT_TRUE(card);
        EXPECT_EQ(card->width(), 300);
        EXPECT_EQ(card->height(), 200);
    }
    EXPECT_EQ(world.frames.cardRenders, 0);

    // A file that is not a PNG falls back to the drawn card.
    replaceFileAtomically(QuellonStorage::standbyImageURL(world.platform), "not a picture");
    sendState(stateWith(3, QuellonMode::live));
    PixelBufferRef card = tick();
    ASSERT_TRUE(card);
    EXPECT_EQ(card->width(), 1280);
    EXPECT_EQ(world.frames.cardRenders, 1);
}

TEST_F(StreamSourceTest, FrameLogIsThinnedAndDecodeFailuresAreLogged)
{
    for (int i = 1; i <= 121; ++i)
        source->setFrameProperty("4x4");
    source->setFrameProperty("");
    source->setFrameProperty("not an image");
    source->drain();

    std::vector<std::string> lines;
    for (const auto& line : world.log.lines())
        lines.push_back(line.message);
    EXPECT_EQ(lines, (std::vector<std::string>{"Quellon ext: frame #1 (3 bytes)", "Quellon ext: frame #60 (3 bytes)",
                                               "Quellon ext: frame #120 (3 bytes)",
                                               "Quellon ext: frame decode failed (12 bytes)"}));
    EXPECT_EQ(world.log.lines().back().level, LogLevel::error);
    EXPECT_EQ(source->snapshot().framesReceived, 122u);
    // The failed decode keeps the previous frame.
    ASSERT_TRUE(source->snapshot().latestPushedFrame);
    EXPECT_EQ(source->snapshot().latestPushedFrame->width(), 4);
}

TEST_F(StreamSourceTest, NameChannelStoresValidNewNamesAndHandsThemOn)
{
    std::vector<std::string> renamed;
    world.bridge.setApply([&](const std::string& name) { renamed.push_back(name); });
    const std::string name64(64, 'n');
    struct Case {
        std::string bytes;
        std::optional<std::string> stored;
    };
    const Case cases[] = {
        {"   \n", std::nullopt},
        {std::string(65, 'x'), std::nullopt},
        {"  Studio Cam \n", "Studio Cam"},
        {"Studio Cam", "Studio Cam"}, // the stored name again: nothing happens
        {name64, name64},
        {"Caf\xC3\xA9", "Caf\xC3\xA9"},
    };
    for (const Case& c : cases)
        source->setNameProperty(c.bytes);

    EXPECT_EQ(renamed, (std::vector<std::string>{"Studio Cam", name64, "Caf\xC3\xA9"}));
    EXPECT_EQ(world.defaults.string(QuellonIdentifiers::customCameraNameKey), "Caf\xC3\xA9");
    EXPECT_TRUE(world.log.contains("Quellon ext: custom camera name → Studio Cam"));
    EXPECT_EQ(world.log.lines().size(), 3u);
}

TEST_F(StreamSourceTest, NameIsStoredEvenWithoutALiveRename)
{
    source->setNameProperty("Desk");
    EXPECT_EQ(world.defaults.string(QuellonIdentifiers::customCameraNameKey), "Desk");
}

TEST_F(StreamSourceTest, PropertiesAreFilledOnlyWhenRequested)
{
    EXPECT_EQ(source->streamProperties({}), StreamPropertyValues{});
    StreamPropertyValues all;
    all.activeFormatIndex = 0;
    all.frameDuration = FrameDuration{1, 30};
    all.state = "";
    all.frame = "";
    all.name = "";
    EXPECT_EQ(source->streamProperties({StreamProperty::activeFormatIndex, StreamProperty::frameDuration,
                                        StreamProperty::state, StreamProperty::frame, StreamProperty::name}),
              all);
    EXPECT_EQ(source->availableProperties().size(), 5u);

    push("8x8");
    source->setNameProperty("Named");
    auto values = source->streamProperties({StreamProperty::frame, StreamProperty::name});
    EXPECT_EQ(values.frame, "");
    EXPECT_EQ(values.name, "");
    EXPECT_FALSE(values.state);
}

TEST_F(StreamSourceTest, SetStreamPropertiesTakesByteBuffersOnly)
{
    source->setStreamProperties({{StreamProperty::frame, std::int64_t{5}},
                                 {StreamProperty::state, FrameDuration{1, 5}},
                                 {StreamProperty::frameDuration, std::string("1x1")},
                                 {StreamProperty::name, std::monostate{}}});
    source->drain();
    EXPECT_TRUE(world.log.lines().empty());
    EXPECT_EQ(world.frames.pushedDecodes, 0);

    const std::string state = *QuellonCMIOChannel::encodeState(stateWith(4, QuellonMode::error));
    source->setStreamProperties({{StreamProperty::frame, std::string("2x2")}, {StreamProperty::state, state}});
    source->drain();
    EXPECT_EQ(source->snapshot().currentMode, QuellonMode::error);
    EXPECT_TRUE(source->snapshot().latestPushedFrame);
}

TEST_F(StreamSourceTest, NonBGRAFramesAreNotSent)
{
    // A decoder that hands back another pixel format must not reach clients.
    class GrayFrames final : public FrameFactory {
    public:
        PixelBufferRef decodePushedFrame(std::span<const std::uint8_t>) override { return PixelBuffer::create(8, 8, kPixelFormatGray8); }
        PixelBufferRef decodeStandbyPNG(std::span<const std::uint8_t>) override { return nullptr; }
        PixelBufferRef renderStandbyCard(std::int64_t, std::int64_t, std::string_view, std::string_view) override
        {
            return PixelBuffer::create(8, 8, kPixelFormatGray8);
        }
    } gray;
    ExtensionServices services{world.clock, world.log, world.defaults, world.platform, gray, world.timers, world.bridge};
    auto graySource = QuellonExtensionStreamSource::create("G", "ID", device, services);
    graySource->startStream();
    graySource->setFrameProperty("x");
    graySource->drain();
    auto grayStream = std::dynamic_pointer_cast<InMemoryCameraBackend::Stream>(graySource->stream());
    EXPECT_EQ(world.timers.fire(), 1);
    world.clock.advance(1.0);
    EXPECT_EQ(world.timers.fire(), 1);
    EXPECT_EQ(grayStream->sentCount(), 0u);
    EXPECT_FALSE(heartbeat());
}

TEST_F(StreamSourceTest, QueuedWorkForAGoneSourceDoesNothing)
{
    startClient();
    source->setFrameProperty("4x4");
    std::weak_ptr<QuellonExtensionStreamSource> weak = source;
    source.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(world.timers.fire(), 0);
}

} // namespace
} // namespace quellon
