#include "QuellonExtensionStreamSource.h"

#include "ExtensionTestSupport.h"
#include "backends/InMemoryCameraBackend.h"
#include "channel/QuellonCMIOChannel.h"
#include "platform/FileIO.h"
#include "state/QuellonIdentifiers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>

namespace quellon {
namespace {

using testing::ExtensionWorld;
using Size = std::pair<std::int64_t, std::int64_t>;
namespace fs = std::filesystem;

Size size(const PixelBufferRef& frame) { return {frame->width(), frame->height()}; }

std::string encoded(std::int64_t revision, QuellonMode mode = QuellonMode::away, std::int64_t fps = 30,
                    std::int64_t width = 1280)
{
    QuellonState state;
    state.revision = revision;
    state.mode = mode;
    state.targetFPS = fps;
    state.targetWidth = width;
    return *QuellonCMIOChannel::encodeState(state);
}

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

    template <typename... Args>
    void sendState(Args... args) { setState(encoded(args...)); }
    void setState(const std::string& bytes) { source->setStateProperty(bytes); source->drain(); }
    void push(const std::string& bytes) { source->setFrameProperty(bytes); source->drain(); }
    void pushRaw(int width, int height, PixelFormatCode format = kPixelFormatBGRA)
    {
        source->setPushedFrame(PixelBuffer::create(width, height, format));
        source->drain();
    }
    void startClient() { stream->startClient(); source->drain(); }
    std::optional<std::string> storedState() { return source->streamProperties({StreamProperty::state}).state; }
    std::optional<Date> heartbeat() { return QuellonStorage::readHeartbeat(world.platform); }

    /// Fires the frame timer once; gives the frame sent, or null when nothing was sent.
    PixelBufferRef tick()
    {
        const std::size_t before = stream->sentCount();
        world.timers.fire();
        return stream->sentCount() == before ? nullptr : stream->sent().back().frame;
    }

    ExtensionWorld world;
    InMemoryCameraBackend backend;
    std::shared_ptr<InMemoryCameraBackend::Device> device;
    std::shared_ptr<QuellonExtensionStreamSource> source;
    std::shared_ptr<InMemoryCameraBackend::Stream> stream;
};

TEST_F(StreamSourceTest, StartsIdleInStandbyWithTheFixedFormat)
{
    const auto s = source->snapshot();
    EXPECT_EQ(std::tuple(s.currentMode, s.lastRevision, s.width, s.height, s.fps, s.timerRunning),
              std::tuple(QuellonMode::standby, -1, 1280, 720, 30, false));
    EXPECT_EQ(source->formats(), (std::vector<StreamFormat>{{kPixelFormatBGRA, 1280, 720, {1, 30}, {1, 30}}}));
    EXPECT_EQ(stream->identity(), (StreamIdentity{"Quellon Camera Stream", "STREAM-ID"}));
    EXPECT_EQ(source->availableProperties().size(), 5u);
}

// Only the first start and the last stop act; a stop without a start does no harm.
TEST_F(StreamSourceTest, CountsClients)
{
    struct Case {
        const char* steps; // s = start, p = stop
        std::int64_t clients;
        int timersStarted;
    };
    const Case cases[] = {{"s", 1, 1},   {"ss", 2, 1},   {"ssp", 1, 1},    {"sspp", 0, 1},
                          {"p", 0, 0},   {"pps", 1, 1},  {"spsp", 0, 2},   {"sppps", 1, 2}};
    for (const Case& c : cases) {
        ExtensionWorld world;
        auto source = QuellonExtensionStreamSource::create("S", "ID", backend.makeDevice({}), world.services());
        for (const char* step = c.steps; *step; ++step)
            *step == 's' ? source->startStream() : source->stopStream();
        const auto snapshot = source->snapshot();
        EXPECT_EQ(snapshot.startClients, c.clients) << c.steps;
        EXPECT_EQ(snapshot.timerRunning, c.clients > 0) << c.steps;
        EXPECT_EQ(world.timers.liveTimers(), c.clients > 0 ? 1 : 0) << c.steps;
        EXPECT_EQ(world.timers.startedTimers(), c.timersStarted) << c.steps;
    }
}

// A pushed frame, JPEG or raw, keeps its own size; a newer push replaces it without a tick
// between.
TEST_F(StreamSourceTest, PushedFrameIsSentWhileYoungerThanSevenTenthsOfASecond)
{
    const std::tuple<double, QuellonMode, bool> cases[] = {
        {0.0, QuellonMode::live, true},       {0.69, QuellonMode::live, true},   {0.7, QuellonMode::live, false},
        {5.0, QuellonMode::live, false},      {0.69, QuellonMode::standby, true}, {0.69, QuellonMode::error, true},
        {0.7, QuellonMode::error, false},
    };
    world.clock.setHostTime(1234.5);
    startClient();
    std::int64_t revision = 1;
    for (const bool raw : {false, true}) {
        for (auto [age, mode, pushedSent] : cases) {
            SCOPED_TRACE(raw ? "raw" : "JPEG");
            sendState(revision, mode);
            if (raw) {
                pushRaw(320, 180);
                pushRaw(640, 360);
                pushRaw(800, 600, kPixelFormatGray8); // not a picture the stream can show
            } else {
                push("320x180");
                push("640x360");
            }
            world.clock.advance(age);
            PixelBufferRef sent = tick();
            ASSERT_TRUE(sent) << age;
            EXPECT_EQ(sent == source->snapshot().latestPushedFrame, pushedSent) << "age " << age;
            EXPECT_EQ(size(sent), pushedSent ? Size(640, 360) : Size(1280, 720)) << "age " << age;
            EXPECT_EQ(stream->sentCount(), static_cast<std::size_t>(revision++));
        }
    }
    EXPECT_EQ(stream->sent().front().hostTimeNanos, 1234500000000ULL);
    EXPECT_EQ(source->snapshot().framesReceived, 4u * std::size(cases));
}

TEST_F(StreamSourceTest, WritesTheHeartbeatAtMostOnceASecond)
{
    startClient();
    const std::pair<double, bool> steps[] = {{0.0, true}, {0.5, false}, {0.49, false}, {0.01, true}, {0.99, false}, {1.5, true}};
    for (auto [advance, written] : steps) {
        world.clock.advance(advance);
        const auto before = heartbeat();
        ASSERT_TRUE(tick());
        const auto after = heartbeat();
        EXPECT_EQ(after != before, written) << "after +" << advance;
        if (written) {
            EXPECT_LT(std::chrono::abs(after.value() - world.clock.now()), std::chrono::milliseconds(1));
        }
    }
}

// Nothing sent (no card, or a picture clients cannot take) means no heartbeat; the next tick tries again.
TEST_F(StreamSourceTest, NothingSentMeansNoHeartbeat)
{
    world.frames.failCards = true;
    startClient();
    EXPECT_FALSE(tick());
    EXPECT_FALSE(heartbeat());
    world.frames.failCards = false;
    EXPECT_TRUE(tick());
    const auto written = heartbeat();
    EXPECT_TRUE(written);
    EXPECT_EQ(world.frames.cardRenders, 2);
    world.frames.pixelFormat = kPixelFormatGray8;
    world.clock.advance(2.0);
    push("8x8");
    EXPECT_FALSE(tick());
    EXPECT_EQ(heartbeat(), written);
}

// The frame duration follows a new rate at once, the timer only at the next start.
TEST_F(StreamSourceTest, ClampsTheRateAndTheFrameDurationFollows)
{
    startClient();
    const std::pair<std::int64_t, std::int32_t> cases[] = {{0, 5}, {-7, 5}, {4, 5}, {5, 5}, {15, 15}, {30, 30}, {60, 30}, {10, 10}};
    std::int64_t revision = 1;
    for (auto [target, expected] : cases) {
        sendState(revision++, QuellonMode::away, target);
        EXPECT_EQ(source->streamProperties({StreamProperty::frameDuration}).frameDuration, (FrameDuration{1, expected}))
            << target;
        EXPECT_EQ(stream->frameRate(), expected) << target;
    }
    EXPECT_EQ(world.timers.startedTimers(), 1);
    EXPECT_DOUBLE_EQ(world.timers.lastInterval(), 1.0 / 30);
    stream->stopClient();
    startClient();
    EXPECT_DOUBLE_EQ(world.timers.lastInterval(), 1.0 / 10);
}

TEST_F(StreamSourceTest, RepeatedRevisionIsStoredButChangesNothingUntilTheNextStart)
{
    sendState(7, QuellonMode::away, 20);
    const std::string second = encoded(7, QuellonMode::error, 10, 640);
    setState(second);
    auto s = source->snapshot();
    EXPECT_EQ(std::tuple(s.currentMode, s.fps, s.width), std::tuple(QuellonMode::away, 20, 1280));
    EXPECT_EQ(storedState(), second);
    startClient();
    s = source->snapshot();
    EXPECT_EQ(std::tuple(s.currentMode, s.fps, s.width), std::tuple(QuellonMode::error, 10, 640));
}

TEST_F(StreamSourceTest, UndecodableStatesAreLoggedAndKeepTheLastState)
{
    for (const std::string bytes : {"", "not json", "{}", R"({"mode":"sideways"})", "[1,2]"}) {
        setState(bytes);
        EXPECT_TRUE(world.log.contains("Quellon ext: state decode failed (" + std::to_string(bytes.size()) + " bytes)"))
            << bytes;
        EXPECT_EQ(source->snapshot().currentMode, QuellonMode::standby) << bytes;
        EXPECT_EQ(storedState(), "") << bytes;
    }
    const std::string good = encoded(3, QuellonMode::live);
    source->setStateProperty(good);
    setState("garbage");
    EXPECT_TRUE(world.log.contains("Quellon ext: state (" + std::to_string(good.size()) + " bytes) mode=live"));
    EXPECT_EQ(source->snapshot().currentMode, QuellonMode::live);
    EXPECT_EQ(storedState(), good);
}

TEST_F(StreamSourceTest, CardCaptionFollowsTheModeAndIsCachedPerSizeAndCaption)
{
    startClient();
    // mode (none: no new state), width, caption, renders so far
    const std::tuple<std::optional<QuellonMode>, std::int64_t, const char*, int> steps[] = {
        {std::nullopt, 1280, "Camera paused", 1},            {std::nullopt, 1280, "Camera paused", 1},
        {QuellonMode::error, 1280, "Camera unavailable", 2}, {QuellonMode::error, 1280, "Camera unavailable", 2},
        {QuellonMode::away, 1280, "Camera paused", 3},       {QuellonMode::live, 1280, "Camera paused", 3},
        {QuellonMode::live, 800, "Camera paused", 4},
    };
    std::int64_t revision = 1;
    for (auto [mode, width, caption, renders] : steps) {
        if (mode)
            sendState(revision++, *mode, 30, width);
        PixelBufferRef card = tick();
        ASSERT_TRUE(card);
        EXPECT_EQ(std::tuple(world.frames.lastTitle, world.frames.lastSubtitle, world.frames.cardRenders.load(), card->width()),
                  std::tuple("Quellon", caption, renders, width)) << revision;
    }
}

// A standby picture wins at its own size whatever the caption; a file that is not a PNG does not.
TEST_F(StreamSourceTest, StandbyPictureTakesPrecedenceOverTheCard)
{
    const auto picture = QuellonStorage::standbyImageURL(world.platform);
    replaceFileAtomically(picture, "\x89PNG fake");
    startClient();
    const std::tuple<QuellonMode, std::int64_t, std::int64_t, int> cases[] = {
        {QuellonMode::standby, 300, 200, 0}, {QuellonMode::error, 300, 200, 0}, {QuellonMode::live, 1280, 720, 1}};
    std::int64_t revision = 1;
    for (auto [mode, width, height, renders] : cases) {
        if (mode == QuellonMode::live)
            replaceFileAtomically(picture, "not a picture");
        sendState(revision++, mode);
        PixelBufferRef card = tick();
        ASSERT_TRUE(card);
        EXPECT_EQ(size(card), Size(width, height)) << revision;
        EXPECT_EQ(world.frames.cardRenders, renders) << revision;
    }
}

// The picture is looked at again whenever it changes: replaced, removed, put back, or made
// too large, also while the mode and caption stay the same. A refused picture is logged once.
TEST_F(StreamSourceTest, StandbyPictureFollowsTheFileAndRefusalsAreLogged)
{
    const auto picture = QuellonStorage::standbyImageURL(world.platform);
    replaceFileAtomically(picture, "\x89PNG fake");
    startClient();
    sendState(1, QuellonMode::standby);
    const auto refusals = [&] {
        const auto lines = world.log.lines();
        return std::count_if(lines.begin(), lines.end(), [](const CapturingLogSink::Line& line) {
            return line.level == LogLevel::error && line.message.starts_with("Quellon ext: standby.png refused");
        });
    };
    // What the file becomes before the tick, the card's width, drawn cards so far, refusals so far.
    const std::function<void()> keep = [] {};
    const std::tuple<std::function<void()>, std::int64_t, int, long> steps[] = {
        {keep, 300, 0, 0},
        {[&] { fs::remove(picture); }, 1280, 1, 0},
        {keep, 1280, 1, 0},
        {[&] { replaceFileAtomically(picture, "\x89PNG fake again"); }, 300, 1, 0},
        {[&] { replaceFileAtomically(picture, "not a picture"); }, 1280, 2, 1},
        {keep, 1280, 2, 1},
        {[&] { replaceFileAtomically(picture, "\x89PNG"); fs::resize_file(picture, 32 * 1024 * 1024 + 1); },
         1280, 3, 2},
        {keep, 1280, 3, 2},
        {[&] { replaceFileAtomically(picture, "\x89PNG fake"); }, 300, 3, 2},
    };
    int step = 0;
    for (const auto& [change, width, renders, refused] : steps) {
        change();
        PixelBufferRef card = tick();
        ASSERT_TRUE(card) << step;
        EXPECT_EQ(std::tuple(card->width(), world.frames.cardRenders.load(), refusals()),
                  std::tuple(width, renders, refused))
            << "step " << step;
        ++step;
    }
    EXPECT_TRUE(world.log.contains("Quellon ext: standby.png refused: 33554433 bytes, more than the 32 MiB limit; "
                                   "showing the drawn card"));
    EXPECT_TRUE(world.log.contains("Quellon ext: standby.png refused: not a PNG of at most 4096 pixels a side "
                                   "(13 bytes); showing the drawn card"));

    // A picture spoilt while Live is not the one shown when Standby comes back.
    sendState(2, QuellonMode::live);
    ASSERT_EQ(tick()->width(), 300);
    replaceFileAtomically(picture, "not a picture");
    sendState(3, QuellonMode::standby);
    EXPECT_EQ(tick()->width(), 1280);
}

TEST_F(StreamSourceTest, FrameLogIsThinnedAndDecodeFailuresAreLogged)
{
    for (int i = 1; i <= 121; ++i)
        source->setFrameProperty("4x4");
    source->setFrameProperty("");
    push("not an image");

    const auto frameLine = [](const char* text) { return CapturingLogSink::Line{LogLevel::info, text}; };
    EXPECT_EQ(world.log.lines(), (std::vector{frameLine("Quellon ext: frame #1 (3 bytes)"), frameLine("Quellon ext: frame #60 (3 bytes)"),
                                              frameLine("Quellon ext: frame #120 (3 bytes)"),
                                              CapturingLogSink::Line{LogLevel::error, "Quellon ext: frame decode failed (12 bytes)"}}));
    EXPECT_EQ(source->snapshot().framesReceived, 122u);
    // The failed decode keeps the previous frame.
    ASSERT_TRUE(source->snapshot().latestPushedFrame);
    EXPECT_EQ(source->snapshot().latestPushedFrame->width(), 4);
}

TEST_F(StreamSourceTest, NameChannelStoresValidNewNamesAndHandsThemOn)
{
    // Stored even with no live rename to hand it to.
    source->setNameProperty("Desk");
    EXPECT_EQ(world.defaults.string(QuellonIdentifiers::customCameraNameKey), "Desk");

    std::vector<std::string> renamed;
    world.bridge.setApply([&](const std::string& name) { renamed.push_back(name); });
    const std::string name64(64, 'n');
    // Blank, too long, trimmed, the stored name again, the longest, and UTF-8.
    for (const std::string& bytes : {std::string("   \n"), std::string(65, 'x'), std::string("  Studio Cam \n"),
                                     std::string("Studio Cam"), name64, std::string("Caf\xC3\xA9")})
        source->setNameProperty(bytes);

    EXPECT_EQ(renamed, (std::vector<std::string>{"Studio Cam", name64, "Caf\xC3\xA9"}));
    EXPECT_EQ(world.defaults.string(QuellonIdentifiers::customCameraNameKey), "Caf\xC3\xA9");
    EXPECT_TRUE(world.log.contains("Quellon ext: custom camera name → Studio Cam"));
    EXPECT_EQ(world.log.lines().size(), 4u);
}

TEST_F(StreamSourceTest, NamesAreStoredAsReceivedButLoggedSafely)
{
    std::vector<std::string> renamed;
    world.bridge.setApply([&](const std::string& name) { renamed.push_back(name); });
    const std::string hostile = std::string("Cam\0\x1B[2J\xE2\x80\xAE", 11) + "lanigiro";
    source->setNameProperty(hostile);
    EXPECT_EQ(world.defaults.string(QuellonIdentifiers::customCameraNameKey), hostile);
    EXPECT_EQ(renamed, std::vector<std::string>{hostile}) << "the device labels it safely itself";
    EXPECT_TRUE(world.log.contains("Quellon ext: custom camera name → Cam\xEF\xBF\xBD\xEF\xBF\xBD[2J\xEF\xBF\xBDlanigiro"));
}

// Out-of-range sizes reach the card clamped to what the camera sends; the state keeps them.
TEST_F(StreamSourceTest, CardSizeIsClampedWhereTheStateIsApplied)
{
    constexpr std::int64_t big = std::numeric_limits<std::int64_t>::max();
    const struct {
        std::int64_t width, height;
        Size card;
    } cases[] = {{640, 360, {640, 360}},    {0, 0, {16, 16}},          {-5, 720, {16, 720}},
                 {16384, 4096, {1280, 720}}, {big, -big, {1280, 16}}, {1280, 720, {1280, 720}}};
    startClient();
    std::int64_t revision = 1;
    for (const auto& [width, height, card] : cases) {
        QuellonState state;
        state.revision = revision++;
        state.mode = QuellonMode::standby;
        state.targetWidth = width;
        state.targetHeight = height;
        setState(*QuellonCMIOChannel::encodeState(state));
        const auto frame = tick();
        ASSERT_TRUE(frame) << width << "x" << height;
        EXPECT_EQ(size(frame), card) << width << "x" << height;
        const auto s = source->snapshot();
        EXPECT_EQ(Size(s.width, s.height), card);
        ASSERT_TRUE(s.appliedState);
        EXPECT_EQ(Size(s.appliedState->targetWidth, s.appliedState->targetHeight), Size(width, height));
    }
}

// Values of other types are ignored; the frame and name channels read back empty.
TEST_F(StreamSourceTest, PropertiesTakeByteBuffersAndAreFilledOnlyWhenRequested)
{
    source->setStreamProperties({{StreamProperty::frame, std::int64_t{5}}, {StreamProperty::state, FrameDuration{1, 5}},
                                 {StreamProperty::frameDuration, std::string("1x1")}, {StreamProperty::name, std::monostate{}}});
    source->drain();
    EXPECT_TRUE(world.log.lines().empty());
    EXPECT_EQ(world.frames.pushedDecodes, 0);

    const std::string state = encoded(4, QuellonMode::error);
    source->setStreamProperties({{StreamProperty::frame, std::string("2x2")}, {StreamProperty::state, state},
                                 {StreamProperty::name, std::string("Named")}});
    source->drain();
    EXPECT_EQ(source->snapshot().currentMode, QuellonMode::error);
    EXPECT_TRUE(source->snapshot().latestPushedFrame);
    EXPECT_EQ(world.defaults.string(QuellonIdentifiers::customCameraNameKey), "Named");
    EXPECT_EQ(source->streamProperties({}), StreamPropertyValues{});
    StreamPropertyValues all;
    all.activeFormatIndex = 0;
    all.frameDuration = FrameDuration{1, 30};
    all.state = state;
    all.frame = all.name = "";
    EXPECT_EQ(source->streamProperties({StreamProperty::activeFormatIndex, StreamProperty::frameDuration,
                                        StreamProperty::state, StreamProperty::frame, StreamProperty::name}),
              all);
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
