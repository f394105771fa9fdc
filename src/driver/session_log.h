// The session log file: where it lives, its name and header, and the clean-up of old logs.
#pragma once

#include <string>

#include "platform/platform.h"

namespace kl {

struct RunContext;

// Creates the log folder and file, writes the header and starts the stamped lines. Cleans up
// old logs after the 21st of a month. Ends the run (exit code 1) when the file cannot be
// created.
void OpenSessionLog(RunContext& s);
// Writes the final line end and closes the log; safe to call again.
void CloseSessionLog(RunContext& s);

// "LogFiles" beside the program, or under the state directory when that folder cannot be
// written. Created (with its parents) when missing.
std::string SessionLogDirectory(RunContext& s);
// "20YY-MM-DD hh-mm-ss.log"
std::string SessionLogName(const LocalTime& now);
// Deletes the logs of months before last-but-one (and of earlier years from March on), under
// the lock "Cleanup.lck". Does nothing when another run holds the lock.
void CleanUpOldLogs(RunContext& s, const std::string& directory, const LocalTime& now);
// Is a log of this name old enough to delete at `now`?
bool IsOldLogName(const std::string& name, const LocalTime& now);

}  // namespace kl
