#include "backends/PipeWireCameraBackend.h"

#include "platform/Log.h"
#include "platform/TemporaryDirectory.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace quellon {
namespace {

// Where no PipeWire daemon answers, `auto` must pass the backend over and `--sink pipewire`
// must fail loudly, never publish into the void. (A daemon answering is the e2e test's part.)
TEST(PipeWireBackendTest, WithoutADaemonProbeSaysNoAndNoBackendIsMade)
{
    TemporaryDirectory runtime{"quellon-no-pipewire"};
    ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    ::unsetenv("PIPEWIRE_REMOTE");
    ::unsetenv("PIPEWIRE_RUNTIME_DIR");
    EXPECT_FALSE(PipeWireCameraBackend::probe());
    CapturingLogSink log;
    try {
        PipeWireCameraBackend backend(log);
        ADD_FAILURE() << "a backend was made without a daemon";
    } catch (const CameraBackendError& error) {
        EXPECT_NE(std::string(error.what()).find("No PipeWire daemon answers"), std::string::npos) << error.what();
    }
}

} // namespace
} // namespace quellon
