#pragma once
// The host's one pump thread: runs a tick on a deadline timer at the state's frame rate, and at
// once when woken (a mode change must reach the camera within a frame).

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace quellon::host {

class FramePump {
public:
    /// tick runs on the pump thread; period gives the seconds between ticks, asked every tick.
    FramePump(std::function<void()> tick, std::function<double()> period);
    ~FramePump();
    FramePump(const FramePump&) = delete;
    FramePump& operator=(const FramePump&) = delete;

    /// Runs the next tick now instead of at its deadline.
    void wake();
    /// Joins the thread after the tick in progress. Idempotent.
    void stop();

    /// The rate a state asks for, as the camera clamps it: 5 to 30 frames a second.
    static double periodFor(long long targetFPS);

private:
    void run(std::stop_token stop);

    std::function<void()> tick_;
    std::function<double()> period_;
    std::mutex mutex_;
    std::condition_variable_any wake_;
    bool woken_ = false;
    std::jthread thread_;
};

} // namespace quellon::host
