#include "backends/SinkSelection.h"

#include <gtest/gtest.h>

#include <string>

namespace quellon {
namespace {

TEST(SinkSelection, AutomaticTakesTheFirstSinkWhoseProbeClaimsItAndProbesNoFurther)
{
    const struct {
        bool v4l2, pipewire;
        CameraSink expected;
        std::string probed;
    } cases[] = {
        {true, true, CameraSink::v4l2, "v"},
        {true, false, CameraSink::v4l2, "v"},
        {false, true, CameraSink::pipewire, "vp"},
        {false, false, CameraSink::y4m, "vp"},
    };
    for (const auto& c : cases) {
        std::string probed;
        const SinkProbes probes{[&] { probed += 'v'; return c.v4l2; }, [&] { probed += 'p'; return c.pipewire; }};
        EXPECT_EQ(chooseAutomaticSink(probes), c.expected) << c.v4l2 << c.pipewire;
        EXPECT_EQ(probed, c.probed) << c.v4l2 << c.pipewire;
    }
    // A probe this platform lacks counts as a sink that cannot be driven.
    EXPECT_EQ(chooseAutomaticSink({}), CameraSink::y4m);
}

} // namespace
} // namespace quellon
