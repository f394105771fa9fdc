#include "fault_plan.h"

#include <cmath>
#include <sstream>

#include "draws.h"

namespace kl::campaign {

namespace {

// Bit flips, drops and stray bytes sharing `rate`, on both directions.
void SpoilLine(FaultPlan& plan, double rate, std::mt19937_64& random) {
  plan.lineRate = rate;
  for (sim::LineFaults* faults : {&plan.towardsPc, &plan.towardsDevice}) {
    const double flips = Between(random, 0.0, 1.0);
    const double drops = Between(random, 0.0, 1.0 - flips);
    faults->bitFlipRate = rate * flips;
    faults->dropRate = rate * drops;
    faults->strayRate = rate * (1.0 - flips - drops) * 128;  // per burst, and bursts are ~128 bytes
  }
}

// A few numbers from 1 to `highest`: the Nth windowed file write or reply a fault hits.
std::vector<int> SomeNumbers(std::mt19937_64& random, int highest) {
  std::vector<int> numbers(Between(random, 1, 4));
  for (int& n : numbers) n = Between(random, 1, highest);
  return numbers;
}

sim::UnitFaults ReplyFaults(std::mt19937_64& random, std::ostringstream& text) {
  sim::UnitFaults f;
  switch (Between(random, 0, 5)) {
    case 0:
      f.loseReplyPercent = Between(random, 1, 40);
      text << "lose-reply " << f.loseReplyPercent << "%";
      break;
    case 1:
      f.loseAckPercent = Between(random, 1, 60);
      text << "lose-ack " << f.loseAckPercent << "%";
      break;
    case 2:
      f.strayBytePercent = Between(random, 1, 60);
      text << "stray-byte " << f.strayBytePercent << "%";
      break;
    case 3:
      f.extraReplyDelayUs = static_cast<uint64_t>(Between(random, 1, 1500)) * 100;
      text << "reply-delay " << f.extraReplyDelayUs / 1000.0 << "ms";
      break;
    case 4:
      f.nackFileWrite = SomeNumbers(random, 400);
      f.loseFileReply = SomeNumbers(random, 400);
      text << "nack+lost file replies";
      break;
    default:
      f.fileReadFailure = SomeNumbers(random, 60);
      f.fileWriteFailure = SomeNumbers(random, 2000);
      // One damaged write a run: two in one file can cancel in the unit's four checksums
      // (+1 and -1 at the same place of the rotation), and only a read-back sees that.
      f.fileWriteDamaged = {Between(random, 1, 2000)};
      text << "file read/write failures, damaged writes";
      break;
  }
  return f;
}

}  // namespace

std::string FaultPlan::category() const {
  switch (kind) {
    case FaultKind::None: return "none";
    case FaultKind::Line: {
      const int decade = static_cast<int>(std::floor(std::log10(lineRate)));
      return "line 1e" + std::to_string(decade) + "/byte";
    }
    case FaultKind::Replies: return "replies";
    case FaultKind::ProgrammerStops: return "programmer stops";
    case FaultKind::PowerCut: return "power cut";
    case FaultKind::UnitVanishes: return "unit vanishes";
    case FaultKind::Operator: return "operator";
  }
  return "?";
}

FaultPlan DrawFaults(std::mt19937_64& random, const FaultTargets& targets) {
  FaultPlan plan;
  std::ostringstream text;
  std::vector<FaultKind> kinds = {FaultKind::None, FaultKind::Line, FaultKind::Line, FaultKind::Line,
                                  FaultKind::Replies, FaultKind::Replies, FaultKind::PowerCut, FaultKind::PowerCut,
                                  FaultKind::UnitVanishes, FaultKind::Operator};
  if (targets.programmer) kinds.push_back(FaultKind::ProgrammerStops);
  plan.kind = kinds[Between<size_t>(random, 0, kinds.size() - 1)];
  const size_t target = Between<size_t>(random, 0, targets.units - 1);

  switch (plan.kind) {
    case FaultKind::None:
      text << "none";
      break;
    case FaultKind::Line:
      SpoilLine(plan, std::pow(10.0, Between(random, kLowestLineExponent, kHighestLineExponent)), random);
      text << "line " << plan.lineRate << "/byte";
      break;
    case FaultKind::Replies:
      plan.unitFaults.resize(target + 1);
      text << "unit " << target << " ";
      plan.unitFaults[target] = ReplyFaults(random, text);
      break;
    case FaultKind::ProgrammerStops:
      plan.programmerStops = Between(random, 0.0, 1.0);
      text << "programmer stops at " << *plan.programmerStops;
      break;
    case FaultKind::PowerCut:
      plan.powerCut = FaultMoment{target, Between(random, 0.0, 1.0)};
      text << "power cut of unit " << target << " at " << plan.powerCut->fraction;
      break;
    case FaultKind::UnitVanishes:
      plan.vanish = FaultMoment{target, Between(random, 0.0, 1.0)};
      text << "unit " << target << " vanishes at " << plan.vanish->fraction;
      break;
    case FaultKind::Operator:
      plan.hungPortUnit = Chance(random, 0.3);
      text << "operator" << (plan.hungPortUnit ? ", hung unit" : "");
      break;
  }
  // Light noise that the retries should absorb comes on top now and then.
  if (plan.kind != FaultKind::None && plan.kind != FaultKind::Line && Chance(random, 0.3)) {
    SpoilLine(plan, std::pow(10.0, Between(random, -6.5, -4.5)), random);
    text << ", line noise " << plan.lineRate << "/byte";
  }
  plan.description = text.str();
  return plan;
}

}  // namespace kl::campaign
