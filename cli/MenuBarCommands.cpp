// The Quellon app's half of the tray protocol, for scripts and tests: publish the status the
// tray shows, send the commands the tray sends, and watch what goes over the bus.

#include "Commands.h"

#include "menubar/MainLoop.h"
#include "menubar/MenuBarBridge.h"
#include "menubar/NotificationBus.h"
#include "platform/TerminalText.h"

#include <CLI/CLI.hpp>
#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

namespace quellon::cli {

namespace {

std::string commandList()
{
    std::string list;
    for (auto command : MenuBarBridge::allCommands)
        list += (list.empty() ? "" : ", ") + std::string(MenuBarBridge::rawValue(command));
    return list;
}

void addPublish(CLI::App& app)
{
    struct Options {
        std::optional<std::string> mode, autoReturn, loops;
        bool terminating = false;
    };
    auto options = std::make_shared<Options>();
    auto* command = app.add_subcommand("publish", "Post the status the tray program shows, as the Quellon app does.");
    command->add_option("--mode", options->mode, "Mode text (live, away, standby, error; other text is posted as is)");
    command->add_option("--auto-return", options->autoReturn, "Auto return on or off")
        ->check(CLI::IsMember({"on", "off"}));
    command->add_option("--loops", options->loops, "Whether loops exist: yes or no")->check(CLI::IsMember({"yes", "no"}));
    command->add_flag("--terminating", options->terminating, "Announce that the app quits (ends the tray program)");
    command->callback([options] {
        if (!options->mode && !options->autoReturn && !options->loops && !options->terminating)
            throw UsageError("publish: give --mode, --auto-return, --loops or --terminating");
        if (options->mode)
            MenuBarBridge::publishMode(*options->mode);
        if (options->autoReturn)
            MenuBarBridge::publishAutoReturn(*options->autoReturn == "on");
        if (options->loops)
            MenuBarBridge::publishHasLoops(*options->loops == "yes");
        if (options->terminating)
            MenuBarBridge::post(MenuBarBridge::mainTerminating);
    });
}

void addSend(CLI::App& app)
{
    auto word = std::make_shared<std::string>();
    auto* command = app.add_subcommand("send", "Post a tray command to the Quellon app, as the tray program does.");
    command->add_option("command", *word, "One of: " + commandList())->required();
    command->callback([word] {
        const auto parsed = MenuBarBridge::commandFromRawValue(*word);
        if (!parsed)
            throw UsageError("send: unknown command \"" + visibleText(*word) + "\"; one of: " + commandList());
        MenuBarBridge::send(*parsed);
    });
}

void addWatch(CLI::App& app)
{
    struct Options {
        std::optional<std::size_t> count;
        std::optional<double> timeout;
    };
    auto options = std::make_shared<Options>();
    auto* command = app.add_subcommand("watch", "Print each tray notification on the session bus, one per line.");
    command->add_option("--count", options->count, "Stop after this many notifications")->check(CLI::PositiveNumber);
    command->add_option("--timeout", options->timeout, "Stop after this many seconds")
        ->check(CLI::Range(0.001, 31536000.0));
    command->callback([options] {
        MainLoop loop;
        std::optional<NotificationBus> bus;
        try {
            bus.emplace(loop);
        } catch (const NotificationBusError& error) {
            throw CommandError(std::string("watch: ") + error.what());
        }
        std::size_t seen = 0;
        const std::string prefix = "com.quellon.menubar.";
        auto subscription = bus->subscribe(std::nullopt, [&](const std::string& name) {
            if (name.compare(0, prefix.size(), prefix) != 0 || (options->count && seen >= *options->count))
                return;
            std::cout << visibleText(name) << '\n' << std::flush;
            if (options->count && ++seen >= *options->count)
                loop.quit(0);
        });
        bool timedOut = false;
        if (options->timeout)
            loop.runAfter(std::chrono::milliseconds(static_cast<long long>(*options->timeout * 1000)), [&] {
                timedOut = true;
                loop.quit(0);
            });
        // Scripts wait for this line before posting, so nothing is missed.
        std::cerr << "quellon: watching\n" << std::flush;
        loop.run();
        if (timedOut && options->count)
            throw CommandError("watch: timed out after " + std::to_string(seen) + " of " + std::to_string(*options->count)
                               + " notifications");
    });
}

} // namespace

void addMenuBarCommands(CLI::App& app)
{
    addPublish(app);
    addSend(app);
    addWatch(app);
}

} // namespace quellon::cli
