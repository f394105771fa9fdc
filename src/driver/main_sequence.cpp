#include "driver/main_sequence.h"

#include "connect/connection.h"
#include "connect/discovery.h"
#include "driver/command_line.h"
#include "driver/console_input.h"
#include "driver/fatal_error.h"
#include "driver/parameter_file.h"
#include "driver/session.h"
#include "driver/session_log.h"
#include "driver/version.h"
#include "protocol/identification.h"
#include "protocol/unit_control.h"
#include "update/interrogation.h"
#include "update/log_extraction.h"

namespace kl {

namespace {

void WriteBanner(Session& s) {
  s.out(Channel::Console) << kProgramName << " " << versionText(kProgramVersion, kProgramRelease) << crlf;
}

// A blank chip can only be programmed by the external boot-loader tool, which this build
// does not carry yet; outside manufacturing mode a blank chip is refused anyway.
void RefuseBlankChip(Session& s) {
  if (!s.options.manufacturingMode) {
    Reset(s, s.unit);
    FatalError(s, "Cannot update this unit (blank mcu)");
  }
  FatalError(s, "Cannot program a blank chip: this build has no boot-loader tool support");
}

// The flows after identification. Only the manufacturing run without "Program" is complete in
// this build; the others end the run plainly instead of pretending to work.
void RunFlow(Session& s) {
  if (s.options.manufacturingMode) {
    if (IniGetBool(s, s.options.parameterFile, "Program")) {
      s.out(Channel::Debug) << "-- updating balvanta software (manufacturing)" << crlf;
      FatalError(s, "Manufacturing update is not available in this build");
    }
    PrintUnitInfo(s, s.unit, false);
    s.out(Channel::Always) << "-- nothing to do" << crlf;
    return;
  }
  if (s.options.interrogate) {
    s.out(Channel::Always) << "-- interrogating unit" << crlf;
    InterrogateUnits(s, s.unit);
    return;
  }
  if (s.options.extractLogs) {
    ExtractLogsFromAllUnits(s, s.unit);
    return;
  }
  FatalError(s, "Field update is not available in this build");
}

void FindUnitAndRunFlow(Session& s) {
  FindPortAndUnit(s, s.unit);
  if (s.unit.mode == modeBlankMcu) RefuseBlankChip(s);
  if (!ConnectToUnit(s, s.unit)) FatalError(s, "Unable to connect to Balvanta unit");
  ReadExtendedInfo(s, s.unit);
  ReadAdvancedInfo(s, s.unit);
  RunFlow(s);
}

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
  const FileExists isFile = [&s](const std::string& path) {
    return s.platform.files.exists(path) && !s.platform.files.isDirectory(path);
  };
  if (!ParseCommandLine(options, s.options, isFile)) {
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
