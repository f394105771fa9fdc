#include "site/simulated_site.h"

#include "transport/serial_port.h"
#include "update/main_sequence.h"
#include "update/session.h"

namespace kl {

namespace {

constexpr uint64_t kSettleUs = 5'000'000;
constexpr std::string_view kQuestion = "(y/n)";
constexpr std::string_view kPowerCycleRequest = "please turn the unit power off and on now";
constexpr std::string_view kFound = "-- Found Unit";

}  // namespace

SimulatedSite::SimulatedSite(const std::string& root, uint64_t seed, int comPort)
    : platform(root, seed), line(platform.world, platform.process), comPort_(comPort) {
  sim::AttachSimLine(platform, comPort_, line);
}

SimulatedSite::~SimulatedSite() {
  if (session) ClosePort(*session);
}

sim::Unit& SimulatedSite::load(const sim::Scenario& loaded) {
  if (installation) platform.world.drain(platform.world.nowUs() + kRetireUs);
  scenario = loaded;
  installation = std::make_unique<sim::Installation>(scenario, platform.world);
  line.connect(portUnit());
  for (sim::LineFaults* faults : {&line.towardsPc, &line.towardsDevice}) {
    faults->bitFlipRate = scenario.line.bitFlipPerMillion / 1e6;
    faults->dropRate = scenario.line.dropPerMillion / 1e6;
  }
  return portUnit();
}

Session& SimulatedSite::newSession() {
  if (session) ClosePort(*session);
  session = std::make_unique<Session>(platform.platform);
  return *session;
}

uint32_t SimulatedSite::portUnitBaud() {
  if (portUnit().settings().start == sim::StartMode::BootLoader) return portUnit().settings().bootLoaderBaud;
  return portUnit().settings().applicationFormat.baud;
}

void SimulatedSite::watchConsole(const Operator& person) {
  consoleSeen_ = 0;
  answersGiven_ = 0;
  World& world = platform.world;
  platform.console.onOutput = [this, person, &world](std::string_view) {
    const std::string& text = platform.console.output();
    // A prompt may arrive in pieces: look again from a little before the end of the last look.
    const size_t from = consoleSeen_ > kPowerCycleRequest.size() ? consoleSeen_ - kPowerCycleRequest.size() : 0;
    for (size_t at = text.find(kQuestion, from); at != std::string::npos; at = text.find(kQuestion, at + 1)) {
      if (at + kQuestion.size() <= consoleSeen_) continue;
      if (answersGiven_ < person.answers.size()) {
        platform.console.pressKeys(std::string(1, person.answers[answersGiven_++]),
                                   world.nowUs() + person.answerDelayUs);
      }
    }
    for (size_t at = text.find(kPowerCycleRequest, from); at != std::string::npos;
         at = text.find(kPowerCycleRequest, at + 1)) {
      if (at + kPowerCycleRequest.size() <= consoleSeen_) continue;
      // By the time the operator's hand is at the switch the program may have found the
      // unit already: then there is nothing to do.
      sim::Unit& unit = portUnit();
      world.after(person.powerCycleDelayUs, [this, &unit, at, run = runNumber_] {
        if (run == runNumber_ && platform.console.output().find(kFound, at) == std::string::npos) unit.powerCycle();
      });
    }
    consoleSeen_ = text.size();
  };
}

RunEnd SimulatedSite::run(std::vector<std::string> arguments, const Operator& person, uint64_t limitUs) {
  Session& s = newSession();
  platform.console.clearOutput();
  watchConsole(person);
  arguments.insert(arguments.begin(), "kestrelink");
  arguments.push_back("COM" + std::to_string(comPort_));

  World& world = platform.world;
  RunEnd end;
  const uint64_t start = world.nowUs();
  world.setDeadline(start + limitUs);
  try {
    const int code = RunKestrelink(s, arguments);
    platform.process.exit(code);
  } catch (const ProcessExit& exit) {
    end.exitCode = exit.code;
  } catch (const DeadlinePassed&) {
    end.exitCode.reset();
  }
  world.clearDeadline();
  end.durationUs = world.nowUs() - start;
  s.out.flushConsole();
  platform.console.onOutput = nullptr;
  end.console = platform.console.output();
  end.answers = person.answers.substr(0, answersGiven_);
  ClosePort(s);
  session.reset();
  ++runNumber_;
  platform.console.dropKeys();
  settle(kSettleUs);
  return end;
}

}  // namespace kl
