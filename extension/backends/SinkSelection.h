#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
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

/// "v4l2", "pipewire" or "y4m".
const char* sinkName(CameraSink sink);

/// What setting up a sink came to: the sink that serves, none when every one failed, and the
/// reasons of those that failed, in order.
struct SinkSetUp {
    std::optional<CameraSink> sink;
    std::vector<std::pair<CameraSink, std::string>> failures;
    bool operator==(const SinkSetUp&) const = default;
};

/// Sets up the sinks of order one after the other until one serves: setUp(sink) gives nothing
/// once it does, else why it cannot (and must leave nothing of it behind).
SinkSetUp setUpFirstWorkingSink(const std::vector<CameraSink>& order,
                                const std::function<std::optional<std::string>(CameraSink)>& setUp);

} // namespace quellon
