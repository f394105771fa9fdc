// One seed's case of a flow: the installation, the program's options and the operator drawn
// from the seed, what the units hold before the run, and the judgement of how a run ended.
#pragma once

#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "fault_plan.h"
#include "judge.h"
#include "site.h"
#include "unit_checks.h"

namespace kl::campaign {

enum class Flow { FieldUpdate, MultiUnit, Manufacturing, ExtractLogs, Interrogate };

std::optional<Flow> FlowNamed(std::string_view name);
const char* FlowName(Flow flow);

class FlowCase {
 public:
  virtual ~FlowCase() = default;

  const std::string& installation() const { return installation_; }
  FaultTargets targets() const { return targets_; }
  // The program's arguments on `site` (its parameter file written there), without the port;
  // `yes` adds -y; the follow-up after a failure may take options of its own.
  std::vector<std::string> arguments(const Site& site, bool yes, bool followUp = false) const;
  // The operator: one who answers "y" to every question, or, when the operator is the fault,
  // one whose answers and timing are drawn from `random`.
  Operator person(bool faulty, std::mt19937_64& random) const;

  // Before the first run: what the units hold that a run must keep.
  virtual void remember(Site& site) = 0;
  // Before each run: the PC's side as the run must find it.
  virtual void beforeRun(Site&) {}
  // The next run must find the unit on the port wherever a failed run left it (boot loader,
  // programmer): a directly connected unit being updated.
  virtual bool portUnitAnywhere() const { return false; }
  // A run that ended by itself (not at its time limit).
  virtual Verdict judge(Site& site, const RunEnd& end) = 0;

  // Before the first run: every unit's manufacturing fields.
  void rememberFields(Site& site);
  // After a seed's last run (`succeeded`: it ended in the flow's success): the first unit whose
  // manufacturing fields are not what they must be. The program keeps what it erases on the
  // PC and writes it back, so every unit ends with the fields it had before the first run,
  // both copies.
  virtual Problem fieldsProblem(Site& site, bool succeeded) const;

 protected:
  std::string parameterFile(const Site& site) const;

  std::string installation_;
  std::vector<std::string> options_;
  std::vector<std::string> followUpOptions_;  // added for the follow-up
  std::string station_;  // the parameter file's contents; empty: none
  FaultTargets targets_;
  std::vector<std::optional<sim::FieldBytes>> fieldsBefore_;  // by unit
};

std::unique_ptr<FlowCase> DrawCase(Flow flow, std::mt19937_64& random);

// The cases of each flow.
std::unique_ptr<FlowCase> DrawFieldUpdate(std::mt19937_64& random);
std::unique_ptr<FlowCase> DrawMultiUnit(std::mt19937_64& random);
std::unique_ptr<FlowCase> DrawManufacturing(std::mt19937_64& random);
std::unique_ptr<FlowCase> DrawExtractLogs(std::mt19937_64& random);
std::unique_ptr<FlowCase> DrawInterrogate(std::mt19937_64& random);
// A field update of the unit of `installation` with these options, not drawn (the sweep).
std::unique_ptr<FlowCase> FieldUpdateOf(const std::string& installation, std::vector<std::string> options);

// Shared by the cases.
// A shipped scenario's text.
std::string ShippedScenario(const std::string& name);
// "-r" with one of the programming speeds.
std::string DrawSpeed(std::mt19937_64& random);
// Version text as units show it: 6.05r01.
std::string VersionText(int version, int release);

}  // namespace kl::campaign
