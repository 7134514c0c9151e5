#include "menubar/MainLoop.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

namespace quellon {

MainLoop::MainLoop()
{
    eventFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (eventFd_ < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

MainLoop::~MainLoop()
{
    ::close(eventFd_);
}

MainLoop::WatchId MainLoop::addWatch(std::function<Wait()> prepare, std::function<void()> dispatch)
{
    const WatchId id = nextId_++;
    watches_.emplace(id, Watch{std::move(prepare), std::move(dispatch)});
    return id;
}

void MainLoop::removeWatch(WatchId id)
{
    watches_.erase(id);
}

void MainLoop::post(std::function<void()> task)
{
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(task));
    }
    wake();
}

MainLoop::WatchId MainLoop::runAfter(std::chrono::milliseconds delay, std::function<void()> task)
{
    const auto deadline = std::chrono::steady_clock::now() + delay;
    auto id = std::make_shared<WatchId>(0);
    *id = addWatch(
        [deadline] {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            return Wait{-1, 0, static_cast<int>(std::max<std::int64_t>(0, left.count()))};
        },
        [this, id, task = std::move(task), deadline] {
            if (std::chrono::steady_clock::now() < deadline)
                return;
            removeWatch(*id);
            task();
        });
    return *id;
}

void MainLoop::quit(int status)
{
    {
        std::lock_guard lock(mutex_);
        quitting_ = true;
        status_ = status;
    }
    wake();
}

bool MainLoop::isLoopThread() const
{
    return loopThread_ == std::this_thread::get_id();
}

void MainLoop::wake()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(eventFd_, &one, sizeof one);
}

void MainLoop::runPosted()
{
    std::vector<std::function<void()>> tasks;
    {
        std::lock_guard lock(mutex_);
        tasks.swap(posted_);
    }
    for (auto& task : tasks)
        task();
}

int MainLoop::run()
{
    loopThread_ = std::this_thread::get_id();
    std::vector<pollfd> fds;
    std::vector<WatchId> ids;
    for (;;) {
        runPosted();
        {
            std::lock_guard lock(mutex_);
            if (quitting_) {
                quitting_ = false;
                loopThread_ = std::thread::id{};
                return status_;
            }
        }

        fds.assign(1, pollfd{eventFd_, POLLIN, 0});
        ids.clear();
        int timeout = -1;
        for (auto& [id, watch] : watches_) {
            const Wait wait = watch.prepare();
            if (wait.timeoutMs >= 0 && (timeout < 0 || wait.timeoutMs < timeout))
                timeout = wait.timeoutMs;
            fds.push_back(pollfd{wait.fd, wait.events, 0});
            ids.push_back(id);
        }
        const int ready = ::poll(fds.data(), fds.size(), timeout);
        if (ready < 0 && errno != EINTR)
            throw std::system_error(errno, std::generic_category(), "poll");
        if (fds[0].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t got = ::read(eventFd_, &count, sizeof count);
        }
        // Every watch gets its dispatch: each one checks for itself whether its descriptor or
        // deadline is due, and a watch removed by an earlier dispatch is skipped.
        for (std::size_t i = 0; i < ids.size(); ++i) {
            auto it = watches_.find(ids[i]);
            if (it == watches_.end())
                continue;
            const bool due = fds[i + 1].revents != 0 || timeout == 0 || ready == 0;
            if (due) {
                auto dispatch = it->second.dispatch; // the watch may remove itself
                dispatch();
            }
        }
    }
}

} // namespace quellon
