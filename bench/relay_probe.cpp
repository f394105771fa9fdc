// The relayed part of a network update on a real port, in real time, as the program does it:
// find and connect to the unit on the port, switch it to the programming speed, then send each
// unit on its network the software update file ("Sending software update to unit...").
// Prints, per remote unit and in total, the payload rate as a fraction of the port's line rate
// (payload bytes per second / (baud / 11)) and the resends the transfer showed as "!".
// Used by bench/realtime_relay.sh against kestrelink-sim on a pseudo-terminal.
//   relay_probe [kestrelink options such as -r921600 -y] [COM]<port>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "connect/connection.h"
#include "connect/discovery.h"
#include "driver/command_line.h"
#include "driver/fatal_error.h"
#include "platform/posix/posix_platform.h"
#include "protocol/identification.h"
#include "protocol/link_speed.h"
#include "protocol/unit_control.h"
#include "transfer/file_update.h"
#include "transfer/image_selection.h"
#include "transfer/unit_images.h"
#include "update/network_table.h"
#include "update/session.h"

namespace {

using namespace kl;

// Where the update puts a unit's software update file.
constexpr uint8_t kUpdateFilesDrive = 1;
constexpr uint16_t kSoftwareUpdateFile = 0x0103;

// The console, counting the resend marks written to it.
class CountingConsole : public Console {
 public:
  explicit CountingConsole(Console& console) : console_(console) {}
  void write(std::string_view text) override {
    for (const char c : text) marks += c == '!' ? 1 : 0;
    console_.write(text);
  }
  void writeError(std::string_view text) override { console_.writeError(text); }
  void flush() override { console_.flush(); }
  bool keyAvailable() override { return console_.keyAvailable(); }
  int readKey() override { return console_.readKey(); }

  int marks = 0;

 private:
  Console& console_;
};

struct Figures {
  uint64_t bytes = 0;
  double seconds = 0;
  int resends = 0;
};

void Print(const char* what, unsigned address, uint32_t baud, const Figures& f) {
  const double fraction = f.seconds > 0 ? static_cast<double>(f.bytes) / f.seconds / (baud / 11.0) : 0.0;
  std::printf("%s=%u baud=%u payload_bytes=%llu s=%.3f fraction_of_line_rate=%.3f resends=%d\n", what, address, baud,
              static_cast<unsigned long long>(f.bytes), f.seconds, fraction, f.resends);
}

int Run(Session& s, CountingConsole& console, const std::vector<std::string>& arguments) {
  if (!ParseCommandLine(arguments, s.givenOptions())) FatalError(s, "Incorrect arguments");
  FindPortAndUnit(s, s.unit);
  if (!ConnectToUnit(s, s.unit)) FatalError(s, "Unable to connect to Balvanta unit");
  ReadExtendedInfo(s, s.unit);
  ReadAdvancedInfo(s, s.unit);
  std::vector<uint8_t> listed;
  if (!ListRemoteUnits(s, listed) || listed.empty()) FatalError(s, "No units on the network");
  const uint32_t savedBaud = s.portSettings.baudRate;
  SetUnitBaudRateOrStop(s, s.unit, s.portSettings.programmingBaud);

  Clock& clock = s.platform.clock;
  const uint32_t baud = s.portSettings.baudRate;
  std::vector<std::pair<uint8_t, Figures>> results;
  for (const uint8_t address : listed) {
    if (address == s.unit.address) continue;
    Unit remote = NetworkUnitAt(address);
    if (!ReadUnitInfo(s, remote)) FatalError(s, "A unit on the network did not answer");
    ReadExtendedInfo(s, remote);
    ReadAdvancedInfo(s, remote);
    UnitImages images;
    if (!SelectSoftware(s, remote, images)) FatalError(s, "Unknown balvanta unit");
    const ImageRef image = images.software;
    s.out.flushConsole();
    const int marksBefore = console.marks;
    const uint64_t start = clock.microseconds();
    if (!SendFile(s, remote, kUpdateFilesDrive, kSoftwareUpdateFile, image.start, image.length, AppendKind::Checksum))
      FatalError(s, "Unable to update unit");
    Figures f;
    f.seconds = static_cast<double>(clock.microseconds() - start) / 1e6;
    s.out.flushConsole();
    f.bytes = image.length;
    f.resends = console.marks - marksBefore;
    results.emplace_back(address, f);
  }
  SetUnitBaudRate(s, s.unit, savedBaud);

  std::printf("\n");
  Figures total;
  for (const auto& [address, f] : results) {
    Print("unit", address, baud, f);
    total.bytes += f.bytes;
    total.seconds += f.seconds;
    total.resends += f.resends;
  }
  Print("total_units", static_cast<unsigned>(results.size()), baud, total);
  std::fflush(stdout);  // the process ends through the platform, past the C library's buffers
  ClosePort(s);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  auto machine = std::make_unique<PosixPlatform>(argv[0]);
  Platform& base = machine->platform();
  CountingConsole console(base.console);
  Platform platform{base.clock,    console,        base.files,   base.environment,
                    base.registry, base.processes, base.process, base.serial};
  auto session = std::make_unique<Session>(platform);
  const int code = Run(*session, console, std::vector<std::string>(argv + 1, argv + argc));
  machine->process().exit(code);
}
