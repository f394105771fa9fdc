// A simulated machine with one session, for the driver's tests.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "update/main_sequence.h"
#include "update/session.h"
#include "platform/sim/sim_platform.h"
#include "support/temp_dir.h"

namespace kl::test {

class DriverTest : public ::testing::Test {
 protected:
  DriverTest() { std::filesystem::create_directories(dir.file("bin")); }

  // Runs `body`, which must end the process; returns the exit code.
  template <typename Body>
  int exitCodeOf(Body body) {
    try {
      body();
    } catch (const ProcessExit& exit) {
      return exit.code;
    }
    ADD_FAILURE() << "the run did not end through the process exit";
    return -1;
  }

  // The whole program with these arguments (the program name is added).
  int run(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "kestrelink");
    int returned = -1;
    const int code = exitCodeOf([&] {
      returned = RunKestrelink(session, arguments);
      sim.process.exit(returned);
    });
    return code;
  }

  std::string logDirectory() const { return dir.file("bin/LogFiles"); }
  std::vector<std::string> logNames() const {
    std::vector<std::string> names;
    if (!std::filesystem::is_directory(logDirectory())) return names;
    for (const auto& entry : std::filesystem::directory_iterator(logDirectory()))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  // The one log of the run.
  std::string logText() const {
    std::vector<std::string> names = logNames();
    std::erase(names, "Cleanup.lck");
    if (names.size() != 1) {
      ADD_FAILURE() << "expected one log, found " << names.size();
      return {};
    }
    return readFile(logDirectory() + "/" + names[0]);
  }
  const std::string& console() {
    session.out.flushConsole();
    return sim.console.output();
  }

  TempDir dir;
  SimPlatform sim{dir.path()};
  Session session{sim.platform};
};

}  // namespace kl::test
