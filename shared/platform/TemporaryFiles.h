#pragma once

#include "platform/FileDescriptor.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace quellon {

/// Gives the file at `from` the name `to` unless a file of that name exists, in one step:
/// renameat2 with RENAME_NOREPLACE, or, where the file system lacks it, a hard link made
/// (which fails on an existing name) and the old name removed. False when `to` exists (from
/// is left as it was); throws std::system_error for any other failure.
bool placeWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to);

/// A temporary file of ours beside what it will become. It is created new and locked (flock)
/// at once, and holds the lock until it is placed or removed, so another process can tell a
/// live temporary from one a killed process left (removeStaleTemporaryFiles). Removed when it
/// goes away unless placed, and by SIGINT or SIGTERM once removeTemporaryFilesOnSignal() ran.
class OwnedTemporaryFile {
public:
    /// Creates directory / (prefix + random UUID + extension). Throws std::system_error.
    OwnedTemporaryFile(const std::filesystem::path& directory, std::string_view prefix, std::string_view extension);
    ~OwnedTemporaryFile();
    OwnedTemporaryFile(const OwnedTemporaryFile&) = delete;
    OwnedTemporaryFile& operator=(const OwnedTemporaryFile&) = delete;

    const std::filesystem::path& path() const { return path_; }
    /// Open for reading and writing; other writers (FFmpeg's own opens) may use the path.
    int descriptor() const { return fd_.get(); }

    /// Renames it over destination. Throws std::system_error.
    void replace(const std::filesystem::path& destination);
    /// Renames it to destination unless that exists (then false, and it stays temporary).
    bool placeWithoutReplacing(const std::filesystem::path& destination);

private:
    void forget();

    std::filesystem::path path_;
    FileDescriptor fd_;
    int slot_ = -1;
    bool placed_ = false;
};

/// From now on SIGINT and SIGTERM first remove every live OwnedTemporaryFile of the process,
/// then end it as the signal would have. For programs that leave on those signals (the CLI's
/// commands); a program that handles them itself keeps its own handlers by not calling this.
void removeTemporaryFilesOnSignal();

/// Removes the files in directory whose names begin with one of prefixes and whose lock no
/// live process holds: what interrupted or killed runs left. Returns what was removed; a
/// directory that cannot be read gives nothing.
std::vector<std::filesystem::path> removeStaleTemporaryFiles(const std::filesystem::path& directory,
                                                             const std::vector<std::string_view>& prefixes);

/// The prefixes of every temporary file Quellon leaves beside clips and exports.
const std::vector<std::string_view>& quellonTemporaryPrefixes();

} // namespace quellon
