#pragma once

#include "platform/DateTime.h"

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quellon {

class Environment;
class PlatformDirectories;
struct ClipMetadata;
struct QuellonState;

/// The shared container could not be located.
class StorageError : public std::runtime_error {
public:
    enum class Code { containerUnavailable };

    explicit StorageError(Code code);
    Code code() const { return code_; }
    /// The user-facing text of a code.
    static const char* description(Code code);

private:
    Code code_;
};

/// The platform services the container rule consults; tests pass fakes.
struct ContainerPlatform {
    const Environment& environment;
    const PlatformDirectories& directories;

    /// This process's environment and the user's XDG directories.
    static const ContainerPlatform& system();
};

/// Locates the shared container and reads and writes its files. Nothing is cached: every
/// call resolves the container again and goes to the file system.
namespace QuellonStorage {

/// The container root: the App Group container unless QUELLON_NO_APP_GROUP is exactly "1"
/// or the group has none, else the first application-support directory + "Quellon"
/// (created if missing). Nothing when neither exists.
std::optional<std::filesystem::path> containerURL(const ContainerPlatform& platform = ContainerPlatform::system());

/// root/"Clips", created if missing. Throws StorageError, or std::filesystem::filesystem_error
/// when the directory cannot be created.
std::filesystem::path clipsDirectory(const ContainerPlatform& platform = ContainerPlatform::system());
/// The clip's file in the clips directory. Throws as clipsDirectory(), and
/// std::invalid_argument for a name that is not a bare file name ("", ".", "..", or one
/// holding "/" or NUL), so a name can never point outside the directory.
std::filesystem::path clipURL(std::string_view filename, const ContainerPlatform& platform = ContainerPlatform::system());
/// The clip's sidecar: its name without the last extension, plus ".json". Throws as clipURL().
std::filesystem::path metadataURL(std::string_view filename, const ContainerPlatform& platform = ContainerPlatform::system());

std::filesystem::path stateURL(const ContainerPlatform& platform = ContainerPlatform::system());
std::filesystem::path heartbeatURL(const ContainerPlatform& platform = ContainerPlatform::system());
std::filesystem::path standbyImageURL(const ContainerPlatform& platform = ContainerPlatform::system());

/// The stored state; the default record when "state.json" is missing, unreadable or does not
/// decode. Throws StorageError only.
QuellonState readState(const ContainerPlatform& platform = ContainerPlatform::system());
/// Writes the record unchanged, durably and atomically. Throws StorageError, EncodingError or
/// std::system_error.
void writeState(const QuellonState& state, const ContainerPlatform& platform = ContainerPlatform::system());

/// The clip's sidecar, or nothing on any failure.
std::optional<ClipMetadata> readMetadata(std::string_view filename,
                                         const ContainerPlatform& platform = ContainerPlatform::system());
/// Writes the sidecar of filename (not of metadata.filename). Throws as clipsDirectory(),
/// std::invalid_argument, EncodingError or std::system_error.
void writeMetadata(const ClipMetadata& metadata, std::string_view filename,
                   const ContainerPlatform& platform = ContainerPlatform::system());

/// Best effort, cheap (no fsync): called about once a second from the camera's frame thread.
void writeHeartbeat(Date date, const ContainerPlatform& platform = ContainerPlatform::system());
std::optional<Date> readHeartbeat(const ContainerPlatform& platform = ContainerPlatform::system());
/// True when a heartbeat exists and now − heartbeat ≤ seconds (a heartbeat from the future
/// counts).
bool isExtensionStreaming(double seconds, Date now, const ContainerPlatform& platform = ContainerPlatform::system());

/// The heartbeat's text: seconds since 1970 in the shortest decimal form that reads back to
/// the same double, always with a fractional part ("1765000000.0"). Nothing for a date whose
/// seconds are not finite.
std::optional<std::string> heartbeatText(Date date);
/// Parses heartbeat text: trimmed, then a whole decimal or exponent number. Nothing otherwise.
std::optional<Date> parseHeartbeat(std::string_view text);

} // namespace QuellonStorage

} // namespace quellon
