#include "driver/main_sequence.h"

#include "driver/command_line.h"
#include "driver/console_input.h"
#include "driver/fatal_error.h"
#include "driver/parameter_file.h"
#include "driver/session.h"
#include "driver/session_log.h"
#include "driver/version.h"

namespace kl {

namespace {

void WriteBanner(Session& s) {
  s.out(Channel::Console) << kProgramName << " " << versionText(kProgramVersion, kProgramRelease) << crlf;
}

// Finding the unit, connecting, identifying it and the flows are not part of this build yet.
// Until they are, a run ends the way a run that finds no unit does.
[[noreturn]] void EndRunWithoutUnitSupport(Session& s) { FatalError(s, "Unable to connect to Balvanta unit"); }

void FindUnitAndRunFlow(Session& s) { EndRunWithoutUnitSupport(s); }

int FinishRun(Session& s) {
  --s.out.packetTraceLevel;
  s.stopHookArmed = false;
  ClosePort(s);
  CloseSessionLog(s);
  PauseForKey(s);
  return 0;
}

}  // namespace

void RunStopHook(Session& s) {
  if (!s.stopHookArmed) return;
  s.stopHookArmed = false;
  s.out(Channel::Always) << crlf << "-- stopped" << crlf;
  ClosePort(s);
  CloseSessionLog(s);
}

int RunKestrelink(Session& s, const std::vector<std::string>& arguments) {
  s.arguments = arguments;
  s.platform.process.setExitRoutine([&s] { RunStopHook(s); });
  WriteBanner(s);

  const std::vector<std::string> options(arguments.size() > 1 ? arguments.begin() + 1 : arguments.end(),
                                         arguments.end());
  if (!ParseCommandLine(options, s.options)) {
    WriteUsage(s);
    FatalError(s, "Incorrect arguments");
  }

  if (!s.options.parameterFile.empty()) {
    s.options.manufacturingMode = IniGetBool(s, s.options.parameterFile, "Ostrevan");
  }

  ++s.out.packetTraceLevel;
  OpenSessionLog(s);

  s.stopHookArmed = true;
  s.platform.process.installStopSignals();

  FindUnitAndRunFlow(s);
  return FinishRun(s);
}

}  // namespace kl
