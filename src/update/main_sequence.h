// The program from start to end: banner, command line, session log, the armed clean-up, the
// search for the unit and one flow, then the closing steps.
#pragma once

#include <string>
#include <vector>

namespace kl {

struct Session;

// `arguments` is the command line with the program name first. Returns the exit code of a run
// that reached its end; every other end leaves through the platform's exit.
int RunKestrelink(Session& s, const std::vector<std::string>& arguments);

// The clean-up behind the exit routine while it is armed: "-- stopped", the port released,
// the log closed. Runs at most once.
void RunStopHook(Session& s);

}  // namespace kl
