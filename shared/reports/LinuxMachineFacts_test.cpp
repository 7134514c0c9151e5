#include "reports/MachineFacts.h"

#include "ConfinedChild.h"
#include "TestScratchDirectory.h"
#include "reports/MachineReports.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
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

TEST(LinuxMachineFacts, FindsTheProcessListeningOnASocket)
{
    testing_support::ScratchDirectory scratch;
    const LinuxMachineFacts facts;
    const BoundSocket live(scratch.path() / "live.sock", true);
    ASSERT_TRUE(live.ok);
    EXPECT_EQ(facts.socketOwnerProcess(scratch.path() / "live.sock"), ::getpid());
    ASSERT_TRUE(BoundSocket(scratch.path() / "stale.sock", false).ok);
    EXPECT_EQ(facts.socketOwnerProcess(scratch.path() / "stale.sock"), std::nullopt);
    EXPECT_EQ(facts.socketOwnerProcess(scratch.path() / "missing.sock"), std::nullopt);
    EXPECT_EQ(facts.socketOwnerProcess(scratch.path() / std::string(200, 'x')), std::nullopt);
}

TEST(LinuxMachineFacts, ReadsThisMachineAndThisProcess)
{
    const LinuxMachineFacts facts;
    const auto kernel = facts.kernel();
    ASSERT_TRUE(kernel && facts.architecture());
    EXPECT_TRUE(kernel->starts_with("Linux ")) << *kernel;
    EXPECT_FALSE(facts.architecture()->empty());
    const auto self = facts.process(::getpid());
    ASSERT_TRUE(self);
    EXPECT_EQ(self->pid, ::getpid());
    EXPECT_NE(self->status->find("\nNoNewPrivs:"), std::string::npos);
    EXPECT_EQ(self->ownNetworkNamespace, false);
    // Every network namespace has its own loopback.
    ASSERT_TRUE(self->networkInterfaces);
    const auto& interfaces = *self->networkInterfaces;
    EXPECT_NE(std::find(interfaces.begin(), interfaces.end(), "lo"), interfaces.end());
    for (const std::string& name : interfaces)
        EXPECT_EQ(name.find_first_of(" :|"), std::string::npos) << name;
    EXPECT_EQ(facts.process(0), std::nullopt);
    EXPECT_EQ(facts.process(-1), std::nullopt);
}

void write(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

TEST(LinuxMachineFacts, ReadsAnotherProcessFromItsProcEntry)
{
    testing_support::ScratchDirectory proc;
    const fs::path entry = proc.path() / "4242";
    write(entry / "status", "Name:\tquellon-extens\nNoNewPrivs:\t1\nSeccomp:\t2\n");
    write(entry / "uid_map", "      1000       1000          1\n");
    write(entry / "net" / "dev",
          "Inter-|   Receive                            |  Transmit\n"
          " face |bytes    packets errs drop fifo frame|bytes    packets\n"
          "    lo:       0       0    0    0    0     0        0       0\n");
    write(entry / "attr" / "apparmor" / "current", "quellon (enforce)\n");
    fs::create_directories(entry / "ns");
    fs::create_directories(proc.path() / "self" / "ns");
    fs::create_symlink("net:[4026532001]", entry / "ns" / "net");
    fs::create_symlink("net:[4026531840]", proc.path() / "self" / "ns" / "net");
    // Another process of the same namespace, without a readable id map or interfaces.
    write(proc.path() / "77" / "status", "Name:\tquellon\n");
    fs::create_directories(proc.path() / "77" / "ns");
    fs::create_symlink("net:[4026531840]", proc.path() / "77" / "ns" / "net");

    const LinuxMachineFacts facts(proc.path());
    EXPECT_EQ(facts.process(4242), (ProcessFacts{
        .pid = 4242, .flatpakInfo = std::nullopt, .appArmorLabel = "quellon (enforce)",
        .status = "Name:\tquellon-extens\nNoNewPrivs:\t1\nSeccomp:\t2\n", .uidMap = "      1000       1000          1\n",
        .networkInterfaces = std::vector<std::string>{"lo"}, .ownNetworkNamespace = true}));
    EXPECT_EQ(facts.process(77), (ProcessFacts{.pid = 77, .flatpakInfo = std::nullopt, .appArmorLabel = std::nullopt,
                                               .status = "Name:\tquellon\n", .uidMap = std::nullopt,
                                               .networkInterfaces = std::nullopt, .ownNetworkNamespace = false}));
    // A process that is gone.
    EXPECT_EQ(facts.process(4243), std::nullopt);
}

TEST(LinuxMachineFacts, SeesTheConfinementOfARealChild)
{
    const testing_support::ConfinedChild child;
    if (child.failure())
        GTEST_SKIP() << *child.failure();
    const auto process = LinuxMachineFacts().process(child.pid());
    ASSERT_TRUE(process);
    EXPECT_EQ(MachineReports::sandbox(*process),
              (MachineReports::Finding{true, "seccomp filter with no-new-privileges inside a user namespace"}));
    EXPECT_EQ(MachineReports::networkAllowed(*process),
              (MachineReports::Finding{false, "only loopback in its own network namespace"}));

    // This test's own process has none of it.
    const auto self = LinuxMachineFacts().process(::getpid());
    ASSERT_TRUE(self);
    EXPECT_FALSE(MachineReports::sandbox(*self).value);
}

} // namespace
} // namespace quellon
