#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "images/catalogue.h"
#include "platform/sim/sim_platform.h"
#include "protocol/unit.h"
#include "support/temp_dir.h"
#include "transfer/image_check.h"
#include "transfer/image_selection.h"
#include "transfer/unit_images.h"
#include "update/session.h"

namespace kl {
namespace {

using namespace catalogue;

class Selection : public ::testing::Test {
 protected:
  Selection() {
    s.givenOptions().debug = true;
    s.givenOptions().yesToPrompts = true;  // a fatal error ends without the closing pause
  }

  static Unit MakeUnit(uint8_t mcuType, uint8_t unitFamily, uint8_t generation, int32_t bufferSize = 128) {
    Unit u;
    u.mcuType = mcuType;
    u.unitFamily = unitFamily;
    u.bootLoaderVersion = generation;
    u.bufferSize = bufferSize;
    return u;
  }

  // The console lines written so far.
  std::vector<std::string> lines() {
    s.out.flushConsole();
    std::vector<std::string> result;
    const std::string& text = sim.console.output();
    // After clearOutput the line end held back from earlier text comes first.
    size_t start = text.starts_with("\r\n") ? 2 : 0;
    while (start < text.size()) {
      size_t end = text.find("\r\n", start);
      if (end == std::string::npos) end = text.size();
      result.push_back(text.substr(start, end - start));
      start = end + 2;
    }
    return result;
  }

  // Runs `step`, which must end the run with exit code 1; returns the lines written.
  std::vector<std::string> fatal(const std::function<void()>& step) {
    try {
      step();
    } catch (const ProcessExit& e) {
      EXPECT_EQ(e.code, 1);
      return lines();
    }
    ADD_FAILURE() << "the run went on";
    return lines();
  }

  using Lines = std::vector<std::string>;

  test::TempDir dir;
  SimPlatform sim{dir.path()};
  Session s{sim.platform};
  UnitImages images;  // what the last selection chose
};

TEST_F(Selection, EveryProgrammerRowIsSelectedByItsOwnUnit) {
  for (const FlashProgrammerRow& p : kFlashProgrammers) {
    SCOPED_TRACE(p.row);
    const uint8_t fam = p.unitFamily == family::Any ? family::Display : p.unitFamily;
    Unit u = MakeUnit(p.mcuType, fam, p.generation, p.buffer == BufferClass::Large ? 512 : 128);
    ASSERT_TRUE(SelectFlashProgrammer(s, u, images, false));
    EXPECT_EQ(images.programmer, ImageOf(p));
  }
}

TEST_F(Selection, LargeLpc1768TransmitterGetsTheLargePacketProgrammer) {
  Unit u = MakeUnit(mcu::LPC1768, family::Transmitter, 4, 512);
  ASSERT_TRUE(SelectFlashProgrammer(s, u, images, false));
  EXPECT_EQ(images.programmer, ImageOf(kFlashProgrammers[17]));
  EXPECT_EQ(lines(), (Lines{"-- selected flash programmer for ZS3 LPC1768 LARGE C4",
                            "-- using large packet flash programmer"}));
}

TEST_F(Selection, LargePacketLineFollowsRows17_18_29_30Only) {
  struct Case {
    uint8_t fam, gen;
    int32_t buffer;
    int row;
    Lines expected;
  };
  const Case cases[] = {
      {family::Transmitter, 3, 129, 17,
       {"-- selected flash programmer for ZS3 LPC1768 LARGE C3", "-- using large packet flash programmer"}},
      {family::RemoteIo, 3, 256, 29,
       {"-- selected flash programmer for ZC3 LPC1768 LARGE C3", "-- using large packet flash programmer"}},
      {family::RemoteIo, 4, 1024, 30,
       {"-- selected flash programmer for ZC3 LPC1768 LARGE C4", "-- using large packet flash programmer"}},
      {family::RemoteIo, 4, 128, 28, {"-- selected flash programmer for ZC3 LPC1768 C4"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.row);
    sim.console.clearOutput();
    Unit u = MakeUnit(mcu::LPC1768, c.fam, c.gen, c.buffer);
    ASSERT_TRUE(SelectFlashProgrammer(s, u, images, false));
    EXPECT_EQ(images.programmer, BundleImage(c.row - 1));
    EXPECT_EQ(lines(), c.expected);
  }
  // Other LARGE programmers say nothing more.
  sim.console.clearOutput();
  Unit za3 = MakeUnit(mcu::LPC2478, family::Display, 4, 256);
  ASSERT_TRUE(SelectFlashProgrammer(s, za3, images, false));
  EXPECT_EQ(lines(), (Lines{"-- selected flash programmer for ZA3 LPC2478 LARGE C4"}));
}

TEST_F(Selection, LargeZs4ProgrammersAnnounceThemselvesAsTheNormalOnes) {
  Unit c3 = MakeUnit(mcu::LPC4337, family::Transmitter, 3, 256);
  ASSERT_TRUE(SelectFlashProgrammer(s, c3, images, false));
  EXPECT_EQ(images.programmer, BundleImage(24));  // row 25
  Unit c4 = MakeUnit(mcu::LPC4337, family::Transmitter, 4, 256);
  ASSERT_TRUE(SelectFlashProgrammer(s, c4, images, false));
  EXPECT_EQ(images.programmer, BundleImage(25));  // row 26
  EXPECT_NE(images.programmer, BundleImage(23));
  EXPECT_EQ(lines(), (Lines{"-- selected flash programmer for ZS4 LPC4337 C3",
                            "-- selected flash programmer for ZS4 LPC4337 C4"}));
}

TEST_F(Selection, ExactlyA128ByteBufferIsNotLarge) {
  Unit normal = MakeUnit(mcu::LPC2478, family::Display, 3, 128);
  ASSERT_TRUE(SelectFlashProgrammer(s, normal, images, false));
  EXPECT_EQ(images.programmer, BundleImage(2));  // row 3
  Unit large = MakeUnit(mcu::LPC2478, family::Display, 3, 129);
  ASSERT_TRUE(SelectFlashProgrammer(s, large, images, false));
  EXPECT_EQ(images.programmer, BundleImage(4));  // row 5
  EXPECT_EQ(lines(), (Lines{"-- selected flash programmer for ZA3 LPC2478 C3",
                            "-- selected flash programmer for ZA3 LPC2478 LARGE C3"}));
}

TEST_F(Selection, PreProductionBootLoaderNeedsATesterProgrammer) {
  Unit u = MakeUnit(mcu::LPC4078, family::Transmitter, 4);
  u.bootFlags = bootflag::PreProduction;
  EXPECT_EQ(fatal([&] { SelectFlashProgrammer(s, u, images, false); }),
            (Lines{"-- needs flash programmer for TESTER", "Fatal Error: Cannot find a flash programmer for unit"}));
  EXPECT_TRUE(images.programmer.empty());
}

TEST_F(Selection, CardTesterSoftwareMakesATestBoardOnlyWithUpdateFiles) {
  Unit direct = MakeUnit(mcu::LPC4357, family::Display, 3);
  direct.unitFlags = unitflag::CardTester;
  ASSERT_TRUE(SelectFlashProgrammer(s, direct, images, false));
  EXPECT_EQ(images.programmer, BundleImage(6));  // row 7

  Unit viaFiles = direct;
  images = {};
  sim.console.clearOutput();
  fatal([&] { SelectFlashProgrammer(s, viaFiles, images, true); });
  EXPECT_EQ(lines().front(), "-- needs flash programmer for TESTER");
}

TEST_F(Selection, TestBoardKeepsAProgrammerPlacedBeforehand) {
  const std::vector<uint8_t> external{0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
  Unit u = MakeUnit(mcu::LPC1768, family::Transmitter, 4, 512);
  u.bootFlags = bootflag::PreProduction;
  images.programmer = ImageRef{external.data(), static_cast<uint32_t>(external.size())};
  ASSERT_TRUE(SelectFlashProgrammer(s, u, images, false));
  EXPECT_EQ(images.programmer.start, external.data());
  EXPECT_EQ(lines(), (Lines{"-- needs flash programmer for TESTER"}));
}

TEST_F(Selection, H8S2145SelectsByGenerationAndAddsStringsForTransmitters) {
  Unit zs5100 = MakeUnit(mcu::H8S2145, family::Transmitter, 2, 512);
  zs5100.bootFlags = bootflag::PreProduction;  // no test-board check on these
  ASSERT_TRUE(SelectFlashProgrammer(s, zs5100, images, true));
  EXPECT_EQ(images.programmer, BundleImage(0));
  EXPECT_EQ(images.stringsProgrammer, ImageOf(kStringsProgrammers[0]));

  Unit zr20 = MakeUnit(mcu::H8S2145, family::Display, 3);
  images = {};
  ASSERT_TRUE(SelectFlashProgrammer(s, zr20, images, false));
  EXPECT_EQ(images.programmer, BundleImage(1));
  EXPECT_TRUE(images.stringsProgrammer.empty());
  EXPECT_EQ(lines(), (Lines{"-- selected flash programmer for H8S2145 C2",
                            "-- selected language strings programmer for H8S2145 C2",
                            "-- selected flash programmer for H8S2145 C3"}));
}

TEST_F(Selection, UnsupportedGenerationsStop) {
  const char* message = "Fatal Error: Kestrelink cannot update this unit: unsupported boot loader version";
  Unit c4OnH8 = MakeUnit(mcu::H8S2145, family::Display, 4);
  EXPECT_EQ(fatal([&] { SelectFlashProgrammer(s, c4OnH8, images, false); }), (Lines{message}));
  sim.console.clearOutput();
  // The generation is checked before the test-board flags.
  Unit c2OnLpc = MakeUnit(mcu::LPC2478, family::Display, 2);
  c2OnLpc.bootFlags = bootflag::PreProduction;
  EXPECT_EQ(fatal([&] { SelectFlashProgrammer(s, c2OnLpc, images, false); }), (Lines{message}));
}

TEST_F(Selection, Lpc1768OfAnotherFamilyNamesADistinctSite) {
  struct Case {
    uint8_t gen;
    int32_t buffer;
    const char* line;
  };
  const Case cases[] = {{3, 256, "Fatal Error: Unsupported unit L1032"},
                        {3, 128, "Fatal Error: Unsupported unit L1045"},
                        {4, 256, "Fatal Error: Unsupported unit L1091"},
                        {4, 64, "Fatal Error: Unsupported unit L1104"}};
  for (const Case& c : cases) {
    sim.console.clearOutput();
    Unit u = MakeUnit(mcu::LPC1768, family::Display, c.gen, c.buffer);
    EXPECT_EQ(fatal([&] { SelectFlashProgrammer(s, u, images, false); }), (Lines{c.line}));
  }
}

TEST_F(Selection, UnknownFamiliesOfLpc43xxStop) {
  Unit io4337 = MakeUnit(mcu::LPC4337, family::RemoteIo, 3);
  EXPECT_EQ(fatal([&] { SelectFlashProgrammer(s, io4337, images, false); }),
            (Lines{"Fatal Error: Unknown unit type (MCU LPC4337)"}));
}

TEST_F(Selection, Zk7TestJigGetsNoProgrammerBootLoaderOrSoftware) {
  const Unit jig = MakeUnit(mcu::LPC4357, family::TestJig, 4);
  Unit u = jig;
  EXPECT_EQ(fatal([&] { SelectFlashProgrammer(s, u, images, false); }),
            (Lines{"Fatal Error: Unknown unit type (MCU LPC4357)"}));
  sim.console.clearOutput();
  u = jig;
  EXPECT_EQ(fatal([&] { SelectBootLoader(s, u, images); }), (Lines{"Fatal Error: Unsupported unit L1574"}));
  EXPECT_EQ(u.flashPacketSize, 512);  // set before the stop
  EXPECT_TRUE(images.bootLoader.empty());
  sim.console.clearOutput();
  u = jig;
  EXPECT_EQ(fatal([&] { SelectSoftware(s, u, images); }),
            (Lines{"Fatal Error: No new software can be found for this unit"}));
}

TEST_F(Selection, UnknownMcuHasNoProgrammer) {
  Unit u = MakeUnit(mcu::H8S2148, family::Display, 3);
  EXPECT_EQ(fatal([&] { SelectFlashProgrammer(s, u, images, false); }),
            (Lines{"Fatal Error: Cannot find a flash programmer for unit"}));
}

TEST_F(Selection, BootLoaderSetsPacketSizeAndManufacturingFlag) {
  struct Case {
    uint8_t mcuType, fam;
    int16_t packet;
    int row;
  };
  const Case cases[] = {{mcu::LPC2478, family::Display, 256, 1},     {mcu::LPC4357, family::Display, 512, 2},
                        {mcu::LPC4337, family::Display, 512, 3},     {mcu::LPC1768, family::Transmitter, 256, 4},
                        {mcu::LPC4078, family::Transmitter, 256, 5}, {mcu::LPC4337, family::Transmitter, 512, 6},
                        {mcu::LPC1768, family::RemoteIo, 256, 7}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.row);
    Unit u = MakeUnit(c.mcuType, c.fam, 4);
    ASSERT_TRUE(SelectBootLoader(s, u, images));
    EXPECT_EQ(u.flashPacketSize, c.packet);
    EXPECT_TRUE(u.hasManufacturingFields);
    EXPECT_EQ(images.bootLoader, ImageOf(kBootLoaders[c.row - 1]));
  }
  Unit pre = MakeUnit(mcu::LPC2478, family::Display, 4);
  pre.bootFlags = bootflag::PreProduction;
  ASSERT_TRUE(SelectBootLoader(s, pre, images));
  EXPECT_FALSE(pre.hasManufacturingFields);
  Unit tester = MakeUnit(mcu::LPC2478, family::Display, 4);
  tester.unitFlags = unitflag::CardTester;
  ASSERT_TRUE(SelectBootLoader(s, tester, images));
  EXPECT_FALSE(tester.hasManufacturingFields);
  EXPECT_TRUE(lines().empty());
}

TEST_F(Selection, BootLoaderRefusesOtherMcusAndStopsOnUnknownFamilies) {
  Unit h8 = MakeUnit(mcu::H8S2145, family::Transmitter, 3);
  EXPECT_FALSE(SelectBootLoader(s, h8, images));
  EXPECT_EQ(h8.flashPacketSize, 0);
  EXPECT_TRUE(images.bootLoader.empty());
  EXPECT_TRUE(lines().empty());

  Unit display1768 = MakeUnit(mcu::LPC1768, family::Display, 4);
  EXPECT_EQ(fatal([&] { SelectBootLoader(s, display1768, images); }), (Lines{"Fatal Error: Unsupported unit L1551"}));
  EXPECT_EQ(display1768.flashPacketSize, 256);
  sim.console.clearOutput();
  Unit io4337 = MakeUnit(mcu::LPC4337, family::RemoteIo, 4);
  EXPECT_EQ(fatal([&] { SelectBootLoader(s, io4337, images); }), (Lines{"Fatal Error: Unsupported unit L1563"}));
}

TEST_F(Selection, SoftwareByFamilyAndMcu) {
  Unit za4 = MakeUnit(mcu::LPC4337, family::Display, 4);
  ASSERT_TRUE(SelectSoftware(s, za4, images));
  EXPECT_EQ(images.software, ImageOf(kSoftwareImages[2]));
  Unit zs3 = MakeUnit(mcu::LPC1768, family::Transmitter, 4);
  ASSERT_TRUE(SelectSoftware(s, zs3, images));
  EXPECT_EQ(images.software, ImageOf(kSoftwareImages[3]));
  Unit zc3 = MakeUnit(mcu::LPC1768, family::RemoteIo, 4);
  ASSERT_TRUE(SelectSoftware(s, zc3, images));
  EXPECT_EQ(images.software, ImageOf(kSoftwareImages[6]));
  EXPECT_EQ(lines(), (Lines{"-- selected unit is a Display", "-- selected unit is a Transmitter",
                            "-- selected unit is a IOUnit"}));
}

TEST_F(Selection, SilentOptionHidesTheFamilyLineOnly) {
  s.givenOptions().silent = true;
  Unit za3 = MakeUnit(mcu::LPC2478, family::Display, 4);
  ASSERT_TRUE(SelectSoftware(s, za3, images));
  EXPECT_EQ(images.software, ImageOf(kSoftwareImages[0]));
  Unit wrong = MakeUnit(mcu::LPC1768, family::Display, 4);
  EXPECT_EQ(fatal([&] { SelectSoftware(s, wrong, images); }),
            (Lines{"Fatal Error: No new software can be found for this unit"}));
}

TEST_F(Selection, SoftwareForAnUnsupportedPairStopsAfterTheFamilyLine) {
  Unit u = MakeUnit(mcu::LPC1768, family::Display, 4);
  EXPECT_EQ(fatal([&] { SelectSoftware(s, u, images); }),
            (Lines{"-- selected unit is a Display", "Fatal Error: No new software can be found for this unit"}));
}

TEST_F(Selection, AnExternalProgrammerIsCheckedBeforeUse) {
  const std::vector<uint8_t> sound{0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 7, 0xFF, 0xFF, 0xFF, 0xFF};
  RequireSoundImage(s, ImageRef{sound.data(), static_cast<uint32_t>(sound.size())}, "The flash programmer from Quorran");
  EXPECT_TRUE(lines().empty());
  const std::vector<uint8_t> cut(sound.begin(), sound.end() - 2);
  EXPECT_EQ(fatal([&] {
              RequireSoundImage(s, ImageRef{cut.data(), static_cast<uint32_t>(cut.size())},
                                "The flash programmer from Quorran");
            }),
            (Lines{"Fatal Error: The flash programmer from Quorran is not a valid image: no terminator: the image "
                   "ends at offset 15"}));
}

}  // namespace
}  // namespace kl
