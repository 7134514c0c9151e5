#include "platform/FileIO.h"

#include "platform/FileDescriptor.h"
#include "platform/TemporaryFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace quellon {

namespace {

[[noreturn]] void throwErrno(const std::string& what, const std::filesystem::path& path)
{
    throw std::system_error(errno, std::generic_category(), what + " " + path.string());
}

bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

} // namespace

std::optional<std::string> readRegularFile(const std::filesystem::path& path, std::size_t maxBytes)
{
    // O_NONBLOCK keeps the open of a FIFO from waiting for a writer; fstat then rejects it.
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0)
        return std::nullopt;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    if (static_cast<unsigned long long>(info.st_size) > maxBytes)
        return std::nullopt;

    std::string content;
    content.resize(static_cast<std::size_t>(info.st_size));
    std::size_t used = 0;
    // The file may grow while it is read: read one byte past the cap to notice.
    for (;;) {
        if (used == content.size()) {
            if (content.size() > maxBytes)
                return std::nullopt;
            content.resize(std::min(maxBytes + 1, std::max<std::size_t>(content.size() * 2, 4096)));
        }
        ssize_t got = ::read(fd.get(), content.data() + used, content.size() - used);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (got == 0)
            break;
        used += static_cast<std::size_t>(got);
    }
    if (used > maxBytes)
        return std::nullopt;
    content.resize(used);
    return content;
}

namespace {

void writeAtomically(const std::filesystem::path& path, std::string_view bytes, Durability durability, bool replace)
{
    const std::filesystem::path directory = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    std::string pattern = (directory / ("." + path.filename().string() + ".XXXXXX")).string();
    FileDescriptor fd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (fd.get() < 0)
        throwErrno("cannot create a temporary file for", path);
    const std::filesystem::path temporary = pattern;

    auto fail = [&](const char* what) {
        int saved = errno;
        ::unlink(temporary.c_str());
        errno = saved;
        throwErrno(what, path);
    };

    if (!writeAll(fd.get(), bytes))
        fail("cannot write");
    if (durability == Durability::durable && ::fsync(fd.get()) != 0)
        fail("cannot flush");
    if (::close(fd.release()) != 0)
        fail("cannot close");
    if (replace) {
        if (::rename(temporary.c_str(), path.c_str()) != 0)
            fail("cannot replace");
    } else {
        try {
            moveIntoPlace(temporary, path);
        } catch (...) {
            ::unlink(temporary.c_str());
            throw;
        }
    }

    if (durability == Durability::durable) {
        FileDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        // The rename has happened; a directory that cannot be synced only weakens durability.
        if (dir.get() >= 0)
            ::fsync(dir.get());
    }
}

} // namespace

void replaceFileAtomically(const std::filesystem::path& path, std::string_view bytes, Durability durability)
{
    writeAtomically(path, bytes, durability, true);
}

void createFileAtomically(const std::filesystem::path& path, std::string_view bytes)
{
    writeAtomically(path, bytes, Durability::durable, false);
}

void moveIntoPlace(const std::filesystem::path& from, const std::filesystem::path& to)
{
    if (!placeWithoutReplacing(from, to))
        throw std::system_error(EEXIST, std::generic_category(), "cannot create " + to.string());
}

} // namespace quellon
