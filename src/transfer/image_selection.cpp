#include "transfer/image_selection.h"

#include <optional>
#include <string>
#include <string_view>

#include "driver/fatal_error.h"
#include "images/catalogue.h"
#include "protocol/unit.h"
#include "transfer/transfer_context.h"
#include "transfer/unit_images.h"

namespace kl {
namespace {

using catalogue::kLargeBufferAbove;

bool IsTestBoard(const Unit& unit, bool updateFiles) {
  return (unit.bootFlags & bootflag::PreProduction) != 0 ||
         ((unit.unitFlags & unitflag::CardTester) != 0 && updateFiles);
}

std::string UnsupportedUnit(int site) { return "Unsupported unit L" + decimalText(site); }

[[noreturn]] void StopUnsupportedUnit(TransferContext& s, int site) { FatalError(s, UnsupportedUnit(site)); }

// Why the MCU's programmers do not serve the unit's family; nothing when they do. LPC1768
// names its failure site by generation and buffer class.
std::optional<std::string> ProgrammerFamilyProblem(const Unit& unit) {
  switch (unit.mcuType) {
    case mcu::LPC1768:
      if (unit.unitFamily != family::Transmitter && unit.unitFamily != family::RemoteIo) {
        const bool large = unit.bufferSize > kLargeBufferAbove;
        if (unit.bootLoaderVersion == 3) return UnsupportedUnit(large ? 1032 : 1045);
        return UnsupportedUnit(large ? 1091 : 1104);
      }
      break;
    case mcu::LPC4337:
      if (unit.unitFamily != family::Display && unit.unitFamily != family::Transmitter)
        return "Unknown unit type (MCU LPC4337)";
      break;
    case mcu::LPC4357:
      if (unit.unitFamily != family::Display) return "Unknown unit type (MCU LPC4357)";
      break;
    default:
      break;
  }
  return std::nullopt;
}

constexpr std::string_view kUnsupportedBootLoader = "Kestrelink cannot update this unit: unsupported boot loader version";

}  // namespace

std::optional<std::string> ChooseFlashProgrammer(TransferContext& s, const Unit& unit, UnitImages& images,
                                                 bool updateFiles) {
  auto& debug = s.out(Channel::Debug);
  switch (unit.mcuType) {
    case mcu::H8S2145: {
      if (unit.bootLoaderVersion != 2 && unit.bootLoaderVersion != 3) return std::string(kUnsupportedBootLoader);
      const auto* programmer = catalogue::FindFlashProgrammer(unit.mcuType, unit.unitFamily, unit.bootLoaderVersion,
                                                              unit.bufferSize);
      if (programmer) {
        images.programmer = ImageOf(*programmer);
        debug << programmer->message << crlf;
      }
      if (unit.unitFamily == family::Transmitter) {
        if (const auto* strings =
                catalogue::FindStringsProgrammer(unit.mcuType, unit.unitFamily, unit.bootLoaderVersion)) {
          images.stringsProgrammer = ImageOf(*strings);
          debug << strings->message << crlf;
        }
      }
      break;
    }
    case mcu::LPC2478:
    case mcu::LPC4078:
    case mcu::LPC1768:
    case mcu::LPC4337:
    case mcu::LPC4357: {
      if (unit.bootLoaderVersion != 3 && unit.bootLoaderVersion != 4) return std::string(kUnsupportedBootLoader);
      if (IsTestBoard(unit, updateFiles)) {
        debug << "-- needs flash programmer for TESTER" << crlf;
        break;
      }
      if (auto problem = ProgrammerFamilyProblem(unit)) return problem;
      const auto* programmer = catalogue::FindFlashProgrammer(unit.mcuType, unit.unitFamily, unit.bootLoaderVersion,
                                                              unit.bufferSize);
      if (programmer) {
        images.programmer = ImageOf(*programmer);
        debug << programmer->message << crlf;
        if (programmer->largePacketLine) debug << catalogue::kLargePacketLine << crlf;
      }
      break;
    }
    default:
      break;
  }
  if (images.programmer.empty()) return "Cannot find a flash programmer for unit";
  return std::nullopt;
}

bool SelectFlashProgrammer(TransferContext& s, const Unit& unit, UnitImages& images, bool updateFiles) {
  if (auto problem = ChooseFlashProgrammer(s, unit, images, updateFiles)) FatalError(s, *problem);
  return true;
}

bool SelectBootLoader(TransferContext& s, Unit& unit, UnitImages& images) {
  switch (unit.mcuType) {
    case mcu::LPC2478:
    case mcu::LPC4078:
    case mcu::LPC1768:
      unit.flashPacketSize = 256;
      break;
    case mcu::LPC4337:
    case mcu::LPC4357:
      unit.flashPacketSize = 512;
      break;
    default:
      return false;
  }
  unit.hasManufacturingFields =
      (unit.bootFlags & bootflag::PreProduction) == 0 && (unit.unitFlags & unitflag::CardTester) == 0;

  if (unit.mcuType == mcu::LPC1768 && unit.unitFamily != family::Transmitter && unit.unitFamily != family::RemoteIo)
    StopUnsupportedUnit(s, 1551);
  if (unit.mcuType == mcu::LPC4337 && unit.unitFamily != family::Display && unit.unitFamily != family::Transmitter)
    StopUnsupportedUnit(s, 1563);
  if (unit.mcuType == mcu::LPC4357 && unit.unitFamily != family::Display) StopUnsupportedUnit(s, 1574);

  const auto* bootLoader = catalogue::FindBootLoader(unit.mcuType, unit.unitFamily);
  if (!bootLoader) {
    s.out(Channel::Debug) << "-- Cannot find a Boot Loader for unit" << crlf;
    return false;
  }
  images.bootLoader = ImageOf(*bootLoader);
  return true;
}

bool SelectSoftware(TransferContext& s, const Unit& unit, UnitImages& images) {
  if (!s.options.silent) {
    auto& debug = s.out(Channel::Debug);
    switch (unit.unitFamily) {
      case family::Display: debug << "-- selected unit is a Display" << crlf; break;
      case family::Transmitter: debug << "-- selected unit is a Transmitter" << crlf; break;
      case family::RemoteIo: debug << "-- selected unit is a IOUnit" << crlf; break;
      default: break;
    }
  }
  const auto* software = catalogue::FindSoftware(unit.unitFamily, unit.mcuType);
  if (!software) FatalError(s, "No new software can be found for this unit");
  images.software = ImageOf(*software);
  return true;
}

}  // namespace kl
