// The field update of a display relaying to units on its network: every unit, the display
// included, is sent the carried release as update files and applies it when it restarts, at
// once or later as the operator chooses.
#include <set>

#include "draws.h"
#include "flow_case.h"
#include "network.h"
#include "unit_checks.h"

namespace kl::campaign {

namespace {

constexpr uint64_t kRestartUs = 15'000'000;

// The addresses in the table of units the run showed ("Address  Information"), which ends
// with an empty line. A replay's Debug lines come in between: only "   NNNN  text" counts.
std::set<int> TableAddresses(const std::string& console) {
  std::set<int> addresses;
  const size_t table = console.find("Address  Information\r\n");
  if (table == std::string::npos) return addresses;
  for (size_t at = console.find("\r\n", table) + 2; at < console.size();) {
    const size_t end = console.find("\r\n", at);
    const std::string line = console.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (line.empty()) break;
    const std::string number = line.size() > 9 ? line.substr(3, 4) : std::string();
    const size_t digits = number.find_first_not_of(' ');
    if (line.compare(0, 3, "   ") == 0 && line.compare(7, 2, "  ") == 0 && digits != std::string::npos &&
        number.find_first_not_of("0123456789", digits) == std::string::npos) {
      addresses.insert(std::stoi(number));
    }
    if (end == std::string::npos) break;
    at = end + 2;
  }
  return addresses;
}

class MultiUnitCase : public FlowCase {
 public:
  explicit MultiUnitCase(std::mt19937_64& random) {
    units_ = {Display()};
    const std::vector<NetworkUnit> remotes = SomeOf(random, RemoteUnits(), false);
    units_.insert(units_.end(), remotes.begin(), remotes.end());
    installation_ = Section(units_[0], remotes) + software(random) +
                    "network-baud = " + Pick<std::string>(random, {"115200", "460800"}) + "\n" +
                    SomeCarriedFiles(random, units_[0].card, 0);
    for (const NetworkUnit& remote : remotes) {
      installation_ += Section(remote) + software(random) + SomeCarriedFiles(random, remote.card, 0);
    }
    options_.push_back(DrawSpeed(random));
    targets_ = FaultTargets{units_.size(), false};
  }

  void remember(Site& site) override {
    for (size_t i = 0; i < site.unitCount(); ++i) {
      bootBlocks_.push_back(BootBlock(site.unit(i)));
      fields_.push_back(Fields(site.unit(i)));
      flash_.push_back(site.unit(i).state().flash.image());
    }
  }

  // A unit is to be refused by a run while its flash still holds the later build: an earlier
  // run that found it in its boot loader may have replaced it.
  void beforeRun(Site& site) override {
    refusedNow_.assign(refused_.size(), false);
    for (size_t i = 0; i < refused_.size() && i < site.unitCount(); ++i) {
      const sim::UnitState& state = site.unit(i).state();
      refusedNow_[i] = refused_[i] && state.applicationPresent && state.application.softwareVersion >= 600 &&
                       state.application.buildIncrement > 1;
    }
  }

  Verdict judge(Site& site, const RunEnd& end) override {
    std::set<int> listed = TableAddresses(end.console);
    // A display that did not answer in its application was caught in its boot loader after the
    // power cycle the run asked for; a boot loader tells no build increment, so the program
    // cannot know a later build there, and bringing the display to the carried release whole
    // is sound. One that told its build must be refused. This holds for the run judged only:
    // the display answers a later run in its application again and must be refused there.
    std::vector<bool> refused = refusedNow_;
    if (listed.empty() && refused[0] && Shows(end, "-- Found Unit (balvanta boot loader)") && !ShowsLaterBuild(end)) {
      refused[0] = false;
    }
    // No list of units (none answered the display's listing): the display alone, through its
    // boot loader. A unit the display did not list (it did not answer then) is not the run's
    // to update; the table never lists the ZK7 test jig.
    if (listed.empty()) listed.insert(units_[0].modbusAddress);
    std::optional<size_t> refusedListed;
    for (size_t i = 0; i < units_.size(); ++i) {
      if (refused[i] && listed.contains(units_[i].modbusAddress)) refusedListed = i;
    }
    const bool complete = end.exitCode == 0 && Shows(end, "Complete: some units could not be updated");
    if (end.exitCode == 0 && Shows(end, "Success: all operations are complete")) {
      if (refusedListed) {
        return Violated("success, but unit " + site.unit(*refusedListed).name() +
                        " runs a later build, which the program refuses to replace");
      }
      if (Problem p = listedProblem(site, end, listed, refused)) return Violated("success, but " + *p);
      return Succeeded();
    }
    // With a unit it must refuse, this is the best end a run can have: every other listed unit
    // updated, and the refused one as it was.
    if (complete && refusedListed) {
      if (Problem p = listedProblem(site, end, listed, refused)) {
        return FailedCleanly("some units could not be updated: " + *p);
      }
      return Succeeded();
    }
    if (complete) return FailedCleanly("some units could not be updated");
    if (std::optional<Verdict> stop = JudgeStop(end, "")) return *stop;
    return Violated("ended with exit code " + std::to_string(end.exitCode.value_or(-1)) +
                    ", neither its success line nor a failure message");
  }

 private:
  // Older software that takes update files; now and then a later build (6.00 on, build
  // increment above 1) that the program must refuse to replace.
  std::string software(std::mt19937_64& random) {
    refused_.push_back(Chance(random, 0.06));
    if (!refused_.back()) return OutdatedSoftware(random);
    return "version = 6.0" + std::to_string(Between(random, 0, 9)) + "\nrelease = " +
           std::to_string(Between(random, 0, 40)) + "\nbuild-increment = " + std::to_string(Between(random, 2, 9)) +
           "\nunit-flags = 0x01\n";
  }

  // The first listed unit not as the run must leave it. Units that were off come back; when
  // the operator chose a later restart, every unit is switched off and on now. Either way the
  // units apply what they were sent.
  Problem listedProblem(Site& site, const RunEnd& end, const std::set<int>& listed,
                        const std::vector<bool>& refused) const {
    bool restart = Shows(end, "Software update will be applied the next time Balvanta is restarted");
    for (size_t i = 0; i < site.unitCount(); ++i) restart = restart || !site.unit(i).powered();
    if (restart) {
      for (size_t i = 0; i < site.unitCount(); ++i) {
        if (site.unit(i).powered()) {
          site.unit(i).powerCycle();
        } else {
          site.unit(i).powerOn();
        }
      }
      site.settle(kRestartUs);
    }
    if (!listed.contains(units_[0].modbusAddress)) return "the display was not in the table";
    for (size_t i = 0; i < site.unitCount(); ++i) {
      sim::Unit& unit = site.unit(i);
      if (!listed.contains(units_[i].modbusAddress)) continue;
      if (refused[i]) {
        if (Problem p = UnchangedProblem(unit, flash_[i])) return p;
        continue;
      }
      for (const Problem& problem :
           {CarriedReleaseProblem(unit), BootBlockProblem(unit, bootBlocks_[i]), FieldsProblem(unit, fields_[i])}) {
        if (problem) return problem;
      }
    }
    return std::nullopt;
  }

  std::vector<NetworkUnit> units_;  // in the installation's order
  std::vector<bool> refused_;       // by unit: a later build the program must not replace
  std::vector<bool> refusedNow_;    // the same, for the run about to be judged
  std::vector<std::vector<uint8_t>> bootBlocks_;
  std::vector<std::optional<sim::FieldBytes>> fields_;
  std::vector<std::vector<uint8_t>> flash_;
};

}  // namespace

std::unique_ptr<FlowCase> DrawMultiUnit(std::mt19937_64& random) { return std::make_unique<MultiUnitCase>(random); }

}  // namespace kl::campaign
