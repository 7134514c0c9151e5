#include "Commands.h"

#include "state/QuellonStorage.h"

#include <CLI/CLI.hpp>
#include <iostream>

namespace quellon::cli {

void addContainerCommand(CLI::App& app)
{
    auto* command = app.add_subcommand("container", "Print the shared container directory.");
    command->callback([] {
        auto root = QuellonStorage::containerURL();
        if (!root)
            throw CommandError(StorageError::description(StorageError::Code::containerUnavailable));
        std::cout << root->string() << "\n";
    });
}

} // namespace quellon::cli
