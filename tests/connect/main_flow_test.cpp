// The driver's run from finding the unit to the choice of flow.
#include <filesystem>

#include "connect_fixture.h"
#include "update/main_sequence.h"

namespace kl::test {
namespace {

const std::string kZs3 = "[unit zs3]\ncard = 648\ncircuit = 5\nversion = 6.05\nserial = 480055\nmodbus-address = 11\n";

class MainFlowTest : public ConnectTest {
 protected:
  MainFlowTest() { std::filesystem::create_directories(dir.file("bin")); }

  int run(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "kestrelink");
    int code = -1;
    const bool ended = endsRun(
        [&] {
          const int returned = RunKestrelink(s(), arguments);
          sim.process.exit(returned);
        },
        &code);
    EXPECT_TRUE(ended);
    return code;
  }
  std::string parameterFile(const std::string& text) {
    const std::string path = dir.file("station.ini");
    writeFile(path, text);
    return path;
  }
};

TEST_F(MainFlowTest, ManufacturingRunWithoutProgramShowsTheUnitAndEndsNormally) {
  place(kZs3, 3);
  EXPECT_EQ(run({parameterFile("Ostrevan=1\r\n"), "COM3"}), 0);
  EXPECT_TRUE(shows("   Serial No       : 480055\r\n"));
  EXPECT_TRUE(shows("-- nothing to do\r\n"));
  EXPECT_EQ(console().find("Fatal Error"), std::string::npos);
}

TEST_F(MainFlowTest, ManufacturingProgramRunsTheManufacturingUpdate) {
  place(kZs3, 3);
  EXPECT_EQ(run({"-d", parameterFile("Ostrevan=1\r\nProgram=1\r\n"), "COM3"}), 2);
  EXPECT_TRUE(shows("-- updating balvanta software (manufacturing)\r\nManufacturingUpdateUnit\r\n"));
  EXPECT_TRUE(shows("Fatal Error: Missing EncryptedSerialNo\r\n"));
}

TEST_F(MainFlowTest, BlankChipOutsideManufacturingIsRefused) {
  placeFile("blank-lpc1768.scn", 3);
  EXPECT_EQ(run({"-y", "-d", "COM3"}), 1);
  EXPECT_TRUE(shows("Unknown unit mode\r\n"));  // the restart cannot address a bare chip
  EXPECT_TRUE(shows("Fatal Error: Cannot update this unit (blank mcu)"));
}

TEST_F(MainFlowTest, BlankChipInManufacturingNeedsTheBootLoaderTool) {
  placeFile("blank-lpc1768.scn", 3);
  sim.environment.variables["BALVANTAPATH"] = dir.file("maker");
  EXPECT_EQ(run({"-d", parameterFile("Ostrevan=1\r\n"), "COM3"}), 2);
  EXPECT_TRUE(shows("-- programming blank chip with Quorran\r\n"));
  EXPECT_TRUE(shows("Fatal Error: Cannot find Quorran in " + dir.file("maker") + "/bin\r\n"));
}

TEST_F(MainFlowTest, InterrogationWinsOverLogExtraction) {
  place(kZs3, 3);
  EXPECT_EQ(run({"-y", "-i", "-x", "COM3"}), 0);
  EXPECT_TRUE(shows("-- interrogating unit\r\n"));
  EXPECT_EQ(console().find("Fatal Error"), std::string::npos);
}

TEST_F(MainFlowTest, LogExtractionRunsToTheEnd) {
  place(kZs3, 3);
  EXPECT_EQ(run({"-y", "-x", "COM3"}), 0);
  EXPECT_EQ(console().find("Fatal Error"), std::string::npos);
}

TEST_F(MainFlowTest, FieldUpdateIsTheDefaultFlow) {
  place(kZs3, 3);
  EXPECT_EQ(run({"-y", "-d", "COM3"}), 0);
  EXPECT_TRUE(shows("FieldUpdateUnit\r\n"));
  EXPECT_TRUE(shows("Success: all operations are complete"));
}

}  // namespace
}  // namespace kl::test
