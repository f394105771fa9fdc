// MCU flash programming of the largest software image (software-03, 988386 bytes, a ZA4
// display with an LPC4337) against the simulated unit, in virtual time: plain packets,
// windowed (overlapped) packets, and buffered blocks through the ZK7 test jig, at 115200,
// 460800 and 921600 baud. The counter fraction_of_line_rate is the payload per second of the
// write phase (first flash packet to last acknowledgement) over what the line carries,
// baud / 11 bytes a second; windowed framing allows 128/141 = 0.908. The erase and the
// programmer download are counted on their own. The simulated programmer needs 1 ms to write
// a packet into flash and 20 ms to erase a sector (the simulator's defaults, set in the
// scenario and named in the label).
// The reported time is the virtual time of the write phase.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "connect/connection.h"
#include "images/catalogue.h"
#include "protocol/identification.h"
#include "protocol/proxy_calls.h"
#include "site/simulated_site.h"
#include "transfer/flash_writer.h"
#include "transfer/image_selection.h"
#include "transfer/programmer_download.h"
#include "transfer/unit_images.h"
#include "transport/link_control.h"
#include "transport/serial_port.h"
#include "update/session.h"

namespace {

using namespace kl;

constexpr int kPort = 1;
constexpr double kBitsPerByte = 11;

enum Mode { Plain, Windowed, Buffered };

// The ZA4 display, its application at 115200; a jig in front of it listens at `baud`, so that
// the whole way to the programmer runs at the speed measured.
std::string Scenario(Mode mode, uint32_t baud) {
  const std::string display =
      "[unit za4]\ncard = 653\ncircuit = 1\nversion = 6.10\nrelease = 40\nserial = 530420\nmodbus-address = 4\n"
      "boot-loader = C4\nboot-release = 25\nbuffer-size = 4096\nboot-baud = 115200\nbaud = 115200\n"
      "flash-write-ms = 1\nflash-erase-ms = 20\n";
  if (mode != Buffered) return display;
  return "[unit jig]\ncard = 652\ncircuit = 1\nversion = 6.10\nrelease = 40\nserial = 652001\nmodbus-address = 50\n"
         "boot-loader = C4\nboot-release = 24\nbaud = " +
         std::to_string(baud) + "\nproxy-unit = za4\nproxy-port = 2\nrelay-timeout-ms = 1000\n" + display;
}

class FlashRun {
 public:
  FlashRun(Mode mode, uint32_t baud) : mode_(mode) {
    Session& s = site.newSession();
    site.load(sim::parseScenario(Scenario(mode, baud), "bench.scn"));
    s.givenOptions().yesToPrompts = true;
    s.portSettings.portNumber = kPort;
    s.portSettings.baudRate = mode == Buffered ? baud : 115200;
    s.portSettings.programmingBaud = baud;
  }

  // Connects, starts the programmer and writes the software image; the error, or empty.
  std::string run() {
    Session& s = site.s();
    Unit& unit = s.unit;
    if (!OpenPort(s)) return "port did not open";
    s.currentUnitId = unit.address = 0xF0;
    SaveConnectionBaudRate(s);
    if (!ConnectToUnit(s, unit)) return "no unit";
    if (mode_ == Windowed) s.overlappedActive = GetCommCTS(s, s.port);
    if (mode_ == Buffered && !routeThroughJig()) return "no unit behind the jig";
    if (!InitialiseForUpdate(s, unit)) return "no boot loader";
    UnitImages images;
    SelectFlashProgrammer(s, unit, images, false);
    const uint64_t start = site.platform.world.nowUs();
    if (!DownloadProgrammer(s, unit, images.programmer, "programmer")) return "download failed";
    downloadSeconds = static_cast<double>(site.platform.world.nowUs() - start) / 1e6;
    SelectBootLoader(s, unit, images);
    SelectSoftware(s, unit, images);
    if (images.software != ImageOf(catalogue::kSoftwareImages[2])) return "not the largest software image";
    if (!WriteMcuFlash(s, unit, images.software)) return "flash write failed";
    return {};
  }

  double downloadSeconds = 0;

 private:
  bool routeThroughJig() {
    Session& s = site.s();
    const uint8_t jig = s.unit.address;
    ProxySearchResult found;
    if (!OpenKestrelinkProxy(s, jig) || !SearchKestrelinkProxy(s, jig, found)) return false;
    TurnProxyOn(s);
    s.portSettings.baudRate = found.baudRate;
    SaveConnectionBaudRate(s);
    s.currentUnitId = found.unitId;
    s.packet.proxyAddress = jig;
    s.packet.proxyPort = found.port;
    s.transfer.bufferedProtocol = true;
    Unit product;
    product.mode = modeBalvantaSoftware;
    product.address = found.unitId;
    if (!ReadUnitInfo(s, product)) return false;
    s.unit = product;
    return true;
  }

  Mode mode_;

 public:
  SimulatedSite site{(std::filesystem::temp_directory_path() / "kestrelink-bench").string(), 1, kPort};
};

void FlashProgramming(benchmark::State& state, Mode mode) {
  const auto baud = static_cast<uint32_t>(state.range(0));
  double fraction = 0;
  double eraseSeconds = 0;
  double downloadSeconds = 0;
  for (auto _ : state) {
    FlashRun run(mode, baud);
    const std::string error = run.run();
    if (!error.empty()) {
      state.SkipWithError(error.c_str());
      return;
    }
    const TransferState& t = run.site.s().transfer;
    const double writeSeconds = static_cast<double>(t.lastWriteUs) / 1e6;
    state.SetIterationTime(writeSeconds);
    fraction = t.lastWriteBytes / writeSeconds / (baud / kBitsPerByte);
    eraseSeconds = static_cast<double>(t.lastEraseUs) / 1e6;
    downloadSeconds = run.downloadSeconds;
  }
  state.counters["fraction_of_line_rate"] = fraction;
  state.counters["erase_s"] = eraseSeconds;
  state.counters["download_s"] = downloadSeconds;
  state.SetLabel("programmer: 1 ms a packet, 20 ms a sector");
}

void Register(const char* name, Mode mode) {
  benchmark::RegisterBenchmark(name, FlashProgramming, mode)
      ->Arg(115200)
      ->Arg(460800)
      ->Arg(921600)
      ->Iterations(1)
      ->UseManualTime()
      ->Unit(benchmark::kSecond);
}

const bool kRegistered = [] {
  Register("FlashProgramming/Plain", Plain);
  Register("FlashProgramming/Windowed", Windowed);
  Register("FlashProgramming/Buffered", Buffered);
  return true;
}();

}  // namespace
