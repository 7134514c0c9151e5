#pragma once
// What the host asks of the user's desktop: open a file or folder, show a notification.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace sdbus {
class IConnection;
class IProxy;
} // namespace sdbus

namespace quellon::host {

class Desktop {
public:
    virtual ~Desktop() = default;
    /// Opens path in the user's preferred application; never waits for it.
    virtual void open(const std::filesystem::path& path) = 0;
    /// Shows a desktop notification; a newer one replaces the previous.
    virtual void notify(const std::string& summary, const std::string& body) = 0;
};

/// Starts program with args, detached (its own session, reaped at once through an
/// intermediate child), so it never becomes our zombie and outlives us if it wants to.
/// Returns false when it could not be started at all.
bool startDetached(const std::string& program, const std::vector<std::string>& args);

/// The freedesktop desktop: xdg-open, and org.freedesktop.Notifications on the given session
/// bus connection (whose messages the host's loop processes; the call never blocks it).
class FreedesktopDesktop final : public Desktop {
public:
    explicit FreedesktopDesktop(sdbus::IConnection& connection);
    ~FreedesktopDesktop() override;

    void open(const std::filesystem::path& path) override;
    void notify(const std::string& summary, const std::string& body) override;

private:
    std::unique_ptr<sdbus::IProxy> notifications_;
    std::uint32_t lastNotification_ = 0;
};

} // namespace quellon::host
