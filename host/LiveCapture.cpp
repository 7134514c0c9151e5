#include "host/LiveCapture.h"

#include <algorithm>
#include <chrono>

namespace quellon::host {

LiveCapture::LiveCapture(Opener opener, AvailabilityHandler availability, double retrySeconds)
    : opener_(std::move(opener)), availability_(std::move(availability)), retrySeconds_(retrySeconds)
{
    thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
    captureThread_ = thread_.get_id();
}

LiveCapture::~LiveCapture()
{
    stop();
}

void LiveCapture::stop()
{
    if (!thread_.joinable())
        return;
    {
        std::lock_guard lock(mutex_);
        wanted_ = false;
        if (open_)
            open_->interrupt();
    }
    thread_.request_stop();
    changed_.notify_all();
    thread_.join();
}

void LiveCapture::setWanted(bool wanted)
{
    {
        std::lock_guard lock(mutex_);
        if (wanted_ == wanted)
            return;
        wanted_ = wanted;
        if (!wanted && open_)
            open_->interrupt();
    }
    changed_.notify_all();
}

void LiveCapture::reopen()
{
    {
        std::lock_guard lock(mutex_);
        reopen_ = true;
        if (open_)
            open_->interrupt();
    }
    changed_.notify_all();
}

LiveCapture::Latest LiveCapture::latest() const
{
    std::lock_guard lock(mutex_);
    return latest_;
}

std::optional<CaptureFormat> LiveCapture::format() const
{
    std::lock_guard lock(mutex_);
    return format_;
}

int LiveCapture::addTap(Tap tap)
{
    std::lock_guard lock(mutex_);
    taps_.emplace_back(nextTap_, std::make_shared<Tap>(std::move(tap)));
    return nextTap_++;
}

void LiveCapture::removeTap(int id)
{
    std::unique_lock lock(mutex_);
    std::erase_if(taps_, [id](const auto& entry) { return entry.first == id; });
    if (std::this_thread::get_id() == captureThread_)
        return; // the tap removing itself: its call is this very one
    tapDone_.wait(lock, [&] { return tapInFlight_ != id; });
}

void LiveCapture::callTaps(const CapturedFrame& frame)
{
    // One tap at a time, each looked up afresh: a tap removed meanwhile is not called, and its
    // remover waits while it runs.
    std::unique_lock lock(mutex_);
    int after = 0;
    for (;;) {
        const auto next = std::find_if(taps_.begin(), taps_.end(), [&](const auto& entry) { return entry.first > after; });
        if (next == taps_.end())
            return;
        after = next->first;
        const std::shared_ptr<Tap> tap = next->second;
        tapInFlight_ = after;
        lock.unlock();
        try {
            (*tap)(frame);
        } catch (...) {
            lock.lock();
            tapInFlight_ = 0;
            tapDone_.notify_all();
            throw;
        }
        lock.lock();
        tapInFlight_ = 0;
        tapDone_.notify_all();
    }
}

void LiveCapture::setAvailability(bool available, std::optional<std::string> error)
{
    {
        std::lock_guard lock(mutex_);
        if (!available)
            latest_.frame = {};
        if (latest_.available == available && latest_.error == error)
            return;
        latest_.available = available;
        latest_.error = error;
    }
    if (availability_)
        availability_(available, error);
}

void LiveCapture::run(std::stop_token stop)
{
    const auto retry = std::chrono::duration<double>(retrySeconds_);
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
        if (!wanted_) {
            // An input that ended just as the camera stopped being wanted left it marked
            // available: it is closed now.
            lock.unlock();
            setAvailability(false, std::nullopt);
            lock.lock();
        }
        if (!changed_.wait(lock, stop, [this] { return wanted_; }))
            break;
        reopen_ = false;
        lock.unlock();

        std::unique_ptr<CaptureSource> source;
        std::optional<std::string> failure;
        try {
            source = opener_();
        } catch (const std::exception& error) {
            failure = error.what();
        }
        if (!source) {
            setAvailability(false, failure.value_or("the camera cannot be opened"));
            lock.lock();
            changed_.wait_for(lock, stop, retry, [this] { return !wanted_ || reopen_; });
            continue;
        }

        lock.lock();
        open_ = source.get();
        format_ = source->format();
        if (!wanted_ || reopen_)
            source->interrupt();
        lock.unlock();

        std::uint64_t frames = 0;
        try {
            while (auto frame = source->read()) {
                {
                    std::lock_guard guard(mutex_);
                    latest_.frame = *frame;
                    ++latest_.sequence;
                }
                if (frames++ == 0)
                    setAvailability(true, std::nullopt);
                callTaps(*frame);
            }
        } catch (const std::exception& error) {
            failure = error.what();
        }

        lock.lock();
        open_ = nullptr;
        format_.reset();
        const bool closing = !wanted_ || stop.stop_requested();
        const bool reopening = reopen_ && !closing;
        lock.unlock();
        source.reset();
        if (closing) {
            setAvailability(false, std::nullopt);
        } else if (reopening) {
            // Closed only to be opened again: what the next open finds is what counts.
        } else if (failure || frames == 0) {
            // An input that fails, or ends without a single picture, waits before the next try
            // so it cannot spin.
            setAvailability(false, failure.value_or("the camera delivered no pictures"));
            lock.lock();
            changed_.wait_for(lock, stop, retry, [this] { return !wanted_ || reopen_; });
            continue;
        }
        // An input that ended after delivering pictures (a file) is opened again at once.
        lock.lock();
    }
}

} // namespace quellon::host
