#pragma once

// Runs a program as a child process for the command-line tests, with exactly the given
// environment, and collects its exit status and output.

#include <chrono>
#include <csignal>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace quellon::testing {

struct ProgramResult {
    int status = -1; // the exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

class ChildProgram {
public:
    /// Starts path with args; env holds "NAME=value" entries and nothing else is inherited.
    ChildProgram(const std::string& path, const std::vector<std::string>& args, const std::vector<std::string>& env)
    {
        int out[2], err[2];
        if (::pipe(out) != 0 || ::pipe(err) != 0)
            throw std::runtime_error("pipe");
        std::vector<char*> argv{const_cast<char*>(path.c_str())}, envp;
        for (const auto& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        for (const auto& variable : env)
            envp.push_back(const_cast<char*>(variable.c_str()));
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1), ::dup2(err[1], 2), ::close(out[0]), ::close(err[0]);
            ::execve(path.c_str(), argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(out[1]), ::close(err[1]);
        out_ = out[0], err_ = err[0];
    }

    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;

    void signal(int number) { ::kill(pid_, number); }

    /// Reads one line of standard error (without its newline) while the program runs, for
    /// programs that announce on standard error that they are ready; empty at its end.
    std::string readErrorLine()
    {
        std::string line;
        char c;
        while (::read(err_, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }

    /// The same, but empty when no whole line comes within limit: a test waiting for a line
    /// that never comes fails instead of hanging.
    std::string readErrorLine(std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::string line;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd ready{err_, POLLIN, 0};
            char c;
            if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0 || ::read(err_, &c, 1) != 1)
                return {};
            if (c == '\n')
                return line;
            line += c;
        }
    }

    /// Waits for the end; standard error is read after standard output, so it must stay small.
    ProgramResult finish()
    {
        ProgramResult result{-1, readAll(out_), readAll(err_)};
        ::close(out_), ::close(err_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return result;
    }

private:
    static std::string readAll(int fd)
    {
        std::string text;
        char buffer[4096];
        ssize_t got;
        while ((got = ::read(fd, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<std::size_t>(got));
        return text;
    }

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
};

} // namespace quellon::testing
