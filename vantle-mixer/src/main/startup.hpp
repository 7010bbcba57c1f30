// The start-up sequence and the supervision loop of the process.
#pragma once

namespace vantle::app {

// Runs the mixer until SIGINT; returns the process's exit status.
int run(int argc, const char* const* argv);

}  // namespace vantle::app
