// The heartbeat file: any text parses to nothing or to a date whose text reads back the same,
// and the streaming answer for it is what its age says, however far from now it lies.

#include "FuzzSupport.h"
#include "platform/DateTime.h"
#include "platform/Environment.h"
#include "platform/FileIO.h"
#include "platform/PlatformDirectories.h"
#include "platform/TemporaryDirectory.h"
#include "state/QuellonStorage.h"

using namespace quellon;

namespace {

struct Container {
    Container() { directories.appGroup = directory.path(); }
    TemporaryDirectory directory{"quellon-fuzz-heartbeat"};
    MapEnvironment environment;
    FixedDirectories directories;
    ContainerPlatform platform{environment, directories};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Container container;
    const std::string_view input = fuzz::text(data, size);
    const auto heartbeat = QuellonStorage::parseHeartbeat(input);
    if (!heartbeat)
        return 0;
    const auto text = QuellonStorage::heartbeatText(*heartbeat);
    fuzz::require(text.has_value(), "a parsed heartbeat has a text");
    fuzz::require(QuellonStorage::parseHeartbeat(*text) == heartbeat, "a heartbeat round-trips");

    replaceFileAtomically(container.directory.path() / "heartbeat", std::string(input), Durability::fast);
    const Date now = Date(std::chrono::seconds(1765000000));
    const double age = 1765000000.0 - secondsSince1970(*heartbeat);
    const bool streaming = QuellonStorage::isExtensionStreaming(3, now, container.platform);
    // Away from the edge the answer is plain; near it the double arithmetic decides.
    if (age > 3.5)
        fuzz::require(!streaming, "an old heartbeat is not streaming");
    if (age < 2.5)
        fuzz::require(streaming, "a fresh or future heartbeat is streaming");
    return 0;
}
