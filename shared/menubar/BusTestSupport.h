#pragma once

// A private D-Bus session bus for tests, and a recorder of the notifications posted on it.
// Header-only, tests only. The machine's own bus is never touched: the constructor points
// DBUS_SESSION_BUS_ADDRESS of this process at the private daemon.

#include "menubar/NotificationBus.h"
#include "platform/TemporaryDirectory.h"

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <sdbus-c++/sdbus-c++.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace quellon::testing {

/// dbus-daemon in a temporary directory, its socket inside it; stopped and reaped on
/// destruction.
class PrivateSessionBus {
public:
    PrivateSessionBus() : directory_("quellon-bus")
    {
        const auto config = directory_.path() / "session.conf";
        std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                                 " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                 "<busconfig><type>session</type>"
                              << "<listen>unix:dir=" << directory_.path().string() << "</listen>"
                              << "<auth>EXTERNAL</auth><policy context=\"default\">"
                                 "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                 "<allow own=\"*\"/></policy></busconfig>\n";
        int out[2];
        if (::pipe(out) != 0)
            throw std::runtime_error("pipe");
        const std::string configArg = "--config-file=" + config.string();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            // Its complaints about fd limits in containers are noise in test output.
            if (int null = ::open("/dev/null", O_WRONLY); null >= 0)
                ::dup2(null, 2);
            ::execlp("dbus-daemon", "dbus-daemon", configArg.c_str(), "--nofork", "--nopidfile", "--print-address=1",
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        char c;
        while (::read(out[0], &c, 1) == 1 && c != '\n')
            address_ += c;
        ::close(out[0]);
        if (address_.empty()) {
            stop();
            throw std::runtime_error("dbus-daemon did not start");
        }
        if (const char* previous = std::getenv("DBUS_SESSION_BUS_ADDRESS"))
            previous_ = previous;
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
    }

    ~PrivateSessionBus()
    {
        if (previous_)
            ::setenv("DBUS_SESSION_BUS_ADDRESS", previous_->c_str(), 1);
        else
            ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        stop();
    }

    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    const std::string& address() const { return address_; }
    const std::filesystem::path& directory() const { return directory_.path(); }

    /// How many match rules the daemon holds that contain text, over all connections (from
    /// the daemon's statistics interface).
    std::size_t matchRulesContaining(const std::string& text) const
    {
        auto connection = sdbus::createSessionBusConnectionWithAddress(address_);
        auto daemon = sdbus::createProxy(*connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
        std::map<std::string, std::vector<std::string>> rules;
        daemon->callMethod("GetAllMatchRules").onInterface("org.freedesktop.DBus.Debug.Stats").storeResultsTo(rules);
        std::size_t count = 0;
        for (const auto& [owner, list] : rules)
            for (const auto& rule : list)
                count += rule.find(text) != std::string::npos;
        return count;
    }

private:
    void stop()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

    TemporaryDirectory directory_;
    pid_t pid_ = -1;
    std::string address_;
    std::optional<std::string> previous_;
};

/// Records every Quellon notification on the bus, from its own connection and thread.
class NotificationRecorder {
public:
    explicit NotificationRecorder(const std::string& address)
        : connection_(sdbus::createSessionBusConnectionWithAddress(address))
    {
        slot_ = connection_->addMatch(NotificationSignal::matchRule(std::nullopt), [this](sdbus::Message& message) {
            std::string name;
            message >> name;
            std::lock_guard lock(mutex_);
            names_.push_back(name);
            changed_.notify_all();
        });
        connection_->enterEventLoopAsync();
    }

    ~NotificationRecorder() { connection_->leaveEventLoop(); }

    std::vector<std::string> names() const
    {
        std::lock_guard lock(mutex_);
        return names_;
    }

    /// True once name has been recorded; gives up after timeout.
    bool waitFor(const std::string& name, std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            for (const auto& seen : names_)
                if (seen == name)
                    return true;
            return false;
        });
    }

    void clear()
    {
        std::lock_guard lock(mutex_);
        names_.clear();
    }

private:
    std::unique_ptr<sdbus::IConnection> connection_;
    sdbus::Slot slot_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> names_;
};

} // namespace quellon::testing
