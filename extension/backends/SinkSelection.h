#pragma once

#include <functional>
#include <vector>

namespace quellon {

/// Where the camera daemon publishes its frames.
enum class CameraSink { v4l2, pipewire, y4m };

/// Whether each sink that may be missing can be driven here (the backends' probe()).
struct SinkProbes {
    std::function<bool()> v4l2;
    std::function<bool()> pipewire;
};

/// The sinks `--sink auto` tries, in order, until one can be set up: a loopback device first
/// (every app sees it), then PipeWire (apps that take cameras from it), each only when its
/// probe claims it, and last the FIFO, which always works.
std::vector<CameraSink> automaticSinkOrder(const SinkProbes& probes);

} // namespace quellon
