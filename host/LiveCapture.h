#pragma once
// The physical camera, read on a thread of its own while it is wanted. A camera that is
// missing, busy or unplugged is reopened every retry period until it comes back; the input
// ending (a file) is reopened at once.

#include "capture/CaptureSource.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quellon::host {

class LiveCapture {
public:
    /// Opens the input; throws CaptureError.
    using Opener = std::function<std::unique_ptr<CaptureSource>()>;
    /// Told whether the input delivers frames, and why not; from the capture thread.
    using AvailabilityHandler = std::function<void(bool available, const std::optional<std::string>& error)>;
    /// Sees every frame read, on the capture thread; must return promptly.
    using Tap = std::function<void(const CapturedFrame&)>;

    LiveCapture(Opener opener, AvailabilityHandler availability, double retrySeconds = 1.0);
    ~LiveCapture();
    LiveCapture(const LiveCapture&) = delete;
    LiveCapture& operator=(const LiveCapture&) = delete;

    /// Opens the input (on the capture thread) or closes it.
    void setWanted(bool wanted);
    /// While wanted: closes the input and opens it again now (the opener may name another),
    /// cutting a retry pause short. Nothing is reported for the close.
    void reopen();

    struct Latest {
        CapturedFrame frame;         // no image before the first frame
        std::uint64_t sequence = 0;  // grows with every frame read
        bool available = false;
        std::optional<std::string> error;
    };
    Latest latest() const;
    /// The input's format while open.
    std::optional<CaptureFormat> format() const;

    /// Adds a tap and returns its id; removeTap(id) takes it away again.
    int addTap(Tap tap);
    /// Once this returns the tap is not running and will not be called again, so whatever it
    /// captured may go: it waits for a call in flight. From inside the tap itself (the capture
    /// thread) it only takes the tap away.
    void removeTap(int id);

    /// Closes the input and joins the thread. Idempotent.
    void stop();

private:
    void run(std::stop_token stop);
    void setAvailability(bool available, std::optional<std::string> error);
    void callTaps(const CapturedFrame& frame);

    Opener opener_;
    AvailabilityHandler availability_;
    const double retrySeconds_;

    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    bool wanted_ = false;
    bool reopen_ = false;
    CaptureSource* open_ = nullptr; // interrupted from other threads
    Latest latest_;
    std::optional<CaptureFormat> format_;
    std::vector<std::pair<int, std::shared_ptr<Tap>>> taps_;
    int nextTap_ = 1;
    int tapInFlight_ = 0; // the id of the tap being called, 0 between calls
    std::condition_variable tapDone_;
    std::jthread thread_;
    std::thread::id captureThread_; // thread_'s, kept apart: stop() may join it meanwhile
};

} // namespace quellon::host
