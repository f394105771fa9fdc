// The real-time loop of kestrelink-sim: waits for the program's bytes, the next due action,
// operator commands and signals, and ends cleanly on SIGINT or SIGTERM.
#pragma once

#include <functional>
#include <string>

#include "sim/realtime/pty_line.h"
#include "sim/realtime/realtime_scheduler.h"
#include "sim/scenario/installation.h"

namespace kl::sim {

// Blocks the signals the loop handles, so that they wait for it; call before any thread or
// child exists.
void blockLoopSignals();

// Returns the process exit code.
int runEventLoop(RealTimeScheduler& scheduler, PtyLine& line, Installation& installation, bool commands,
                 const std::function<void(const std::string&)>& log);

}  // namespace kl::sim
