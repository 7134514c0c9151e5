#pragma once

#include "platform/DateTime.h"

#include <atomic>
#include <chrono>

namespace quellon {

/// Monotonic host time in seconds since an arbitrary origin, and the wall-clock date.
/// The camera's timing decisions use host time; only the heartbeat uses the date.
class Clock {
public:
    virtual ~Clock() = default;
    virtual double hostTimeSeconds() const = 0;
    virtual Date now() const = 0;

    /// steady_clock and system_clock.
    static const Clock& system();
};

/// A clock that moves only when told; for tests.
class ManualClock final : public Clock {
public:
    double hostTimeSeconds() const override { return hostTime_.load(); }
    Date now() const override { return Date(std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(wallSeconds_.load()))); }

    void setHostTime(double seconds) { hostTime_ = seconds; }
    void advance(double seconds)
    {
        hostTime_ = hostTime_.load() + seconds;
        wallSeconds_ = wallSeconds_.load() + seconds;
    }
    void setNow(double secondsSince1970) { wallSeconds_ = secondsSince1970; }

private:
    std::atomic<double> hostTime_{1000.0};
    std::atomic<double> wallSeconds_{1765000000.0};
};

} // namespace quellon
