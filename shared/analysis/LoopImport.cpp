#include "analysis/LoopImport.h"

#include "platform/FileDescriptor.h"
#include "platform/TemporaryFiles.h"
#include "platform/UUID.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace quellon::LoopImport {

namespace {

std::string_view lastPathComponent(std::string_view name)
{
    while (name.size() > 1 && name.back() == '/')
        name.remove_suffix(1);
    const auto slash = name.rfind('/');
    return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

std::string asciiLower(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

bool isAllowed(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// The name without the last component's extension, as a path's extension is removed: a
// component whose only "." leads it (".profile") has none.
std::string_view deletingPathExtension(std::string_view name)
{
    const std::string_view component = lastPathComponent(name);
    const auto dot = component.rfind('.');
    if (dot == std::string_view::npos || dot == 0)
        return name;
    const std::size_t componentStart = static_cast<std::size_t>(component.data() - name.data());
    return name.substr(0, componentStart + dot);
}

[[noreturn]] void throwError(int error, const std::string& what, const std::filesystem::path& path)
{
    throw std::system_error(error, std::generic_category(), what + " " + path.string());
}

bool writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

constexpr std::size_t chunkBytes = 8 * 1024 * 1024;

// Copies from the current offsets until the source ends; returns the bytes copied or -1 with
// errno set. copy_file_range lets the kernel move (or share) the blocks; file systems and
// kernels that refuse it fall back to a read/write loop.
std::int64_t copyContent(int from, int to, const CopyProgress& progress)
{
    std::uint64_t copied = 0;
    bool kernelCopy = true;
    std::vector<char> buffer;
    for (;;) {
        ssize_t got;
        if (kernelCopy) {
            got = ::copy_file_range(from, nullptr, to, nullptr, chunkBytes, 0);
            if (got < 0 && copied == 0
                && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL)) {
                kernelCopy = false;
                continue;
            }
        } else {
            if (buffer.empty())
                buffer.resize(1024 * 1024);
            got = ::read(from, buffer.data(), buffer.size());
            if (got > 0 && !writeAll(to, buffer.data(), static_cast<std::size_t>(got)))
                return -1;
        }
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (got == 0)
            return static_cast<std::int64_t>(copied);
        copied += static_cast<std::uint64_t>(got);
        if (progress)
            progress(copied);
    }
}

} // namespace

const std::set<std::string>& importableExtensions()
{
    static const std::set<std::string> extensions{"mov", "mp4", "m4v"};
    return extensions;
}

bool isImportable(std::string_view filename)
{
    const std::string_view component = lastPathComponent(filename);
    const auto dot = component.rfind('.');
    const std::string_view extension = dot == std::string_view::npos ? std::string_view{} : component.substr(dot + 1);
    return importableExtensions().contains(asciiLower(extension));
}

std::string sanitizedBase(std::string_view name)
{
    // The extensions are ASCII, so an ASCII lower-casing finds them as a full one would.
    std::string_view stem = name;
    const std::string lower = asciiLower(name);
    for (const std::string& extension : importableExtensions()) {
        const std::string suffix = "." + extension;
        if (lower.size() >= suffix.size() && lower.ends_with(suffix)) {
            stem.remove_suffix(suffix.size());
            break;
        }
    }
    stem = deletingPathExtension(stem);

    // Every allowed character is ASCII, and every byte of a multi-byte (or invalid) UTF-8
    // sequence is not, so walking bytes gives what walking Unicode scalars gives: each run of
    // disallowed scalars, however many bytes it spans, becomes one "-".
    std::string base;
    base.reserve(stem.size());
    bool previousAllowed = true;
    for (char c : stem) {
        if (isAllowed(c)) {
            base.push_back(c);
            previousAllowed = true;
        } else {
            if (previousAllowed)
                base.push_back('-');
            previousAllowed = false;
        }
    }

    const auto first = base.find_first_not_of("-_");
    if (first == std::string::npos)
        return std::string(fallbackBase);
    const auto last = base.find_last_not_of("-_");
    base = base.substr(first, last - first + 1);
    if (base.size() > maxBaseLength)
        base.resize(maxBaseLength);
    return base;
}

std::string exportFilename(std::string_view loopName)
{
    return sanitizedBase(loopName) + std::string(movieExtension);
}

std::string uniqueDestinationName(std::string_view suggested, const std::set<std::string>& existing)
{
    const std::string base = std::string(importedPrefix) + sanitizedBase(suggested);
    std::string candidate = base + std::string(movieExtension);
    for (std::uint64_t n = 1; existing.contains(candidate); ++n)
        candidate = base + "-" + std::to_string(n) + std::string(movieExtension);
    return candidate;
}

namespace {

// The source copied into a new temporary file of ours in directory, flushed to disk, still
// locked. Throws std::system_error; the temporary file never survives a failure.
std::unique_ptr<OwnedTemporaryFile> copyIntoTemporary(const std::filesystem::path& source,
                                                      const std::filesystem::path& directory, const CopyProgress& progress)
{
    // O_NONBLOCK keeps a FIFO from blocking the open; fstat then refuses it.
    FileDescriptor from(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (from.get() < 0)
        throwError(errno, "cannot open", source);
    struct stat before {};
    if (::fstat(from.get(), &before) != 0)
        throwError(errno, "cannot inspect", source);
    if (S_ISDIR(before.st_mode))
        throwError(EISDIR, "cannot copy", source);
    if (!S_ISREG(before.st_mode))
        throwError(EINVAL, "not a regular file:", source);
    // Reads of a regular file never block; clear the flag so the fallback loop is ordinary.
    ::fcntl(from.get(), F_SETFL, ::fcntl(from.get(), F_GETFL) & ~O_NONBLOCK);

    // What interrupted copies left here goes first.
    removeStaleTemporaryFiles(directory, {temporaryPrefix});
    std::unique_ptr<OwnedTemporaryFile> temporary;
    try {
        temporary = std::make_unique<OwnedTemporaryFile>(directory, temporaryPrefix, movieExtension);
    } catch (const std::system_error& error) {
        throwError(error.code().value(), "cannot create a temporary file for", directory);
    }
    const int to = temporary->descriptor();
    // Failures below leave by exception, and the temporary file's owner removes it; errno is
    // read before anything else can change it.
    const std::int64_t copied = copyContent(from.get(), to, progress);
    if (copied < 0)
        throwError(errno, "cannot copy to", directory);
    struct stat after {};
    if (::fstat(from.get(), &after) != 0)
        throwError(errno, "cannot inspect", source);
    // A source truncated or rewritten while we read it would give a copy of neither state.
    if (copied != before.st_size || after.st_size != before.st_size
        || after.st_mtim.tv_sec != before.st_mtim.tv_sec || after.st_mtim.tv_nsec != before.st_mtim.tv_nsec)
        throwError(EIO, "changed while it was copied:", source);
    if (::fsync(to) != 0)
        throwError(errno, "cannot flush", temporary->path());
    return temporary;
}

void syncDirectory(const std::filesystem::path& directory)
{
    FileDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // The rename has happened; a directory that cannot be synced only weakens durability.
    if (dir.get() >= 0)
        ::fsync(dir.get());
}

std::filesystem::path directoryOf(const std::filesystem::path& destination)
{
    return destination.has_parent_path() ? destination.parent_path() : std::filesystem::path(".");
}

} // namespace

void atomicCopy(const std::filesystem::path& source, const std::filesystem::path& destination,
                const CopyProgress& progress, ExistingFile existing)
{
    const std::filesystem::path directory = directoryOf(destination);
    const auto temporary = copyIntoTemporary(source, directory, progress);
    // rename replaces an existing destination in one step and fails for a directory; a file
    // made at the destination while we copied is never replaced unless asked.
    if (existing == ExistingFile::replace)
        temporary->replace(destination);
    else if (!temporary->placeWithoutReplacing(destination))
        throwError(EEXIST, "exists already:", destination);
    syncDirectory(directory);
}

std::string atomicCopyAsNewFile(const std::filesystem::path& source, const std::filesystem::path& directory,
                                const NameChooser& chooseName, const CopyProgress& progress)
{
    const auto temporary = copyIntoTemporary(source, directory, progress);
    // Another process may take the chosen name between the choice and the placement: then the
    // names are read again and another is chosen.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::set<std::string> names;
        std::error_code error;
        for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end; it.increment(error))
            names.insert(it->path().filename().string());
        if (error)
            throwError(error.value(), "cannot read", directory);
        const std::string name = chooseName(names);
        if (temporary->placeWithoutReplacing(directory / name)) {
            syncDirectory(directory);
            return name;
        }
    }
    throwError(EEXIST, "no free name for", source);
}

} // namespace quellon::LoopImport
