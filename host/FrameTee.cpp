#include "host/FrameTee.h"

#include <chrono>

namespace quellon::host {

FrameTee::FrameTee(CaptureFormat format, double stallSeconds) : format_(std::move(format)), stallSeconds_(stallSeconds) {}

void FrameTee::push(const CapturedFrame& frame)
{
    {
        std::lock_guard lock(mutex_);
        if (interrupted_)
            return;
        if (!firstTime_)
            firstTime_ = frame.time;
        if (queue_.size() >= kQueuedFrames)
            queue_.pop_front();
        CapturedFrame copy = frame;
        copy.time -= *firstTime_;
        queue_.push_back(std::move(copy));
    }
    ready_.notify_one();
}

std::optional<CapturedFrame> FrameTee::read()
{
    std::unique_lock lock(mutex_);
    const auto stall = std::chrono::duration<double>(stallSeconds_);
    if (!ready_.wait_for(lock, stall, [this] { return interrupted_ || !queue_.empty(); }))
        throw CaptureError("The camera stopped sending pictures.");
    if (interrupted_)
        return std::nullopt;
    CapturedFrame frame = std::move(queue_.front());
    queue_.pop_front();
    return frame;
}

void FrameTee::interrupt()
{
    {
        std::lock_guard lock(mutex_);
        interrupted_ = true;
        queue_.clear();
    }
    ready_.notify_all();
}

} // namespace quellon::host
