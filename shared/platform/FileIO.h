#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quellon {

/// Largest file the shared-container readers accept. Anything larger counts as corrupt, so a
/// hostile or runaway file cannot make a reader allocate without bound.
inline constexpr std::size_t kMaxSharedFileBytes = 4 * 1024 * 1024;

/// Reads a whole regular file. Gives nothing when the path is missing, unreadable, not a
/// regular file (a FIFO or device node would block or never end), or larger than maxBytes.
/// Never blocks on the open.
std::optional<std::string> readRegularFile(const std::filesystem::path& path,
                                           std::size_t maxBytes = kMaxSharedFileBytes);

enum class Durability {
    /// fsync the data before the rename and the directory after it: survives power loss.
    durable,
    /// rename only: a reader still never sees a partial file, but a crash of the machine may
    /// lose the latest content. For frequent, disposable writes such as the heartbeat.
    fast,
};

/// Replaces the file at path with bytes: writes a temporary file beside it and renames it
/// over the target, so readers see the old or the new content, never a mix. Throws
/// std::system_error on failure and leaves no temporary file behind.
void replaceFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                           Durability durability = Durability::durable);

/// What a writer does with a file that exists where it puts its own.
enum class ExistingFile {
    replace,
    keep, // fail with EEXIST instead, even for a file made while the writer ran
};

/// Writes a new file at path as replaceFileAtomically does, but never replaces a file that
/// exists, even one made at the same moment: throws std::system_error with EEXIST then.
void createFileAtomically(const std::filesystem::path& path, std::string_view bytes);

/// Renames from to to unless something exists at to (std::system_error with EEXIST), in one
/// step: renameat2's RENAME_NOREPLACE, or link and unlink where the file system lacks it.
void moveIntoPlace(const std::filesystem::path& from, const std::filesystem::path& to);

} // namespace quellon
