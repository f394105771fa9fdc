// The production station's run: the unit the parameter file describes is found on the port,
// behind a test jig (proxy) or on the jig's network, and gets the carried release with its
// serial number and manufacturing fields.
#include "draws.h"
#include "flow_case.h"
#include "support/station_fields.h"
#include "support/temp_dir.h"
#include "unit_checks.h"

namespace kl::campaign {

namespace {

struct Product {
  const char* keys;
  int code;  // BasicProductCode
};

const std::vector<Product> kProducts = {
    {"card = 648\ncircuit = 6\n", 51},
    {"card = 649\ncircuit = 2\n", 52},
    {"card = 659\ncircuit = 1\n", 59},
    {"card = 653\ncircuit = 1\nbuffer-size = 4096\n", 56},
};

enum class Place { OnThePort, BehindTheJig, OnTheNetwork };

constexpr const char* kControlDisplay =
    "[unit control]\ncard = 647\ncircuit = 6\nversion = 6.10\nserial = 652002\nmodbus-address = 60\n"
    "information = ZK7 control\n";

std::string Jig(const std::string& more) {
  return "[unit jig]\ncard = 652\ncircuit = 1\nversion = 6.10\nmodbus-address = 50\n" + more + kControlDisplay;
}

std::string StoredMessage(const std::string& file) {
  const std::string text = test::readFile(file);
  const size_t at = text.find("Message=");
  if (at == std::string::npos) return {};
  return text.substr(at + 8, text.find("\r\n", at) - at - 8);
}

class ManufacturingCase : public FlowCase {
 public:
  explicit ManufacturingCase(std::mt19937_64& random) {
    const Product& product = Pick(random, kProducts);
    const auto place = static_cast<Place>(Between(random, 0, 2));
    serial_ = 700000 + Between(random, 1, 99999);

    std::string keys = std::string(product.keys) + "modbus-address = 21\n";
    if (place == Place::OnTheNetwork || Chance(random, 0.5)) {
      keys += "version = 6.0" + std::to_string(Between(random, 0, 9)) + "\nbuild-increment = 0\nunit-flags = 0x01\n";
    } else {
      keys += "version = 5.90\nbuild-increment = 0\n";
    }
    switch (Between(random, 0, 2)) {
      case 0: keys += "serial = " + std::to_string(serial_) + "\n"; break;
      case 1: keys += "manufacturing-fields = erased\n"; break;
      default: keys += "serial = " + std::to_string(serial_ + 1) + "\n"; break;  // the operator confirms
    }
    const std::string unit = "[unit product]\n" + keys;
    switch (place) {
      case Place::OnThePort: installation_ = unit; break;
      case Place::BehindTheJig:
        installation_ = Jig("network = control\nproxy-unit = product\nrelay-timeout-ms = 1000\n") + unit;
        break;
      case Place::OnTheNetwork: installation_ = Jig("network = control product\n") + unit; break;
    }
    productIndex_ = place == Place::OnThePort ? 0 : 2;
    station_ = "Ostrevan=1\r\nProgram=1\r\nSerialNo=" + std::to_string(serial_) +
               "\r\nBasicProductCode=" + std::to_string(product.code) + "\r\n" + test::StationFieldLines(serial_);
    options_.push_back(DrawSpeed(random));
    if (place == Place::OnThePort && Chance(random, 0.5)) options_.push_back("-o");
    targets_ = FaultTargets{place == Place::OnThePort ? 1u : 3u, place == Place::OnThePort};
  }

  void remember(Site& site) override {
    for (size_t i = 0; i < site.unitCount(); ++i) flash_.push_back(site.unit(i).state().flash.image());
    bootBlock_ = BootBlock(site.unit(productIndex_));
  }

  // The product leaves with the station's fields once a run succeeded. Until then a failed run
  // may have written them or not: both copies are its earlier fields (another serial's, or
  // erased) or the station's, never anything else. The other units keep theirs.
  Problem fieldsProblem(Site& site, bool succeeded) const override {
    for (size_t i = 0; i < site.unitCount() && i < fieldsBefore_.size(); ++i) {
      if (i != productIndex_) {
        if (Problem p = FieldsProblem(site.unit(i), fieldsBefore_[i])) return p;
        continue;
      }
      Problem station = FieldsProblem(site.unit(i), sim::makeFields(serial_));
      if (succeeded || !station) {
        if (station) return station;
        continue;
      }
      if (Problem p = FieldsProblem(site.unit(i), fieldsBefore_[i])) return *p + ", and not the station's either";
    }
    return std::nullopt;
  }

  Verdict judge(Site& site, const RunEnd& end) override {
    const std::string file = parameterFile(site);
    if (end.exitCode == 0 && Shows(end, "Success: all operations are complete")) {
      sim::Unit& product = site.unit(productIndex_);
      for (const Problem& problem : {CarriedReleaseProblem(product), BootBlockProblem(product, bootBlock_),
                                     FieldsProblem(product, sim::makeFields(serial_))}) {
        if (problem) return Violated("success, but " + *problem);
      }
      if (product.state().application.serialNumber != serial_) {
        return Violated("success, but the product reports serial number " +
                        std::to_string(product.state().application.serialNumber));
      }
      for (size_t i = 0; i < site.unitCount(); ++i) {
        if (i == productIndex_) continue;
        if (Problem p = UnchangedProblem(site.unit(i), flash_[i])) return Violated("success, but " + *p);
      }
      if (!StoredMessage(file).empty()) return Violated("success, but a Message is left in the parameter file");
      return Succeeded();
    }
    if (end.exitCode == 2 && Shows(end, "\aFAILURE: unable to update unit!")) {
      if (StoredMessage(file) != "FAILURE: unable to update unit!") return Violated("failure not stored in the parameter file");
      return FailedCleanly("FAILURE: unable to update unit!");
    }
    if (std::optional<Verdict> stop = JudgeStop(end, file)) {
      // The operator who will not have the serial number replaced stops the run before it
      // writes anything.
      if (stop->ending == Ending::CleanFailure && stop->detail == "declined") {
        if (Problem p = UnchangedProblem(site.unit(productIndex_), flash_[productIndex_])) {
          return Violated("declined, but " + *p);
        }
      }
      return *stop;
    }
    return Violated("ended with exit code " + std::to_string(end.exitCode.value_or(-1)) +
                    ", neither its success line nor a failure message");
  }

 private:
  int32_t serial_ = 0;
  size_t productIndex_ = 0;
  std::vector<std::vector<uint8_t>> flash_;
  std::vector<uint8_t> bootBlock_;
};

}  // namespace

std::unique_ptr<FlowCase> DrawManufacturing(std::mt19937_64& random) {
  return std::make_unique<ManufacturingCase>(random);
}

}  // namespace kl::campaign
