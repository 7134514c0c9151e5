#include "platform/Environment.h"
#include "platform/FileIO.h"
#include "platform/TemporaryDirectory.h"
#include "platform/UserDefaults.h"

#include <gtest/gtest.h>

namespace quellon {
namespace {

TEST(JsonFileUserDefaults, LivesInTheXdgConfigHome)
{
    MapEnvironment environment({{"XDG_CONFIG_HOME", "/cfg"}, {"HOME", "/home/u"}});
    EXPECT_EQ(JsonFileUserDefaults::fileForDomain("com.x", environment), "/cfg/com.x.json");
    environment.unset("XDG_CONFIG_HOME");
    EXPECT_EQ(JsonFileUserDefaults::fileForDomain("com.x", environment), "/home/u/.config/com.x.json");
    environment.unset("HOME");
    EXPECT_FALSE(JsonFileUserDefaults::fileForDomain("com.x", environment));
}

TEST(JsonFileUserDefaults, WritesKeepOtherKeysAndReadsSeeOtherWriters)
{
    TemporaryDirectory dir;
    const auto file = dir.path() / "sub" / "domain.json";
    JsonFileUserDefaults defaults(file);
    EXPECT_FALSE(defaults.string("name"));

    defaults.setString("name", "Desk Cam");
    defaults.setString("other", "kept");
    EXPECT_EQ(defaults.string("name"), "Desk Cam");

    // A second store on the same file (another process) sees the values and adds its own.
    JsonFileUserDefaults second(file);
    second.setString("name", "Studio");
    EXPECT_EQ(defaults.string("name"), "Studio");
    EXPECT_EQ(defaults.string("other"), "kept");
}

TEST(JsonFileUserDefaults, CorruptOrForeignContentReadsAsAbsentAndIsRepairedByAWrite)
{
    TemporaryDirectory dir;
    const auto file = dir.path() / "domain.json";
    JsonFileUserDefaults defaults(file);

    replaceFileAtomically(file, "{\"name\": 42, \"list\": [\"a\"]}");
    EXPECT_FALSE(defaults.string("name")) << "a number is not text";
    EXPECT_FALSE(defaults.string("list"));

    replaceFileAtomically(file, "{not json");
    EXPECT_FALSE(defaults.string("name"));
    defaults.setString("name", "Cam");
    EXPECT_EQ(defaults.string("name"), "Cam");

    EXPECT_THROW(defaults.setString("name", "\xff\xfe"), std::system_error);
    EXPECT_EQ(defaults.string("name"), "Cam") << "a failed write keeps the stored value";
}

} // namespace
} // namespace quellon
