#include "SerialQueue.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <condition_variable>
#include <future>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace quellon {

struct SerialQueue::Impl {
    asio::io_context context{1};
    asio::executor_work_guard<asio::io_context::executor_type> guard{context.get_executor()};
    std::thread thread;
    bool detached = false; // guarded by detachedMutex
};

namespace {
// Threads of queues destroyed from their own work, still finishing their last item.
std::mutex detachedMutex;
std::condition_variable detachedFinished;
int detachedRunning = 0;
} // namespace

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), impl_(std::make_shared<Impl>())
{
    // The thread keeps the event loop alive, so a queue destroyed from its own work can let
    // its thread finish on its own.
    std::shared_ptr<Impl> impl = impl_;
    impl_->thread = std::thread([impl] {
        try {
            impl->context.run();
        } catch (...) {
            // Work items must not throw; one that does ends the queue rather than the process.
        }
        // Detaching happens on this very thread, inside the item that destroyed the queue, so
        // the flag is settled by the time the loop returns.
        std::lock_guard lock(detachedMutex);
        if (impl->detached) {
            --detachedRunning;
            detachedFinished.notify_all();
        }
    });
    // Thread names are limited to 15 characters: keep the distinctive tail of the label.
    std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
    pthread_setname_np(impl_->thread.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue()
{
    impl_->guard.reset();
    impl_->context.stop();
    if (impl_->thread.get_id() == std::this_thread::get_id()) {
        std::lock_guard lock(detachedMutex);
        impl_->detached = true;
        ++detachedRunning;
        impl_->thread.detach();
    }
    else if (impl_->thread.joinable())
        impl_->thread.join();
}

void SerialQueue::async(std::function<void()> work)
{
    asio::post(impl_->context, std::move(work));
}

void SerialQueue::sync(const std::function<void()>& work)
{
    if (isCurrent()) {
        work();
        return;
    }
    std::promise<void> done;
    auto finished = done.get_future();
    asio::post(impl_->context, [&work, &done] {
        try {
            work();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    finished.get();
}

bool SerialQueue::waitForDetachedThreads(std::chrono::milliseconds limit)
{
    std::unique_lock lock(detachedMutex);
    return detachedFinished.wait_for(lock, limit, [] { return detachedRunning == 0; });
}

bool SerialQueue::isCurrent() const
{
    return impl_->thread.get_id() == std::this_thread::get_id();
}

void* SerialQueue::eventLoop()
{
    return &impl_->context;
}

} // namespace quellon
