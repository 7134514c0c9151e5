#pragma once

// Fakes and a fixture shared by the daemon's tests: a manual clock, a capturing log,
// in-memory defaults, a private container, manual timers and pictures that need no decoder.

#include "ExtensionServices.h"
#include "FrameFactory.h"
#include "FrameTimer.h"
#include "QuellonRenameBridge.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/Log.h"
#include "platform/PlatformDirectories.h"
#include "platform/TemporaryDirectory.h"
#include "platform/UserDefaults.h"
#include "state/QuellonStorage.h"

#include <atomic>
#include <charconv>
#include <string>

namespace quellon::testing {

/// Pictures from text: a pushed frame "WxH" decodes to a W × H frame, anything else fails;
/// a standby PNG decodes to pngWidth × pngHeight when the bytes start with the PNG signature.
/// Counts every call and can be told to fail the card.
class FakeFrameFactory final : public FrameFactory {
public:
    PixelBufferRef decodePushedFrame(std::span<const std::uint8_t> bytes) override
    {
        ++pushedDecodes;
        const std::string text(bytes.begin(), bytes.end());
        const auto x = text.find('x');
        int width = 0;
        int height = 0;
        if (x == std::string::npos
            || std::from_chars(text.data(), text.data() + x, width).ec != std::errc()
            || std::from_chars(text.data() + x + 1, text.data() + text.size(), height).ec != std::errc())
            return nullptr;
        return PixelBuffer::create(width, height);
    }

    PixelBufferRef decodeStandbyPNG(std::span<const std::uint8_t> bytes) override
    {
        ++pngDecodes;
        if (bytes.size() < 4 || bytes[1] != 'P' || bytes[2] != 'N' || bytes[3] != 'G')
            return nullptr;
        return PixelBuffer::create(pngWidth, pngHeight);
    }

    PixelBufferRef renderStandbyCard(std::int64_t width, std::int64_t height, std::string_view title,
                                     std::string_view subtitle) override
    {
        ++cardRenders;
        lastTitle = std::string(title);
        lastSubtitle = std::string(subtitle);
        if (failCards)
            return nullptr;
        return PixelBuffer::create(width, height);
    }

    std::atomic<int> pushedDecodes{0};
    std::atomic<int> pngDecodes{0};
    std::atomic<int> cardRenders{0};
    std::atomic<bool> failCards{false};
    std::string lastTitle;
    std::string lastSubtitle;
    int pngWidth = 300;
    int pngHeight = 200;
};

/// One private world per test.
struct ExtensionWorld {
    ExtensionWorld()
    {
        directories.appGroup = container.path();
    }

    ExtensionServices services() { return {clock, log, defaults, platform, frames, timers, bridge}; }

    TemporaryDirectory container{"quellon-ext-test"};
    MapEnvironment environment;
    FixedDirectories directories;
    ContainerPlatform platform{environment, directories};
    ManualClock clock;
    CapturingLogSink log;
    InMemoryUserDefaults defaults;
    FakeFrameFactory frames;
    ManualFrameTimerFactory timers;
    QuellonRenameBridge bridge;
};

} // namespace quellon::testing
