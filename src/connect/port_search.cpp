// Which COM port holds a unit: the one given, those in the environment, the one remembered in
// the registry, then every port from 1 to 99.
#include <algorithm>

#include "connect/discovery.h"
#include "driver/console_input.h"
#include "driver/fatal_error.h"
#include "driver/settings.h"
#include "protocol/target_context.h"
#include "transport/link_control.h"
#include "transport/serial_port.h"

namespace kl {

namespace {

constexpr int32_t kLowestProgrammingBaud = 115200;
constexpr int kHighestPort = 99;
constexpr int64_t kHighestPortNumber = 65535;

bool IsBusy(int code) { return code == oserr::AccessDenied || code == oserr::SharingViolation; }

// "COM33", or "/dev/ttyUSB0 (COM33)" for the port the command line named by its device.
std::string PortLabel(TargetContext& s, int number) {
  std::string com = "COM" + decimalText(number);
  if (!s.options.portIsDevice || number != s.options.port) return com;
  return s.platform.serial.deviceOf(number) + " (" + com + ")";
}

// Where ports are devices: which one was looked for, and with `explain` how COM numbers name
// devices. Nothing where COM numbers are the system's own names.
void WriteAbsentDevice(TargetContext& s, int number, bool explain) {
  const std::vector<std::string> naming = s.platform.serial.portNaming();
  if (naming.empty()) return;
  ChannelWriter& always = s.out(Channel::Always);
  const std::string device = s.platform.serial.deviceOf(number);
  always << "   " << (device.empty() ? "COM" + decimalText(number) + " names no device" : "looked for " + device)
         << crlf;
  if (!explain) return;
  for (const std::string& line : naming) always << "   " << line << crlf;
}

// What lets the user open the port, once a run: a scan may meet many such ports.
void WriteAccessHelp(TargetContext& s, int number) {
  if (s.accessHelpShown) return;
  const std::vector<std::string> help = s.platform.serial.accessHelp(number);
  if (help.empty()) return;
  s.accessHelpShown = true;
  for (const std::string& line : help) s.out(Channel::Always) << "   " << line << crlf;
}

// "COM3 is being used by another application" and its siblings, for an open that failed.
void WriteOpenFailure(TargetContext& s, int code, bool reportAbsent) {
  ChannelWriter& always = s.out(Channel::Always);
  const uint16_t number = s.portSettings.portNumber;
  if (code == oserr::FileNotFound) {
    if (!reportAbsent) return;
    always << "COM" << number << " is not present on this computer" << crlf;
    WriteAbsentDevice(s, number, false);
  } else if (IsBusy(code)) {
    always << "COM" << number << " is being used by another application" << crlf;
  } else if (code == oserr::InvalidParameter) {
    always << "COM" << number << " does not support requested baud rate" << crlf;
  } else {
    always << "COM" << number << " ERROR: " << s.platform.process.errorText(code) << crlf;
    if (code == oserr::PermissionDenied) WriteAccessHelp(s, number);
  }
}

void SelectPort(TargetContext& s, int number) { s.portSettings.portNumber = static_cast<uint16_t>(number); }

// Opens the port and probes it; the port stays open only when a unit answered.
bool TryPort(TargetContext& s, Unit& unit, int number, bool reportAbsent) {
  SelectPort(s, number);
  if (!OpenPort(s)) {
    WriteOpenFailure(s, s.platform.process.lastError(), reportAbsent);
    return false;
  }
  s.out(Channel::Always) << "COM" << number << " opened" << crlf;
  if (FindUnit(s, unit)) return true;
  ClosePort(s);
  return false;
}

void WriteProgrammingBaud(TargetContext& s) {
  s.out(Channel::Debug) << "-- programmer baud rate = " << s.portSettings.programmingBaud << crlf;
}

// The run's starting line settings: speed and parity from the options, and the speed from the
// environment when none was given.
void ApplyStartSettings(TargetContext& s) {
  const RunOptions& options = s.options;
  int32_t startSpeed = options.initialBaud;
  int32_t programmingBaud = options.programmingBaud;
  s.run.startSpeedGiven = options.initialBaudGiven;
  if (!options.initialBaudGiven) {
    const DynamicString baud = GetEnv(s, envvar::BaudRate);
    // A value that is no speed counts as unset: it would only make every port look too slow.
    const int32_t speed = parseClampedDecimal<int32_t>(baud);
    if (speed > 0) {
      s.out(Channel::Always) << "   BALVANTABAUDRATE: " << baud << crlf;
      startSpeed = speed;
      s.run.startSpeedGiven = true;
      if (programmingBaud == 0) programmingBaud = std::max(startSpeed, kLowestProgrammingBaud);
    }
  }
  s.portSettings.baudRate = startSpeed;
  s.portSettings.evenParity = options.parity;
  s.portSettings.programmingBaud = programmingBaud;
  s.currentUnitId = options.unitId;
}

int AskForPort(TargetContext& s) {
  s.out(Channel::Always) << "-- cannot find a Balvanta unit" << crlf;
  s.out(Channel::Console) << "Please enter COM port number (1,2,3...): ";
  // At the end of input this reads 0 at once, which names no port.
  const int32_t number = ReadConsoleNumber(s);
  s.out(Channel::Console) << crlf;
  s.out(Channel::Debug) << "-- COM" << number << " entered by user" << crlf;
  return number;
}

// The port the operator named: a missing one is reported, any other failure ends the run.
void OpenChosenPort(TargetContext& s, Unit& unit, uint16_t number) {
  SelectPort(s, number);
  const std::string port = PortLabel(s, number);
  if (OpenPort(s)) {
    s.out(Channel::Always) << port << " opened" << crlf;
    FindUnit(s, unit);  // a unit that does not answer is reported by the connection
    return;
  }
  const int code = s.platform.process.lastError();
  if (code == oserr::FileNotFound) {
    s.out(Channel::Always) << port << " is not present on this computer" << crlf;
    WriteAbsentDevice(s, number, true);
    return;
  }
  if (IsBusy(code)) FatalError(s, port + " is being used by another application");
  if (code == oserr::InvalidParameter) FatalError(s, port + " does not support requested baud rate");
  if (code == oserr::PermissionDenied) WriteAccessHelp(s, number);
  FatalError(s, port + " ERROR: " + s.platform.process.errorText(code));
}

}  // namespace

void FindPortAndUnit(TargetContext& s, Unit& unit) {
  const DynamicString lockDirectory = GetEnv(s, envvar::LockDir);
  if (!lockDirectory.empty()) s.out(Channel::Always) << "   BALVANTALOCKDIR : " << lockDirectory << crlf;
  ApplyStartSettings(s);
  SaveConnectionBaudRate(s);
  WriteProgrammingBaud(s);

  bool found = false;
  uint16_t chosen = s.options.port;
  if (chosen == 0) {
    found = SearchEnvironmentPorts(s, unit) || SearchAllPorts(s, unit);
    if (!found) chosen = static_cast<uint16_t>(AskForPort(s));
  }
  if (!found) {
    OpenChosenPort(s, unit, chosen);
    if (!IsPortOpen(s)) return;
  }
  if (s.options.overlappedWrites && ProbeCts(s)) s.overlappedActive = true;
}

bool SearchEnvironmentPorts(TargetContext& s, Unit& unit) {
  ChannelWriter& debug = s.out(Channel::Debug);
  debug << "Searching environment ports" << crlf;
  DynamicString list = GetEnv(s, envvar::PortList);
  if (!list.empty()) {
    debug << "   BALVANTAPORTLIST: " << list << crlf;
  } else {
    list = GetEnv(s, envvar::Port);
    if (!list.empty()) debug << "   BALVANTAPORT    : " << list << crlf;
  }
  WriteProgrammingBaud(s);

  PortListReader ports(list);
  for (int64_t number = ports.next(); number != 0; number = ports.next()) {
    if (number < 0 || number > kHighestPortNumber) {
      s.out(Channel::Always) << "COM" << number << " is not present on this computer" << crlf;
      continue;
    }
    if (TryPort(s, unit, static_cast<int>(number), true)) return true;
  }
  return false;
}

bool SearchAllPorts(TargetContext& s, Unit& unit) {
  s.out(Channel::Debug) << "Searching all ports" << crlf;
  const int remembered = static_cast<int>(parseLeadingDecimal(UserRegistryGet(s, kCommPortRegistryPath)));
  WriteProgrammingBaud(s);

  if (remembered != 0) {
    s.out(Channel::Debug) << "COM" << remembered << " loaded from registry" << crlf;
    if (TryPort(s, unit, remembered, true)) return true;
  }
  for (int number = 1; number <= kHighestPort; ++number) {
    if (number == remembered) continue;
    if (TryPort(s, unit, number, false)) {
      UserRegistryPut(s, kCommPortRegistryPath, decimalText(number));
      return true;
    }
  }
  return false;
}

}  // namespace kl
