// Identification over a line with faults: every seed of a fixed set reaches the same identity.
#include <memory>
#include <string>

#include "connect/connection.h"
#include "connect/discovery.h"
#include "update/session.h"
#include "platform/sim/sim_platform.h"
#include "protocol/identification.h"
#include "sim/scenario/installation.h"
#include "sim/sim_line.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace kl::test {
namespace {

constexpr int kCom = 33;
const std::string kDisplay =
    "[unit display]\ncard = 653\ncircuit = 1\nboard-revision = A\nboard-issue = 2\nproduct = 63\nversion = 6.10\n"
    "release = 40\nbuild-increment = 11\nbuild-time = 2026-03-01 08:30:00\nserial = 530100\nmodbus-address = 4\n"
    "information = Silo weigh station\nsoftware-checksum = 0x00A4A4A4\nsoftware-crc = 0x7777\nboot-loader = C4\n"
    "boot-release = 25\nbaud = 115200\n";

// One run on its own simulated machine: discovery, connection and the identity reads.
struct IdentificationRun {
  explicit IdentificationRun(uint64_t seed, double faultRate)
      : sim(dir.path(), seed), line(sim.world, sim.process), session(sim.platform) {
    scenario = sim::parseScenario(kDisplay, "noisy.scn");
    installation = std::make_unique<sim::Installation>(scenario, sim.world);
    line.connect(installation->portUnit());
    for (sim::LineFaults* faults : {&line.towardsPc, &line.towardsDevice}) {
      faults->bitFlipRate = faultRate;
      faults->dropRate = faultRate;
      faults->strayRate = 4 * faultRate;
    }
    sim::AttachSimLine(sim, kCom, line);
  }

  bool identify() {
    FindPortAndUnit(session, session.unit);
    if (!ConnectToUnit(session, session.unit)) return false;
    return ReadExtendedInfo(session, session.unit) && ReadAdvancedInfo(session, session.unit);
  }

  std::string consoleTail() {
    session.out.flushConsole();
    const std::string& out = sim.console.output();
    return out.substr(out.size() > 3000 ? out.size() - 3000 : 0);
  }

  TempDir dir;
  SimPlatform sim;
  sim::SimLine line;
  Session session;
  sim::Scenario scenario;
  std::unique_ptr<sim::Installation> installation;
};

std::string IdentityText(const Unit& u) {
  return std::to_string(u.mode) + " " + std::to_string(u.address) + " " + std::to_string(u.cardNumber) + " " +
         std::to_string(u.circuitCode) + " " + std::to_string(u.softwareVersion) + "r" +
         std::to_string(u.softwareRelease) + " " + std::to_string(u.serialNumber) + " " +
         std::to_string(u.modbusAddress) + " " + u.informationText.str() + " " + std::to_string(u.softwareChecksum) + " " +
         std::to_string(u.softwareCrc) + " " + std::to_string(u.bootLoaderRelease) + " " +
         std::to_string(u.buildTime[5]) + " " + std::to_string(u.productNumber);
}

TEST(NoisyLine, EverySeedReachesTheIdentityOfTheCleanLine) {
  IdentificationRun clean(1, 0.0);
  ASSERT_TRUE(clean.identify());
  const std::string expected = IdentityText(clean.session.unit);
  ASSERT_EQ(clean.session.unit.serialNumber, 530100);
  ASSERT_EQ(clean.session.unit.informationText, "Silo weigh station");

  // Rates that the calls with the fewest attempts (two for the extended information) absorb.
  int retriedRuns = 0;
  for (uint64_t seed = 1; seed <= 200; ++seed) {
    IdentificationRun noisy(seed, 0.0005);
    noisy.session.givenOptions().debug = true;  // the log of a failing seed shows where it gave up
    ASSERT_TRUE(noisy.identify()) << "seed " << seed << "\n" << noisy.consoleTail();
    EXPECT_EQ(IdentityText(noisy.session.unit), expected) << "seed " << seed;
    // A fault that cost a retry shows as more traffic than on the clean line.
    if (noisy.line.sentByPc().size() != clean.line.sentByPc().size()) ++retriedRuns;
  }
  RecordProperty("retriedRuns", retriedRuns);
  // The faults did reach the exchanges: many runs needed retries.
  EXPECT_GT(retriedRuns, 10);
}

}  // namespace
}  // namespace kl::test
