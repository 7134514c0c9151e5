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
    static const SystemClock clock;
    return clock;
}

} // namespace quellon
