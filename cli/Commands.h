#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace CLI {
class App;
}

namespace quellon {
struct QuellonState;
}

namespace quellon::cli {

/// The user asked for something invalid; exit status 2, nothing changed.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The command could not do its work; exit status 1.
class CommandError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Each adds one subcommand (or group) to the program. A command reports failure by throwing
// one of the errors above; main turns it into a message and an exit status.
void addCameraCommands(CLI::App& app); // after addStateCommands: adds "state get"
void addChoiceCommands(CLI::App& app); // after the loops and cameras commands: "loops use", "cameras use"
void addContainerCommand(CLI::App& app);
void addDiagnosticsCommand(CLI::App& app);
void addHostCommands(CLI::App& app); // host, live, away, standby
void addMenuBarCommands(CLI::App& app); // publish, send, watch
void addLoopCommands(CLI::App& app);
void addLoopLibraryCommands(CLI::App& app); // "loops"
void addPrivacyReceiptCommand(CLI::App& app);
void addProfileAppsCommand(CLI::App& app); // "profiles apps"; joins a "profiles" group if there is one
void addRecordCommand(CLI::App& app); // "record" and "cameras"
void addSettingsCommands(CLI::App& app); // settings, schedules, profiles
void addStandbyCardCommand(CLI::App& app);
void addStateCommands(CLI::App& app);
void addStatusCommand(CLI::App& app);

/// Hands a newly stored state to the running camera, saying so on standard error; a camera
/// that is not running is no failure.
void sendStateToCamera(const QuellonState& state);

/// The revision of the state the running camera holds; nothing when it is not running or
/// holds none. A new revision must be above it, or the camera would ignore the record.
std::optional<std::int64_t> cameraStateRevision();

} // namespace quellon::cli
