// What the harnesses share: a scratch folder of the fuzzing process, a fresh simulated machine
// and session for each input, and a check that stops the fuzzer when a property fails.
#pragma once

#include <memory>
#include <string>

#include "platform/sim/sim_platform.h"
#include "update/session.h"

namespace kl::fuzz {

// A folder of this fuzzing process, removed when it ends normally.
const std::string& ScratchFolder();

// A simulated machine with its files under the scratch folder, and one session on it.
struct SimRun {
  SimRun() : session(std::make_unique<Session>(sim.platform)) {}
  Session& s() { return *session; }

  SimPlatform sim{ScratchFolder()};
  std::unique_ptr<Session> session;
};

// A property the code must keep: when it fails, the input is reported as a crash.
void Require(bool holds, const char* what);

}  // namespace kl::fuzz
