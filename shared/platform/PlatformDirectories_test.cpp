#include "platform/Environment.h"
#include "platform/PlatformDirectories.h"
#include "platform/TemporaryDirectory.h"

#include <gtest/gtest.h>

namespace quellon {
namespace {

namespace fs = std::filesystem;

TEST(XdgDirectories, ApplicationSupportFollowsXdgDataHomeThenHome)
{
    struct Case {
        std::map<std::string, std::string, std::less<>> variables;
        std::vector<fs::path> expected;
    };
    const Case cases[] = {
        {{{"XDG_DATA_HOME", "/data"}, {"HOME", "/home/u"}}, {"/data"}},
        {{{"HOME", "/home/u"}}, {"/home/u/.local/share"}},
        {{{"XDG_DATA_HOME", ""}, {"HOME", "/home/u"}}, {"/home/u/.local/share"}},
        {{{"XDG_DATA_HOME", "relative/dir"}, {"HOME", "/home/u"}}, {"/home/u/.local/share"}},
        {{{"HOME", "relative"}}, {}},
        {{}, {}},
    };
    for (const Case& c : cases) {
        MapEnvironment environment(c.variables);
        EXPECT_EQ(XdgDirectories(environment).applicationSupportDirectories(), c.expected);
    }
}

TEST(XdgDirectories, TheGroupContainerExistsOnlyOnceCreated)
{
    TemporaryDirectory dir;
    MapEnvironment environment({{"XDG_DATA_HOME", dir.path().string()}});
    XdgDirectories directories(environment);
    EXPECT_FALSE(directories.appGroupContainer("group.com.quellon.shared"));
    EXPECT_FALSE(fs::exists(dir.path() / "group.com.quellon.shared")) << "looking must not create it";

    fs::create_directory(dir.path() / "group.com.quellon.shared");
    EXPECT_EQ(directories.appGroupContainer("group.com.quellon.shared"), dir.path() / "group.com.quellon.shared");

    MapEnvironment empty;
    EXPECT_FALSE(XdgDirectories(empty).appGroupContainer("group.com.quellon.shared"));
}

} // namespace
} // namespace quellon
