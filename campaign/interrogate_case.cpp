// Interrogation: the connected unit and every unit on its network shown with what they are,
// or, for older software and a unit in its boot loader, what its boot loader tells; nothing
// written to any unit.
#include "draws.h"
#include "flow_case.h"
#include "network.h"
#include "sim/scenario/scenario.h"
#include "unit_checks.h"

namespace kl::campaign {

namespace {

// The values shown after `label` (e.g. "   Serial No       : "), one per line.
std::vector<std::string> Shown(const std::string& console, const std::string& label) {
  std::vector<std::string> values;
  for (size_t at = console.find(label); at != std::string::npos; at = console.find(label, at + 1)) {
    const size_t from = at + label.size();
    values.push_back(console.substr(from, console.find("\r\n", from) - from));
  }
  return values;
}

class InterrogateCase : public FlowCase {
 public:
  explicit InterrogateCase(std::mt19937_64& random) {
    switch (Between(random, 0, 3)) {
      case 0:
      case 1: {
        const std::vector<NetworkUnit> remotes = SomeOf(random, RemoteUnits(), true);
        installation_ = Section(Display(), remotes) + OutdatedSoftware(random);
        for (const NetworkUnit& remote : remotes) installation_ += Section(remote) + OutdatedSoftware(random);
        break;
      }
      case 2:
        // Software before 6.00: the unit is shown from its boot loader and restarted.
        installation_ = ShippedScenario(Pick<std::string>(random, {"zs3-lpc1768.scn", "zc3.scn", "zs4.scn"})) +
                        "version = 5.90\n";
        fromBootLoader_ = true;
        break;
      default:
        installation_ = ShippedScenario(Pick<std::string>(random, {"boot-loader.scn", "za3-lpc4357.scn", "zs4.scn"})) +
                        "state = boot-loader\n";
        fromBootLoader_ = true;
        stays_ = false;
        break;
    }
    options_ = {"-i"};
    const sim::Scenario scenario = sim::parseScenario(installation_, "interrogate.scn");
    for (const sim::UnitSpec& spec : scenario.units) units_.push_back(spec.state.application);
    targets_ = FaultTargets{units_.size(), false};
  }

  void remember(Site& site) override {
    for (size_t i = 0; i < site.unitCount(); ++i) flash_.push_back(site.unit(i).state().flash.image());
  }

  Verdict judge(Site& site, const RunEnd& end) override {
    for (size_t i = 0; i < site.unitCount(); ++i) {
      if (Problem p = UnchangedProblem(site.unit(i), flash_[i])) return Violated(*p);
    }
    // What is shown is what the units are: no value from a garbled reply.
    std::vector<std::string> serials;
    std::vector<std::string> cards;
    for (const sim::ApplicationIdentity& unit : units_) {
      serials.push_back(std::to_string(unit.serialNumber));
      cards.push_back("c" + std::to_string(unit.cardNumber) + "r" + std::to_string(unit.circuitCode));
    }
    const auto known = [](const std::vector<std::string>& values, const std::string& value, bool prefix) {
      for (const std::string& v : values) {
        if (prefix ? value.starts_with(v) : value == v) return true;
      }
      return false;
    };
    for (const std::string& serial : Shown(end.console, "   Serial No       : ")) {
      // A unit that did not tell its number is shown without one: not a wrong value.
      if (serial == "unknown") continue;
      if (!known(serials, serial, false)) return Violated("shows serial number " + serial + ", which no unit has");
    }
    const std::vector<std::string> shownCards = Shown(end.console, "   Card            : ");
    for (const std::string& card : shownCards) {
      if (!known(cards, card, true)) return Violated("shows card " + card + ", which no unit has");
    }
    if (end.exitCode != 0 || FatalMessage(end)) {
      if (std::optional<Verdict> stop = JudgeStop(end, "")) return *stop;
      return Violated("ended with exit code " + std::to_string(end.exitCode.value_or(-1)));
    }
    if (fromBootLoader_) {
      if (shownCards.empty()) return FailedCleanly("the unit was not shown");
      // A unit the fault switched off after the run's last word tells nothing of the run.
      if (stays_ && site.unit(0).powered() && site.unit(0).mode() != sim::UnitMode::Application) {
        return Violated(std::string("shown, but the unit was left in ") + sim::unitModeName(site.unit(0).mode()));
      }
      return Succeeded();
    }
    const std::vector<std::string> shownSerials = Shown(end.console, "   Serial No       : ");
    for (const std::string& serial : serials) {
      if (!known(shownSerials, serial, false)) return FailedCleanly("unit " + serial + " was not shown");
    }
    return Succeeded();
  }

 private:
  std::vector<sim::ApplicationIdentity> units_;
  std::vector<std::vector<uint8_t>> flash_;
  bool fromBootLoader_ = false;
  bool stays_ = true;  // the unit runs its application again afterwards
};

}  // namespace

std::unique_ptr<FlowCase> DrawInterrogate(std::mt19937_64& random) {
  return std::make_unique<InterrogateCase>(random);
}

}  // namespace kl::campaign
