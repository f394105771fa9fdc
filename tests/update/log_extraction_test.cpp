// Log extraction (-x) from simulated units under virtual time.
#include "update/log_extraction.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "update/session.h"
#include "protocol/identification.h"
#include "support/installation_fixture.h"

namespace kl::test {
namespace {

// A display at 4 relaying to a transmitter on 6.00 (listed, no logs), a remote I/O unit and a
// remote test jig (never extracted). The display's configuration log has a zero inside and
// zeros after its text; its third debug log is missing; it has no crash log.
constexpr const char* kNetwork = R"(
[unit display]
card = 653
circuit = 1
version = 6.10
release = 40
serial = 530100
modbus-address = 4
information = Silo
debug-logs = 0x0101 0x0102 0x0103
file 1:0x0131 = text "Config\x00A\n\x00\x00"
file 1:0x0101 = text "first\n"
file 1:0x0102 = text "second\n"
network = tx io jig
[unit tx]
card = 659
circuit = 1
version = 6.00
serial = 590101
modbus-address = 2
information = Transmitter
[unit io]
card = 649
circuit = 2
version = 6.08
serial = 490102
modbus-address = 7
information = IO
file 1:0x010F = text "crash report\n"
[unit jig]
card = 652
circuit = 1
version = 6.10
modbus-address = 9
)";

class LogExtraction : public InstallationTest {
 protected:
  void connectTo(std::string_view scenario, uint8_t address) {
    loadScenario(scenario);
    s().unit.mode = modeBalvantaSoftware;
    s().unit.address = address;
    s().currentUnitId = address;
    s().portSettings.programmingBaud = 115200;
    ASSERT_TRUE(ReadUnitInfo(s(), s().unit));
    ReadExtendedInfo(s(), s().unit);
    ReadAdvancedInfo(s(), s().unit);
    s().givenOptions().debug = s().givenOptions().detailedDebug = false;  // the operator's view
    clearConsole();
  }
  // Every extracted file by name, with its contents.
  std::map<std::string, std::string> extracted() {
    std::map<std::string, std::string> files;
    const std::filesystem::path folder = std::filesystem::path(sim.files.programPath()).parent_path() / "BalvantaLogFiles";
    if (!std::filesystem::is_directory(folder)) return files;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
      files[entry.path().filename().string()] = readFile(entry.path().string());
    return files;
  }
  static std::string Label(std::string_view prefix, const std::map<std::string, std::string>& files) {
    for (const auto& [name, contents] : files)
      if (name.starts_with(prefix)) return name;
    return {};
  }
};

TEST_F(LogExtraction, EveryUnitsLogsLandInTheirFilesAndNothingChanges) {
  connectTo(kNetwork, 4);
  ExtractLogsFromAllUnits(s(), s().unit);
  const std::string out = console();
  EXPECT_NE(out.find("Balvanta Unit(s) found:\r\nAddress  Information\r\n      2  Transmitter\r\n      4  Silo\r\n"
                     "      7  IO\r\n\r\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("-- no crash log found"), std::string::npos);
  EXPECT_EQ(s().portSettings.baudRate, 115200u);

  const auto files = extracted();
  // The display (4) and the I/O unit (7) keep logs; the transmitter on 6.00 and the jig none.
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files.at(Label("ConfigurationLog_04 ", files)), std::string("Config\0A\n", 9));
  EXPECT_EQ(files.at(Label("DebugLog_04 ", files)), "first\n\r\nsecond\n\r\n\r\n");
  EXPECT_EQ(files.at(Label("CrashLog_07 ", files)), "crash report\n");
  EXPECT_TRUE(Label("ConfigurationLog_04 QV0 ", files).ends_with(" 530100.txt")) << Label("Configuration", files);
  // The units' files are as they were.
  EXPECT_NE(portUnit().state().drives.find(1, 0x0131), nullptr);
  EXPECT_EQ(portUnit().state().drives.find(1, 0x010F), nullptr);
}

// A second extraction never overwrites the logs an earlier one copied: a log that changed
// since is kept beside them under a numbered name, one that did not is not kept twice.
TEST_F(LogExtraction, AnEarlierCopyIsKept) {
  struct Row {
    const char* name;
    const char* configuration;  // the display's configuration log at the second run
    bool numbered;
  };
  for (const Row& row : {Row{"changed since", "Config B\n", true}, Row{"unchanged", nullptr, false}}) {
    SCOPED_TRACE(row.name);
    std::filesystem::remove_all(std::filesystem::path(sim.files.programPath()).parent_path() / "BalvantaLogFiles");
    connectTo(kNetwork, 4);
    ExtractLogsFromAllUnits(s(), s().unit);
    const auto first = extracted();
    const std::string name = Label("ConfigurationLog_04 ", first);
    ASSERT_NE(name, "");
    if (row.configuration) {
      const std::string text = row.configuration;
      portUnit().state().drives.find(1, 0x0131)->bytes.assign(text.begin(), text.end());
    }
    clearConsole();
    ExtractLogsFromAllUnits(s(), s().unit);
    const auto second = extracted();
    EXPECT_EQ(second.at(name), first.at(name));
    const std::string copy = name.substr(0, name.size() - 4) + " (2).txt";
    // As the program names it: "/" between its parts on Windows too.
    const std::string program = sim.files.programPath();
    const std::string folder = program.substr(0, program.rfind('/')) + "/BalvantaLogFiles";
    EXPECT_NE(console().find("Saving to \"" + folder + "/" + copy + "\""), std::string::npos) << console();
    if (row.numbered) {
      ASSERT_EQ(second.count(copy), 1u);
      EXPECT_EQ(second.at(copy), "Config B\n");
      EXPECT_EQ(second.size(), first.size() + 1);
    } else {
      EXPECT_EQ(second.count(copy), 0u);
      EXPECT_EQ(second.size(), first.size());
      EXPECT_NE(console().find("-- the same as \"" + folder + "/" + name + "\", which is kept\r\n"), std::string::npos)
          << console();
    }
  }
}

// A copy that ends early says so, at the end of the file and on the console: a read the unit
// did not answer, or a file that goes on past any log's size (as from a unit that never ends
// it). The next log is still tried.
TEST_F(LogExtraction, ACopyCutShortIsMarked) {
  struct Row {
    const char* name;
    const char* source;
    const char* mark;
    const char* line;
  };
  const Row rows[] = {
      {"a read not answered", "random 300\nfault-file-read-failure = 2",
       "\r\n[INCOMPLETE: the unit did not answer the read at offset 128]\r\n",
       "-- log incomplete: the unit did not answer the read at offset 128\r\n"},
      {"a file without end", "random 1100000", "\r\n[CUT: the log went on past 1048576 bytes]\r\n",
       "-- log cut: it went on past 1048576 bytes\r\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string scenario = kNetwork;
    const std::string config = "text \"Config\\x00A\\n\\x00\\x00\"";
    scenario.replace(scenario.find(config), config.size(), row.source);
    connectTo(scenario, 4);
    ExtractLogsFromAllUnits(s(), s().unit);
    const auto files = extracted();
    const std::string copied = files.at(Label("ConfigurationLog_04 ", files));
    EXPECT_TRUE(copied.ends_with(row.mark)) << copied.substr(copied.size() > 200 ? copied.size() - 200 : 0);
    EXPECT_LE(copied.size(), 1048576u + std::string_view(row.mark).size());
    EXPECT_NE(console().find(row.line), std::string::npos) << console();
    EXPECT_NE(console().find("Checking for crash log..."), std::string::npos);
  }
}

// A listed unit that never answers is named and passed over; the others' logs are copied and the
// display is back at its own speed.
TEST_F(LogExtraction, AUnitThatNeverAnswersIsPassedOver) {
  std::string scenario = kNetwork;
  scenario.insert(scenario.find("file 1:0x010F"), "fault-lose-reply-percent = 100\n");
  connectTo(scenario, 4);
  s().portSettings.programmingBaud = 921600;
  ExtractLogsFromAllUnits(s(), s().unit);
  EXPECT_NE(console().find("-- Balvanta Unit 7 does not answer: its logs are not copied\r\n"), std::string::npos)
      << console();
  const auto files = extracted();
  EXPECT_NE(Label("ConfigurationLog_04 ", files), "");
  EXPECT_NE(Label("DebugLog_04 ", files), "");
  EXPECT_EQ(Label("CrashLog_07 ", files), "");
  EXPECT_EQ(s().portSettings.baudRate, 115200u);
  EXPECT_EQ(portUnit().applicationFormat().baud, 115200u);
}

// A unit that stops answering after it was listed and identified, before it told its serial
// number: its logs would carry another number (0), so none are copied, and the run goes on.
TEST_F(LogExtraction, AUnitThatDoesNotTellItsSerialNumberKeepsItsLogs) {
  std::string scenario = kNetwork;
  scenario.insert(scenario.find("file 1:0x010F"), "fault-stop-after-frames = 4\n");
  connectTo(scenario, 4);
  ExtractLogsFromAllUnits(s(), s().unit);
  EXPECT_NE(console().find("   Serial No       : unknown\r\n"), std::string::npos) << console();
  EXPECT_NE(console().find("-- the unit did not report its serial number: its logs are not copied\r\n"),
            std::string::npos);
  const auto files = extracted();
  EXPECT_EQ(Label("CrashLog_07 ", files), "");
  EXPECT_NE(Label("ConfigurationLog_04 ", files), "");
}

TEST_F(LogExtraction, MoreThan32DebugLogsAreNotCopiedAndAnEmptyLogGivesAnEmptyFile) {
  std::string ids;
  for (int id = 0x0101; id <= 0x0121; ++id) ids += " " + hexText(id, 4).insert(0, "0x");
  std::string scenario = kNetwork;
  const std::string logs = "debug-logs = 0x0101 0x0102 0x0103";
  scenario.replace(scenario.find(logs), logs.size(), "debug-logs =" + ids);
  const std::string config = "file 1:0x0131 = text \"Config\\x00A\\n\\x00\\x00\"";
  scenario.replace(scenario.find(config), config.size(), "file 1:0x0131 = empty");
  connectTo(scenario, 4);
  ExtractLogsFromAllUnits(s(), s().unit);
  EXPECT_NE(console().find("Checking for debug logs...\r\nToo many file ids\r\n"), std::string::npos) << console();
  const auto files = extracted();
  EXPECT_EQ(Label("DebugLog_04 ", files), "");
  EXPECT_EQ(files.at(Label("ConfigurationLog_04 ", files)), "");
  EXPECT_EQ(files.at(Label("CrashLog_07 ", files)), "crash report\n");
}

// A display running 6.00 lists its network, whose units' logs are copied, but keeps its own:
// logs are copied from units running 6.01 or later.
TEST_F(LogExtraction, ADisplayOnSixNoughtListsItsNetworkButKeepsItsOwnLogs) {
  std::string scenario = kNetwork;
  scenario.replace(scenario.find("version = 6.10\nrelease = 40"), 27, "version = 6.00");
  connectTo(scenario, 4);
  ExtractLogsFromAllUnits(s(), s().unit);
  EXPECT_NE(console().find("Balvanta Unit(s) found:"), std::string::npos) << console();
  const auto files = extracted();
  EXPECT_EQ(files.size(), 1u);
  EXPECT_EQ(files.at(Label("CrashLog_07 ", files)), "crash report\n");
}

// A log is copied as the unit delivers it: a last block shorter than the others, and reads the
// unit answers with fewer bytes than asked, the rest then asked for from where they ended.
TEST_F(LogExtraction, ShortBlocksAndShortReadsAreCopiedWhole) {
  for (const bool shortReads : {false, true}) {
    SCOPED_TRACE(shortReads ? "reads answered short" : "a short last block");
    std::filesystem::remove_all(std::filesystem::path(sim.files.programPath()).parent_path() / "BalvantaLogFiles");
    const std::string text = std::string(200, 'x') + std::string(100, 'y');
    std::string scenario = kNetwork;
    const std::string config = "text \"Config\\x00A\\n\\x00\\x00\"";
    scenario.replace(scenario.find(config), config.size(), "text \"" + text + "\"");
    connectTo(scenario, 4);
    if (shortReads) {
      // A block read answered with 100 bytes at most: echo, drive, file, offset, count, data.
      editReplies([](std::vector<uint8_t>& p) {
        if (p.size() > 12 + 100 && p[1] == 0x45 && p[2] == 0x10 && p[3] == 0x27) {
          p[11] = 100;
          p.resize(12 + 100);
        }
        return true;
      });
    }
    ExtractLogsFromAllUnits(s(), s().unit);
    const auto files = extracted();
    EXPECT_EQ(files.at(Label("ConfigurationLog_04 ", files)), text);
  }
}

TEST_F(LogExtraction, NothingHappensForOlderSoftwareOrABootLoader) {
  connectTo("[unit old]\ncard = 648\ncircuit = 5\nversion = 5.99\nmodbus-address = 3\n", 3);
  ExtractLogsFromAllUnits(s(), s().unit);
  s().unit.mode = modeBalvantaBootLoader;
  ExtractLogsFromAllUnits(s(), s().unit);
  EXPECT_EQ(console(), "");
  EXPECT_TRUE(extracted().empty());
}

}  // namespace
}  // namespace kl::test
