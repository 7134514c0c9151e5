#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace quellon {

/// A small poll(2) loop owned by one thread: the thread that calls run(). Notification
/// handlers, tray callbacks and timers all run there, so the state they touch needs no locks.
/// Other threads hand work over with post(), which wakes the loop through an eventfd.
/// While nothing happens the loop sleeps in poll() without a timeout: no periodic wake-ups.
class MainLoop {
public:
    using WatchId = std::uint64_t;

    /// What a watch waits for: a descriptor (or -1 for none) and its poll events, and an
    /// optional deadline in milliseconds from now (-1: none).
    struct Wait {
        int fd = -1;
        short events = 0;
        int timeoutMs = -1;
    };

    MainLoop();
    ~MainLoop();
    MainLoop(const MainLoop&) = delete;
    MainLoop& operator=(const MainLoop&) = delete;

    /// Adds a source. Before each poll, prepare says what to wait for; dispatch runs on the
    /// loop thread when the descriptor is ready or the deadline has passed. Loop thread only
    /// (or before run()).
    WatchId addWatch(std::function<Wait()> prepare, std::function<void()> dispatch);
    /// Removes a source; its dispatch never runs afterwards. Loop thread only.
    void removeWatch(WatchId id);

    /// Runs task on the loop thread, after the current dispatch. Safe from any thread.
    void post(std::function<void()> task);

    /// Runs task once on the loop thread after delay. Loop thread only.
    WatchId runAfter(std::chrono::milliseconds delay, std::function<void()> task);

    /// Processes events on the calling thread until quit(); returns quit's status.
    int run();
    /// Makes run() return status after the current dispatch. Safe from any thread.
    void quit(int status = 0);

    /// True on the thread inside run().
    bool isLoopThread() const;

private:
    struct Watch {
        std::function<Wait()> prepare;
        std::function<void()> dispatch;
    };

    void wake();
    void runPosted();

    int eventFd_ = -1;
    std::map<WatchId, Watch> watches_;
    WatchId nextId_ = 1;
    std::mutex mutex_; // guards posted_, quitting_, status_
    std::vector<std::function<void()>> posted_;
    bool quitting_ = false;
    int status_ = 0;
    std::atomic<std::thread::id> loopThread_{};
};

} // namespace quellon
