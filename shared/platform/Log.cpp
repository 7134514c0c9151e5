#include "platform/Log.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <syslog.h>

#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

namespace quellon {

namespace {

bool journalIsRunning()
{
    struct stat info {};
    return ::stat("/run/systemd/journal/socket", &info) == 0 && S_ISSOCK(info.st_mode);
}

} // namespace

SystemLogSink::SystemLogSink(std::string identifier)
    : identifier_(std::move(identifier)), useJournal_(journalIsRunning())
{
}

void SystemLogSink::write(LogLevel level, std::string_view message)
{
    const int priority = level == LogLevel::error ? LOG_ERR : level == LogLevel::debug ? LOG_DEBUG : LOG_INFO;
    const char* debugVariable = std::getenv("QUELLON_DEBUG");
    const bool debugToStderr = level == LogLevel::debug && debugVariable && std::string_view(debugVariable) == "1";
    if (level == LogLevel::debug && !debugToStderr && !useJournal_)
        return;
    if (useJournal_ && !debugToStderr) {
        const std::string text(message);
        const std::string identifierField = "SYSLOG_IDENTIFIER=" + identifier_;
        sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%i", priority, identifierField.c_str(), nullptr);
        return;
    }
    std::lock_guard lock(stderrMutex_);
    std::fprintf(stderr, "%s[%s]: %.*s\n", identifier_.c_str(), level == LogLevel::error ? "error" : level == LogLevel::debug ? "debug" : "info",
                 static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
}

void CapturingLogSink::write(LogLevel level, std::string_view message)
{
    std::lock_guard lock(mutex_);
    lines_.push_back({level, std::string(message)});
}

std::vector<CapturingLogSink::Line> CapturingLogSink::lines() const
{
    std::lock_guard lock(mutex_);
    return lines_;
}

bool CapturingLogSink::contains(std::string_view message) const
{
    std::lock_guard lock(mutex_);
    for (const Line& line : lines_)
        if (line.message == message)
            return true;
    return false;
}

} // namespace quellon
