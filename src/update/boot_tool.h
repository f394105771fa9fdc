// The maker's external programming tool, Quorran, started as a child program for two jobs of
// manufacturing mode: programming a blank MCU over the port, and writing the flash programmer
// of a test board into an exchange file. The run ends with the tool's own exit code when it
// fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "images/image_ref.h"

namespace kl {

struct Session;
struct Unit;

// The tool's path; ends the run when it is not at its default place.
std::string FindBootTool(Session& s);

// Starts the tool with `arguments` and the run's output options and returns once it ended
// with exit code 0. A tool that cannot be started, or fails, ends the run; `leftover` (a
// file made for the tool) is deleted first.
void RunBootTool(Session& s, const std::string& tool, const std::string& arguments,
                 const std::string& leftover = {});

// The words a command line hands to the program: split at blanks, at most 20; a word that
// starts with a double quote runs to the next one and loses its quotes, as the program's
// own argument parsing would take it.
std::vector<std::string> SplitToolCommandLine(std::string_view commandLine);

// Lets the tool program the blank MCU on the port: the port is closed while it runs and
// opened again afterwards.
void ProgramBlankChip(Session& s, Unit& unit);

// Has the tool write a flash programmer for `unit` into a new private exchange file, reads at
// most `capacity` bytes of it into `buffer` and returns it as the unit's programmer image. An
// unreadable, oversized or unsound image ends the run.
ImageRef LoadProgrammerFromBootTool(Session& s, const Unit& unit, std::vector<uint8_t>& buffer, size_t capacity);

}  // namespace kl
