#include "site.h"

#include <filesystem>

#include "driver/session.h"
#include "sim/scenario/scenario.h"
#include "transport/serial_port.h"
#include "update/main_sequence.h"

namespace kl::campaign {

namespace {

constexpr uint64_t kSettleUs = 5'000'000;
constexpr std::string_view kQuestion = "(y/n)";
constexpr std::string_view kPowerCycleRequest = "please turn the unit power off and on now";
constexpr std::string_view kFound = "-- Found Unit";

}  // namespace

Site::Site(const std::string& scenarioText, uint64_t seed)
    : platform_(folder_.path(), seed), line_(platform_.world, platform_.process) {
  for (const char* folder : {"bin", "tmp", "locks"}) std::filesystem::create_directories(folder_.file(folder));
  platform_.environment.variables["TEMP"] = folder_.file("tmp");
  platform_.environment.variables["BALVANTALOCKDIR"] = folder_.file("locks");
  sim::Scenario scenario = sim::parseScenario(scenarioText, "campaign.scn");
  scenario.seed = seed;
  installation_ = std::make_unique<sim::Installation>(scenario, platform_.world);
  sim::AttachSimLine(platform_, kComPort, line_);
  line_.connect(installation_->portUnit());
}

Site::~Site() {
  if (session_) ClosePort(*session_);
}

void Site::watchConsole(const Operator& person) {
  consoleSeen_ = 0;
  answersGiven_ = 0;
  platform_.console.onOutput = [this, person](std::string_view) {
    const std::string& text = platform_.console.output();
    // A prompt may arrive in pieces: look again from a little before the end of the last look.
    const size_t from = consoleSeen_ > kPowerCycleRequest.size() ? consoleSeen_ - kPowerCycleRequest.size() : 0;
    for (size_t at = text.find(kQuestion, from); at != std::string::npos; at = text.find(kQuestion, at + 1)) {
      if (at + kQuestion.size() <= consoleSeen_) continue;
      if (answersGiven_ < person.answers.size()) {
        platform_.console.pressKeys(std::string(1, person.answers[answersGiven_++]),
                                    world().nowUs() + person.answerDelayUs);
      }
    }
    for (size_t at = text.find(kPowerCycleRequest, from); at != std::string::npos;
         at = text.find(kPowerCycleRequest, at + 1)) {
      if (at + kPowerCycleRequest.size() <= consoleSeen_) continue;
      // By the time the operator's hand is at the switch the program may have found the
      // unit already: then there is nothing to do.
      sim::Unit& portUnit = installation_->portUnit();
      world().after(person.powerCycleDelayUs, [this, &portUnit, at, run = runNumber_] {
        if (run == runNumber_ && platform_.console.output().find(kFound, at) == std::string::npos) portUnit.powerCycle();
      });
    }
    consoleSeen_ = text.size();
  };
}

RunEnd Site::run(std::vector<std::string> arguments, const Operator& person, uint64_t limitUs) {
  if (session_) ClosePort(*session_);
  session_ = std::make_unique<Session>(platform_.platform);
  platform_.console.clearOutput();
  watchConsole(person);
  arguments.insert(arguments.begin(), "kestrelink");
  arguments.push_back("COM" + std::to_string(kComPort));

  RunEnd end;
  const uint64_t start = world().nowUs();
  world().setDeadline(start + limitUs);
  try {
    const int code = RunKestrelink(*session_, arguments);
    platform_.process.exit(code);
  } catch (const ProcessExit& exit) {
    end.exitCode = exit.code;
  } catch (const DeadlinePassed&) {
    end.exitCode.reset();
  }
  world().clearDeadline();
  end.durationUs = world().nowUs() - start;
  session_->out.flushConsole();
  platform_.console.onOutput = nullptr;
  end.console = platform_.console.output();
  end.answers = person.answers.substr(0, answersGiven_);
  ClosePort(*session_);
  session_.reset();
  ++runNumber_;
  platform_.console.dropKeys();
  settle(kSettleUs);
  return end;
}

void Site::settle(uint64_t us) { world().advanceTo(world().nowUs() + us); }

}  // namespace kl::campaign
