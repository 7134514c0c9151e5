#pragma once

// Shared by the backends' tests: a stream handler that counts client starts and stops, and a
// bounded wait for what a backend's own threads do.

#include "backends/CameraBackend.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace quellon::testing {

class CountingHandler final : public CameraStreamHandler {
public:
    void startStream() override { ++starts; }
    void stopStream() override { ++stops; }
    PixelBufferRef primeFrame() override { return card; }
    /// The standby card the sink is given; none by default.
    PixelBufferRef card;
    std::atomic<int> starts{0};
    std::atomic<int> stops{0};
};

/// True once condition holds; gives up after about ten seconds.
inline bool eventually(const std::function<bool()>& condition)
{
    for (int i = 0; i < 10000 && !condition(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return condition();
}

} // namespace quellon::testing
