// Rebooting a running unit into its boot loader at a speed the program can follow.
#include <optional>

#include "connect/connection.h"
#include "connect/discovery.h"
#include "connect_fixture.h"
#include "protocol/link_speed.h"
#include "wire/commands.h"

namespace kl::test {
namespace {

constexpr int kCom = 3;
constexpr uint8_t kAddress = 5;

// A unit whose restarts end in its boot loader only from the `bootOnReboot`-th request on:
// earlier restarts miss the boot loader's window and come back into the application.
class RebootingUnit {
 public:
  RebootingUnit(sim::ScriptedPeer& peer, uint32_t appBaud, uint32_t bootBaud, int bootOnReboot)
      : peer_(peer), bootBaud_(bootBaud), bootOnReboot_(bootOnReboot) {
    peer_.port()->setFormat({appBaud, sim::Parity::None});
    peer_.onByte = [this](sim::ScriptedPeer&, uint8_t byte) { receive(byte); };
  }

  bool answersGotoBootLoader = true;
  int reboots = 0;
  int speedRequests = 0;
  bool inBootLoader = false;
  // The boot loader keeps quiet this long after a restart.
  uint64_t bootLoaderQuietUs = 0;
  // A flash programmer runs where the boot loader would; it misses its first question.
  bool programmerLeft = false;
  int programmerProbes = 0;

 private:
  void receive(uint8_t byte) {
    pending_.push_back(byte);
    for (size_t length : {4u, 5u, 6u, 7u, 10u}) {
      if (pending_.size() < length) continue;
      std::vector<uint8_t> frame(pending_.end() - static_cast<long>(length), pending_.end());
      if (wire::crc16(frame.data(), frame.size()) != 0) continue;
      frame.resize(length - 2);
      pending_.clear();
      handle(frame);
      return;
    }
    if (pending_.size() > 64) pending_.erase(pending_.begin(), pending_.end() - 16);
  }

  void reply(const std::vector<uint8_t>& payload, std::function<void()> afterSent = {}) {
    peer_.send(Framed(payload), 500);
    if (afterSent) whenSent(std::move(afterSent));
  }
  void whenSent(std::function<void()> action) {
    peer_.port()->scheduler().after(1000, [this, action] {
      if (peer_.port()->sending()) {
        whenSent(action);
      } else {
        action();
      }
    });
  }
  void setBaud(uint32_t baud) { peer_.port()->setFormat({baud, sim::Parity::None}); }

  void handle(const std::vector<uint8_t>& f) {
    if (f.size() == 2) {
      if (!inBootLoader && f[1] == 0x41 && (f[0] == kAddress || f[0] == 0xF0)) reply({f[0], 0x42});
      return;
    }
    if (f.size() < 4 || f[1] != 0x45) return;
    const uint16_t command = static_cast<uint16_t>(f[2] << 8 | f[3]);
    std::vector<uint8_t> out(f.begin(), f.begin() + 4);
    if (inBootLoader) {
      if (f[0] != 1 || peer_.port()->scheduler().nowUs() < bootSinceUs_ + bootLoaderQuietUs) return;
      if (programmerLeft) {
        if (command != wire::cmd::GetProgrammerVersion || ++programmerProbes == 1) return;
        out.insert(out.end(), {3, 0x11});
      } else if (command == wire::cmd::ReadBootLoaderVersion) {
        out.push_back(0x54);
      } else if (command == wire::cmd::ReadBootLoaderRelease) {
        for (uint8_t b : {0, 5, 4, 24, 0, 0, 0, 0, 2}) out.push_back(b);
      } else if (command == wire::cmd::GetBufferSize) {
        out.push_back(0x08);
        out.push_back(0x00);
      } else {
        return;
      }
      reply(out);
      return;
    }
    if (f[0] != kAddress && f[0] != 0xF0) return;
    switch (command) {
      case wire::cmd::GetModbusAddress:
        out.push_back(kAddress);
        reply(out);
        return;
      case wire::cmd::SetUnitBaudRate: {
        ++speedRequests;
        const uint32_t baud = static_cast<uint32_t>(f[4] << 24 | f[5] << 16 | f[6] << 8 | f[7]);
        reply(out, [this, baud] { setBaud(baud); });
        return;
      }
      case wire::cmd::GotoBootLoader:
        if (!answersGotoBootLoader) return;
        reply(out, [this] {
          if (++reboots < bootOnReboot_) return;
          inBootLoader = true;
          bootSinceUs_ = peer_.port()->scheduler().nowUs();
          setBaud(bootBaud_);
        });
        return;
      default:
        return;
    }
  }

  sim::ScriptedPeer& peer_;
  uint32_t bootBaud_;
  int bootOnReboot_;
  uint64_t bootSinceUs_ = 0;
  std::vector<uint8_t> pending_;
};

class InitialiseTest : public ConnectTest {
 protected:
  void start(uint32_t appBaud, uint32_t bootBaud, int bootOnReboot, int16_t version = 610) {
    sim::ScriptedPeer& peer = placePeer(kCom, appBaud);
    fake.emplace(peer, appBaud, bootBaud, bootOnReboot);
    s().givenOptions().port = kCom;
    FindPortAndUnit(s(), s().unit);
    ASSERT_EQ(s().unit.mode, modeBalvantaSoftware);
    s().unit.softwareVersion = version;
    s().unit.bootLoaderRelease = 24;
    s().portSettings.hardwareHandshake = 1;
    s().out.flushConsole();
    sim.console.clearOutput();
  }
  std::optional<RebootingUnit> fake;
};

struct RebootCase {
  int bootOnReboot;
  uint32_t bootBaud;
  const char* pcChange;
};

class RebootAttemptTest : public InitialiseTest, public ::testing::WithParamInterface<RebootCase> {};

TEST_P(RebootAttemptTest, BootLoaderIsReachedOnThatAttempt) {
  const RebootCase& c = GetParam();
  start(19200, c.bootBaud, c.bootOnReboot);
  ASSERT_TRUE(InitialiseForUpdate(s(), s().unit));
  EXPECT_EQ(fake->reboots, c.bootOnReboot);
  EXPECT_EQ(s().unit.mode, modeBalvantaBootLoader);
  EXPECT_EQ(s().unit.bufferSize, 2048);
  EXPECT_EQ(s().unit.bootLoaderRelease, 24);
  EXPECT_EQ(s().portSettings.baudRate, c.bootBaud);
  EXPECT_EQ(s().portSettings.hardwareHandshake, 0);
  EXPECT_EQ(line(kCom).pcSettings().baud, c.bootBaud);
  const std::string out = console();
  EXPECT_TRUE(shows("InitialiseForUpdate: Rebooting unit\r\n-- hardware handshaking disabled\r\n"));
  EXPECT_TRUE(shows(std::string("RPC: GotoBootLoader\r\nCOMPLETE\r\n") + c.pcChange));
  EXPECT_EQ(out.find("please turn the unit power off"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    FourAttempts, RebootAttemptTest,
    ::testing::Values(RebootCase{1, 9600, "baud rate = 9600 (no change) timeout=50ms"},
                      RebootCase{2, 115200, "ChangePacketBaudRate: direct call to comm port"},
                      RebootCase{3, 9600, "ChangePacketBaudRate: re-opening comm port"},
                      RebootCase{4, 115200, "ChangePacketBaudRate: re-opening comm port"}));

// The boot loader is given a second to answer after the restart: one that takes most of it is
// heard without a search of the port.
TEST_F(InitialiseTest, ABootLoaderSlowToAnswerIsHeardWithinItsSecond) {
  start(19200, 9600, 1);
  fake->bootLoaderQuietUs = 900000;
  ASSERT_TRUE(InitialiseForUpdate(s(), s().unit));
  EXPECT_EQ(fake->reboots, 1);
  EXPECT_EQ(s().unit.mode, modeBalvantaBootLoader);
  EXPECT_FALSE(shows("Checking for LPC chip firmware"));
}

// A programmer an earlier run left running is asked twice before the unit is taken for its
// boot loader: one that misses the first question is still found, and kept.
TEST_F(InitialiseTest, AProgrammerLeftRunningIsAskedTwice) {
  start(9600, 9600, 1);
  fake->inBootLoader = fake->programmerLeft = true;
  s().unit.mode = modeBalvantaBootLoader;
  ASSERT_TRUE(InitialiseForUpdate(s(), s().unit, true));
  EXPECT_EQ(s().unit.mode, modeFlashProgrammer);
  EXPECT_EQ(fake->programmerProbes, 2);
  EXPECT_EQ(fake->reboots, 0);
}

TEST_F(InitialiseTest, BootLoaderFoundAtAnotherSpeedEndsTheReboots) {
  // The boot loader waits at 115200 while the first row looks for it at 9600: the search
  // finds it there, and no further reboot is asked of a unit that is where it should be.
  start(19200, 115200, 1);
  ASSERT_TRUE(InitialiseForUpdate(s(), s().unit));
  EXPECT_EQ(fake->reboots, 1);
  EXPECT_EQ(CountOf(line(kCom).deliveredToDevice(), {kAddress, 0x45, 0x10, 0x11}), 1);
  EXPECT_EQ(CountOf(line(kCom).deliveredToDevice(), {0x01, 0x45, 0x10, 0x11}), 0);
  EXPECT_EQ(s().unit.mode, modeBalvantaBootLoader);
  EXPECT_EQ(s().unit.bufferSize, 2048);
  EXPECT_EQ(s().portSettings.baudRate, 115200u);
  EXPECT_EQ(console().find("please turn the unit power off"), std::string::npos);
}

TEST_F(InitialiseTest, UnitWaitingInItsBootLoaderIsNotRebooted) {
  placeFile("boot-loader.scn", kCom);
  s().givenOptions().port = kCom;
  FindPortAndUnit(s(), s().unit);
  ASSERT_TRUE(ConnectToUnit(s(), s().unit));
  ASSERT_EQ(s().unit.mode, modeBalvantaBootLoader);
  const uint64_t began = nowMs();
  ASSERT_TRUE(InitialiseForUpdate(s(), s().unit));
  EXPECT_LT(nowMs() - began, 1000u);
  EXPECT_EQ(CountOf(line(kCom).deliveredToDevice(), {0x01, 0x45, 0x10, 0x11}), 0);
  EXPECT_EQ(s().unit.bufferSize, 1024);
  EXPECT_EQ(console().find("please turn the unit power off"), std::string::npos);
}

// The speed table against simulated units, whose boot loaders go back to the application
// when nobody speaks to them within their window.
struct SimulatedReboot {
  const char* name;
  const char* keys;
  int reboots;         // GotoBootLoader requests that were answered
  uint32_t bootBaud;   // where the boot loader was found
};

class SimulatedRebootTest : public InitialiseTest, public ::testing::WithParamInterface<SimulatedReboot> {};

TEST_P(SimulatedRebootTest, BootLoaderIsReachedWithoutAPowerCycle) {
  const SimulatedReboot& c = GetParam();
  sim::Unit& unit = place(std::string("[unit zs3]\ncard = 648\ncircuit = 5\nmodbus-address = 5\n") + c.keys, kCom);
  s().givenOptions().port = kCom;
  FindPortAndUnit(s(), s().unit);
  ASSERT_TRUE(ConnectToUnit(s(), s().unit));
  ASSERT_TRUE(InitialiseForUpdate(s(), s().unit));
  EXPECT_EQ(CountOf(line(kCom).deliveredToDevice(), {kAddress, 0x45, 0x10, 0x11}), c.reboots);
  EXPECT_EQ(CountOf(line(kCom).deliveredToDevice(), {0x01, 0x45, 0x10, 0x11}), 0);
  EXPECT_EQ(unit.mode(), sim::UnitMode::BootLoader);
  EXPECT_EQ(s().unit.mode, modeBalvantaBootLoader);
  EXPECT_EQ(s().portSettings.baudRate, c.bootBaud);
  EXPECT_EQ(s().unit.bufferSize, 1024);
  EXPECT_EQ(console().find("please turn the unit power off"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, SimulatedRebootTest,
    ::testing::Values(
        SimulatedReboot{"BootLoaderAt9600", "boot-baud = 9600\n", 1, 9600},
        // Missed at 9600 within its window: the application comes back, the second row finds it.
        SimulatedReboot{"BootLoaderAt115200", "boot-baud = 115200\n", 2, 115200},
        // Missed at 9600, but still waiting when the search tries 115200: taken there.
        SimulatedReboot{"LongWindow", "boot-baud = 115200\ngoto-boot-window-ms = 5000\n", 1, 115200},
        SimulatedReboot{"InheritsTheUnitSpeed", "boot-baud = inherit\n", 1, 9600},
        // An older application keeps its speed; only the PC's side cycles.
        SimulatedReboot{"OlderApplication", "version = 5.90\nbaud = 19200\nboot-baud = 115200\n", 2, 115200}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(InitialiseTest, UnitSpeedFollowsTheTable) {
  start(19200, 115200, 4);
  ASSERT_TRUE(InitialiseForUpdate(s(), s().unit));
  // 9600 for the first two reboots, 115200 for the last two; a speed already set needs no request.
  EXPECT_EQ(fake->speedRequests, 2);
}

TEST_F(InitialiseTest, OlderApplicationIsRebootedWithoutASpeedChange) {
  start(19200, 115200, 2, 599);
  ASSERT_TRUE(InitialiseForUpdate(s(), s().unit));
  EXPECT_EQ(fake->speedRequests, 0);
  EXPECT_EQ(console().find("Changing Balvanta baud rate"), std::string::npos);
}

TEST_F(InitialiseTest, ApplicationFromSixNoughtOnIsTakenToTheTablesSpeed) {
  start(19200, 115200, 2, 600);
  ASSERT_TRUE(InitialiseForUpdate(s(), s().unit));
  EXPECT_EQ(fake->speedRequests, 1);
}

TEST_F(InitialiseTest, UnansweredRebootGoesStraightToThePowerCycle) {
  start(19200, 9600, 1);
  fake->answersGotoBootLoader = false;
  sim.console.onOutput = [this](std::string_view text) {
    if (text.find("please turn the unit power off and on now") != std::string_view::npos) sim.console.pressKeys("\x1b");
  };
  EXPECT_TRUE(endsRun([&] { InitialiseForUpdate(s(), s().unit); }));
  EXPECT_EQ(fake->reboots, 0);
  EXPECT_EQ(CountOf(line(kCom).deliveredToDevice(), {kAddress, 0x45, 0x10, 0x11}), 8);
  EXPECT_TRUE(shows("Fatal Error: Aborted"));
}

TEST_F(InitialiseTest, UnitSpeedThatCannotBeSetEndsTheRun) {
  start(19200, 9600, 1);
  line(kCom).towardsPc.dropRate = 1.0;  // nothing the unit says arrives any more
  EXPECT_TRUE(endsRun([&] { InitialiseForUpdate(s(), s().unit); }));
  EXPECT_TRUE(shows("Fatal Error: Unable to change baud rate"));
}

}  // namespace
}  // namespace kl::test
