#pragma once

// The daemon's real services (system clock, real decoding, steady timers) over an in-memory
// camera and a private temporary container, for measurements of the real frame paths.

#include "ExtensionServices.h"
#include "FrameFactory.h"
#include "FrameTimer.h"
#include "QuellonRenameBridge.h"
#include "backends/InMemoryCameraBackend.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/Log.h"
#include "platform/PlatformDirectories.h"
#include "platform/TemporaryDirectory.h"
#include "platform/UserDefaults.h"
#include "state/QuellonStorage.h"

#include <string>

namespace quellon {

struct RealCameraWorld {
    explicit RealCameraWorld(const std::string& prefix) : directory(prefix) { directories.appGroup = directory.path(); }
    ExtensionServices services() { return {Clock::system(), log, defaults, platform, frames, FrameTimerFactory::steady(), bridge}; }

    TemporaryDirectory directory;
    MapEnvironment environment;
    FixedDirectories directories;
    ContainerPlatform platform{environment, directories};
    CapturingLogSink log;
    InMemoryUserDefaults defaults;
    PlaybackFrameFactory frames;
    QuellonRenameBridge bridge;
    InMemoryCameraBackend backend;
};

} // namespace quellon
