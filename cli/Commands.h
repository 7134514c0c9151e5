#pragma once

#include <stdexcept>

namespace CLI {
class App;
}

namespace quellon::cli {

/// The user asked for something invalid; exit status 2, nothing changed.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The command could not do its work; exit status 1.
class CommandError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Each adds one subcommand (or group) to the program. A command reports failure by throwing
// one of the errors above; main turns it into a message and an exit status.
void addContainerCommand(CLI::App& app);
void addStateCommands(CLI::App& app);
void addStatusCommand(CLI::App& app);

} // namespace quellon::cli
