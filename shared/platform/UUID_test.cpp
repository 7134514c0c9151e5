#include "platform/UUID.h"

#include <gtest/gtest.h>

#include <unordered_set>

namespace quellon {
namespace {

TEST(UUIDTest, ReadsEitherCaseOfTheHyphenatedFormAndWritesUpperCase)
{
    const char* upper = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
    EXPECT_EQ(UUID::fromString(upper)->uuidString(), upper);
    EXPECT_EQ(UUID::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f"), UUID::fromString(upper));
    EXPECT_NE(UUID::fromString("E621E1F8-C36C-495A-93FC-0C247A3E6E50"), UUID::fromString(upper));
    for (const char* bad : {"", "E621E1F8C36C495A93FC0C247A3E6E5F", "{E621E1F8-C36C-495A-93FC-0C247A3E6E5F}",
                            "E621E1F8-C36C-495A-93FC-0C247A3E6E5", "E621E1F8-C36C-495A-93FC 0C247A3E6E5F",
                            "E621E1F-8C36C-495A-93FC-0C247A3E6E5F", "G621E1F8-C36C-495A-93FC-0C247A3E6E5F"})
        EXPECT_FALSE(UUID::fromString(bad).has_value()) << bad;
}

TEST(UUIDTest, RandomIdentifiersAreVersion4AndDistinct)
{
    std::unordered_set<UUID> seen;
    for (int i = 0; i < 200; ++i) {
        UUID uuid = UUID::random();
        EXPECT_EQ(uuid.bytes[6] >> 4, 4);
        EXPECT_EQ(uuid.bytes[8] >> 6, 2);
        EXPECT_EQ(UUID::fromString(uuid.uuidString()), uuid);
        EXPECT_TRUE(seen.insert(uuid).second);
    }
}

} // namespace
} // namespace quellon
