#pragma once

#include "platform/FileIO.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <string_view>

namespace quellon {

/// The naming rules and the safe copy behind importing a video file as a loop and exporting a
/// loop as a file. Nothing is transcoded: an imported .mp4 keeps its bytes under a ".mov" name.
namespace LoopImport {

inline constexpr std::string_view importedPrefix = "imported-";
inline constexpr std::string_view movieExtension = ".mov";
inline constexpr std::string_view temporaryPrefix = ".quellon-export-";
inline constexpr std::string_view fallbackBase = "loop";
inline constexpr std::size_t maxBaseLength = 40;

/// "mov", "mp4" and "m4v".
const std::set<std::string>& importableExtensions();

/// Whether the last path component's extension, in lower case, is importable.
bool isImportable(std::string_view filename);

/// A safe, never empty base name: the extension dropped, every run of characters outside
/// a-z A-Z 0-9 - _ turned into one "-", "-" and "_" trimmed from both ends, at most 40
/// characters, "loop" when nothing survives.
std::string sanitizedBase(std::string_view name);

/// The sanitised base plus ".mov".
std::string exportFilename(std::string_view loopName);

/// "imported-" + sanitised base + ".mov", or the first "-1", "-2" ... variant not in existing
/// (compared exactly, case included).
std::string uniqueDestinationName(std::string_view suggested, const std::set<std::string>& existing);

/// Called after each chunk with the bytes copied so far.
using CopyProgress = std::function<void(std::uint64_t bytesCopied)>;

/// Copies source to destination so that destination holds either its old content or the
/// complete copy, never a part: the bytes go to a hidden ".quellon-export-<UUID>.mov" beside
/// the destination (an OwnedTemporaryFile: locked while live, removed on failure and on
/// SIGINT/SIGTERM), are flushed to disk, and the file is renamed over the destination. Stale
/// temporary copies an interrupted run left in that directory are removed first. Throws
/// std::system_error with the failing call's error (a source that changes size while it is
/// copied fails with EIO); the temporary file never survives a failure. With ExistingFile::keep
/// the copy is put there only if nothing is (std::system_error with EEXIST otherwise).
void atomicCopy(const std::filesystem::path& source, const std::filesystem::path& destination,
                const CopyProgress& progress = {}, ExistingFile existing = ExistingFile::replace);

/// Picks a file name given the names already in a directory.
using NameChooser = std::function<std::string(const std::set<std::string>& existing)>;

/// Copies source into directory as a new file, never over an existing one: the copy is made as
/// atomicCopy makes it, then placed under chooseName(the directory's names) without replacing
/// (placeWithoutReplacing); when another process took that name meanwhile, chooseName is asked
/// again. Returns the name used. Throws as atomicCopy.
std::string atomicCopyAsNewFile(const std::filesystem::path& source, const std::filesystem::path& directory,
                                const NameChooser& chooseName, const CopyProgress& progress = {});

} // namespace LoopImport
} // namespace quellon
