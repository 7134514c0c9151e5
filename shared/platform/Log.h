#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace quellon {

/// debug lines are for developers: they reach the journal at debug priority, and standard
/// error only when QUELLON_DEBUG=1.
enum class LogLevel { debug, info, error };

/// Where log lines go: the camera daemon logs its work; the tray protocol only debug lines and
/// the tray program its start-up failures.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(LogLevel level, std::string_view message) = 0;
};

/// The system journal (sd_journal_print, with the program's syslog identifier) when journald
/// is running, standard error otherwise.
class SystemLogSink final : public LogSink {
public:
    explicit SystemLogSink(std::string identifier);
    void write(LogLevel level, std::string_view message) override;
    bool usesJournal() const { return useJournal_; }

private:
    std::string identifier_;
    bool useJournal_;
    std::mutex stderrMutex_;
};

/// Keeps every line; for tests.
class CapturingLogSink final : public LogSink {
public:
    struct Line {
        LogLevel level;
        std::string message;
        bool operator==(const Line&) const = default;
    };

    void write(LogLevel level, std::string_view message) override;
    std::vector<Line> lines() const;
    /// True when some line equals message exactly.
    bool contains(std::string_view message) const;

private:
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
};

} // namespace quellon
