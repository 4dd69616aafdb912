// Start-up, the run modes and the orderly end of the process.
#pragma once

namespace kestrel::app {

enum class RunMode { Gui, Service };

// "-s" as the whole command line selects the service mode.
RunMode runModeFor(int argc, char** argv);

// Runs the server until it is asked to close; returns the exit code.
int runApplication(RunMode mode);

}  // namespace kestrel::app
