// The field update as a technician runs it, against simulated units under virtual time: every
// card and MCU brought to the carried release (and left alone by a second run), the options
// and special units, the refusals that write nothing, and power cuts in every phase after
// which a second run finishes the job.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "images/catalogue.h"
#include "update/update_unit.h"
#include "update_fixture.h"

namespace kl::test {
namespace {

constexpr const char* kOutdated = "version = 6.05\nrelease = 1\nbuild-increment = 0\n";

class FieldUpdate : public UpdateRun {
 protected:
  // The application the unit reports is the carried one, by version and digest, and it is in
  // flash byte for byte.
  void expectCarriedSoftware() {
    const sim::ApplicationIdentity& app = portUnit().state().application;
    EXPECT_EQ(app.softwareVersion, 610);
    EXPECT_EQ(app.softwareRelease, 57);
    const catalogue::SoftwareRow* row = catalogue::FindSoftware(portUnit().family(), app.mcuType);
    ASSERT_NE(row, nullptr);
    const ExpectedSoftwareDigest digest = ExpectedDigest(*row);
    EXPECT_EQ(app.softwareChecksum, digest.checksum);
    if (digest.hasCrc) {
      EXPECT_EQ(app.softwareCrc, digest.crc);
    }
    EXPECT_TRUE(flashHolds(catalogue::EntryOf(*row)));
  }

  // Every file of the card on the unit's drives as carried.
  void expectCardFiles() {
    const sim::ApplicationIdentity& app = portUnit().state().application;
    const auto files = catalogue::FilesForCard(app.cardNumber, app.mcuType);
    if (!files) return;
    const sim::FlashDrives& drives = portUnit().state().drives;
    for (const auto group : {files->language, files->image, files->fonts, files->fieldbus}) {
      for (const catalogue::DriveFileRow& row : group) {
        const sim::DriveFile* file = drives.find(1, row.fileNumber);
        ASSERT_NE(file, nullptr) << "file " << row.fileNumber;
        const ImageRef carried = ImageOf(row);
        EXPECT_EQ(file->bytes, Bytes(carried.start, carried.start + carried.length)) << "file " << row.fileNumber;
      }
    }
    // The resource file is built by the simulator on its own: the program's must equal it.
    EXPECT_TRUE(files->resourceInputs.empty() ||
                runLog().find("-- Balvanta file B1:0000 is up to date") != std::string::npos);
  }
};

class EveryCardAndMcu : public FieldUpdate, public ::testing::WithParamInterface<const char*> {};

TEST_P(EveryCardAndMcu, IsBroughtToTheCarriedReleaseAndThenLeftAlone) {
  load(GetParam(), kOutdated);
  ASSERT_EQ(run({"-y", "-r921600"}), 0) << console();
  EXPECT_TRUE(shows("-- balvanta software will be updated to 6.10r57\r\n"));
  EXPECT_TRUE(shows("Success: all operations are complete\r\n"));
  expectCarriedSoftware();
  expectCardFiles();

  const Bytes before = flashContents();
  ASSERT_EQ(run({"-y", "-r921600"}), 0) << console();
  EXPECT_TRUE(shows("-- balvanta software is already the correct version\r\n"));
  EXPECT_FALSE(shows("Updating Balvanta")) << "no software and no file written again";
  EXPECT_TRUE(shows("Success: all operations are complete\r\n"));
  EXPECT_EQ(flashContents(), before);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, EveryCardAndMcu,
                         ::testing::Values("za3-lpc2478.scn", "za3-lpc4357.scn", "za4.scn", "zc3.scn", "zs3-lpc1768.scn",
                                           "zs3-lpc4078.scn", "zs4.scn"),
                         [](const auto& info) {
                           std::string name = info.param;
                           name = name.substr(0, name.find('.'));
                           std::erase(name, '-');
                           return name;
                         });

TEST_F(FieldUpdate, OptionsAndSpecialUnits) {
  struct Row {
    const char* name;
    const char* scenario;
    std::string extra;
    std::vector<std::string> arguments;
    std::vector<std::string> lines;
    size_t bootLoaderEntry;  // 0: the boot loader stays
    bool writes = true;
    std::vector<std::string> absent = {};  // lines that must not be shown
  };
  const size_t zc3BootLoader = catalogue::EntryOf(*catalogue::FindBootLoader(mcu::LPC1768, family::RemoteIo));
  const size_t za3BootLoader = catalogue::EntryOf(*catalogue::FindBootLoader(mcu::LPC2478, family::Display));
  const Row rows[] = {
      {"-w on a unit at the carried release", "zs4-current.scn", "", {"-y", "-d", "-w"},
       {"-- updating balvanta software because -w command line option specified",
        "Updating Balvanta file 01:01E0 29239 bytes", "Updating Balvanta file 01:01EA 599 bytes"},
       0},
      {"-l", "zc3.scn", kOutdated, {"-y", "-d", "-l"},
       {"-- updating boot loader because -u command line option specified and it is older than the new version",
        "-- balvanta boot loader will be updated", "Preparing to update Boot Loader..."},
       zc3BootLoader},
      {"-v", "zc3.scn", kOutdated, {"-y", "-v"}, {"Verifying programmer..."}, 0},
      {"-o", "zc3.scn", kOutdated, {"-y", "-o", "-r921600"}, {"-- using overlapped (duplex) comms"}, 0},
      {"-l with a current boot loader", "zc3.scn", std::string(kOutdated) + "boot-release = 24\n", {"-y", "-d", "-l"},
       {"-- balvanta software will be updated to 6.10r57"}, 0, true, {"-- balvanta boot loader will be updated"}},
      {"a unit at the carried release", "zs4-current.scn", "", {"-y", "-d"},
       {"-- balvanta software is already the correct version", "-- Balvanta file 01:01E0 is up to date"}, 0, false},
      // A boot loader from release 4 on reports the software's checksum, which is the carried one.
      {"a unit at the carried release, boot loader release 4", "zs4-current.scn",
       "boot-image = declared\nboot-release = 4\n", {"-y", "-d"},
       {"-- balvanta software is already the correct version"}, 0, false,
       {"-- updating balvanta software because the checksum is not available (old boot loader)"}},
      {"a ZA3 display with boot loader release 18", "za3-lpc2478.scn", std::string(kOutdated) + "boot-release = 18\n",
       {"-y", "-d"}, {"-- balvanta software will be updated to 6.10r57"}, 0, true, {"needs to be updated immediately"}},
      {"an old ZA3 display", "za3-lpc2478.scn", "version = 5.50\nrelease = 0\n", {"-y", "-d"},
       {"This ZA3 display unit needs to be updated immediately. It will be restarted",
        "IMPORTANT: do not turn off the power during the update.",
        "-- updating boot loader (UpdateBootLoader parameter is true)", "Erasing files from old software version..."},
       za3BootLoader},
      {"a ZA3 display at 6.00", "za3-lpc2478.scn", "version = 6.00\nrelease = 0\nbuild-increment = 0\n", {"-y", "-d"},
       {"-- balvanta software will be updated to 6.10r57"}, 0, true, {"Erasing files from old software version"}},
      // On a port of its own a ZA4 takes its resource file onto its resource drive at once.
      {"a ZA4 with an outdated resource file", "za4.scn", "vcom = no\nbuild-increment = 0\nfile 0xB1:0 = resource 0x0100=file-653-0100.bin\n",
       {"-y", "-d"}, {"-- balvanta software will be updated to 6.10r57"}, 0, true, {"Updating Balvanta file 01:0104"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    load(row.scenario, row.extra);
    ASSERT_EQ(run(row.arguments), 0) << console();
    for (const std::string& line : row.lines) EXPECT_TRUE(shows(line + "\r\n")) << line;
    for (const std::string& line : row.absent) EXPECT_FALSE(shows(line)) << line;
    EXPECT_EQ(shows("Updating Balvanta"), row.writes);
    EXPECT_TRUE(shows("Success: all operations are complete\r\n"));
    expectCarriedSoftware();
    if (row.bootLoaderEntry != 0) {
      EXPECT_TRUE(flashHolds(row.bootLoaderEntry));
      EXPECT_EQ(portUnit().state().bootLoader.release, catalogue::kCarriedBootLoaderRelease);
    }
  }
}

TEST_F(FieldUpdate, RefusalsWriteNothing) {
  struct Row {
    const char* name;
    const char* scenario;
    const char* extra;
    std::vector<std::string> arguments;
    const char* keys;
    int exitCode;
    std::vector<std::string> shown;
    const char* notShown = "Success";
  };
  const std::string refused = "The software cannot be downgraded to 6.10r57\r\n";
  const Row rows[] = {
      {"the operator declines", "zc3.scn", kOutdated, {}, "n", 1, {"Do you wish to upgrade this Balvanta unit? (y/n)"}},
      {"a later build of this release", "zc3.scn", "version = 6.10\nrelease = 57\nbuild-increment = 2\n", {"-y"}, "", 0,
       {refused, "Complete: some units could not be updated"}},
      {"a later build of 6.00", "zc3.scn", "version = 6.00\nrelease = 57\nbuild-increment = 2\n", {"-y"}, "", 0,
       {refused, "Complete: some units could not be updated"}},
      {"an old ZA3 display with a later build", "za3-lpc2478.scn",
       "version = 6.10\nrelease = 57\nbuild-increment = 2\nboot-release = 16\n", {"-y"}, "", 0,
       {"This ZA3 display unit needs to be updated immediately.", refused,
        "Complete: some units could not be updated"}},
      {"an H8 unit, before any question", "zr20-h8s2145.scn", "", {}, "", 1,
       {"Fatal Error: This version of Kestrelink is unable to update the software in old H8 units. Please use the "
        "older Kestrelink\r\n"},
       "Do you wish"},
      {"a vcom port and a boot loader before update files", "zs3-lpc1768.scn", "version = 6.08\nvcom = yes\n", {"-y"},
       "", 1, {"Fatal Error: The unit does not support Update files, which are required on a vcom port\r\n"}},
      {"a pre-production board in the field", "zs3-lpc1768.scn", "boot-flags = 0x82\n", {"-y"}, "", 1,
       {"Fatal Error: Cannot update this unit (pre-production board)\r\n"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    load(row.scenario, row.extra);
    const Bytes before = flashContents();
    EXPECT_EQ(run(row.arguments, row.keys), row.exitCode) << console();
    EXPECT_TRUE(InOrder(console(), row.shown)) << console();
    EXPECT_FALSE(shows(row.notShown));
    // A refused unit is asked once: the guard decides on entry, and says so once.
    EXPECT_EQ(console().find(refused), console().rfind(refused));
    if (shows(refused)) {
      EXPECT_EQ(runLog().find("RPC: Reset"), std::string::npos) << "nor restarted";
    }
    EXPECT_EQ(flashContents(), before);
    EXPECT_EQ(portUnit().mode(), sim::UnitMode::Application) << "back in its application";
  }
}

TEST_F(FieldUpdate, AUnitOfNoKnownFamilyIsNamedByTheOperator) {
  const std::string prompt = "Please enter balvanta unit type (1=Display, 2=Transmitter, 3=DisplayM01): ";
  s().givenOptions().yesToPrompts = false;
  sim.console.pressKeys("4\r2\r");
  AskUnitType(s(), s().unit);
  EXPECT_EQ(s().unit.unitFamily, family::Transmitter);
  EXPECT_TRUE(shows(prompt + "4\r\n" + prompt + "2\r\n")) << console();
  // An operator who gives no answer at all ends the run instead of being asked for ever.
  s().unit.unitFamily = 0;
  EXPECT_EQ(exitCodeOf([&] { AskUnitType(s(), s().unit); }), 1);
  EXPECT_TRUE(shows(prompt + "\r\nFatal Error: No balvanta unit type entered\r\n")) << console();
}

TEST_F(FieldUpdate, OnAVirtualPortTheUpdateGoesAsUpdateFilesThatTheUnitAppliesAtItsRestart) {
  load("zs3-lpc1768.scn", "version = 6.08\nbuild-increment = 0\nboot-release = 16\nunit-flags = 0x01\nvcom = yes\n");
  ASSERT_EQ(run({"-y"}), 0) << console();
  EXPECT_TRUE(shows("-- vcom port detected, using update files\r\n"));
  EXPECT_TRUE(InOrder(console(), {"Sending software update to unit...\r\n", "Updating Balvanta file 19714 bytes\r\n",
                                  "Sending flash programmer to unit...\r\n", "restarting unit...\r\n",
                                  "Success: all operations are complete"}));
  EXPECT_FALSE(shows("Downloading programmer")) << "nothing goes through the boot loader";
  expectCarriedSoftware();
  expectCardFiles();
  for (const auto& [drive, file] : {std::pair<uint8_t, uint16_t>{1, 0x0103}, {0xC1, 0}}) {
    EXPECT_EQ(portUnit().state().drives.find(drive, file), nullptr) << "applied and removed";
  }
}

TEST_F(FieldUpdate, APowerCutInAnyPhaseEndsTheRunAndASecondRunFinishes) {
  struct Row {
    const char* phase;
    const char* fault;
    const char* fatal;
  };
  // ZS3 on an LPC1768: the programmer's bytes go to the backup read, the software (about 482 KB
  // with the packets' framing), then the files that differ (01E1 first).
  const Row rows[] = {
      {"programmer download", "fault-power-cut-at-download-byte = 3000\n", "Unable to download flash programmer"},
      {"fields backup", "fault-power-cut-at-flash-byte = 40\n", "Unable to read from MCU flash memory"},
      {"software write", "fault-power-cut-at-flash-byte = 200000\n", "Unable to write new software"},
      {"files", "fault-power-cut-at-flash-byte = 495000\n", "Unable to send language file"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.phase);
    load("zs3-lpc1768.scn", std::string(kOutdated) + row.fault);
    EXPECT_NE(run({"-y", "-r921600"}), 0);
    EXPECT_TRUE(shows(std::string("Fatal Error: ") + row.fatal + "\r\n")) << console();
    EXPECT_FALSE(shows("Success"));
    const sim::UnitMode mode = portUnit().mode();
    EXPECT_TRUE(mode == sim::UnitMode::BootLoader || mode == sim::UnitMode::Application) << sim::unitModeName(mode);

    ASSERT_EQ(run({"-y", "-r921600"}), 0) << console();
    EXPECT_TRUE(shows("Success: all operations are complete\r\n"));
    expectCarriedSoftware();
    expectCardFiles();
  }
}

// What the unit runs after the restart must be the carried release by checksum and by version:
// a packet damaged on the line yet passing its CRC leaves a wrong byte in flash, and a unit
// can report another release. The next run writes the software again.
TEST_F(FieldUpdate, SoftwareThatDiffersAfterTheRestartIsNoSuccess) {
  struct Row {
    const char* name;
    const char* fault;
    bool otherRelease;  // the restarted unit reports 6.10r56
  };
  for (const Row& row : {Row{"a damaged byte in flash", "fault-flash-damaged-at = 0x10000\n", false},
                         Row{"another release", "", true}}) {
    SCOPED_TRACE(row.name);
    load("zs3-lpc1768.scn", std::string(kOutdated) + row.fault);
    sim.console.onOutput = [&](std::string_view text) {
      if (row.otherRelease && text.find("Reconnecting to unit") != std::string_view::npos) {
        portUnit().state().application.softwareRelease = 56;
      }
    };
    EXPECT_EQ(run({"-y", "-r921600"}), 1);
    EXPECT_TRUE(shows("Fatal Error: The software in the unit does not match the new software\r\n")) << console();
    EXPECT_FALSE(shows("Success"));
    sim.console.onOutput = nullptr;
    ASSERT_EQ(run({"-y", "-r921600"}), 0) << console();
    expectCarriedSoftware();
  }
}

// A current ZA3 whose boot-loader release could not be read once is not taken for one with an
// old boot loader: nothing forces its boot loader to be written.
TEST_F(FieldUpdate, AZa3WhoseBootLoaderReleaseWasNotReadKeepsItsBootLoader) {
  load("za3-lpc2478.scn", kOutdated);
  int advanced = 0;
  // Only the first ReadAdvancedInfo goes unanswered: once it has failed, the unit answers again.
  sim.console.onOutput = [&](std::string_view text) {
    sim::UnitFaults faults;
    if (text == "ReadAdvancedInfo" && ++advanced == 1) {
      faults.loseReplyPercent = 100;
    } else if (text.find("FAILED") == std::string_view::npos) {
      return;
    }
    portUnit().setFaults(faults);
  };
  ASSERT_EQ(run({"-y", "-d"}), 0) << console();
  ASSERT_GE(advanced, 1);
  EXPECT_FALSE(shows("This ZA3 display unit needs to be updated immediately"));
  EXPECT_FALSE(shows("-- balvanta boot loader will be updated"));
  EXPECT_EQ(portUnit().state().bootLoader.release, 18);
  EXPECT_TRUE(shows("Success: all operations are complete\r\n"));
  expectCarriedSoftware();
}

// A unit that does not answer the check after a file write has shown no fault in it: the write
// stands, said to be unverified.
TEST_F(FieldUpdate, AFileWriteTheUnitDoesNotReportOnIsNotVerifiedButStands) {
  load("zs4-current.scn");
  bool written = false;
  sim.console.onOutput = [&](std::string_view text) {
    written = written || text.find("Updating Balvanta file") != std::string_view::npos;
    if (written && text.starts_with("GetFileAttributes FileNo=")) {
      sim::UnitFaults silent;
      silent.loseReplyPercent = 100;
      portUnit().setFaults(silent);
    } else if (text.find("written but not verified") != std::string_view::npos) {
      portUnit().setFaults({});
    }
  };
  ASSERT_EQ(run({"-y", "-d", "-w"}), 0) << console();
  EXPECT_TRUE(shows("-- Balvanta file 01:01E0 written but not verified: the unit did not report its checksums\r\n"))
      << console();
  EXPECT_TRUE(shows("Success: all operations are complete\r\n"));
  expectCarriedSoftware();
}

// A unit that stops answering right after it was found again has not shown its new checksum.
TEST_F(FieldUpdate, AUnitThatVanishesBeforeItsChecksumIsReadIsNoSuccess) {
  load("zs3-lpc1768.scn", kOutdated);
  bool reconnecting = false;
  int restores = 0;
  sim.console.onOutput = [&](std::string_view text) {
    reconnecting = reconnecting || text.find("Reconnecting to unit") != std::string_view::npos;
    // The second of these lines ends the search for the restarted unit.
    if (reconnecting && text.find("-- restoring saved connection baud rate") != std::string_view::npos &&
        ++restores == 2) {
      portUnit().powerOff();
    }
  };
  EXPECT_EQ(run({"-y", "-d", "-r921600"}), 1);
  EXPECT_TRUE(shows("Fatal Error: Unable to reconnect to unit\r\n")) << console();
  EXPECT_FALSE(shows("Success"));
}

// A run that ends while the flash programmer runs leaves it running at the programming speed;
// the next run with the same -r finds it where the boot loader answers, with no power cycle,
// but a programmer takes no programmer download: it is restarted into the boot loader first.
TEST_F(FieldUpdate, AFlashProgrammerLeftRunningIsRestartedByTheNextRun) {
  for (const char* speed : {"-r115200", "-r921600"}) {
    SCOPED_TRACE(speed);
    load("zc3.scn", std::string(kOutdated) + "fault-programmer-silent-after = 400\n");
    EXPECT_EQ(run({"-y", "-f", speed}), 1);
    EXPECT_TRUE(shows("Fatal Error: Unable to write new software\r\n")) << console();
    portUnit().setFaults({});  // it answers again
    ASSERT_EQ(portUnit().mode(), sim::UnitMode::FlashProgrammer);
    ASSERT_EQ(run({"-y", "-f", speed}), 0) << console();
    EXPECT_FALSE(shows("please turn the unit power off and on now"));
    EXPECT_TRUE(shows("Success: all operations are complete\r\n"));
    expectCarriedSoftware();
  }
}

}  // namespace
}  // namespace kl::test
