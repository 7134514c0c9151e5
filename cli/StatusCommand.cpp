#include "Commands.h"

#include "platform/DateTime.h"
#include "state/QuellonStorage.h"

#include <CLI/CLI.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>

namespace quellon::cli {

void addStatusCommand(CLI::App& app)
{
    auto* command = app.add_subcommand("status", "Tell whether the camera is streaming to a client, from its heartbeat.");
    auto window = std::make_shared<double>(3.0);
    command->add_option("--within", *window, "Seconds a heartbeat stays valid")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    command->callback([window] {
        if (!QuellonStorage::containerURL())
            throw CommandError(StorageError::description(StorageError::Code::containerUnavailable));
        const Date now = std::chrono::system_clock::now();
        const auto heartbeat = QuellonStorage::readHeartbeat();
        const bool streaming = QuellonStorage::isExtensionStreaming(*window, now);
        if (!heartbeat) {
            std::cout << "not streaming (no heartbeat)\n";
            return;
        }
        const double age = std::chrono::duration<double>(now - *heartbeat).count();
        char ageText[64];
        std::snprintf(ageText, sizeof ageText, "%.1f s", std::fabs(age));
        std::cout << (streaming ? "streaming" : "not streaming") << " (last heartbeat "
                  << (age < 0 ? std::string("in ") + ageText : std::string(ageText) + " ago") << ")\n";
    });
}

} // namespace quellon::cli
