#include "backends/SinkSelection.h"

namespace quellon {

CameraSink chooseAutomaticSink(const SinkProbes& probes)
{
    if (probes.v4l2 && probes.v4l2())
        return CameraSink::v4l2;
    if (probes.pipewire && probes.pipewire())
        return CameraSink::pipewire;
    return CameraSink::y4m;
}

} // namespace quellon
