#include "reports/MachineFacts.h"

#include "TestScratchDirectory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace quellon {
namespace {

namespace fs = std::filesystem;

// A Unix socket bound at path; listening only when asked.
struct BoundSocket {
    BoundSocket(const fs::path& path, bool listening)
    {
        sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        ok = fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0
            && (!listening || ::listen(fd, 4) == 0);
    }
    ~BoundSocket() { ::close(fd); }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = false;
};

TEST(LinuxMachineFacts, TellsAListeningSocketFromAStaleOneAndFromNone)
{
    testing_support::ScratchDirectory scratch;
    const LinuxMachineFacts facts;
    const BoundSocket live(scratch.path() / "live.sock", true);
    ASSERT_TRUE(live.ok);
    EXPECT_EQ(facts.acceptsConnections(scratch.path() / "live.sock"), true);
    // A daemon that died leaves its socket file behind, refusing connections.
    ASSERT_TRUE(BoundSocket(scratch.path() / "stale.sock", false).ok);
    EXPECT_EQ(facts.acceptsConnections(scratch.path() / "stale.sock"), false);
    EXPECT_EQ(facts.acceptsConnections(scratch.path() / "missing.sock"), false);
    EXPECT_EQ(facts.acceptsConnections(scratch.path() / std::string(200, 'x')), std::nullopt);
    EXPECT_EQ(facts.acceptsConnections(""), std::nullopt);
}

TEST(LinuxMachineFacts, ReadsThisProcessesOwnFacts)
{
    const LinuxMachineFacts facts;
    const auto kernel = facts.kernel();
    ASSERT_TRUE(kernel && facts.architecture());
    EXPECT_TRUE(kernel->starts_with("Linux ")) << *kernel;
    EXPECT_FALSE(facts.architecture()->empty());
    // Every network namespace has its own loopback.
    const auto interfaces = facts.networkInterfaces();
    ASSERT_TRUE(interfaces);
    EXPECT_NE(std::find(interfaces->begin(), interfaces->end(), "lo"), interfaces->end());
    for (const std::string& name : *interfaces)
        EXPECT_EQ(name.find_first_of(" :|"), std::string::npos) << name;
}

} // namespace
} // namespace quellon
