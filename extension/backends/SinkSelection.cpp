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

} // namespace quellon
