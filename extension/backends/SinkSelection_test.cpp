#include "backends/SinkSelection.h"

#include <gtest/gtest.h>

#include <set>

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

// `auto` moves on from a sink that is there but cannot be set up; a sink named alone either
// serves or leaves its reason.
TEST(SinkSelection, TheFirstSinkThatCanBeSetUpServesAndTheOthersSayWhy)
{
    const Order all = {CameraSink::v4l2, CameraSink::pipewire, CameraSink::y4m};
    std::vector<CameraSink> tried;
    const auto failing = [&](std::set<CameraSink> broken) {
        return [&tried, broken](CameraSink sink) -> std::optional<std::string> {
            tried.push_back(sink);
            if (broken.contains(sink))
                return std::string(sinkName(sink)) + " is broken";
            return std::nullopt;
        };
    };
    EXPECT_EQ(setUpFirstWorkingSink(all, failing({CameraSink::v4l2})),
              (SinkSetUp{CameraSink::pipewire, {{CameraSink::v4l2, "v4l2 is broken"}}}));
    EXPECT_EQ(tried, (Order{CameraSink::v4l2, CameraSink::pipewire}));
    tried.clear();
    EXPECT_EQ(setUpFirstWorkingSink(all, failing({})), (SinkSetUp{CameraSink::v4l2, {}}));
    EXPECT_EQ(tried, Order{CameraSink::v4l2});
    EXPECT_EQ(setUpFirstWorkingSink({CameraSink::pipewire}, failing({CameraSink::pipewire})),
              (SinkSetUp{std::nullopt, {{CameraSink::pipewire, "pipewire is broken"}}}));
}

} // namespace
} // namespace quellon
