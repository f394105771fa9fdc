#include "sim/realtime/sim_options.h"

namespace kl::sim {

const char* simUsage() {
  return R"(Usage: kestrelink-sim [options] SCENARIO

Simulates the units that a scenario file describes, on a pseudo-terminal that Kestrelink
(or any serial tool) opens as its serial port. Prints the pseudo-terminal's path on the first
line of standard output, then runs in real time until interrupted (Ctrl-C, SIGINT or SIGTERM).

Options:
  --link PATH     also create PATH as a symbolic link to the pseudo-terminal (removed at exit)
  --trace         log the bytes received and sent and every power or firmware change of the
                  units on standard error, with milliseconds since the start
  --log FILE      write the same log into FILE
  --seed N        seed of the random faults and garbled bytes (default: the scenario's)
  --bundle DIR    the firmware bundle folder whose files a scenario names ("bundle NAME");
                  default: the scenario's bundle-dir, else the bundle of the build that made
                  this program
  --dump-flash UNIT FILE
                  when the simulation ends, write the unit's MCU flash (its banks in address
                  order, back to back) to FILE; may be given several times
  --commands      read operator commands from standard input, one per line:
                    off [UNIT]     switch the unit off (default: the unit on the port)
                    on [UNIT]      switch it on again
                    cycle [UNIT]   switch it off and on after its power-off time
                    fault UNIT fault-KEY = VALUE  set a fault as a scenario would (counts of
                                   received bytes start again now)
                    line FLIPS DROPS  bit flips and dropped bytes per million bytes from now
                                   on, both directions (line 0 0: a clean line)
                    dump-flash UNIT FILE          write the unit's MCU flash to FILE now
                    dump-file UNIT DRIVE:NUMBER FILE   write one file of its flash drives
                    quit           end the simulation
  --help          show this text

Signals: SIGUSR1 power-cycles the unit on the port (the operator's hand on the switch).

The units' flash and flash drives live as long as this program: a second run of Kestrelink
against the same simulator sees what the first one wrote.

Line speed: the unit hears the program only when the speed the program set on its end of the
pseudo-terminal equals the speed the unit listens at; otherwise both sides receive garbage.
The pseudo-terminal keeps the speed but clears the parity flag, so a parity mismatch cannot
be seen here; it can only be tested on the in-process simulated line.

Scenario files are described in the README ("Simulator scenarios"); a library of them is
in sim/scenarios/.
)";
}

std::optional<std::string> parseSimOptions(const std::vector<std::string>& arguments, SimOptions& options) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& arg = arguments[i];
    auto value = [&](std::string& out) -> bool {
      if (i + 1 >= arguments.size()) return false;
      out = arguments[++i];
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--trace") {
      options.trace = true;
    } else if (arg == "--commands") {
      options.commands = true;
    } else if (arg == "--link") {
      if (!value(options.link)) return "--link needs a path";
    } else if (arg == "--log") {
      if (!value(options.logFile)) return "--log needs a file name";
    } else if (arg == "--dump-flash") {
      std::string unit, file;
      if (!value(unit) || !value(file)) return "--dump-flash needs a unit name and a file";
      options.flashDumps.emplace_back(unit, file);
    } else if (arg == "--bundle") {
      if (!value(options.bundle)) return "--bundle needs a folder";
    } else if (arg == "--seed") {
      std::string text;
      if (!value(text) || text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
          text.size() > 18) {
        return "--seed needs a number";
      }
      options.seed = std::stoull(text);
    } else if (!arg.empty() && arg[0] == '-') {
      return "unknown option " + arg;
    } else if (options.scenario.empty()) {
      options.scenario = arg;
    } else {
      return "only one scenario file can be given";
    }
  }
  if (!options.help && options.scenario.empty()) return "no scenario file given";
  return std::nullopt;
}

}  // namespace kl::sim
