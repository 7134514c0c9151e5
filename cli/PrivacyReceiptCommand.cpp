#include "Commands.h"

#include "reports/MachineReports.h"
#include "state/QuellonStorage.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>

namespace quellon::cli {

namespace {

struct ReceiptOptions {
    bool json = false;
    bool explain = false;
};

} // namespace

void addPrivacyReceiptCommand(CLI::App& app)
{
    auto options = std::make_shared<ReceiptOptions>();
    auto* command = app.add_subcommand(
        "privacy-receipt",
        "Print what this build can and cannot do with your data. Sandboxing and network access are "
        "checked on the running camera daemon and host, and only what holds for both is claimed.");
    command->add_flag("--json", options->json, "Print the receipt as JSON");
    command->add_flag("--explain", options->explain, "Also tell on standard error how the sandbox and network facts were decided, for the camera daemon and the host");
    command->callback([options] {
        const LinuxMachineFacts facts;
        const PrivacyReceipt receipt =
            MachineReports::privacyReceipt(facts, ContainerPlatform::system(), std::chrono::system_clock::now());
        if (options->explain) {
            const auto found = MachineReports::confinement(facts, QuellonStorage::containerURL(ContainerPlatform::system()));
            std::cerr << "sandbox: " << found.sandboxed.how << "\n"
                      << "network: " << found.networkAllowed.how << "\n";
        }
        if (!options->json) {
            std::cout << receipt.text() << "\n";
            return;
        }
        const std::string json = receipt.json();
        // The receipt stands in "{}" for text it cannot encode; a tool must not take that as a receipt.
        if (json == "{}")
            throw CommandError("the privacy receipt could not be encoded as JSON");
        std::cout << json << "\n";
    });
}

} // namespace quellon::cli
