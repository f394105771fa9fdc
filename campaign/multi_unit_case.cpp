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

// The addresses in the table of units the run showed ("Address  Information").
std::set<int> TableAddresses(const std::string& console) {
  std::set<int> addresses;
  const size_t table = console.find("Address  Information\r\n");
  if (table == std::string::npos) return addresses;
  for (size_t at = console.find("\r\n", table) + 2; at < console.size();) {
    const size_t end = console.find("\r\n", at);
    const std::string line = console.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (line.size() < 7 || line.compare(0, 3, "   ") != 0) break;
    addresses.insert(std::stoi(line.substr(0, 7)));
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
    installation_ = Section(units_[0], remotes) + OutdatedSoftware(random) +
                    "network-baud = " + Pick<std::string>(random, {"115200", "460800"}) + "\n" +
                    SomeCarriedFiles(random, units_[0].card, 0);
    for (const NetworkUnit& remote : remotes) {
      installation_ += Section(remote) + OutdatedSoftware(random) + SomeCarriedFiles(random, remote.card, 0);
    }
    options_.push_back(DrawSpeed(random));
    targets_ = FaultTargets{units_.size(), false};
  }

  void remember(Site& site) override {
    for (size_t i = 0; i < site.unitCount(); ++i) {
      bootBlocks_.push_back(BootBlock(site.unit(i)));
      fields_.push_back(Fields(site.unit(i)));
    }
  }

  Verdict judge(Site& site, const RunEnd& end) override {
    if (end.exitCode == 0 && Shows(end, "Success: all operations are complete")) {
      // Units that were off come back; the operator who chose a later restart restarts the
      // system now. Either way the units apply what they were sent.
      bool restart = Shows(end, "Software update will be applied the next time Balvanta is restarted");
      for (size_t i = 0; i < site.unitCount(); ++i) {
        if (!site.unit(i).powered()) {
          site.unit(i).powerOn();
          restart = true;
        }
      }
      if (restart) {
        site.unit(0).restartSystem();
        site.settle(kRestartUs);
      }
      std::set<int> updated = TableAddresses(end.console);
      // No list of units (none answered the display's listing): the display alone, through its
      // boot loader.
      if (updated.empty()) updated.insert(units_[0].modbusAddress);
      for (size_t i = 0; i < site.unitCount(); ++i) {
        sim::Unit& unit = site.unit(i);
        if (!updated.contains(units_[i].modbusAddress)) {
          if (i == 0) return Violated("success, but the display was not in the table");
          continue;  // not listed by the display (it did not answer then): not the run's to update
        }
        for (const Problem& problem : {CarriedReleaseProblem(unit), BootBlockProblem(unit, bootBlocks_[i]),
                                       FieldsProblem(unit, fields_[i])}) {
          if (problem) return Violated("success, but " + *problem);
        }
      }
      return Succeeded();
    }
    if (end.exitCode == 0 && Shows(end, "Complete: some units could not be updated")) {
      return FailedCleanly("some units could not be updated");
    }
    if (std::optional<Verdict> stop = JudgeStop(end, "")) return *stop;
    return Violated("ended with exit code " + std::to_string(end.exitCode.value_or(-1)) +
                    ", neither its success line nor a failure message");
  }

 private:
  std::vector<NetworkUnit> units_;  // in the installation's order
  std::vector<std::vector<uint8_t>> bootBlocks_;
  std::vector<std::optional<sim::FieldBytes>> fields_;
};

}  // namespace

std::unique_ptr<FlowCase> DrawMultiUnit(std::mt19937_64& random) { return std::make_unique<MultiUnitCase>(random); }

}  // namespace kl::campaign
