// The update in manufacturing mode against simulated units, with the maker's boot-loader tool
// played by the stand-in program (which really runs: this file needs the POSIX machine): an ordinary and a pre-production board get their boot
// loader, software and manufacturing fields; every way the tool or the operator can stop the
// run; a blank chip programmed on the production line; and a boot loader cut off by a power
// failure, which only the tool can bring back.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include "driver/parameter_file.h"
#include "platform/posix/posix_environment.h"
#include "sim/storage/manufacturing_fields.h"
#include "sim/unit/flash_content.h"
#include "protocol/unit_control.h"
#include "transfer/manufacturing_fields.h"
#include "update/update_unit.h"
#include "update_fixture.h"

namespace kl::test {
namespace {

constexpr int32_t kSerial = 480055;  // the ZS3 scenario's
constexpr const char* kOutdated = "version = 6.05\nrelease = 1\nbuild-increment = 0\n";
constexpr const char* kPreProduction = "version = 6.05\nrelease = 1\nboot-flags = 0x82\n";

const catalogue::FlashProgrammerRow& Zs3Programmer() {
  return *catalogue::FindFlashProgrammer(mcu::LPC1768, family::Transmitter, 3, 1024);
}

// Runs with the stand-in tool: it really runs, recording what it saw; for the blank-chip job
// the test then plays its effect on the simulated chip.
class ToolRun : public UpdateRun {
 protected:
  ToolRun() {
    ::setenv("STANDIN_RECORD", dir.file("tool.txt").c_str(), 1);
    ::setenv("STANDIN_PORT_LOCK", (dir.file("locks") + "/lockBalvantaCommPort4").c_str(), 1);
    sim.processes.handler = [this](const std::string& program, const std::vector<std::string>& arguments) {
      const int code = PosixProcesses(nullptr).run(program, arguments);
      if (code == 0 && !arguments.empty() && arguments[0].starts_with("COM") && onBlankChipProgrammed) {
        onBlankChipProgrammed();
      }
      return code;
    };
  }
  ~ToolRun() override {
    for (const char* name : {"STANDIN_RECORD", "STANDIN_PORT_LOCK", "STANDIN_EXIT", "STANDIN_PROGRAMMER"}) {
      ::unsetenv(name);
    }
  }

  std::string toolRecord() { return std::filesystem::exists(dir.file("tool.txt")) ? readFile(dir.file("tool.txt")) : ""; }

  std::function<void()> onBlankChipProgrammed;
};

class ManufacturingUpdate : public ToolRun {
 protected:
  // A station's parameter file with the fields of `serial` and `more` lines.
  std::string stationFile(const std::string& more) {
    return parameterFile("Ostrevan=1\r\n" + StationFieldLines(kSerial) + more);
  }

  // UpdateUnit as the manufacturing update calls it on the connected unit: the exit code when
  // it ended the run, else nothing (and `updated` holds its result).
  std::optional<int> update(const std::string& station, int32_t serial, const std::string& keys = {}) {
    connect();
    s().run.manufacturingMode = true;
    s().givenOptions().parameterFile = station;
    sim.console.pressKeys(keys);
    return exitCodeOf([&] {
      LoadManufacturingFields(s(), s().storage.manufacturingFields);
      updated = UpdateUnit(s(), s().unit, UpdateRequest{.newSerialNumber = serial}) == UpdateOutcome::Updated;
    });
  }

  bool exchangeFilesLeft() { return !std::filesystem::is_empty(dir.file("tmp")); }

  bool updated = false;
};

TEST_F(ManufacturingUpdate, BootLoaderSoftwareAndFieldsOfAnOrdinaryAndAPreProductionBoard) {
  const std::string maker = dir.file("maker");
  std::filesystem::create_directories(maker + "/bin");
  std::filesystem::create_symlink(QUORRAN_STAND_IN, maker + "/bin/Quorran.exe");
  sim.environment.variables["BALVANTAPATH"] = maker;
  ::setenv("STANDIN_PROGRAMMER", BundleFile(catalogue::EntryOf(Zs3Programmer())).c_str(), 1);

  struct Row {
    const char* name;
    const char* extra;
    const char* reason;
  };
  for (const Row& row : {Row{"ordinary", kOutdated, "-- updating boot loader because it is older than the new version"},
                         Row{"pre-production", kPreProduction, "-- loading flash programmer from Quorran"}}) {
    SCOPED_TRACE(row.name);
    load("zs3-lpc1768.scn", row.extra + std::string("manufacturing-fields = erased\n"));
    ASSERT_EQ(update(stationFile(""), kSerial), std::nullopt) << console();
    EXPECT_TRUE(updated);
    EXPECT_TRUE(shows(std::string(row.reason) + "\r\n")) << console();
    EXPECT_TRUE(shows("-- manufacturing fields will be updated\r\n-- balvanta boot loader will be updated\r\n"));
    EXPECT_TRUE(Reset(s(), s().unit));
    advanceMs(3000);
    EXPECT_TRUE(flashHolds(catalogue::EntryOf(*catalogue::FindBootLoader(mcu::LPC1768, family::Transmitter))));
    EXPECT_TRUE(flashHolds(catalogue::EntryOf(*catalogue::FindSoftware(family::Transmitter, mcu::LPC1768))));
    EXPECT_EQ(sim::ManufacturingFields(portUnit().state().flash).current(), sim::makeFields(kSerial));
    EXPECT_EQ(portUnit().state().application.softwareVersion, 610);
    EXPECT_FALSE(exchangeFilesLeft());
  }
  // The tool saw the unit described, its exchange file made private, and the run's options.
  const std::string record = toolRecord();
  EXPECT_NE(record.find("arg: -g" + dir.file("tmp") + "/Kestrleink"), std::string::npos) << record;
  EXPECT_NE(record.find(".tmp;mcu=5,bootversion=3,bootflags=82,unitflags=00,cardnumber=0288,buffersize=1024\n"
                        "arg: -d\narg: -y\n"),
            std::string::npos)
      << record;
  EXPECT_EQ(record.find("error:"), std::string::npos) << record;
}

TEST_F(ManufacturingUpdate, ToolAndOperatorFailuresEndTheRunBeforeAnyProgrammerIsSent) {
  const std::string programmer = BundleFile(catalogue::EntryOf(Zs3Programmer()));
  const std::string truncated = dir.file("truncated.bin");
  {
    std::ifstream in(programmer, std::ios::binary);
    std::string bytes(2000, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    writeFile(truncated, bytes);
  }
  writeFile(dir.file("empty.bin"), "");
  const std::string tool = std::string("QuorranEXE=") + QUORRAN_STAND_IN + "\r\n";
  struct Row {
    const char* name;
    std::string station;
    const char* exitCode;
    std::string programmerFile;
    int32_t serial;
    int expectedExit;
    std::string shown;
    std::string message;  // what the station reads afterwards (its start); never an earlier run's
  };
  const std::string invalid = "The flash programmer from Quorran is not a valid image";
  const std::string question = "The unit already has serial number 480055, are you sure it should be replaced? (y/n)";
  const Row rows[] = {
      {"no tool at the default place", "", "0", programmer, kSerial, 2,
       "Fatal Error: Cannot find Quorran in " + dir.file("nowhere") + "/bin\r\n",
       "Cannot find Quorran in " + dir.file("nowhere") + "/bin"},
      {"a tool that cannot be started", "QuorranEXE=" + dir.file("absent") + "\r\n", "0", programmer, kSerial, 2,
       "Fatal Error: FAILURE - cannot run Quorran: " + dir.file("absent") + "\r\n",
       "FAILURE - cannot run Quorran: " + dir.file("absent")},
      {"a failing tool", tool, "3", programmer, kSerial, 3, "Quorran returned an error: 3\r\n",
       "Quorran returned an error: 3"},
      {"an empty exchange file", tool, "0", dir.file("empty.bin"), kSerial, 2, "Fatal Error: " + invalid, invalid},
      {"a corrupt exchange file", tool, "0", truncated, kSerial, 2, "Fatal Error: " + invalid, invalid},
      {"another serial number, declined", tool + "\x01n", "0", programmer, kSerial + 1, 1, question,
       "Serial number 480055 not replaced: answered no"},
      {"another serial number, no answer", tool, "0", programmer, kSerial + 1, 1, question,
       "Serial number 480055 not replaced: no answer (the input ended)"},
  };
  sim.environment.variables["BALVANTAPATH"] = dir.file("nowhere");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ::setenv("STANDIN_EXIT", row.exitCode, 1);
    ::setenv("STANDIN_PROGRAMMER", row.programmerFile.c_str(), 1);
    load("zs3-lpc1768.scn", kPreProduction);
    const Bytes before = flashContents();
    // The keys the operator presses follow a \x01 in the row's station lines.
    const size_t keys = row.station.find('\x01');
    const std::string lines = row.station.substr(0, keys) + "Message=an earlier run's message\r\n";
    const std::string station = stationFile(lines);
    EXPECT_EQ(update(station, row.serial, keys == std::string::npos ? "" : row.station.substr(keys + 1)),
              row.expectedExit);
    EXPECT_TRUE(shows(row.shown)) << console();
    const std::string message = IniGetString(s(), station, "Message").str();
    EXPECT_TRUE(message.starts_with(row.message)) << message;
    EXPECT_FALSE(shows("Downloading programmer"));
    EXPECT_EQ(flashContents(), before);
    EXPECT_FALSE(exchangeFilesLeft());
  }
}

// A bare LPC1768 on a ZS3 board: only the chip's own boot protocol answers until the tool
// has put a boot loader in.
constexpr const char* kBlankZs3 = R"([unit chip]
state = blank
card = 648
circuit = 5
mcu = LPC1768
serial = 480099
application-present = no
)";

class ProductionLine : public ToolRun {
 protected:
  ProductionLine() {
    // What the tool does to the chip: its boot loader in flash, then the chip restarted.
    onBlankChipProgrammed = [this] {
      const size_t entry = catalogue::EntryOf(*catalogue::FindBootLoader(mcu::LPC1768, family::Transmitter));
      ASSERT_TRUE(sim::placeImage(portUnit().state(), *sim::parseRecordImage(BundleImage(entry).bytes())));
      portUnit().powerOff();
      portUnit().powerOn();
    };
  }
  std::string station() { return parameterFile(std::string("Ostrevan=1\r\nQuorranEXE=") + QUORRAN_STAND_IN + "\r\n"); }
};

TEST_F(ProductionLine, ABlankChipIsProgrammedWithTheToolAndFoundAgain) {
  loadScenario(kBlankZs3, false);
  EXPECT_EQ(run({station()}), 0) << console();
  EXPECT_TRUE(shows("-- LPC chip firmware found\r\n"));
  EXPECT_TRUE(shows("   Boot loader     : v4 r24\r\n")) << console();
  EXPECT_TRUE(shows("-- nothing to do\r\n"));
  EXPECT_NE(runLog().find("-- programming blank chip with Quorran\r\n"), std::string::npos);
  // The port was free for the tool, which got the port and the job's options.
  const std::string record = toolRecord();
  EXPECT_TRUE(record.starts_with("arg: COM4\narg: -l\narg: -s\narg: -y\nterminal: ")) << record;
  EXPECT_TRUE(record.ends_with("port-lock: absent\n")) << record;
}

TEST_F(ProductionLine, ABootLoaderCutOffByAPowerFailureIsBroughtBackByTheTool) {
  load("zs3-lpc1768.scn", std::string(kOutdated) + "fault-power-cut-at-flash-byte = 3000\n");
  EXPECT_EQ(run({"-y", "-l", "-r921600"}), 1);
  EXPECT_TRUE(shows("Preparing to update Boot Loader...\r\n"));
  EXPECT_TRUE(shows("Fatal Error: Unable to write new software\r\n"));
  // Half a boot loader: the chip starts only its own boot protocol, which the field refuses.
  // (The run's last retries may have reached that protocol: the technician switches the unit
  // off and on first.)
  EXPECT_EQ(portUnit().mode(), sim::UnitMode::BlankChip);
  portUnit().powerCycle();
  advanceMs(2000);
  EXPECT_EQ(run({"-y"}), 1);
  EXPECT_TRUE(shows("Fatal Error: Cannot update this unit (blank mcu)\r\n")) << console();

  // Taken to the production station: switched on there, and the tool puts a boot loader in.
  portUnit().powerCycle();
  advanceMs(2000);
  EXPECT_EQ(run({station()}), 0) << console();
  EXPECT_EQ(run({"-y", "-r921600"}), 0) << console();
  EXPECT_TRUE(shows("Success: all operations are complete\r\n"));
  EXPECT_EQ(portUnit().state().application.softwareVersion, 610);
}

}  // namespace
}  // namespace kl::test
