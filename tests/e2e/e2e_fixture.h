// The built kestrelink against kestrelink-sim over a pseudo-terminal, as a user runs them:
// the program copied into its own folder (its LogFiles land there), a private home, the
// simulator's terminal named through KESTRELINK_PORTMAP, keys on standard input. The program
// is the Linux one or, with KESTRELINK_PROGRAM naming a kestrelink.exe, the Windows one under
// Wine (support/program_under_test.h); the tests are the same.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/child_program.h"
#include "support/in_order.h"
#include "support/program_under_test.h"
#include "support/temp_dir.h"

namespace kl::test {

// The operator's terminal: a pseudo-terminal whose slave becomes the program's console.
class Terminal {
 public:
  Terminal();
  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;
  // Empty when no pseudo-terminal could be made.
  const std::string& slave() const { return slave_; }
  // The terminal's local mode flags (c_lflag: ICANON, ECHO, ...).
  unsigned long localModes() const;
  // Keys the operator types on it.
  void type(const std::string& keys);

 private:
  int master_ = -1;
  std::string slave_;
};

// kestrelink-sim running one scenario until the test ends.
class Simulator {
 public:
  // `scenarioPath` names the scenario file; the simulator's trace goes to `logFile`.
  Simulator(const std::string& scenarioPath, const std::string& logFile);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // The pseudo-terminal the simulated units sit on; empty when the simulator did not start.
  const std::string& port() const { return port_; }
  // The operator switches the unit on the port off and on.
  void powerCycle();
  // Stops the simulator; its exit code (0 after a clean stop).
  std::optional<int> stop();

 private:
  std::unique_ptr<ChildProgram> process_;
  std::string port_;
  bool stopped_ = false;
};

struct RunResult {
  std::optional<int> exitCode;  // nothing when the run did not end in time
  std::string console;          // standard output
  std::string log;              // the run's session log
};

class EndToEnd : public ::testing::Test {
 protected:
  // Starts kestrelink-sim on a scenario of sim/scenarios/; the test fails when it does not
  // come up (its port is then empty).
  Simulator& startSimulator(const std::string& scenarioName);
  // The same for a scenario given as text.
  Simulator& startSimulatorWith(const std::string& scenarioText);

  // Runs kestrelink with `arguments`, `keys` on its standard input (closed afterwards) and
  // `environment` on top of the private one. Collects the session log and removes it, so that
  // the next run's log (possibly named for the same second) is its own.
  RunResult run(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment,
                const std::string& keys = {});

  // Starts kestrelink the same way and leaves the run to the test; with a `terminal` it is
  // the program's console.
  std::unique_ptr<ChildProgram> start(const std::vector<std::string>& arguments,
                                      const std::map<std::string, std::string>& environment,
                                      const std::string& terminal = {});

  // What ends the program's output in a pipe: its last line's end on Linux; a Windows
  // console's shell ends the line itself.
  std::string lastLineEnd() const { return target.underWine() ? "" : "\r\n"; }

  // KESTRELINK_PORTMAP entries "N=path" for `ports`.
  static std::string portMap(const std::map<int, std::string>& ports);

  // The remembered COM port in the program's registry; empty when none is stored.
  std::string rememberedPort();
  void rememberPort(const std::string& value);

  // A file of the test's folder as the program names it.
  std::string shown(const std::string& name) const { return target.shown(dir.file(name)); }
  std::string simulatorLog() const { return readFile(dir.file("sim.log")); }
  // Waits until the simulator's trace holds `text` after the last occurrence of `after` (the
  // units go on in real time after the program has ended); false after `timeoutMs`.
  bool simulatorLogsAfter(const std::string& after, const std::string& text, int timeoutMs) const;

  TempDir dir;
  ProgramUnderTest target{dir};
  std::unique_ptr<Simulator> simulator;
};

// The lines of `text` (CR LF or LF ended) that contain `word`, with the log's "NNNNNN: "
// stamps removed.
std::vector<std::string> LinesWith(const std::string& text, const std::string& word);

}  // namespace kl::test
