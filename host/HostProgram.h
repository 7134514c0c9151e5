#pragma once
// `quellon host`: the long-running host program. Owns the host's bus name (one host per
// user session), serves the bus interface and the tray, and runs until SIGTERM, SIGINT, the
// bus's Quit or the tray's Quit Quellon.

#include "host/HostService.h"

#include <functional>

namespace quellon::host {

class HostController;

struct HostProgramOptions {
    HostOptions service;
    /// Start the tray program (in a graphical session only).
    bool tray = true;
    /// Run what the host does by itself: schedules, screen lock, meeting-app profiles, global
    /// hotkeys and auto return, following the user's settings file.
    bool automation = true;
};

/// How the program starts and stops what its controller controls.
struct ServiceLifecycle {
    std::function<void()> start;
    std::function<void()> stop;
};

/// Runs the host with a HostService made from options.service; returns the exit status.
/// Throws HostError when the host cannot run (no session bus, a host already running, a
/// service that does not start).
int runHost(const HostProgramOptions& options);

/// The same around any controller; lifecycle.start runs once the bus name is ours, and
/// lifecycle.stop before the program returns.
int runHost(const HostProgramOptions& options, HostController& controller, const ServiceLifecycle& lifecycle);

} // namespace quellon::host
