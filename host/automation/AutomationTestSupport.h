#pragma once
// Tests only: a host controller that only remembers what it was told, and a MainLoop running
// on a thread of its own that tests hand work to.

#include "host/HostController.h"
#include "menubar/MainLoop.h"

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace quellon::testing {

class FakeHostController final : public host::HostController {
public:
    struct ModeChange {
        QuellonMode mode;
        std::string cause;
        bool operator==(const ModeChange&) const = default;
    };

    void setMode(QuellonMode mode, const std::string& cause) override
    {
        std::lock_guard lock(mutex_);
        status_.mode = mode;
        status_.modeCause = cause;
        changes_.push_back({mode, cause});
        changed_.notify_all();
    }
    QuellonMode mode() const override
    {
        std::lock_guard lock(mutex_);
        return status_.mode;
    }
    host::HostStatus status() const override
    {
        std::lock_guard lock(mutex_);
        return status_;
    }
    void setActiveLoop(const std::string& clipFilename, const std::string&) override
    {
        std::lock_guard lock(mutex_);
        status_.activeLoop = clipFilename;
    }
    void setAutoReturn(bool on) override
    {
        std::lock_guard lock(mutex_);
        status_.autoReturn = on;
    }
    void startRecording(double) override
    {
        std::lock_guard lock(mutex_);
        status_.recording = true;
    }
    PixelBufferRef latestCameraFrame() const override { return {}; }
    PixelBufferRef lastLiveFrame() const override { return {}; }
    void setKeepCameraOpen(bool) override {}
    void setChangeHandler(ChangeHandler) override {}

    /// Sets the mode without recording it as a change made through the interface: the user
    /// acting elsewhere.
    void setModeByHand(QuellonMode mode)
    {
        std::lock_guard lock(mutex_);
        status_.mode = mode;
    }
    void setRecording(bool recording)
    {
        std::lock_guard lock(mutex_);
        status_.recording = recording;
    }
    std::vector<ModeChange> changes() const
    {
        std::lock_guard lock(mutex_);
        return changes_;
    }
    /// True once count changes have been made; gives up after timeout.
    bool waitForChanges(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return changes_.size() >= count; });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    host::HostStatus status_ = [] {
        host::HostStatus status;
        status.mode = QuellonMode::live;
        return status;
    }();
    std::vector<ModeChange> changes_;
};

/// A MainLoop on its own thread; stopped and joined on destruction.
class LoopThread {
public:
    LoopThread() : thread_([this] { loop_.run(); }) {}
    ~LoopThread()
    {
        loop_.quit();
        thread_.join();
    }
    MainLoop& loop() { return loop_; }
    /// Runs task on the loop thread and waits for its result (exceptions come along).
    template <class Task>
    auto call(Task task)
    {
        std::packaged_task<decltype(task())()> packaged(std::move(task));
        auto result = packaged.get_future();
        loop_.post([&packaged] { packaged(); });
        return result.get();
    }

private:
    MainLoop loop_;
    std::thread thread_;
};

} // namespace quellon::testing
