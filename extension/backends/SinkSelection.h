#pragma once

#include <functional>

namespace quellon {

/// Where the camera daemon publishes its frames.
enum class CameraSink { v4l2, pipewire, y4m };

/// Whether each sink that may be missing can be driven here (the backends' probe()).
struct SinkProbes {
    std::function<bool()> v4l2;
    std::function<bool()> pipewire;
};

/// The sink `--sink auto` picks: a loopback device first (every app sees it), then PipeWire
/// (apps that take cameras from it), then the FIFO, which always works. Probes run in that order
/// and stop at the first that claims its sink: probing PipeWire connects to its daemon.
CameraSink chooseAutomaticSink(const SinkProbes& probes);

} // namespace quellon
