#include "unit_checks.h"

#include <span>

#include "Pellmar/writers.h"
#include "carried_release.h"
#include "sim/scenario/scenario.h"
#include "sim/storage/image_records.h"

namespace kl::campaign {

namespace {

std::string Named(const sim::Unit& unit, const std::string& what) { return "unit " + unit.name() + ": " + what; }

// The first record of `image` that flash does not hold, as a problem.
Problem ImageProblem(const sim::Unit& unit, const std::string& bundleName, const std::string& what) {
  const std::vector<uint8_t> image = BundleBytes(bundleName);
  const std::optional<sim::RecordImage> records = sim::parseRecordImage(std::span(image.data(), image.size()));
  if (!records) return Named(unit, what + " is no image");
  for (const sim::ImageRecord& r : records->records) {
    if (unit.state().flash.read(r.address, r.data.size()) != r.data) {
      return Named(unit, what + " differs in flash at $" + hexText(r.address, 8));
    }
  }
  return std::nullopt;
}

// Card 653's resource file as the simulator builds it from the carried files.
std::vector<uint8_t> ResourceFile(const std::vector<CarriedFile>& inputs) {
  std::string line = "file 0xB1:0 = resource";
  for (const CarriedFile& input : inputs) line += " 0x" + hexText(input.number, 4) + "=" + input.bundleName;
  const sim::Scenario scenario = sim::parseScenario("[unit resource]\ncard = 653\n" + line + "\n", "resource.scn");
  return scenario.units.front().state.drives.find(0xB1, 0)->bytes;
}

Problem CardFilesProblem(const sim::Unit& unit) {
  const sim::ApplicationIdentity& app = unit.state().application;
  const std::optional<CardFiles> files = CarriedFilesOf(app.cardNumber, app.mcuType);
  if (!files) return std::nullopt;
  const sim::FlashDrives& drives = unit.state().drives;
  for (const CarriedFile& carried : files->drive) {
    const sim::DriveFile* file = drives.find(1, carried.number);
    if (!file || file->bytes != BundleBytes(carried.bundleName)) {
      return Named(unit, "file 01:" + hexText(carried.number, 4) + (file ? " differs" : " is missing"));
    }
  }
  if (!files->resourceInputs.empty()) {
    const sim::DriveFile* file = drives.find(0xB1, 0);
    if (!file || file->bytes != ResourceFile(files->resourceInputs)) return Named(unit, "resource file B1:0000 differs");
  }
  return std::nullopt;
}

}  // namespace

Problem CarriedReleaseProblem(sim::Unit& unit) {
  const sim::ApplicationIdentity& app = unit.state().application;
  if (unit.mode() != sim::UnitMode::Application) return Named(unit, std::string("runs ") + sim::unitModeName(unit.mode()));
  if (app.softwareVersion != 610 || app.softwareRelease != 57) {
    return Named(unit, "reports software " + std::to_string(app.softwareVersion) + "r" +
                           std::to_string(app.softwareRelease));
  }
  const std::string software = CarriedSoftwareName(unit.family(), app.mcuType);
  if (software.empty()) return Named(unit, "has no carried software");
  if (Problem p = ImageProblem(unit, software, "software")) return p;
  return CardFilesProblem(unit);
}

std::vector<uint8_t> BootBlock(const sim::Unit& unit) {
  const auto memory = unit.state().flash.memory();
  if (!memory) return {};
  return unit.state().flash.read(memory->bootLoader.first, memory->bootLoader.size);
}

Problem BootBlockProblem(const sim::Unit& unit, const std::vector<uint8_t>& before) {
  if (BootBlock(unit) == before) return std::nullopt;
  const std::string bootLoader = CarriedBootLoaderName(unit.state().application.mcuType, unit.family());
  if (bootLoader.empty()) return Named(unit, "boot loader block changed, and no boot loader is carried");
  if (Problem p = ImageProblem(unit, bootLoader, "boot loader block changed: the boot loader")) return p;
  return std::nullopt;
}

std::optional<sim::FieldBytes> Fields(const sim::Unit& unit) {
  sim::McuFlash flash = unit.state().flash;  // the reader takes a writable flash
  const sim::ManufacturingFields fields(flash);
  if (!fields.present()) return std::nullopt;
  return fields.valid(sim::ManufacturingFields::Copy::Main);
}

Problem FieldsProblem(const sim::Unit& unit, const std::optional<sim::FieldBytes>& expected) {
  sim::McuFlash flash = unit.state().flash;
  const sim::ManufacturingFields fields(flash);
  if (!fields.present()) return std::nullopt;
  for (const auto copy : {sim::ManufacturingFields::Copy::Main, sim::ManufacturingFields::Copy::Secondary}) {
    if (fields.valid(copy) != expected) {
      return Named(unit, std::string(copy == sim::ManufacturingFields::Copy::Main ? "main" : "secondary") +
                             " manufacturing fields " + (fields.valid(copy) ? "changed" : "lost"));
    }
  }
  return std::nullopt;
}

Problem UnchangedProblem(const sim::Unit& unit, const std::vector<uint8_t>& flashBefore) {
  if (unit.state().flash.image() == flashBefore) return std::nullopt;
  return Named(unit, "MCU flash changed");
}

}  // namespace kl::campaign
