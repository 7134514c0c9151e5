#include "platform/TemporaryFiles.h"

#include "platform/UUID.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace quellon {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void throwError(int error, const std::string& what)
{
    throw std::system_error(error, std::generic_category(), what);
}

// The live temporary files a signal handler removes. A handler may only read plain memory, so
// the paths sit in fixed slots: a slot is published (ready) after its path is written and
// withdrawn before it is reused.
enum SlotState : int { freeSlot, writingSlot, readySlot };
struct Slot {
    std::atomic<int> state{freeSlot};
    char path[PATH_MAX]{};
};
constexpr std::size_t kSlots = 16;
std::array<Slot, kSlots> slots;

int publish(const fs::path& path)
{
    const std::string& text = path.native();
    if (text.size() >= PATH_MAX)
        return -1;
    for (std::size_t i = 0; i < kSlots; ++i) {
        int expected = freeSlot;
        if (slots[i].state.compare_exchange_strong(expected, writingSlot)) {
            std::memcpy(slots[i].path, text.c_str(), text.size() + 1);
            slots[i].state.store(readySlot);
            return static_cast<int>(i);
        }
    }
    return -1; // more at once than slots: still removed by its owner and by the next sweep
}

void withdraw(int slot)
{
    if (slot >= 0)
        slots[static_cast<std::size_t>(slot)].state.store(freeSlot);
}

extern "C" void removeAndLeave(int signal)
{
    for (Slot& slot : slots)
        if (slot.state.load() == readySlot)
            ::unlink(slot.path);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

} // namespace

bool placeWithoutReplacing(const fs::path& from, const fs::path& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EEXIST)
        return false;
    // File systems without the flag (some network and FUSE ones) still refuse to link over a name.
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        throwError(errno, "cannot place " + from.string() + " at " + to.string());
    if (::link(from.c_str(), to.c_str()) != 0) {
        if (errno == EEXIST)
            return false;
        throwError(errno, "cannot place " + from.string() + " at " + to.string());
    }
    ::unlink(from.c_str());
    return true;
}

OwnedTemporaryFile::OwnedTemporaryFile(const fs::path& directory, std::string_view prefix, std::string_view extension)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        path_ = directory / (std::string(prefix) + UUID::random().uuidString() + std::string(extension));
        fd_ = FileDescriptor(::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (!fd_.isValid())
            throwError(errno, "cannot create a temporary file in " + directory.string());
        if (::flock(fd_.get(), LOCK_EX) != 0) {
            const int error = errno;
            ::unlink(path_.c_str());
            throwError(error, "cannot lock " + path_.string());
        }
        // A sweep in another process may have taken it for stale between the open and the lock.
        struct stat info {};
        if (::fstat(fd_.get(), &info) == 0 && info.st_nlink > 0) {
            slot_ = publish(path_);
            return;
        }
        fd_.reset();
    }
    throwError(EAGAIN, "cannot keep a temporary file in " + directory.string());
}

OwnedTemporaryFile::~OwnedTemporaryFile()
{
    withdraw(slot_);
    if (!placed_)
        ::unlink(path_.c_str());
}

void OwnedTemporaryFile::forget()
{
    withdraw(slot_);
    slot_ = -1;
    placed_ = true;
    fd_.reset();
}

void OwnedTemporaryFile::replace(const fs::path& destination)
{
    if (::rename(path_.c_str(), destination.c_str()) != 0)
        throwError(errno, "cannot replace " + destination.string());
    forget();
}

bool OwnedTemporaryFile::placeWithoutReplacing(const fs::path& destination)
{
    if (!quellon::placeWithoutReplacing(path_, destination))
        return false;
    forget();
    return true;
}

void removeTemporaryFilesOnSignal()
{
    struct sigaction action {};
    action.sa_handler = removeAndLeave;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

std::vector<fs::path> removeStaleTemporaryFiles(const fs::path& directory, const std::vector<std::string_view>& prefixes)
{
    std::vector<fs::path> removed;
    std::error_code error;
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        bool ours = false;
        for (std::string_view prefix : prefixes)
            ours |= name.starts_with(prefix);
        if (!ours)
            continue;
        FileDescriptor fd(::open(it->path().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        struct stat held {};
        if (!fd.isValid() || ::fstat(fd.get(), &held) != 0 || !S_ISREG(held.st_mode))
            continue;
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
            continue; // a live process holds it
        // Remove it only if the name still means the file we locked.
        struct stat named {};
        if (::lstat(it->path().c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino
            && ::unlink(it->path().c_str()) == 0)
            removed.push_back(it->path());
    }
    return removed;
}

const std::vector<std::string_view>& quellonTemporaryPrefixes()
{
    static const std::vector<std::string_view> prefixes{".quellon-export-", ".quellon-cut-", ".quellon-recording-"};
    return prefixes;
}

} // namespace quellon
