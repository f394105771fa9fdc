#include "update/main_sequence.h"

#include "connect/connection.h"
#include "connect/discovery.h"
#include "driver/command_line.h"
#include "driver/console_input.h"
#include "driver/fatal_error.h"
#include "driver/parameter_file.h"
#include "driver/session_log.h"
#include "driver/version.h"
#include "protocol/identification.h"
#include "protocol/unit_control.h"
#include "update/boot_tool.h"
#include "update/field_update.h"
#include "update/interrogation.h"
#include "update/log_extraction.h"
#include "update/manufacturing_update.h"
#include "update/session.h"

namespace kl {

namespace {

// As a fatal error's with a parameter file: the run did not do what the station asked.
constexpr int kManufacturingFailureExitCode = 2;

void WriteBanner(Session& s) {
  s.out(Channel::Console) << kProgramName << " " << versionText(kProgramVersion, kProgramRelease) << crlf;
}

// A blank chip is programmed by the external boot-loader tool, on the production line only;
// then the unit is looked for again on the same port.
void ProgramBlankChipOrRefuse(Session& s) {
  if (!s.run.manufacturingMode) {
    Reset(s, s.unit);
    FatalError(s, "Cannot update this unit (blank mcu)");
  }
  s.out(Channel::Debug) << "-- programming blank chip with Quorran" << crlf;
  ProgramBlankChip(s, s.unit);
  FindUnit(s, s.unit);
}

// The flows after identification; the exit code of a run that reaches its end. A station
// reads a manufacturing update that could not be done from the code as from the parameter
// file, never as a success.
int RunFlow(Session& s) {
  if (s.run.manufacturingMode) {
    if (IniGetBool(s, s.options.parameterFile, "Program")) {
      s.out(Channel::Debug) << "-- updating balvanta software (manufacturing)" << crlf;
      return ManufacturingUpdateUnit(s, s.unit) ? 0 : kManufacturingFailureExitCode;
    }
    PrintUnitInfo(s, s.unit, false);
    s.out(Channel::Always) << "-- nothing to do" << crlf;
    StoreOutcome(s, "");  // done as asked: no earlier run's message stays
    return 0;
  }
  if (s.options.interrogate) {
    s.out(Channel::Always) << "-- interrogating unit" << crlf;
    InterrogateUnits(s, s.unit);
    return 0;
  }
  if (s.options.extractLogs) {
    ExtractLogsFromAllUnits(s, s.unit);
    return 0;
  }
  FieldUpdateUnit(s, s.unit, true, s.options.firstUnitOnly);
  return 0;
}

int FindUnitAndRunFlow(Session& s) {
  FindPortAndUnit(s, s.unit);
  if (s.unit.mode == modeBlankMcu) ProgramBlankChipOrRefuse(s);
  if (!ConnectToUnit(s, s.unit)) FatalError(s, "Unable to connect to Balvanta unit");
  ReadExtendedInfo(s, s.unit);
  ReadAdvancedInfo(s, s.unit);
  return RunFlow(s);
}

int FinishRun(Session& s, int exitCode) {
  --s.out.packetTraceLevel;
  s.stopHookArmed = false;
  ClosePort(s);
  CloseSessionLog(s);
  PauseForKey(s);
  // A station that finds no Message must not take the run for a success it could not record.
  if (exitCode == 0 && s.outcomeLost) return 1;
  return exitCode;
}

constexpr std::string_view kStoppedOutcome = "Stopped before the end of the run";

}  // namespace

void RunStopHook(Session& s) {
  if (!s.stopHookArmed) return;
  s.stopHookArmed = false;
  s.out(Channel::Always) << crlf << "-- stopped" << crlf;
  ClosePort(s);
  // A stop key or signal, or an end that gave no reason: the station must not read an earlier
  // run's outcome.
  if (s.run.manufacturingMode && !s.outcomeSettled) StoreOutcome(s, kStoppedOutcome);
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
  const PortDevice portDevice = [&s](const std::string& argument) { return s.platform.serial.bindDevice(argument); };
  const bool parsed = ParseCommandLine(options, s.givenOptions(), isFile, portDevice);
  // Asked for by name: what was asked, and a plain end, whatever else the command line holds.
  if (s.options.showUsage) {
    WriteUsage(s);
    return 0;
  }
  if (s.options.showVersion) return 0;
  if (!parsed) {
    WriteUsage(s);
    FatalError(s, "Incorrect arguments");
  }

  if (!s.options.parameterFile.empty()) {
    s.run.manufacturingMode = IniGetBool(s, s.options.parameterFile, "Ostrevan");
  }

  ++s.out.packetTraceLevel;
  OpenSessionLog(s);

  s.stopHookArmed = true;
  s.platform.process.installStopSignals();

  const int exitCode = FindUnitAndRunFlow(s);
  return FinishRun(s, exitCode);
}

}  // namespace kl
