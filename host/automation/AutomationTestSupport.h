#pragma once
// Test helpers for the automation: a host controller that only records what it is told, a
// MainLoop on a thread of its own, and a fake proc tree.

#include "host/HostController.h"
#include "menubar/MainLoop.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quellon::testing {

/// Keeps a status and the calls made, as the real host would after each command.
class FakeHostController final : public host::HostController {
public:
    struct ModeChange {
        QuellonMode mode;
        std::string cause;
        bool operator==(const ModeChange&) const = default;
    };

    /// Like the host, a switch to the mode already set changes nothing, not even the cause.
    void setMode(QuellonMode mode, const std::string& cause) override
    {
        {
            std::lock_guard lock(mutex_);
            if (status_.mode == mode)
                return;
            status_.mode = mode;
            status_.modeCause = cause;
            modeChanges_.push_back({mode, cause});
            changed_.notify_all();
        }
        if (afterSetMode)
            afterSetMode(mode);
    }
    /// Runs on the caller's thread after each setMode; set before anything calls it.
    std::function<void(QuellonMode)> afterSetMode;
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
    void setActiveLoop(const std::string& clip, const std::string& cause) override
    {
        std::lock_guard lock(mutex_);
        loopSwitches_.emplace_back(clip, cause);
        changed_.notify_all();
        if (missingClips.count(clip))
            throw host::HostError("no clip named " + clip);
        status_.activeLoop = clip;
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
    PixelBufferRef latestCameraFrame() const override
    {
        std::lock_guard lock(mutex_);
        const std::size_t read = cameraReads_++;
        if (read < cameraOnce_.size())
            return cameraOnce_[read];
        if (camera_.empty())
            return nullptr;
        return camera_[(read - cameraOnce_.size()) % camera_.size()];
    }
    PixelBufferRef lastLiveFrame() const override
    {
        std::lock_guard lock(mutex_);
        return lastLive_;
    }
    void setKeepCameraOpen(bool keep) override
    {
        std::lock_guard lock(mutex_);
        keepOpen_.push_back(keep);
        changed_.notify_all();
    }
    void setChangeHandler(ChangeHandler) override {}

    // Test side.
    void setStatus(const host::HostStatus& status)
    {
        std::lock_guard lock(mutex_);
        status_ = status;
    }
    /// The camera gives the frames of once, then those of cameraSequence in turn, one per read.
    void setFrames(PixelBufferRef lastLive, std::vector<PixelBufferRef> cameraSequence,
                   std::vector<PixelBufferRef> once = {})
    {
        std::lock_guard lock(mutex_);
        lastLive_ = std::move(lastLive);
        camera_ = std::move(cameraSequence);
        cameraOnce_ = std::move(once);
        cameraReads_ = 0;
    }
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
    /// True once count changes have been made; gives up after timeout.
    bool waitForChanges(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return modeChanges_.size() >= count; });
    }
    std::vector<ModeChange> modeChanges() const
    {
        std::lock_guard lock(mutex_);
        return modeChanges_;
    }
    std::vector<std::pair<std::string, std::string>> loopSwitches() const
    {
        std::lock_guard lock(mutex_);
        return loopSwitches_;
    }
    std::vector<bool> keepOpenCalls() const
    {
        std::lock_guard lock(mutex_);
        return keepOpen_;
    }
    /// True once condition holds (checked under the fake's lock on every call); false after timeout.
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(60))
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::unique_lock lock(mutex_);
        while (true) {
            lock.unlock();
            if (condition())
                return true;
            lock.lock();
            if (changed_.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(20)))
                    == std::cv_status::timeout
                && std::chrono::steady_clock::now() >= deadline)
                return false;
        }
    }

    std::set<std::string> missingClips;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    host::HostStatus status_ = [] {
        host::HostStatus status;
        status.mode = QuellonMode::live;
        return status;
    }();
    std::vector<ModeChange> modeChanges_;
    std::vector<std::pair<std::string, std::string>> loopSwitches_;
    std::vector<bool> keepOpen_;
    PixelBufferRef lastLive_;
    std::vector<PixelBufferRef> camera_;
    std::vector<PixelBufferRef> cameraOnce_;
    mutable std::size_t cameraReads_ = 0;
};

/// A MainLoop running on its own thread; stopped and joined on destruction.
class LoopThread {
public:
    LoopThread() : thread_([this] { loop.run(); }) {}
    ~LoopThread()
    {
        loop.quit();
        thread_.join();
    }
    /// Runs task on the loop thread and waits for it.
    template <typename Task>
    auto call(Task task) -> decltype(task())
    {
        std::packaged_task<decltype(task())()> packaged(std::move(task));
        auto result = packaged.get_future();
        loop.post([&packaged] { packaged(); });
        return result.get();
    }

    MainLoop loop;

private:
    std::thread thread_;
};

/// A process in a fake proc tree.
struct FakeProcess {
    int pid;
    std::string exe;
    std::string cgroup;
    std::vector<std::filesystem::path> openFiles{};
    std::string flatpakName{}; // empty outside a sandbox
    unsigned long long startTime = 100;
};

inline void addProcess(const std::filesystem::path& proc, const FakeProcess& process)
{
    namespace fs = std::filesystem;
    const fs::path dir = proc / std::to_string(process.pid);
    fs::create_directories(dir / "fd");
    fs::create_directories(dir / "fdinfo");
    fs::create_symlink("/usr/bin/" + process.exe, dir / "exe");
    std::ofstream(dir / "cgroup") << process.cgroup;
    std::ofstream(dir / "stat") << process.pid << " (" << process.exe << ") S 1 1 1 0 -1 4194560 0 0 0 0 0 0 0 0 20 0 1 0 "
                                << process.startTime << " 0 0\n";
    int fd = 3;
    for (const auto& file : process.openFiles) {
        fs::create_symlink(file, dir / "fd" / std::to_string(fd));
        std::ofstream(dir / "fdinfo" / std::to_string(fd)) << "pos:\t0\nflags:\t0100002\nmnt_id:\t1\n";
        ++fd;
    }
    if (!process.flatpakName.empty()) {
        fs::create_directories(dir / "root");
        std::ofstream(dir / "root" / ".flatpak-info") << "[Application]\nname=" << process.flatpakName << "\nruntime=x\n";
    }
}

} // namespace quellon::testing
