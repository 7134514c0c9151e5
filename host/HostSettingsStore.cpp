#include "host/HostSettingsStore.h"

#include "platform/FileIO.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "state/JSONCoding.h"
#include "state/QuellonIdentifiers.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <system_error>
#include <unistd.h>

namespace quellon::host {

namespace fs = std::filesystem;

namespace {

// An exclusive flock on the directory itself: it needs no lock file, and the file inside is
// replaced by rename, so locking the file would lock an inode that is about to go away.
class DirectoryLock {
public:
    explicit DirectoryLock(const fs::path& directory)
    {
        fd_ = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0)
            throw HostSettingsError("cannot open " + directory.string() + ": " + std::strerror(errno));
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                int error = errno;
                ::close(fd_);
                throw HostSettingsError("cannot lock " + directory.string() + ": " + std::strerror(error));
            }
        }
    }
    ~DirectoryLock() { ::close(fd_); }
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

private:
    int fd_ = -1;
};

// The file's bytes, empty when it does not exist. Throws when it exists but cannot be read.
std::string readBytes(const fs::path& file)
{
    std::error_code error;
    if (!fs::exists(fs::symlink_status(file, error)))
        return {};
    if (auto bytes = readRegularFile(file))
        return *bytes;
    throw HostSettingsError("settings file " + file.string()
                            + " cannot be read (not a regular file, unreadable, or larger than 4 MiB)");
}

HostSettings decodeBytes(const fs::path& file, const std::string& bytes)
{
    if (bytes.empty())
        return HostSettings{};
    try {
        return decodeHostSettings(bytes);
    } catch (const DecodingError& error) {
        throw HostSettingsError("settings file " + file.string() + " is not valid: " + error.what());
    }
}

std::string utcStamp()
{
    const auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    std::string text = InternetDateTime::format(now).value_or("unknown-time");
    std::erase(text, ':');
    std::erase(text, '-');
    return text;
}

} // namespace

std::optional<fs::path> HostSettingsStore::defaultFile(const Environment& environment)
{
    return JsonFileUserDefaults::fileForDomain(QuellonIdentifiers::hostBundleID, environment);
}

HostSettings HostSettingsStore::load() const
{
    return decodeBytes(file_, readBytes(file_));
}

HostSettings HostSettingsStore::update(const std::function<void(HostSettings&)>& change)
{
    const fs::path directory = file_.parent_path().empty() ? fs::path(".") : file_.parent_path();
    std::error_code error;
    fs::create_directories(directory, error);
    if (error)
        throw HostSettingsError("cannot create " + directory.string() + ": " + error.message());
    DirectoryLock lock(directory);
    const std::string bytes = readBytes(file_);
    HostSettings settings = decodeBytes(file_, bytes);
    change(settings);
    std::string merged;
    try {
        merged = mergeIntoDefaults(settings, bytes);
    } catch (const std::exception& failure) {
        throw HostSettingsError("cannot encode the settings: " + std::string(failure.what()));
    }
    try {
        replaceFileAtomically(file_, merged);
    } catch (const std::system_error& failure) {
        throw HostSettingsError("cannot write " + file_.string() + ": " + failure.what());
    }
    return settings;
}

fs::path HostSettingsStore::keepCopy() const
{
    const std::string bytes = readBytes(file_);
    fs::path copy = file_;
    copy += ".unreadable-" + utcStamp();
    try {
        replaceFileAtomically(copy, bytes);
    } catch (const std::system_error& failure) {
        throw HostSettingsError("cannot keep a copy of " + file_.string() + ": " + failure.what());
    }
    return copy;
}

HostSettingsStore::StartupLoad HostSettingsStore::loadAtStartup(LogSink& log) const
{
    try {
        return {load(), true, std::nullopt};
    } catch (const HostSettingsError& failure) {
        StartupLoad result{HostSettings{}, false, std::nullopt};
        std::string message = std::string(failure.what()) + "; using the default settings until it is fixed";
        try {
            result.copy = keepCopy();
            message += " (a copy is kept at " + result.copy->string() + ")";
        } catch (const HostSettingsError& copyFailure) {
            message += std::string(" (") + copyFailure.what() + ")";
        }
        log.write(LogLevel::error, message);
        return result;
    }
}

} // namespace quellon::host
