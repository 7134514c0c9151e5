// The heartbeat is written about once a second from the camera's frame thread: its cost is
// measured against the durable state write it deliberately avoids.

#include "state/QuellonState.h"
#include "state/QuellonStorage.h"
#include "platform/Environment.h"
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

void BM_HeartbeatWrite_AtomicRenameNoFsync(benchmark::State& state)
{
    TemporaryContainer container;
    for (auto _ : state)
        QuellonStorage::writeHeartbeat(std::chrono::system_clock::now(), container.platform);
}
BENCHMARK(BM_HeartbeatWrite_AtomicRenameNoFsync)->Unit(benchmark::kMicrosecond);

void BM_StateWrite_Durable(benchmark::State& state)
{
    TemporaryContainer container;
    QuellonState record = QuellonState::defaultState();
    for (auto _ : state) {
        ++record.revision;
        QuellonStorage::writeState(record, container.platform);
    }
}
BENCHMARK(BM_StateWrite_Durable)->Unit(benchmark::kMicrosecond);

} // namespace
