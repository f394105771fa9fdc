// One flash update of the unit on a real port, in real time, as the program does it: find and
// connect, reboot into the boot loader, download the flash programmer, write the software
// image, restart the unit. Prints the write phase as a fraction of the line rate and the CPU
// time this process spent per MB of payload. Used by bench/realtime_flash.sh against
// kestrelink-sim on a pseudo-terminal.
//   flash_probe [kestrelink options such as -o -r921600 -y] [COM]<port> [jig]
// With "jig" the unit is reached behind the test jig on the port with the buffered protocol.
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "connect/connection.h"
#include "connect/discovery.h"
#include "driver/command_line.h"
#include "driver/fatal_error.h"
#include "platform/posix/posix_platform.h"
#include "protocol/identification.h"
#include "protocol/proxy_calls.h"
#include "protocol/unit_control.h"
#include "transfer/flash_writer.h"
#include "transfer/image_selection.h"
#include "transfer/programmer_download.h"
#include "transfer/unit_images.h"
#include "transport/link_control.h"
#include "update/session.h"

namespace {

using namespace kl;

double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// The unit behind the jig becomes the one every request goes to.
void RouteThroughJig(Session& s) {
  const uint8_t jig = s.unit.address;
  ProxySearchResult found;
  if (!OpenKestrelinkProxy(s, jig) || !SearchKestrelinkProxy(s, jig, found))
    FatalError(s, "No unit behind the test jig");
  TurnProxyOn(s);
  s.portSettings.baudRate = found.baudRate;
  SaveConnectionBaudRate(s);
  s.currentUnitId = found.unitId;
  s.packet.proxyAddress = jig;
  s.packet.proxyPort = found.port;
  s.transfer.bufferedProtocol = true;
  Unit product;
  product.mode = found.bootLoader ? modeBalvantaBootLoader : modeBalvantaSoftware;
  product.address = found.unitId;
  if (!ReadUnitInfo(s, product)) FatalError(s, "Unable to connect to Balvanta unit");
  ReadExtendedInfo(s, product);
  ReadAdvancedInfo(s, product);
  s.unit = product;
}

int Run(Session& s, std::vector<std::string> arguments) {
  const bool jig = !arguments.empty() && arguments.back() == "jig";
  if (jig) arguments.pop_back();
  if (!ParseCommandLine(arguments, s.givenOptions())) FatalError(s, "Incorrect arguments");
  FindPortAndUnit(s, s.unit);
  if (!ConnectToUnit(s, s.unit)) FatalError(s, "Unable to connect to Balvanta unit");
  ReadExtendedInfo(s, s.unit);
  ReadAdvancedInfo(s, s.unit);
  if (jig) RouteThroughJig(s);
  Unit& unit = s.unit;
  if (!InitialiseForUpdate(s, unit)) FatalError(s, "Unable to initialise unit for update");
  UnitImages images;
  SelectFlashProgrammer(s, unit, images, false);
  if (!SelectBootLoader(s, unit, images)) FatalError(s, "Cannot find a boot loader");
  SelectSoftware(s, unit, images);

  Clock& clock = s.platform.clock;
  const uint64_t downloadStart = clock.microseconds();
  if (!DownloadProgrammer(s, unit, images.programmer, "programmer"))
    FatalError(s, "Unable to download flash programmer");
  const double downloadSeconds = static_cast<double>(clock.microseconds() - downloadStart) / 1e6;
  const double cpuStart = CpuSeconds();
  if (!WriteMcuFlash(s, unit, images.software)) FatalError(s, "Unable to write new software");
  const double cpu = CpuSeconds() - cpuStart;
  Reset(s, unit);

  const TransferState& t = s.transfer;
  const double writeSeconds = static_cast<double>(t.lastWriteUs) / 1e6;
  const uint32_t baud = s.portSettings.baudRate;
  const double megabytes = t.lastWriteBytes / 1e6;
  s.out.flushConsole();
  std::printf("\nbaud=%u payload_bytes=%u download_s=%.3f erase_s=%.3f write_s=%.3f fraction_of_line_rate=%.3f "
              "cpu_s=%.3f cpu_s_per_MB=%.3f\n",
              baud, t.lastWriteBytes, downloadSeconds, static_cast<double>(t.lastEraseUs) / 1e6, writeSeconds,
              writeSeconds > 0 ? t.lastWriteBytes / writeSeconds / (baud / 11.0) : 0.0, cpu,
              megabytes > 0 ? cpu / megabytes : 0.0);
  std::fflush(stdout);  // the process ends through the platform, past the C library's buffers
  ClosePort(s);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  auto machine = std::make_unique<PosixPlatform>(argv[0]);
  auto session = std::make_unique<Session>(machine->platform());
  const int code = Run(*session, std::vector<std::string>(argv + 1, argv + argc));
  machine->process().exit(code);
}
