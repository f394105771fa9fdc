// Every scenario of the library loads and its units answer; malformed files name the line.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "sim_fixture.h"

namespace kl::sim::testing {
namespace {

const std::string kLibrary = std::string(KESTRELINK_SOURCE_DIR) + "/sim/scenarios";

class LibraryTest : public SimUnitTest {
 public:
  void TestBody() override {}

  // Probes the port unit the way it can be found: application ping, boot loader version,
  // or the blank chip's "?"; a hung unit after a power cycle.
  void probe(const std::string& path) {
    scenario_ = loadScenario(path);
    const UnitSpec spec = scenario_.units.front();
    uint32_t speed = spec.settings.applicationFormat.baud;
    if (spec.state.blank) {
      speed = spec.settings.ispBaud;
    } else if (spec.settings.start == StartMode::BootLoader || !spec.state.applicationPresent) {
      speed = spec.settings.bootLoaderBaud;
    }
    load(readText(path), speed, std::filesystem::path(path).parent_path().string());
    if (spec.state.blank) {
      const Bytes reply = sendRaw({'?'}, 20);
      EXPECT_EQ(std::string(reply.begin(), reply.end()), "Synchronized\r\n") << path;
      return;
    }
    if (speed == spec.settings.bootLoaderBaud && unit().mode() == UnitMode::BootLoader) {
      const Bytes reply = request({0x01, 0x45, 0x10, 0x12}, 50);
      ASSERT_EQ(reply.size(), 7u) << path;
      EXPECT_EQ(reply[4] >> 4, spec.state.application.mcuType) << path;
      return;
    }
    if (spec.settings.faults.silentUntilPowerCycle) {
      EXPECT_TRUE(request({0xF0, 0x41}).empty()) << path;
      unit().powerCycle();
      setPcSpeed(spec.settings.bootLoaderBaud);
      Bytes reply;
      for (int i = 0; i < 100 && reply.empty(); ++i) reply = request({0x01, 0x45, 0x10, 0x12}, 50);
      EXPECT_EQ(reply.size(), 7u) << path << ": boot loader after the power cycle";
      return;
    }
    EXPECT_EQ(request({0xF0, 0x41}), withCrc({0xF0, 0x42})) << path;
    const Bytes basic = request({0xF0, 0x45, 0x10, 0x10});
    ASSERT_EQ(basic.size(), 14u) << path;
    EXPECT_EQ(basic[4] << 8 | basic[5], spec.state.application.cardNumber) << path;
    for (const std::string& name : spec.network) {
      const uint8_t address = installation_->find(name)->state().application.modbusAddress;
      EXPECT_EQ(request({address, 0x41}), withCrc({address, 0x42})) << path << ": network unit " << name;
    }
    if (!spec.proxyUnit.empty()) {
      const uint8_t jig = spec.state.application.modbusAddress;
      EXPECT_EQ(request({jig, 0x45, 0x10, 0x3E}), withCrc({jig, 0x45, 0x10, 0x3E, 0x00})) << path;
      const Bytes search = request({jig, 0x45, 0x10, 0x3C});
      ASSERT_EQ(search.size(), 14u) << path;
      EXPECT_EQ(search[4], 0) << path << ": the product behind the jig is found";
      const uint8_t id = search[10];
      const Bytes reply = sendRaw(encodeFrame({id, 0x41}, true, std::array<uint8_t, 5>{jig, 0x47, 0x3E, search[5], 2}));
      EXPECT_EQ(reply, encodeFrame({id, 0x42}, true, std::array<uint8_t, 5>{jig, 0x47, 0x3F, search[5], 2})) << path;
    }
  }

  static std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
};

TEST(ScenarioLibrary, EveryScenarioLoadsAndAnswers) {
  std::vector<std::string> paths;
  for (const auto& entry : std::filesystem::directory_iterator(kLibrary)) {
    if (entry.path().extension() == ".scn") paths.push_back(entry.path().string());
  }
  std::sort(paths.begin(), paths.end());
  ASSERT_GE(paths.size(), 14u);
  for (const auto& path : paths) {
    LibraryTest test;
    test.probe(path);
  }
}

TEST(ScenarioLibrary, CoversEveryCardOfTheTable) {
  std::vector<std::pair<int, int>> cardsAndMcus;
  for (const auto& entry : std::filesystem::directory_iterator(kLibrary)) {
    if (entry.path().extension() != ".scn") continue;
    for (const auto& unit : loadScenario(entry.path().string()).units) {
      cardsAndMcus.emplace_back(unit.state.application.cardNumber, unit.state.application.mcuType);
    }
  }
  for (auto expected : std::vector<std::pair<int, int>>{
           {611, 2}, {620, 2}, {647, 3}, {647, 7}, {648, 5}, {648, 4}, {649, 5}, {652, 7}, {653, 6}, {659, 6}}) {
    EXPECT_NE(std::find(cardsAndMcus.begin(), cardsAndMcus.end(), expected), cardsAndMcus.end())
        << "card " << expected.first << " with MCU " << expected.second;
  }
}

std::string errorOf(const std::string& text) {
  try {
    parseScenario(text, "bad.scn");
  } catch (const ScenarioError& error) {
    return error.what();
  }
  return "no error";
}

TEST(ScenarioErrors, NameTheFileAndLine) {
  EXPECT_EQ(errorOf("[unit a]\ncard = 649\ncardd = 1\n"), "bad.scn:3: unknown setting 'cardd'");
  EXPECT_EQ(errorOf("# c\n[unit a]\ncard = 64x9\n"), "bad.scn:3: expected a number, got '64x9'");
  EXPECT_EQ(errorOf("[unit a]\ncard = 70000\n"), "bad.scn:2: '70000' is out of range (at most 65535)");
  EXPECT_EQ(errorOf("card = 649\n"), "bad.scn:1: setting 'card' before the first [unit NAME] section");
  EXPECT_EQ(errorOf("[unit a]\ncard 649\n"), "bad.scn:2: expected KEY = VALUE, got 'card 649'");
  EXPECT_EQ(errorOf("[unit a\n"), "bad.scn:1: a section line must end with ']'");
  EXPECT_EQ(errorOf("\n\n[unit a]\nversion = 6.1\n"), "bad.scn:4: a version is written like 6.10; got '6.1'");
  EXPECT_EQ(errorOf("[unit a]\ncard = 649\nnetwork = b\n"), "bad.scn:1: unit 'a' names an unknown unit 'b'");
  EXPECT_EQ(errorOf("[unit a]\nversion = 6.10\n"), "bad.scn:1: unit 'a' has no card");
  EXPECT_EQ(errorOf("[unit a]\ncard = 647\ncircuit = 5\n"),
            "bad.scn:1: unit 'a': give its mcu (card 647, circuit 5 does not decide it)");
  EXPECT_EQ(errorOf("[unit a]\ncard = 649\n[unit b]\ncard = 649\n"),
            "bad.scn:3: unit 'b' is on no network and behind no proxy");
  EXPECT_EQ(errorOf("[unit a]\ncard = 649\nnetwork = b c\n[unit b]\ncard = 649\nmodbus-address = 3\n"
                    "[unit c]\ncard = 649\nmodbus-address = 3\n"),
            "bad.scn:7: unit 'c': modbus-address 3 is already used on that network");
  EXPECT_EQ(errorOf("[unit a]\ncard = 649\nboot-baud = 38400\n"), "bad.scn:3: a boot loader listens at 9600 or 115200");
  EXPECT_EQ(errorOf("\n# only comments\n"), "bad.scn:2: the scenario describes no unit ([unit NAME])");
  EXPECT_EQ(errorOf("[unit a]\ncard = 649\nbuild-time = 2024-03-15\n"),
            "bad.scn:3: build-time is YYYY-MM-DD HH:MM:SS; got '2024-03-15'");
}

TEST(ScenarioErrors, MissingFile) {
  EXPECT_THROW(loadScenario(kLibrary + "/no-such.scn"), ScenarioError);
  // A folder in place of a file is a scenario error, not an exception from the stream.
  EXPECT_THROW(loadScenario(kLibrary), ScenarioError);
  EXPECT_EQ(errorOf("[unit a]\ncard = 649\nsoftware = path .\n").rfind("bad.scn:3: cannot read ", 0), 0u);
}

TEST(ScenarioValues, TextEscapesAndDefaults) {
  const Scenario s = parseScenario(
      "[unit a]\ncard = 648\ncircuit = 6\ninformation = \"A\\nB\\x01\"\nboard-revision = C\nboot-loader = C2\n", "x");
  const UnitSpec& unit = s.units.front();
  EXPECT_EQ(unit.state.application.informationText, std::string("A\nB\x01"));
  EXPECT_EQ(unit.state.application.mcuType, 4);
  EXPECT_EQ(unit.state.application.boardRevision, 3);
  EXPECT_FALSE(unit.state.bootLoader.answersRelease);
}

}  // namespace
}  // namespace kl::sim::testing
