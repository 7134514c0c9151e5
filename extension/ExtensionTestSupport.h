#pragma once

// Fakes shared by the daemon's tests: pictures that need no decoder and one private world per test.

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
#include <cstdio>
#include <string>

namespace quellon::testing {

/// A pushed frame "WxH" decodes to W × H, anything else fails; bytes starting "?PNG" decode
/// to a 300 × 200 standby picture. Every picture has pixelFormat; cards can be made to fail.
class FakeFrameFactory final : public FrameFactory {
public:
    PixelBufferRef decodePushedFrame(std::span<const std::uint8_t> bytes) override
    {
        ++pushedDecodes;
        const std::string text(bytes.begin(), bytes.end());
        int width = 0, height = 0;
        char rest = 0;
        if (std::sscanf(text.c_str(), "%dx%d%c", &width, &height, &rest) != 2)
            return nullptr;
        return PixelBuffer::create(width, height, pixelFormat);
    }

    PixelBufferRef decodeStandbyPNG(std::span<const std::uint8_t> bytes) override
    {
        if (bytes.size() < 4 || std::string(bytes.begin() + 1, bytes.begin() + 4) != "PNG")
            return nullptr;
        return PixelBuffer::create(300, 200, pixelFormat);
    }

    PixelBufferRef renderStandbyCard(std::int64_t width, std::int64_t height, std::string_view title,
                                     std::string_view subtitle) override
    {
        ++cardRenders;
        lastTitle = title;
        lastSubtitle = subtitle;
        return failCards ? nullptr : PixelBuffer::create(width, height, pixelFormat);
    }

    std::atomic<int> pushedDecodes{0};
    std::atomic<int> cardRenders{0};
    std::atomic<bool> failCards{false};
    PixelFormatCode pixelFormat = kPixelFormatBGRA;
    std::string lastTitle, lastSubtitle;
};

struct ExtensionWorld {
    ExtensionWorld() { directories.appGroup = container.path(); }
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
