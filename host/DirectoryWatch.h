#pragma once
// Tells the loop thread when named entries of one directory are written, replaced or removed.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

namespace quellon {
class MainLoop;
} // namespace quellon

namespace quellon::host {

/// inotify on a directory rather than on files: files replaced by rename (atomic writes, the
/// /etc/localtime symlink) would end a watch on the file itself at their first change.
class DirectoryWatch {
public:
    /// Calls onChange once per batch of events that touched any of names. Throws
    /// std::system_error when the directory cannot be watched.
    DirectoryWatch(MainLoop& loop, const std::filesystem::path& directory, std::set<std::string> names,
                   std::function<void()> onChange);
    ~DirectoryWatch();
    DirectoryWatch(const DirectoryWatch&) = delete;
    DirectoryWatch& operator=(const DirectoryWatch&) = delete;

private:
    void drain();

    MainLoop& loop_;
    std::set<std::string> names_;
    std::function<void()> onChange_;
    int fd_ = -1;
    std::uint64_t watch_ = 0;
};

} // namespace quellon::host
