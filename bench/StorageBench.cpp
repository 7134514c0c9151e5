// The heartbeat is written about once a second from the camera's frame thread: its cost is
// measured against a durable write of the same bytes, which it deliberately avoids.

#include "state/QuellonStorage.h"
#include "platform/Environment.h"
#include "platform/FileIO.h"
#include "platform/PlatformDirectories.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <filesystem>
#include <unistd.h>

namespace {

using namespace quellon;

struct TemporaryContainer {
    std::filesystem::path directory;
    MapEnvironment environment;
    FixedDirectories directories;
    ContainerPlatform platform{environment, directories};

    TemporaryContainer()
    {
        directory = std::filesystem::temp_directory_path() / ("quellon-bench-" + std::to_string(::getpid()));
        std::filesystem::create_directories(directory);
        directories.appGroup = directory;
    }
    ~TemporaryContainer() { std::filesystem::remove_all(directory); }
};

// The heartbeat as written: temporary file and rename, no fsync.
void heartbeatWrite(benchmark::State& state)
{
    TemporaryContainer container;
    for (auto _ : state)
        QuellonStorage::writeHeartbeat(std::chrono::system_clock::now(), container.platform);
}
BENCHMARK(heartbeatWrite)->Name("HeartbeatWrite/quellon_rename_only")->Unit(benchmark::kMicrosecond);

// The same bytes written durably (fsync of file and directory), as state.json is.
void heartbeatWriteDurable(benchmark::State& state)
{
    TemporaryContainer container;
    for (auto _ : state) {
        auto text = QuellonStorage::heartbeatText(std::chrono::system_clock::now());
        replaceFileAtomically(container.directory / "heartbeat", *text, Durability::durable);
    }
}
BENCHMARK(heartbeatWriteDurable)->Name("HeartbeatWrite/baseline_durable")->Unit(benchmark::kMicrosecond);

} // namespace
