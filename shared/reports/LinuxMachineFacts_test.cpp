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
using testing_support::ScratchDirectory;

// A Unix socket bound at path; listening only when asked.
class BoundSocket {
public:
    BoundSocket(const fs::path& path, bool listening)
    {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0
            && (!listening || ::listen(fd_, 4) == 0);
    }
    ~BoundSocket()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    BoundSocket(const BoundSocket&) = delete;
    BoundSocket& operator=(const BoundSocket&) = delete;
    bool ok() const { return ok_; }

private:
    int fd_ = -1;
    bool ok_ = false;
};

TEST(LinuxMachineFacts, TellsAListeningSocketFromAStaleOneAndFromNone)
{
    ScratchDirectory scratch;
    const LinuxMachineFacts facts;

    const BoundSocket live(scratch.path() / "live.sock", true);
    ASSERT_TRUE(live.ok());
    EXPECT_EQ(facts.acceptsConnections(scratch.path() / "live.sock"), true);

    // A daemon that died leaves its socket file behind, refusing connections.
    std::optional<BoundSocket> stale;
    stale.emplace(scratch.path() / "stale.sock", false);
    ASSERT_TRUE(stale->ok());
    stale.reset();
    EXPECT_EQ(facts.acceptsConnections(scratch.path() / "stale.sock"), false);

    EXPECT_EQ(facts.acceptsConnections(scratch.path() / "missing.sock"), false);
    EXPECT_EQ(facts.acceptsConnections(scratch.path() / std::string(200, 'x')), std::nullopt);
    EXPECT_EQ(facts.acceptsConnections(""), std::nullopt);
}

TEST(LinuxMachineFacts, ReadsThisProcessesOwnFacts)
{
    const LinuxMachineFacts facts;
    const auto kernel = facts.kernel();
    ASSERT_TRUE(kernel);
    EXPECT_EQ(kernel->rfind("Linux ", 0), 0u) << *kernel;
    ASSERT_TRUE(facts.architecture());
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
