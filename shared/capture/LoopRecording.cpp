#include "capture/LoopRecording.h"

#include "analysis/FaceDetector.h"
#include "analysis/LoopClipAnalysis.h"
#include "capture/ClipEncoder.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

namespace quellon {

namespace {

using Clock = std::chrono::steady_clock;

// Hands the newest frame to the guidance thread; older ones are simply replaced.
class GuidanceWorker {
public:
    GuidanceWorker(FaceDetector* detector, const RecordingObserver& observer)
        : detector_(detector), observer_(observer), thread_([this] { run(); })
    {
    }
    ~GuidanceWorker()
    {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    void offer(const PixelBufferRef& frame)
    {
        {
            std::lock_guard lock(mutex_);
            pending_ = frame;
        }
        wake_.notify_all();
    }

private:
    void run()
    {
        std::optional<std::optional<RecordingGuidance::Hint>> last;
        for (;;) {
            PixelBufferRef frame;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] { return stopping_ || pending_; });
                // The newest frame is still judged when the recording ends.
                if (!pending_)
                    return;
                frame = std::exchange(pending_, nullptr);
            }
            bool face = true;
            if (detector_) {
                const auto faces = detector_->detect(*frame, FaceDetector::Detail::rectangles);
                face = faces && !faces->empty();
            }
            const auto hint = RecordingGuidance::evaluate(meanLuminance(*frame), face);
            if (!last || *last != hint) {
                last = hint;
                if (observer_.hintChanged)
                    observer_.hintChanged(hint);
            }
        }
    }

    FaceDetector* detector_;
    const RecordingObserver& observer_;
    std::mutex mutex_;
    std::condition_variable wake_;
    PixelBufferRef pending_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace

double meanLuminance(const PixelBuffer& frame)
{
    if (!frame.isBGRA() || frame.width() < 1 || frame.height() < 1)
        return 0;
    constexpr int grid = 32;
    auto lock = frame.lockForReading();
    double sum = 0;
    for (int r = 0; r < grid; ++r) {
        const std::uint8_t* row = lock.row(std::min(frame.height() - 1, (2 * r + 1) * frame.height() / (2 * grid)));
        for (int c = 0; c < grid; ++c) {
            const std::uint8_t* p = row + 4 * std::min(frame.width() - 1, (2 * c + 1) * frame.width() / (2 * grid));
            sum += 0.114 * p[0] / 255.0 + 0.587 * p[1] / 255.0 + 0.299 * p[2] / 255.0;
        }
    }
    return sum / (grid * grid);
}

RecordingSummary recordLoop(CaptureSource& source, const std::filesystem::path& file, double seconds,
                            LoopClipAnalysis& analysis, FaceDetector* detector, const RecordingObserver& observer,
                            const std::atomic<bool>& cancel)
{
    RecordingSummary summary;
    summary.format = source.format();

    // A watcher turns the cancel flag into an interrupt, so a read waiting for the camera ends.
    std::atomic<bool> finished = false;
    std::thread watcher([&] {
        while (!finished) {
            if (cancel) {
                source.interrupt();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    struct Join {
        std::atomic<bool>& finished;
        std::thread& thread;
        ~Join()
        {
            finished = true;
            thread.join();
        }
    } join{finished, watcher};

    GuidanceWorker guidance(detector, observer);
    std::optional<ClipEncoder> encoder;
    std::optional<double> lastTime;
    double nextGuidance = 0;
    Clock::duration encoding{};
    while (auto frame = source.read()) {
        // A frame shown at `seconds` would begin the next second: N seconds hold N × fps frames.
        if (frame->time >= seconds - 1e-9)
            break;
        if (!encoder) {
            encoder.emplace(file, frame->image->width(), frame->image->height(), summary.format.fps);
            summary.codec = encoder->codecName();
        }
        if (lastTime && summary.format.fps > 0) {
            const double gap = (frame->time - *lastTime) * summary.format.fps;
            if (gap > 1.5)
                summary.dropped += static_cast<std::int64_t>(std::lround(gap)) - 1;
        }
        lastTime = frame->time;
        if (frame->time >= nextGuidance) {
            guidance.offer(frame->image);
            nextGuidance = frame->time + 0.5;
        }
        const auto started = Clock::now();
        encoder->write(*frame->image, frame->time);
        analysis.add(*frame->image, frame->time);
        encoding += Clock::now() - started;
        ++summary.frames;
        summary.duration = frame->time;
        if (observer.progress)
            observer.progress(frame->time);
        if (cancel)
            break;
    }
    summary.cancelled = cancel;
    if (summary.cancelled)
        return summary;
    if (!encoder)
        throw CaptureError("The input delivered no pictures.");
    const auto started = Clock::now();
    encoder->finish();
    encoding += Clock::now() - started;
    summary.encodeSeconds = std::chrono::duration<double>(encoding).count();
    return summary;
}

} // namespace quellon
