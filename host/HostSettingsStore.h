#pragma once
// Reads and changes the settings record in the host's user-defaults file, shared by the
// running host and the `quellon` commands.

#include "host/HostSettings.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

namespace quellon {
class Environment;
class LogSink;
} // namespace quellon

namespace quellon::host {

/// The settings file cannot be decoded or written. The message names the file and the fault.
class HostSettingsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The settings record inside one user-defaults JSON file. Every change is a read, modify and
/// atomic replace under an advisory lock on the directory, so the host and the commands never
/// lose each other's changes, and the file's other keys are kept. A file that does not decode
/// is never written over.
class HostSettingsStore {
public:
    explicit HostSettingsStore(std::filesystem::path file) : file_(std::move(file)) {}

    /// The host's user-defaults file ($XDG_CONFIG_HOME/<host bundle id>.json); nothing
    /// without a config directory.
    static std::optional<std::filesystem::path> defaultFile(const Environment& environment);

    const std::filesystem::path& file() const { return file_; }

    /// The stored settings; the defaults when there is no file. Throws HostSettingsError when
    /// the file cannot be read or decoded.
    HostSettings load() const;

    /// Applies change to the stored settings and writes the result, creating the directory
    /// when needed. Gives the settings now stored. Throws HostSettingsError, leaving the file
    /// as it was, when the current file does not decode or the write fails; exceptions of
    /// change pass through unchanged, nothing written.
    HostSettings update(const std::function<void(HostSettings&)>& change);

    /// Copies the file beside itself as "<name>.unreadable-<UTC time>" and gives the copy's
    /// path. Throws HostSettingsError when it cannot.
    std::filesystem::path keepCopy() const;

    /// The host's start: the stored settings, or, when the file does not decode, a copy is
    /// kept, the fault and the copy are logged as an error, and the defaults are used (the
    /// file itself stays as it is). `readable` tells which happened.
    struct StartupLoad {
        HostSettings settings;
        bool readable = true;
        std::optional<std::filesystem::path> copy;
    };
    StartupLoad loadAtStartup(LogSink& log) const;

private:
    std::filesystem::path file_;
};

} // namespace quellon::host
