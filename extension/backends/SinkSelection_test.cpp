#include "backends/SinkSelection.h"

#include <gtest/gtest.h>

namespace quellon {
namespace {

using Order = std::vector<CameraSink>;

TEST(SinkSelection, AutomaticTriesEachClaimedSinkInOrderAndEndsWithTheFifo)
{
    const struct {
        bool v4l2, pipewire;
        Order expected;
    } cases[] = {
        {true, true, {CameraSink::v4l2, CameraSink::pipewire, CameraSink::y4m}},
        {true, false, {CameraSink::v4l2, CameraSink::y4m}},
        {false, true, {CameraSink::pipewire, CameraSink::y4m}},
        {false, false, {CameraSink::y4m}},
    };
    for (const auto& c : cases) {
        const SinkProbes probes{[&] { return c.v4l2; }, [&] { return c.pipewire; }};
        EXPECT_EQ(automaticSinkOrder(probes), c.expected) << c.v4l2 << c.pipewire;
    }
    // A probe this platform lacks counts as a sink that cannot be driven.
    EXPECT_EQ(automaticSinkOrder({}), Order{CameraSink::y4m});
}

} // namespace
} // namespace quellon
