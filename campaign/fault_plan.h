// The faults of one seed's run, drawn from the seed: what goes wrong on the line, in the
// units and with the operator.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sim/sim_line.h"
#include "sim/unit/unit_state.h"

namespace kl::campaign {

enum class FaultKind {
  None,
  Line,             // bit flips, dropped and stray bytes at one rate
  Replies,          // lost, late, negative and stray replies and acknowledgements
  ProgrammerStops,  // the flash programmer stops answering until the power is cycled
  PowerCut,         // the power fails at a random received byte and comes back
  UnitVanishes,     // a unit is switched off at a random moment and stays off
  Operator,         // the operator's answers and timing; a hung unit to power-cycle
};

// What a flow offers to fault.
struct FaultTargets {
  size_t units = 1;
  bool programmer = false;  // the flash programmer runs in the port's unit
};

// A moment of a clean run of the same flow: a fraction of the bytes the port's unit receives
// (the port's unit) or of the run's time (units on its network).
struct FaultMoment {
  size_t unit = 0;
  double fraction = 0;
};

struct FaultPlan {
  FaultKind kind = FaultKind::None;
  double lineRate = 0;  // chance per byte; light noise may come with other kinds
  sim::LineFaults towardsPc;
  sim::LineFaults towardsDevice;
  std::vector<sim::UnitFaults> unitFaults;  // by unit index; shorter: no faults
  std::optional<FaultMoment> powerCut;
  std::optional<FaultMoment> vanish;
  std::optional<double> programmerStops;  // the port's unit's programmer, at this fraction of the run
  bool hungPortUnit = false;  // the port's unit hangs until the operator power-cycles it
  std::string description;

  // A unit loses its power or its running programmer at some moment: no program can keep a
  // boot loader whole that is being rewritten then.
  bool stopsAUnit() const { return powerCut || vanish || programmerStops; }
  // Needs the byte count and duration of a clean run.
  bool needsCalibration() const { return stopsAUnit(); }
  // The row of the outcome table: the kind, and for the line its rate's decade.
  std::string category() const;
};

FaultPlan DrawFaults(std::mt19937_64& random, const FaultTargets& targets);

// Per-byte rates from 1e-6.5 to 1e-1.7: from noise the retries absorb to a line nothing gets over.
inline constexpr double kLowestLineExponent = -6.5;
inline constexpr double kHighestLineExponent = -1.7;

}  // namespace kl::campaign
