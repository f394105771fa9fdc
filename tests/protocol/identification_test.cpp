// Identification calls against the simulated units, and faults from a scripted far end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "protocol/identification.h"
#include "support/installation_fixture.h"

namespace kl {
namespace {

using test::Framed;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

class Identify : public test::InstallationTest {
 protected:
  Unit& unit() { return s().unit; }
  void asApplication(uint8_t address = 0xF0) {
    unit().mode = modeBalvantaSoftware;
    unit().address = address;
  }
};

TEST_F(Identify, ReadUnitInfoOfAnLpcDisplay) {
  loadScenarioFile("za3-lpc2478.scn");
  asApplication();
  ASSERT_TRUE(ReadUnitInfo(s(), unit()));
  EXPECT_EQ(takeSentByPc(), Framed({0xF0, 0x45, 0x10, 0x10}));
  EXPECT_EQ(consoleLines(), (Lines{"RPC: ReadUnitInfo", "Card Number=647 ZA3/ZB3 Display", "MCU Type=3",
                                   "Software Version=6.10", "COMPLETE"}));
  EXPECT_EQ(unit().cardNumber, 647);
  EXPECT_EQ(unit().circuitCode, 4);
  EXPECT_EQ(unit().softwareVersion, 610);
  EXPECT_EQ(unit().buildIncrement, 3);  // from 6.00 the extra word carries the increment
  EXPECT_EQ(unit().productNumber, 0);
  EXPECT_EQ(unit().unitFamily, family::Display);
  EXPECT_EQ(unit().mcuType, mcu::LPC2478);
}

TEST_F(Identify, ReadUnitInfoOfAnH8sDisplayTakesTheProductNumber) {
  loadScenarioFile("zr20-h8s2145.scn");
  asApplication();
  ASSERT_TRUE(ReadUnitInfo(s(), unit()));
  EXPECT_EQ(consoleLines(), (Lines{"RPC: ReadUnitInfo", "Card Number=611 ZR20 Display", "MCU Type=2",
                                   "Software Version=5.40", "COMPLETE"}));
  EXPECT_EQ(unit().productNumber, 61);
  EXPECT_EQ(unit().buildIncrement, 0);
  EXPECT_EQ(unit().mcuType, mcu::H8S2145);
}

TEST_F(Identify, ANoisyLineNeverYieldsAWrongIdentity) {
  loadScenarioFile("za3-lpc2478.scn");
  line.towardsPc.bitFlipRate = 0.01;
  line.towardsPc.dropRate = 0.01;
  int identified = 0;
  for (int run = 0; run < 40; ++run) {
    unit() = Unit{};
    asApplication();
    if (ReadUnitInfo(s(), unit())) {
      ++identified;
      EXPECT_EQ(unit().cardNumber, 647);
      EXPECT_EQ(unit().circuitCode, 4);
      EXPECT_EQ(unit().softwareVersion, 610);
      EXPECT_EQ(unit().buildIncrement, 3);
    }
    advanceMs(20);
  }
  EXPECT_GT(identified, 30);  // four attempts get through nearly always at this rate
  EXPECT_GT(line.sentByPc().size(), 40u * 6u);  // and some needed more than one
}

class CardTable : public Identify {
 protected:
  void SetUp() override { useScriptedPeer(); }
  // Identifies a unit that reports `card` and `circuit`, starting from `mcuBefore`.
  void identify(uint16_t card, uint16_t circuit, uint8_t mcuBefore = 0, int16_t version = 610, uint16_t extra = 0x0700) {
    answerRequests(6, Bytes{0xF0, 0x45, 0x10, 0x10, uint8_t(card >> 8), uint8_t(card), uint8_t(circuit >> 8),
                            uint8_t(circuit), uint8_t(uint16_t(version) >> 8), uint8_t(version), uint8_t(extra >> 8),
                            uint8_t(extra)});
    unit() = Unit{};
    asApplication();
    unit().mcuType = mcuBefore;
    ASSERT_TRUE(ReadUnitInfo(s(), unit()));
  }
};

TEST_F(CardTable, FamilyAndMcuByCardAndCircuitCode) {
  struct Case {
    uint16_t card, circuit;
    uint8_t family, mcu;
  };
  const Case cases[] = {{611, 1, 1, 2}, {620, 1, 2, 2}, {647, 4, 1, 3}, {647, 6, 1, 7}, {648, 5, 2, 5},
                        {648, 6, 2, 4}, {649, 2, 3, 5}, {652, 1, 4, 7}, {653, 1, 1, 6}, {659, 1, 2, 6}};
  for (const Case& c : cases) {
    identify(c.card, c.circuit, 0);
    EXPECT_EQ(unit().unitFamily, c.family) << c.card << "r" << c.circuit;
    EXPECT_EQ(unit().mcuType, c.mcu) << c.card << "r" << c.circuit;
  }
}

TEST_F(CardTable, CircuitCodeFiveOfTheDisplayKeepsTheMcuTheBootLoaderReported) {
  identify(647, 5, mcu::LPC4357);
  EXPECT_EQ(unit().mcuType, mcu::LPC4357);
  identify(647, 5, 0);
  EXPECT_EQ(unit().mcuType, 0);
}

TEST_F(CardTable, TheExtraWordGoesByTheVersionJustRead) {
  identify(648, 5, 0, 599, 0x0041);
  EXPECT_EQ(unit().productNumber, 0x41);
  EXPECT_EQ(unit().buildIncrement, 0);
  identify(648, 5, 0, 600, 0x0941);
  EXPECT_EQ(unit().productNumber, 0);
  EXPECT_EQ(unit().buildIncrement, 9);
}

TEST_F(CardTable, AnUnknownCardEndsTheRun) {
  answerRequests(6, Bytes{0xF0, 0x45, 0x10, 0x10, 0x02, 0x8A, 0x00, 0x01, 0x02, 0x62, 0x00, 0x00});
  asApplication();
  EXPECT_EQ(exitCodeOf([&] { ReadUnitInfo(s(), unit()); }), 1);
  EXPECT_THAT(consoleLines(), Contains("Fatal Error: Unsupported Card Number: 650"));
}

TEST_F(CardTable, WrongEchoesShortLongAndGarbageRepliesAreRetriedFourTimesAndNeverAccepted) {
  const Bytes good{0xF0, 0x45, 0x10, 0x10, 0x02, 0x87, 0x00, 0x04, 0x02, 0x62, 0x03, 0x00};
  const std::vector<Bytes> bad = {
      {0xF1, 0x45, 0x10, 0x10, 0x02, 0x87, 0x00, 0x04, 0x02, 0x62, 0x03, 0x00},        // another unit
      {0xF0, 0x45, 0x10, 0x11, 0x02, 0x87, 0x00, 0x04, 0x02, 0x62, 0x03, 0x00},        // another command
      {0xF0, 0x45, 0x10, 0x10, 0x02, 0x87, 0x00, 0x04, 0x02, 0x62, 0x03},              // one byte short
      {0xF0, 0x45, 0x10, 0x10, 0x02, 0x87, 0x00, 0x04, 0x02, 0x62, 0x03, 0x00, 0x00},  // one byte long
  };
  for (const Bytes& reply : bad) {
    peer.received.clear();
    answerRequests(6, reply);
    unit() = Unit{};
    asApplication();
    EXPECT_FALSE(ReadUnitInfo(s(), unit()));
    EXPECT_EQ(requestsReceived(6), 4u);
    EXPECT_EQ(unit().unitFamily, 0);  // no card was decoded
    advanceMs(50);                    // let a long reply's tail die away
    ClearReceivedPacket(s());
  }
  // Garbage in place of a reply.
  peer.received.clear();
  peer.onByte = [](sim::ScriptedPeer& p, uint8_t) {
    if (p.received.size() % 6 == 0) p.send({0x13, 0x99, 0x00, 0xF0, 0x45, 0x10, 0x10, 0x01});
  };
  EXPECT_FALSE(ReadUnitInfo(s(), unit()));
  EXPECT_EQ(requestsReceived(6), 4u);
  // And the good reply is taken at the first attempt after all that.
  advanceMs(50);
  peer.received.clear();
  answerRequests(6, good);
  EXPECT_TRUE(ReadUnitInfo(s(), unit()));
  EXPECT_EQ(unit().cardNumber, 647);
}

TEST_F(Identify, BootLoaderVersionAndReleaseFromABootLoader) {
  loadScenarioFile("boot-loader.scn");
  unit().mode = modeBalvantaBootLoader;
  unit().address = 1;
  ASSERT_TRUE(ReadBootLoaderVersion(s(), unit()));
  EXPECT_EQ(unit().bootLoaderVersionByte, 0x53);
  ASSERT_TRUE(ReadBootLoaderRelease(s(), unit()));
  Bytes expected = Framed({0x01, 0x45, 0x10, 0x12});
  const Bytes release = Framed({0x01, 0x45, 0x10, 0x13, 0x01});
  expected.insert(expected.end(), release.begin(), release.end());
  EXPECT_EQ(takeSentByPc(), expected);
  // Both calls leave "RPC:" and "COMPLETE" to the discovery and connection loops around them.
  EXPECT_EQ(consoleLines(), (Lines{"MCUType=5 LPC1768", "Boot loader version=3", "Boot loader release=16",
                                   "BootFlags=03", "- No balvanta software present", "- production boot loader"}));
  EXPECT_EQ(unit().mcuType, mcu::LPC1768);
  EXPECT_EQ(unit().bootLoaderVersion, 3);
  EXPECT_EQ(unit().bootLoaderRelease, 16);
  EXPECT_EQ(unit().softwareChecksum, 0xFFFFFFFFu);
  EXPECT_EQ(unit().bootFlags, 0x03);
}

constexpr const char* kBootLoaderUnit = R"(
[unit bl]
card = 647
circuit = 4
state = boot-loader
boot-loader = C3
boot-release = 18
software-checksum = 0x01020304
)";

TEST_F(Identify, EveryBootFlagHasItsLineInBitOrder) {
  loadScenario(std::string(kBootLoaderUnit) + "boot-flags = 0xCC\napplication-present = no\n");
  ASSERT_TRUE(ReadBootLoaderRelease(s(), unit()));
  EXPECT_EQ(consoleLines(),
            (Lines{"MCUType=3 LPC2478", "Boot loader version=3", "Boot loader release=18",
                   "BootFlags=CD", "- No balvanta software present", "- Flash checksum is disabled",
                   "- Flash checksum has failed", "- RAM test has failed", "- JTAG interface is unlocked",
                   "- pre-production boot loader"}));
}

TEST_F(Identify, BootFlagsZeroHaveNoLinesAndTwoOnlyTheProductionLine) {
  loadScenario(std::string(kBootLoaderUnit) + "boot-flags = 0\n");
  ASSERT_TRUE(ReadBootLoaderRelease(s(), unit()));
  Lines lines = consoleLines();
  EXPECT_EQ(lines, (Lines{"MCUType=3 LPC2478", "Boot loader version=3",
                          "Boot loader release=18", "BootFlags=00"}));
  EXPECT_EQ(unit().softwareChecksum, 0x01020304u);
}

TEST_F(Identify, BootFlagsTwoHaveOnlyTheProductionLine) {
  loadScenario(std::string(kBootLoaderUnit) + "boot-flags = 2\n");
  ASSERT_TRUE(ReadBootLoaderRelease(s(), unit()));
  EXPECT_EQ(consoleLines(), (Lines{"MCUType=3 LPC2478", "Boot loader version=3",
                                   "Boot loader release=18", "BootFlags=02", "- production boot loader"}));
}

TEST_F(Identify, AnOldBootLoaderIsDescribedByItsVersionByte) {
  loadScenario(std::string(kBootLoaderUnit) + "boot-release-query = no\nboot-version-byte = 0x32\n");
  ASSERT_TRUE(ReadBootLoaderVersion(s(), unit()));
  takeSentByPc();
  clearConsole();
  unit().bootFlags = 0x55;
  EXPECT_FALSE(ReadBootLoaderRelease(s(), unit()));
  EXPECT_EQ(takeSentByPc().size(), 4u * 7u);  // four identical requests
  EXPECT_EQ(consoleLines(), (Lines{"[NO DATA]", "[NO DATA]", "[NO DATA]",
                                   "[NO DATA]", "MCUType=3 LPC2478",
                                   "Boot loader version=2", "Boot loader release=2"}));
  EXPECT_EQ(unit().mcuType, 3);
  EXPECT_EQ(unit().bootLoaderVersion, 2);
  EXPECT_EQ(unit().bootLoaderRelease, 2);
  EXPECT_EQ(unit().bootFlags, 0);
  EXPECT_EQ(unit().bootLoaderInfo, 0);
}

TEST_F(Identify, ExtendedInfoWithItsInformationText) {
  loadScenarioFile("za3-lpc2478.scn");
  asApplication();
  unit().softwareVersion = 610;
  ASSERT_TRUE(ReadExtendedInfo(s(), unit()));
  Bytes expected = Framed({0xF0, 0x45, 0x10, 0x15});
  const Bytes text = Framed({0xF0, 0x45, 0x10, 0x16});
  expected.insert(expected.end(), text.begin(), text.end());
  EXPECT_EQ(takeSentByPc(), expected);
  EXPECT_EQ(consoleLines(), (Lines{"RPC: ReadExtendedInfo", "Serial Number=470112", "COMPLETE",
                                   "RPC: ReadInformationText", "Information=Packing line 1", "COMPLETE"}));
  EXPECT_EQ(unit().serialNumber, 470112);
  EXPECT_EQ(unit().buildTime, (std::array<uint8_t, 6>{25, 11, 4, 9, 15, 0}));
  EXPECT_EQ(unit().informationText, "Packing line 1");
}

TEST_F(Identify, ControlCharactersOfTheInformationTextShowAsColons) {
  loadScenario("[unit u]\ncard = 648\ncircuit = 5\nversion = 6.05\nft-mask = 0x1234\nnew-mask = 0xBEEF\n"
               "information = \"A\\nB\\x01 \\x1F\"\n");
  asApplication();
  unit().softwareVersion = 605;
  ASSERT_TRUE(ReadExtendedInfo(s(), unit()));
  EXPECT_EQ(unit().informationText, "A:B: :");
  EXPECT_EQ(unit().ftMask, 0x1234);
  EXPECT_EQ(unit().newMask, 0xBEEF);
}

// Extended information from software 2.20 on, advanced information from 6.00 on, and neither
// of a boot loader: the far end here never answers, only whether a request goes out counts.
TEST_F(Identify, ExtendedAndAdvancedInfoAreAskedFromTheirVersionsOn) {
  useScriptedPeer();
  struct Case {
    UnitMode mode;
    int16_t version;
    bool extendedAsked, advancedAsked;
  };
  for (const Case& c : {Case{modeBalvantaSoftware, 219, false, false}, Case{modeBalvantaSoftware, 220, true, false},
                        Case{modeBalvantaSoftware, 599, true, false}, Case{modeBalvantaSoftware, 600, true, true},
                        Case{modeBalvantaBootLoader, 610, false, false}}) {
    SCOPED_TRACE(c.version);
    clearConsole();
    asApplication();
    unit().mode = c.mode;
    unit().softwareVersion = c.version;
    EXPECT_FALSE(ReadExtendedInfo(s(), unit()));
    EXPECT_EQ(!takeSentByPc().empty(), c.extendedAsked);
    EXPECT_FALSE(ReadAdvancedInfo(s(), unit()));
    EXPECT_EQ(!takeSentByPc().empty(), c.advancedAsked);
    if (!c.extendedAsked && !c.advancedAsked) {
      EXPECT_TRUE(consoleLines().empty());
    }
  }
}

TEST_F(Identify, ALongerExtendedLayoutHasItsSurplusPassedOver) {
  useScriptedPeer();
  answerRequests(6, [](size_t request) -> Bytes {
    if (request > 0) return {};
    return {0xF0, 0x45, 0x10, 0x15, 27, 0, 0, 1, 0, 2, 0, 3, 0, 0, 0x30, 0x39, 9, 9, 9, 9, 9, 9, 9,
            26, 1, 2, 3, 4, 5, 0, 0xAA, 0xBB, 0xCC};
  });
  asApplication();
  unit().softwareVersion = 610;
  ASSERT_TRUE(ReadExtendedInfo(s(), unit()));
  EXPECT_EQ(requestsReceived(6), 1u);
  EXPECT_EQ(unit().serialNumber, 12345);
  EXPECT_EQ(unit().rtMask, 2);
  EXPECT_EQ(unit().buildTime, (std::array<uint8_t, 6>{26, 1, 2, 3, 4, 5}));
  EXPECT_TRUE(unit().informationText.empty());
}

TEST_F(Identify, AnInformationTextThatNeverArrivesWholeFailsAfterEightAttempts) {
  useScriptedPeer();
  answerRequests(6, [](size_t request) -> Bytes {
    if (request == 0) {
      return {0xF0, 0x45, 0x10, 0x15, 24, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 42, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 4};
    }
    return {0xF0, 0x45, 0x10, 0x16, 'a', 'b', 'c'};  // one byte short of the four announced
  });
  asApplication();
  unit().softwareVersion = 610;
  EXPECT_FALSE(ReadExtendedInfo(s(), unit()));
  EXPECT_EQ(requestsReceived(6), 1u + 8u);
  EXPECT_EQ(unit().serialNumber, 42);  // the extended reply itself was accepted
  EXPECT_EQ(consoleLines().back(), "FAILED");
  EXPECT_THAT(consoleLines(), Contains("RPC: ReadInformationText"));
  // As the last attempt read it: a short reply reads as zero bytes.
  EXPECT_EQ(unit().informationText.view(), "::::");
}

class AdvancedInfo : public Identify {
 protected:
  void load(int length) {
    loadScenario("[unit u]\ncard = 648\ncircuit = 6\nboard-revision = C\nboard-issue = 4\nproduct = 65\n"
                 "version = 6.08\nrelease = 20\nbuild-increment = 7\nbuild-time = 2024-02-29 23:58:09\n"
                 "serial = 481999\nmodbus-address = 16\nunit-flags = 0xC1\nsoftware-checksum = 0xDEADBEEF\n"
                 "software-crc = 0x1234\nboot-loader = C4\nboot-release = 24\nadvanced-length = " +
                 std::to_string(length) + "\n");
    asApplication();
    unit().softwareVersion = 608;
    unit().unitFamily = family::Transmitter;
    unit().bootFlags = 0x81;
  }
};

TEST_F(AdvancedInfo, TheFullReplyRefreshesTheIdentity) {
  load(35);
  ASSERT_TRUE(ReadAdvancedInfo(s(), unit()));
  EXPECT_EQ(takeSentByPc(), Framed({0xF0, 0x45, 0x10, 0x14}));
  EXPECT_EQ(consoleLines(), (Lines{"RPC: ReadAdvancedInfo", "Modbus Address=16", "MCUType=4 LPC4078",
                                   "Boot loader version=4", "Boot loader release=24", "COMPLETE"}));
  EXPECT_EQ(unit().cardNumber, 648);
  EXPECT_EQ(unit().circuitCode, 6);
  EXPECT_EQ(unit().boardRevision, 3);
  EXPECT_EQ(unit().boardIssue, 4);
  EXPECT_EQ(unit().productNumber, 65);
  EXPECT_EQ(unit().softwareVersion, 608);
  EXPECT_EQ(unit().softwareRelease, 20);
  EXPECT_EQ(unit().buildIncrement, 7);
  EXPECT_EQ(unit().buildTime, (std::array<uint8_t, 6>{24, 2, 29, 23, 58, 9}));
  EXPECT_EQ(unit().softwareChecksum, 0xDEADBEEFu);
  EXPECT_EQ(unit().softwareCrc, 0x1234);
  EXPECT_EQ(unit().serialNumber, 481999);
  EXPECT_EQ(unit().modbusAddress, 16);
  EXPECT_EQ(unit().unitFlags, 0xC1);
  EXPECT_EQ(unit().bootFlags, 0x02);
  EXPECT_EQ(unit().mcuType, mcu::LPC4078);
  EXPECT_EQ(unit().unitFamily, family::Transmitter);
}

TEST_F(AdvancedInfo, WithoutOptionalBytesModbusAddressAndFlagsStayZero) {
  load(33);
  unit().modbusAddress = 9;
  unit().unitFlags = 9;
  ASSERT_TRUE(ReadAdvancedInfo(s(), unit()));
  EXPECT_EQ(unit().modbusAddress, 0);
  EXPECT_EQ(unit().unitFlags, 0);
  EXPECT_EQ(unit().serialNumber, 481999);
}

TEST_F(AdvancedInfo, WithOneOptionalByteOnlyTheModbusAddressIsTaken) {
  load(34);
  ASSERT_TRUE(ReadAdvancedInfo(s(), unit()));
  EXPECT_EQ(unit().modbusAddress, 16);
  EXPECT_EQ(unit().unitFlags, 0);
}

TEST_F(AdvancedInfo, FurtherBytesAreReadAndPassedOver) {
  load(40);
  ASSERT_TRUE(ReadAdvancedInfo(s(), unit()));
  EXPECT_EQ(unit().unitFlags, 0xC1);
  EXPECT_EQ(takeSentByPc(), Framed({0xF0, 0x45, 0x10, 0x14}));
}

TEST_F(Identify, AdvancedInfoChangesNothingUnlessAReplyIsAccepted) {
  useScriptedPeer();
  // The right echo and length, but one byte short of what L announces.
  Bytes reply{0xF0, 0x45, 0x10, 0x14, 35};
  reply.resize(4 + 34, 0x11);
  answerRequests(6, reply);
  asApplication();
  unit().softwareVersion = 610;
  unit().serialNumber = 77;
  const Unit before = unit();
  EXPECT_FALSE(ReadAdvancedInfo(s(), unit()));
  EXPECT_EQ(requestsReceived(6), 8u);
  EXPECT_EQ(consoleLines().back(), "FAILED");
  EXPECT_EQ(unit().serialNumber, 77);
  EXPECT_EQ(unit().cardNumber, before.cardNumber);
  EXPECT_EQ(unit().bootFlags, before.bootFlags);
}

}  // namespace
}  // namespace kl
