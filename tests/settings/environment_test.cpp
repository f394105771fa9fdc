#include <filesystem>
#include <vector>

#include "driver/parameter_file.h"
#include "driver/settings.h"
#include "settings/settings_fixture.h"

namespace kl {
namespace {

using test::SettingsTest;
using test::writeFile;

std::vector<int> portsOf(std::string_view list) {
  PortListReader reader(list);
  std::vector<int> ports;
  for (int64_t port = reader.next(); port != 0; port = reader.next()) {
    ports.push_back(static_cast<int>(port));
    if (ports.size() > 100) break;  // a reader that never ends
  }
  return ports;
}

TEST(PortList, EntriesInListOrderWithOptionalComPrefix) {
  EXPECT_EQ(portsOf("COM3,com7;9"), (std::vector<int>{3, 7, 9}));
  EXPECT_EQ(portsOf("COM3,com5;7"), (std::vector<int>{3, 5, 7}));
  EXPECT_EQ(portsOf("12 Com4 5"), (std::vector<int>{12, 4, 5}));
  EXPECT_EQ(portsOf("4"), (std::vector<int>{4}));
  // Blanks before the digits are skipped and read no entry twice.
  EXPECT_EQ(portsOf("  \t4x;5"), (std::vector<int>{4, 5}));
  EXPECT_EQ(portsOf(" 3,4"), (std::vector<int>{3, 4}));
}

TEST(PortList, NextEntryIsReadRightAfterTheSeparator) {
  EXPECT_EQ(portsOf("3,,4"), (std::vector<int>{3}));
  EXPECT_EQ(portsOf("3 , 4"), (std::vector<int>{3}));
  EXPECT_EQ(portsOf("COM3, COM7"), (std::vector<int>{3}));
  EXPECT_EQ(portsOf("3,COM"), (std::vector<int>{3}));  // "COM" alone is no longer than three
}

TEST(PortList, ZeroOrNoDigitsEndTheList) {
  EXPECT_EQ(portsOf(""), std::vector<int>{});
  EXPECT_EQ(portsOf("COM"), std::vector<int>{});
  EXPECT_EQ(portsOf("COM0,3"), std::vector<int>{});
  EXPECT_EQ(portsOf("5,0,3"), (std::vector<int>{5}));
  EXPECT_EQ(portsOf("x5"), std::vector<int>{});
}

TEST(PortList, OnlyZeroEndsTheList) {
  EXPECT_EQ(portsOf("2,-3,4"), (std::vector<int>{2, -3, 4}));
  EXPECT_EQ(portsOf("2,70000,4"), (std::vector<int>{2, 70000, 4}));
}

TEST(PortList, EndStaysEnded) {
  PortListReader reader("7");
  EXPECT_EQ(reader.next(), 7);
  EXPECT_EQ(reader.next(), 0);
  EXPECT_EQ(reader.next(), 0);
}

class Environment : public SettingsTest {};

TEST_F(Environment, UnsetVariableReadsEmpty) {
  sim.environment.variables["BALVANTAPORT"] = "COM4";
  EXPECT_EQ(GetEnv(s, envvar::Port), "COM4");
  EXPECT_EQ(GetEnv(s, envvar::PortList), "");
}

TEST_F(Environment, RegistryValueRoundTripsAndEmptyTextDeletes) {
  EXPECT_EQ(UserRegistryGet(s, kCommPortRegistryPath), "");
  UserRegistryPut(s, kCommPortRegistryPath, "7");
  EXPECT_EQ(sim.registry.values.at("SOFTWARE\\Tessaly\\Balvanta\\CommPort"), "7");
  EXPECT_EQ(UserRegistryGet(s, kCommPortRegistryPath), "7");
  UserRegistryPut(s, kCommPortRegistryPath, "");
  EXPECT_EQ(sim.registry.values.count(std::string(kCommPortRegistryPath)), 0u);
  EXPECT_EQ(UserRegistryGet(s, kCommPortRegistryPath), "");
}

TEST_F(Environment, RegistryStringLongerThan256ReadsEmpty) {
  sim.registry.values[std::string(kCommPortRegistryPath)] = std::string(256, '9');
  EXPECT_EQ(UserRegistryGet(s, kCommPortRegistryPath).length(), 256);
  sim.registry.values[std::string(kCommPortRegistryPath)] = std::string(257, '9');
  EXPECT_EQ(UserRegistryGet(s, kCommPortRegistryPath), "");
}

class BootTool : public SettingsTest {
 protected:
  void SetUp() override { s.givenOptions().parameterFile = path("station.ini"); }
  std::string sep = std::string(1, files.separator());
};

TEST_F(BootTool, ParameterFilePathIsTakenUncheckedAndFirst) {
  writeFile(s.options.parameterFile, "QuorranEXE=/nowhere/tool\r\nBalvantaHomeDir=/home\r\n");
  sim.environment.variables["BALVANTAPATH"] = "/env";
  const BootToolLocation tool = LocateBootTool(s);
  EXPECT_EQ(tool.path, "/nowhere/tool");
  EXPECT_EQ(tool.missingMessage, "");
}

TEST_F(BootTool, EnvironmentHomeWinsOverParameterFileHome) {
  writeFile(s.options.parameterFile, "BalvantaHomeDir=" + path("fromfile") + "\r\n");
  sim.environment.variables["BALVANTAPATH"] = path("fromenv");
  EXPECT_EQ(BootToolHomeDirectory(s), path("fromenv"));
  sim.environment.variables["BALVANTAPATH"] = "";
  EXPECT_EQ(BootToolHomeDirectory(s), path("fromfile"));
}

TEST_F(BootTool, DefaultHomeWithoutToolGivesTheMissingMessage) {
  EXPECT_EQ(BootToolHomeDirectory(s), "F:\\EPROM\\Balvanta\\Current");
  const BootToolLocation tool = LocateBootTool(s);
  EXPECT_EQ(tool.missingMessage, "Cannot find Quorran in F:\\EPROM\\Balvanta\\Current" + sep + "bin");
}

TEST_F(BootTool, ToolUnderTheHomeDirectoryIsFound) {
  const std::string home = path("balvanta");
  sim.environment.variables["BALVANTAPATH"] = home;
  const std::string expected = home + sep + "bin" + sep + "Quorran.exe";
  BootToolLocation tool = LocateBootTool(s);
  EXPECT_EQ(tool.path, expected);
  EXPECT_EQ(tool.missingMessage, "Cannot find Quorran in " + home + sep + "bin");
  std::filesystem::create_directories(home + "/bin");
  writeFile(expected, "tool");
  tool = LocateBootTool(s);
  EXPECT_EQ(tool.path, expected);
  EXPECT_EQ(tool.missingMessage, "");
}

}  // namespace
}  // namespace kl
