// One run's context. What the program treats as process-wide (options, channels and log,
// the serial port and its settings, the packet link, the connected unit, ...) are members
// here; the real program creates exactly one, tests as many as they need.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Pellmar/dynamic_string.h"
#include "driver/output.h"
#include "driver/run_options.h"
#include "platform/platform.h"
#include "protocol/unit.h"
#include "transfer/transfer_state.h"
#include "transfer/unit_storage_state.h"
#include "transport/link_control.h"
#include "transport/packet_link.h"
#include "transport/serial_port.h"

namespace kl {

// What the run settles or changes as it goes, beside the options as given.
struct RunState {
  // "Ostrevan" in the parameter file: a production station runs this.
  bool manufacturingMode = false;
  // The start speed was given (-b, or the environment's speed): it is tried first.
  bool startSpeedGiven = false;
  // -v no longer holds: large packets leave no overlapped write to check against.
  bool verifyTurnedOff = false;
};

struct Session {
  explicit Session(Platform& p);
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  Platform& platform;
  RunOptions options;
  RunState run;
  Output out;
  // The run's text heap; created before any text and destroyed after all of it.
  std::unique_ptr<StringHeap> strings;

  // Full path of this run's session log; empty until it is opened.
  DynamicString sessionLogPath;

  // Text in the session's heap.
  DynamicString text(std::string_view value = {}) { return DynamicString(*strings, value); }

  // The command line as given, program path first (the log header repeats it).
  std::vector<std::string> arguments;
  PortSettings portSettings;
  SerialPort port;
  PacketLink packet;

  LinkControl link;

  // The directly connected unit, and the addresses discovery settles on.
  Unit unit;
  uint8_t currentUnitId = 0;
  uint8_t bootLoaderAddress = 1;
  // Overlapped (windowed) flash writes are in use.
  bool overlappedActive = false;
  // The connected application takes the extended windowed file write.
  bool newFileProtocol = false;
  // Send windows and modes of the programmer download and the flash writer.
  TransferState transfer;
  // The open remote file, the loaded manufacturing fields and the backup of the unit's fields.
  UnitStorageState storage;
  // The flash programmer the external boot-loader tool wrote for a test board; the unit's
  // programmerImage points into it for the rest of the run.
  std::vector<uint8_t> bootToolProgrammer;

  // Clean-up run at any exit while armed: "-- stopped", release the port, close the log.
  bool stopHookArmed = false;
  // The station's outcome (Message in the parameter file) was stored, or tried: a later end
  // of the run leaves it. Lost: it could not be written.
  bool outcomeSettled = false;
  bool outcomeLost = false;
  // What lets the user open a port was shown (once a run).
  bool accessHelpShown = false;
  // Why the session log stopped short (a full disk); empty while it is whole.
  std::string sessionLogFailure;
  // What an early end of the run must put back first (see BeforeEndGuard); empty when nothing.
  std::function<void()> beforeEnd;
};

// Writes are read back and compared (-v), unless the run had to turn that off.
inline bool Verifying(const Session& s) { return s.options.verify && !s.run.verifyTurnedOff; }

}  // namespace kl
