#include "platform/Clock.h"

namespace quellon {

namespace {

class SystemClock final : public Clock {
public:
    double hostTimeSeconds() const override
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }
    Date now() const override { return std::chrono::system_clock::now(); }
};

} // namespace

const Clock& Clock::system()
{
    // Never destroyed: a frames queue still finishing a tick while the camera daemon exits
    // reads the time after static destructors have run (UBSan saw it once under load).
    static const SystemClock* const clock = new SystemClock;
    return *clock;
}

} // namespace quellon
