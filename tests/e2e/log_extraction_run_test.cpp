// `kestrelink -x` against a simulated network: every unit's logs land beside the program.
#include <filesystem>
#include <set>

#include "e2e_fixture.h"

namespace kl::test {
namespace {

TEST_F(EndToEnd, LogExtractionWritesEveryUnitsLogs) {
  const std::string port = startSimulatorWith(R"(
[unit display]
card = 653
circuit = 1
version = 6.10
serial = 530100
modbus-address = 4
information = Silo
debug-logs = 0x0101
file 1:0x0131 = text "display settings\n"
file 1:0x0101 = text "display debug\n"
network = io
[unit io]
card = 649
circuit = 2
version = 6.08
serial = 490102
modbus-address = 7
file 1:0x010F = text "io crash\n"
)")
                               .port();
  ASSERT_FALSE(port.empty());
  const RunResult result = run({"-x", "-y"}, {{"BALVANTAPORTLIST", "2"}, {"KESTRELINK_PORTMAP", portMap({{2, port}})}});
  EXPECT_EQ(result.exitCode, 0) << result.console;
  EXPECT_TRUE(InOrder(result.console, {"Balvanta Unit(s) found:\r\n", "      4  Silo\r\n", "      7  Remote I/O Unit\r\n",
                                       "Checking for configuration log...\r\n", "Saving to \"" + shown("bin/BalvantaLogFiles/")}));
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.file("bin/BalvantaLogFiles")))
    names.insert(entry.path().filename().string());
  ASSERT_EQ(names.size(), 3u) << result.console;
  for (const std::string& name : names) {
    const std::string text = readFile(dir.file("bin/BalvantaLogFiles/" + name));
    if (name.starts_with("ConfigurationLog_04 ")) EXPECT_EQ(text, "display settings\n");
    else if (name.starts_with("DebugLog_04 ")) EXPECT_EQ(text, "display debug\n\r\n");
    else if (name.starts_with("CrashLog_07 ")) EXPECT_EQ(text, "io crash\n");
    else ADD_FAILURE() << name;
  }
}

}  // namespace
}  // namespace kl::test
