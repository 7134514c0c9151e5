#include "backends/SinkSelection.h"

namespace quellon {

std::vector<CameraSink> automaticSinkOrder(const SinkProbes& probes)
{
    std::vector<CameraSink> order;
    if (probes.v4l2 && probes.v4l2())
        order.push_back(CameraSink::v4l2);
    if (probes.pipewire && probes.pipewire())
        order.push_back(CameraSink::pipewire);
    order.push_back(CameraSink::y4m);
    return order;
}

const char* sinkName(CameraSink sink)
{
    switch (sink) {
    case CameraSink::v4l2:
        return "v4l2";
    case CameraSink::pipewire:
        return "pipewire";
    case CameraSink::y4m:
        break;
    }
    return "y4m";
}

SinkSetUp setUpFirstWorkingSink(const std::vector<CameraSink>& order,
                                const std::function<std::optional<std::string>(CameraSink)>& setUp)
{
    SinkSetUp result;
    for (const CameraSink sink : order) {
        auto failure = setUp(sink);
        if (!failure) {
            result.sink = sink;
            break;
        }
        result.failures.emplace_back(sink, std::move(*failure));
    }
    return result;
}

} // namespace quellon
