// The command line of kestrelink-sim.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kl::sim {

struct SimOptions {
  std::string scenario;
  std::string link;     // also make this path a symbolic link to the pseudo-terminal
  std::string logFile;  // write the trace here
  std::string bundle;   // the firmware bundle folder that scenarios name files of
  bool trace = false;   // write the trace on standard error
  bool commands = false;  // read operator commands from standard input
  bool help = false;
  std::optional<uint64_t> seed;
  // Written when the simulation ends: unit name, file for its flash image.
  std::vector<std::pair<std::string, std::string>> flashDumps;
};

// Fills `options`; returns an error text for a bad command line.
std::optional<std::string> parseSimOptions(const std::vector<std::string>& arguments, SimOptions& options);
const char* simUsage();

}  // namespace kl::sim
