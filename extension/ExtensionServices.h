#pragma once

namespace quellon {

class Clock;
class FrameFactory;
class FrameTimerFactory;
class LogSink;
class QuellonRenameBridge;
class UserDefaults;
struct ContainerPlatform;

/// Everything the camera's sources use from outside: the program passes the real services,
/// tests pass a manual clock, a capturing log, in-memory defaults and fake frames.
struct ExtensionServices {
    const Clock& clock;
    LogSink& log;
    UserDefaults& defaults;
    const ContainerPlatform& container;
    FrameFactory& frames;
    FrameTimerFactory& timers;
    QuellonRenameBridge& renameBridge;
};

} // namespace quellon
