#pragma once

// A child process confined the way Quellon's systemd user units confine its programs: its own
// user and network namespaces, no-new-privileges and a seccomp filter. Tests only; the child
// is killed and reaped on destruction.

#include <csignal>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quellon::testing_support {

class ConfinedChild {
public:
    /// Starts the child; once confined it runs afterConfining (which returns false on failure)
    /// and then waits to be killed. failure() tells why it could not be set up.
    explicit ConfinedChild(std::function<bool()> afterConfining = [] { return true; })
    {
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0) {
            failure_ = "pipe";
            return;
        }
        const uid_t uid = ::getuid();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            const char* step = confine(uid);
            if (!step && !afterConfining())
                step = "the work after confining";
            const char answer = step ? 'n' : 'y';
            (void)!::write(ready[1], &answer, 1);
            if (step)
                ::_exit(1);
            for (;;)
                ::pause();
        }
        ::close(ready[1]);
        char answer = 0;
        if (pid_ < 0 || ::read(ready[0], &answer, 1) != 1 || answer != 'y')
            failure_ = "the child could not confine itself (are unprivileged user namespaces allowed?)";
        ::close(ready[0]);
    }

    ~ConfinedChild()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ConfinedChild(const ConfinedChild&) = delete;
    ConfinedChild& operator=(const ConfinedChild&) = delete;

    pid_t pid() const { return pid_; }
    const std::optional<std::string>& failure() const { return failure_; }

private:
    // The name of the step that failed, or null.
    static const char* confine(uid_t uid)
    {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
            return "unshare";
        // Our own id maps to itself, as systemd maps it for a user unit with PrivateUsers.
        const std::string map = std::to_string(uid) + " " + std::to_string(uid) + " 1\n";
        const int fd = ::open("/proc/self/uid_map", O_WRONLY | O_CLOEXEC);
        const bool mapped = fd >= 0 && ::write(fd, map.data(), map.size()) == static_cast<ssize_t>(map.size());
        if (fd >= 0)
            ::close(fd);
        if (!mapped)
            return "uid_map";
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
            return "no_new_privs";
        sock_filter allowAll[] = {BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
        sock_fprog program{1, allowAll};
        if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0) != 0)
            return "seccomp";
        return nullptr;
    }

    pid_t pid_ = -1;
    std::optional<std::string> failure_;
};

} // namespace quellon::testing_support
