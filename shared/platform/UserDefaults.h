#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace quellon {

class Environment;

/// A process's own preference store: text values by key.
class UserDefaults {
public:
    virtual ~UserDefaults() = default;
    virtual std::optional<std::string> string(std::string_view key) const = 0;
    /// Stores value under key. Throws std::system_error when the store cannot be written.
    virtual void setString(std::string_view key, std::string_view value) = 0;

    /// This process's store, in the domain set by setStandardDomain (the host's bundle
    /// identifier unless a program chose its own at start-up).
    static UserDefaults& standard();
    /// Chooses the domain of standard(); call once in main, before the first use.
    static void setStandardDomain(std::string domain);
};

/// One JSON object per domain in $XDG_CONFIG_HOME/<domain>.json (default ~/.config), read
/// afresh on every lookup and replaced atomically on every write. Non-text values and an
/// unreadable or corrupt file read as absent keys; a write keeps the other keys it can read.
class JsonFileUserDefaults final : public UserDefaults {
public:
    explicit JsonFileUserDefaults(std::filesystem::path file) : file_(std::move(file)) {}

    /// The file of a domain under the environment's XDG config home; nothing without one.
    static std::optional<std::filesystem::path> fileForDomain(std::string_view domain, const Environment& environment);

    std::optional<std::string> string(std::string_view key) const override;
    void setString(std::string_view key, std::string_view value) override;
    const std::filesystem::path& file() const { return file_; }

private:
    std::filesystem::path file_;
    std::mutex writeMutex_;
};

/// Keeps values in memory; for tests, and for a process without a config directory.
class InMemoryUserDefaults final : public UserDefaults {
public:
    std::optional<std::string> string(std::string_view key) const override;
    void setString(std::string_view key, std::string_view value) override;

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::string, std::less<>> values_;
};

} // namespace quellon
