#pragma once
// A capture source fed by another thread's frames: lets a recording read the camera the host
// already holds open. Frames are queued (a bounded number; the oldest go first when the reader
// lags, and the recording sees the gap in their times).

#include "capture/CaptureSource.h"

#include <condition_variable>
#include <deque>
#include <mutex>

namespace quellon::host {

class FrameTee final : public CaptureSource {
public:
    static constexpr std::size_t kQueuedFrames = 30;

    /// stallSeconds: how long read() waits for a frame before the input counts as failed.
    FrameTee(CaptureFormat format, double stallSeconds = 5);

    /// Queues a frame; its time is counted from the first frame pushed.
    void push(const CapturedFrame& frame);

    CaptureFormat format() const override { return format_; }
    std::optional<CapturedFrame> read() override;
    void interrupt() override;

private:
    const CaptureFormat format_;
    const double stallSeconds_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<CapturedFrame> queue_;
    std::optional<double> firstTime_;
    bool interrupted_ = false;
};

} // namespace quellon::host
