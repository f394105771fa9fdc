// The whole field update of one unit of each card and MCU, in virtual time, as FieldUpdateUnit
// runs it after the driver connected (with -o at 921600 baud): into the boot loader, the
// programmer downloaded, the software written, every file of the card written, the restart
// and the reconnection. The unit runs 6.05 with none of the card's files, so everything moves.
// Its boot loader listens at 9600 baud, the first speed the reboot tries; one at 115200 adds
// the reboot table's first, unanswered row (about 1.5 s) on top.
// The reported time is the virtual time of the update. Next to it:
//   line_s   the payload that must cross the line (programmer, software, files) at 11 bits a
//            byte at the programming speed;
//   waits_s  the waits the sequence itself mandates: the restart pause (1 s), the pause after
//            starting the programmer (0.1 s) and the flash erase as the simulator models it
//            (20 ms a sector; the reboot into the boot loader is immediate there);
//   ratio    update time / (line_s + waits_s); goal: at most 1.10.
//   wire_s   how long the line towards the unit carried bytes during the update: the payload
//            with the framing the protocol gives it (packet headers, addresses, CRCs,
//            sequence words), the requests of every call and the bytes at the boot loader's
//            speed; replies and the turnaround a window of one packet waits for are not in it;
//   ratio_wire  update time / (wire_s + waits_s): what the program adds beyond the bytes it
//            must send and the waits it must keep (the ratio's floor is wire_s / line_s).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "connect/connection.h"
#include "connect/discovery.h"
#include "images/catalogue.h"
#include "images/image_format.h"
#include "protocol/identification.h"
#include "site/simulated_site.h"
#include "transfer/image_selection.h"
#include "transfer/unit_images.h"
#include "transport/link_control.h"
#include "transport/serial_port.h"
#include "update/card_files.h"
#include "update/field_update.h"
#include "update/session.h"

namespace {

using namespace kl;

constexpr int kPort = 1;
constexpr uint32_t kBaud = 921600;
constexpr double kBitsPerByte = 11;
constexpr double kRestartPauseS = 1.0;
constexpr double kProgrammerStartS = 0.1;

struct Card {
  const char* name;
  const char* scenario;  // of sim/scenarios/
};

// The scenario's unit without its drive files ("file" lines and their continuations).
std::string ScenarioWithoutFiles(const std::string& name) {
  std::ifstream in(std::string(KESTRELINK_SOURCE_DIR) + "/sim/scenarios/" + name);
  std::string text;
  bool continued = false;
  for (std::string line; std::getline(in, line);) {
    const bool dropped = continued || line.starts_with("file ");
    continued = dropped && line.ends_with("\\");
    if (!dropped) text += line + "\n";
  }
  return text;
}

// Data bytes of a carried image (its records, not the record headers).
uint32_t DataBytes(const ImageRef& image) { return image.empty() ? 0 : ReadBigEndian32(image.start + 4); }

// Bytes of the card's files, the resource file of card 653 included.
uint64_t FileBytes(uint16_t card, uint8_t mcuType) {
  const auto files = catalogue::FilesForCard(card, mcuType);
  if (!files) return 0;
  uint64_t total = 0;
  for (const auto group : {files->language, files->image, files->fonts, files->fieldbus}) {
    for (const auto& row : group) total += ImageOf(row).length;
  }
  if (!files->resourceInputs.empty()) {
    total += BuildResourceFile(files->resourceInputs, kResourceFileCapacity, [](const auto&) {})->size();
  }
  return total;
}

class UpdateRun {
 public:
  explicit UpdateRun(const Card& card) {
    Session& s = site.newSession();
    const std::string outdated = "version = 6.05\nrelease = 1\nbuild-increment = 0\nboot-baud = 9600\n";
    site.load(sim::parseScenario(ScenarioWithoutFiles(card.scenario) + outdated, card.scenario));
    s.givenOptions().yesToPrompts = true;
    s.givenOptions().overlappedWrites = true;
    s.givenOptions().programmingBaud = kBaud;
    s.givenOptions().port = kPort;
    s.portSettings.portNumber = kPort;
    s.portSettings.baudRate = site.portUnit().settings().applicationFormat.baud;
    s.portSettings.programmingBaud = kBaud;
  }

  // Connected as the driver leaves it, then the update; the error, or empty.
  std::string run() {
    Session& s = site.s();
    Unit& unit = s.unit;
    if (!OpenPort(s)) return "port did not open";
    s.currentUnitId = unit.address = 0xF0;
    unit.mode = modeBalvantaSoftware;
    SaveConnectionBaudRate(s);
    if (!ConnectToUnit(s, unit)) return "no unit";
    s.overlappedActive = ProbeCts(s);
    ReadExtendedInfo(s, unit);
    ReadAdvancedInfo(s, unit);
    const uint64_t start = site.platform.world.nowUs();
    const uint64_t busyBefore = site.line.busyTowardsDeviceUs();
    try {
      FieldUpdateUnit(s, unit, false, false);
    } catch (const ProcessExit&) {
      return "the update ended the run";
    }
    updateSeconds = static_cast<double>(site.platform.world.nowUs() - start) / 1e6;
    wireSeconds = static_cast<double>(site.line.busyTowardsDeviceUs() - busyBefore) / 1e6;
    if (unit.softwareVersion != 610 || unit.softwareRelease != 57) return "the unit did not come back with 6.10r57";
    // The images the update chose for the unit, chosen again from what it reports now.
    UnitImages images;
    SelectFlashProgrammer(s, unit, images, false);
    SelectSoftware(s, unit, images);
    payloadBytes = DataBytes(images.programmer) + DataBytes(images.software) + FileBytes(unit.cardNumber, unit.mcuType);
    eraseSeconds = static_cast<double>(s.transfer.lastEraseUs) / 1e6;
    return {};
  }

  double updateSeconds = 0;
  double wireSeconds = 0;
  double eraseSeconds = 0;
  uint64_t payloadBytes = 0;

  SimulatedSite site{(std::filesystem::temp_directory_path() / "kestrelink-bench").string(), 1, kPort};
};

void FieldUpdate(benchmark::State& state, Card card) {
  double line = 0;
  double waits = 0;
  double update = 0;
  double wire = 0;
  for (auto _ : state) {
    UpdateRun run(card);
    const std::string error = run.run();
    if (!error.empty()) {
      state.SkipWithError(error.c_str());
      return;
    }
    update = run.updateSeconds;
    wire = run.wireSeconds;
    state.SetIterationTime(update);
    line = static_cast<double>(run.payloadBytes) * kBitsPerByte / kBaud;
    waits = kRestartPauseS + kProgrammerStartS + run.eraseSeconds;
  }
  state.counters["line_s"] = line;
  state.counters["waits_s"] = waits;
  state.counters["ratio"] = update / (line + waits);
  state.counters["wire_s"] = wire;
  state.counters["ratio_wire"] = update / (wire + waits);
  state.SetLabel("-o at 921600");
}

const bool kRegistered = [] {
  for (const Card& card : {Card{"ZA3-LPC2478", "za3-lpc2478.scn"}, Card{"ZA3-LPC4357", "za3-lpc4357.scn"},
                           Card{"ZA4", "za4.scn"}, Card{"ZC3", "zc3.scn"}, Card{"ZS3-LPC1768", "zs3-lpc1768.scn"},
                           Card{"ZS3-LPC4078", "zs3-lpc4078.scn"}, Card{"ZS4", "zs4.scn"}}) {
    benchmark::RegisterBenchmark((std::string("FieldUpdate/") + card.name).c_str(), FieldUpdate, card)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kSecond);
  }
  return true;
}();

}  // namespace
