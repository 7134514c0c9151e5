// Choosing what the host shows: `quellon loops use NAME` and `quellon cameras use ID`. A running
// host is asked over the bus, so it takes the choice at once; without one the choice is stored
// in the state for the next host, and handed to the camera.

#include "Commands.h"
#include "LoopLibrary.h"

#include "capture/CameraListing.h"
#include "capture/CaptureInput.h"
#include "host/HostClient.h"
#include "state/ClipMetadata.h"
#include "state/QuellonState.h"
#include "state/QuellonStorage.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <iostream>
#include <limits>
#include <memory>

namespace quellon::cli {

namespace fs = std::filesystem;

namespace {

// Stores edit as a new record, above the stored revision and the camera's, and hands it to the
// camera: what `quellon state set` does.
void storeChange(const std::function<void(QuellonState&)>& edit)
{
    const QuellonState current = QuellonStorage::readState();
    QuellonState next = current;
    edit(next);
    const std::int64_t last = std::max(current.revision, cameraStateRevision().value_or(current.revision));
    next.revision = last < std::numeric_limits<std::int64_t>::max() ? last + 1 : last;
    next.updatedAt = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    QuellonStorage::writeState(next);
    sendStateToCamera(next);
}

// Asks the running host; false when none runs.
bool askHost(const std::function<void(host::HostClient&)>& ask)
{
    try {
        host::HostClient client;
        ask(client);
        return true;
    } catch (const host::HostNotRunning&) {
        return false;
    } catch (const host::HostError& error) {
        throw CommandError(error.what());
    }
}

} // namespace

void addChoiceCommands(CLI::App& app)
{
    if (auto* loops = app.get_subcommand("loops")) {
        auto name = std::make_shared<std::string>();
        auto* use = loops->add_subcommand("use", "Make a loop the one Away plays.");
        use->add_option("NAME", *name, "The loop's file name, with or without its extension, or the name `loops list` shows.")
            ->required();
        use->callback([name] {
            const std::string file = resolveLoop(*name, LoopPlaces::library).loop->filename;
            if (askHost([&](host::HostClient& client) { client.setLoop(file); })) {
                std::cout << "active loop: " << file << "\n";
                return;
            }
            storeChange([&](QuellonState& state) { state.activeClipFilename = file; });
            std::cout << "active loop: " << file << " (stored; the host takes it when it starts)\n";
        });
    }
    if (auto* cameras = app.get_subcommand("cameras")) {
        auto id = std::make_shared<std::string>();
        auto* use = cameras->add_subcommand("use", "Make a camera the one Live shows.");
        use->add_option("ID", *id, "An ID or device from `quellon cameras`, or any input (a file, lavfi:GRAPH).")->required();
        use->callback([id] {
            const auto input = CaptureInput::parse(*id);
            if (!input)
                throw UsageError("\"" + *id + "\" is no camera: `quellon cameras` lists them");
            // A device must be one of the cameras listed: never our own camera, never a typo.
            if (input->kind == CaptureInput::Kind::camera && !findCamera(listCameras(), *id))
                throw CommandError("there is no camera \"" + *id + "\": `quellon cameras` lists them");
            if (askHost([&](host::HostClient& client) { client.setCamera(*id); })) {
                std::cout << "camera: " << *id << "\n";
                return;
            }
            storeChange([&](QuellonState& state) { state.selectedCameraID = *id; });
            std::cout << "camera: " << *id << " (stored; the host takes it when it starts)\n";
        });
    }
}

} // namespace quellon::cli
