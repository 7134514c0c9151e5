#include "analysis/LoopImport.h"

#include "platform/FileDescriptor.h"
#include "platform/FileIO.h"
#include "platform/UUID.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
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

void atomicCopy(const std::filesystem::path& source, const std::filesystem::path& destination,
                const CopyProgress& progress, ExistingFile existing)
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

    const std::filesystem::path directory = destination.has_parent_path() ? destination.parent_path()
                                                                          : std::filesystem::path(".");
    const std::filesystem::path temporary = directory
        / (std::string(temporaryPrefix) + UUID::random().uuidString() + std::string(movieExtension));
    FileDescriptor to(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (to.get() < 0)
        throwError(errno, "cannot create a temporary file for", destination);

    // Until the rename succeeds, every way out (a failed call, a throwing progress callback)
    // removes the temporary file; errno is saved before the clean-up so the error is the
    // failing step's own.
    struct TemporaryGuard {
        const std::filesystem::path& path;
        FileDescriptor& fd;
        bool committed = false;
        ~TemporaryGuard()
        {
            if (committed)
                return;
            const int saved = errno;
            fd.reset();
            ::unlink(path.c_str());
            errno = saved;
        }
    } guard{temporary, to};

    const std::int64_t copied = copyContent(from.get(), to.get(), progress);
    if (copied < 0)
        throwError(errno, "cannot copy to", destination);
    struct stat after {};
    if (::fstat(from.get(), &after) != 0)
        throwError(errno, "cannot inspect", source);
    // A source truncated or rewritten while we read it would give a copy of neither state.
    if (copied != before.st_size || after.st_size != before.st_size
        || after.st_mtim.tv_sec != before.st_mtim.tv_sec || after.st_mtim.tv_nsec != before.st_mtim.tv_nsec)
        throwError(EIO, "changed while it was copied:", source);
    if (::fsync(to.get()) != 0)
        throwError(errno, "cannot flush", temporary);
    if (::close(to.release()) != 0)
        throwError(errno, "cannot close", temporary);
    // rename replaces an existing destination in one step and fails for a directory; a file
    // made at the destination while we copied is never replaced unless asked.
    if (existing == ExistingFile::replace) {
        if (::rename(temporary.c_str(), destination.c_str()) != 0)
            throwError(errno, "cannot replace", destination);
    } else {
        moveIntoPlace(temporary, destination);
    }
    guard.committed = true;

    FileDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // The rename has happened; a directory that cannot be synced only weakens durability.
    if (dir.get() >= 0)
        ::fsync(dir.get());
}

} // namespace quellon::LoopImport
