#include "update/update_unit.h"

#include <optional>
#include <string_view>

#include "connect/connection.h"
#include "driver/console_input.h"
#include "driver/fatal_error.h"
#include "driver/version.h"
#include "images/catalogue.h"
#include "protocol/capabilities.h"
#include "protocol/identification.h"
#include "protocol/unit_control.h"
#include "transfer/file_update.h"
#include "transfer/flash_writer.h"
#include "transfer/image_selection.h"
#include "transfer/manufacturing_fields.h"
#include "transfer/programmer_download.h"
#include "transfer/unit_images.h"
#include "update/boot_tool.h"
#include "update/card_files.h"
#include "update/fields_keeper.h"
#include "update/session.h"

namespace kl {

namespace {

constexpr int kKeepQuietPings = 20;
// The external tool's flash programmer is read into a buffer of this size.
constexpr size_t kToolProgrammerCapacity = 1000001;
constexpr uint8_t kUpdateFilesDrive = 1;
constexpr uint16_t kBootLoaderUpdateFile = 0x0102;
constexpr uint16_t kSoftwareUpdateFile = 0x0103;
constexpr uint8_t kProgrammerUpdateDrive = 0xC1;

constexpr uint8_t kTestSoftwareBits = bootflag::PreProduction | bootflag::JtagUnlocked;
static_assert(kTestSoftwareBits == (unitflag::CardTester | unitflag::JtagActive));

struct UpdatePlan {
  bool doFields = false;
  bool doBootLoader = false;
  bool doSoftware = false;
  bool wroteSomething = false;
};

ChannelWriter& Debug(Session& s) { return s.out(Channel::Debug); }

// The first reason for a part wins; later ones are not written.
void Because(Session& s, bool& flag, std::string_view reason) {
  if (flag) return;
  Debug(s) << reason << crlf;
  flag = true;
}

// Any key but "y" ends the run; -y does not answer this one.
void ConfirmSerialReplacement(Session& s, int32_t current) {
  s.out(Channel::Console) << "The unit already has serial number " << current
                          << ", are you sure it should be replaced? (y/n)";
  const int key = ReadConsoleKey(s);
  s.out(Channel::Console) << crlf;
  if (key == 'Y' || key == 'y') return;
  const std::string kept = "Serial number " + decimalText(current) + " not replaced: ";
  EndRun(s, 1, kept + (key < 0 ? "no answer (the input ended)" : "answered no"));
}

void DecideFields(Session& s, const Unit& unit, const UpdateRequest& request, UpdatePlan& plan) {
  if (s.options.writeAlways) {
    Because(s, plan.doFields, "-- updating manufacturing fields because -w command line option specified");
    return;
  }
  if (!KeepsManufacturingFields(unit)) {
    Because(s, plan.doFields,
            "-- updating manufacturing fields because the software is either not present or older than V2.20");
    return;
  }
  if (request.newSerialNumber != unit.serialNumber) {
    if (request.newSerialNumber != 0 && unit.serialNumber != 0) {
      ConfirmSerialReplacement(s, unit.serialNumber);
    } else {
      if (unit.serialNumber == 0) Debug(s) << "-- serial number in the unit is empty" << crlf;
      if (request.newSerialNumber == 0) Debug(s) << "-- new serial number is empty" << crlf;
    }
    Because(s, plan.doFields, "-- updating manufacturing fields because the new serial number is different");
  }
  if ((unit.bootFlags | unit.unitFlags) & kTestSoftwareBits) {
    Because(s, plan.doFields, "-- updating manufacturing fields because test software is present");
  } else if (!ChecksManufacturingFields(unit)) {
    Because(s, plan.doFields, "-- updating manufacturing fields because the software is older than V4.40");
  } else {
    bool different = false;
    if (!CheckManufacturingFields(s, unit, s.storage.manufacturingFields, different)) {
      FatalError(s, "Unable to talk to unit");
    }
    if (different) plan.doFields = true;
  }
}

// Pings the unit until it answers, so that it stops driving the line on its own.
void KeepUnitFromDrivingPort(Session& s) {
  Debug(s) << "Keep unit from driving port" << crlf;
  for (int attempt = 0; attempt < kKeepQuietPings; ++attempt) {
    if (Ping(s, s.currentUnitId)) return;
  }
}

// Pre-production boards get their programmer from the external tool (manufacturing mode only);
// test software always takes a new boot loader.
// False when the unit cannot be updated here and that ends only its own update (a unit on the
// network).
bool HandleTestBoard(Session& s, Unit& unit, UnitImages& images, const UpdateRequest& request, bool useUpdateFiles,
                     UpdatePlan& plan) {
  const bool preProduction =
      (unit.bootFlags & bootflag::PreProduction) || ((unit.unitFlags & unitflag::CardTester) && useUpdateFiles);
  if (preProduction) {
    if (!s.run.manufacturingMode) {
      Reset(s, unit);
      return TransferFailed(s, request.failureEndsRun, "Cannot update this unit (pre-production board)");
    }
    Debug(s) << "-- loading flash programmer from Quorran" << crlf;
    images.programmer = LoadProgrammerFromBootTool(s, unit, s.bootToolProgrammer, kToolProgrammerCapacity);
    Because(s, plan.doBootLoader, "-- updating boot loader because test software is present");
  } else if ((unit.bootFlags & bootflag::JtagUnlocked) || (unit.unitFlags & kTestSoftwareBits)) {
    Because(s, plan.doBootLoader, "-- updating boot loader because test software is present");
  }
  return true;
}

void DecideBootLoader(Session& s, const Unit& unit, const UpdateRequest& request, UpdatePlan& plan) {
  const RunOptions& o = s.options;
  if (s.run.manufacturingMode) {
    if (o.writeAlways) {
      Because(s, plan.doBootLoader, "-- updating boot loader because -w command line option specified");
    } else if (BootLoaderOlderThanNew(unit)) {
      Because(s, plan.doBootLoader, "-- updating boot loader because it is older than the new version");
    }
  }
  if (o.updateBootLoader) {
    if (o.writeAlways) {
      Because(s, plan.doBootLoader, "-- updating boot loader because -u and -w command line options specified");
    } else if (BootLoaderOlderThanNew(unit)) {
      Because(s, plan.doBootLoader,
              "-- updating boot loader because -u command line option specified and it is older than the new version");
    }
  }
  if (request.forceBootLoader) {
    Because(s, plan.doBootLoader, "-- updating boot loader (UpdateBootLoader parameter is true)");
  }
}

void DecideSoftware(Session& s, const Unit& unit, UpdatePlan& plan) {
  if (unit.softwareVersion == kProgramVersion && unit.softwareRelease == kProgramRelease) {
    if (CompareSoftwareChecksum(s, unit)) {
      Because(s, plan.doSoftware, "-- updating balvanta software because the checksum is different");
    } else if (unit.bootFlags & bootflag::NoSoftware) {
      Because(s, plan.doSoftware, "-- updating balvanta software because there is no software in the unit");
    } else if (unit.bootFlags & bootflag::ChecksumFailed) {
      Because(s, plan.doSoftware, "-- updating balvanta software because the MCU FLASH check failed");
    } else if (!ReportsSoftwareChecksum(unit)) {
      Because(s, plan.doSoftware,
              "-- updating balvanta software because the checksum is not available (old boot loader)");
    }
  } else {
    Because(s, plan.doSoftware, "-- updating balvanta software because it is different than the current version");
  }
  if (s.options.writeAlways) {
    Because(s, plan.doSoftware, "-- updating balvanta software because -w command line option specified");
  }
}

void WriteSummary(Session& s, const UpdatePlan& plan) {
  ChannelWriter& always = s.out(Channel::Always);
  if (plan.doFields) always << "-- manufacturing fields will be updated" << crlf;
  if (plan.doBootLoader) always << "-- balvanta boot loader will be updated" << crlf;
  if (plan.doSoftware) {
    always << "-- balvanta software will be updated to " << TargetVersionText() << crlf;
  } else {
    always << "-- balvanta software is already the correct version" << crlf;
  }
}

// Update files the unit applies at its restart: the boot loader, the software and the fields
// as the plan says. False when one could not be sent and the failure does not end the run.
bool SendUpdateFiles(Session& s, Unit& unit, const UnitImages& images, const UpdateRequest& request, UpdatePlan& plan) {
  const auto send = [&](std::string_view announcement, uint16_t file, ImageRef image) {
    s.out(Channel::Always) << announcement << crlf;
    if (!SendFile(s, unit, kUpdateFilesDrive, file, image.start, image.length, AppendKind::Checksum)) {
      return TransferFailed(s, request.failureEndsRun, "Unable to update unit");
    }
    plan.wroteSomething = true;
    return true;
  };
  if (plan.doBootLoader && !send("Sending boot loader update to unit...", kBootLoaderUpdateFile, images.bootLoader)) {
    return false;
  }
  if (plan.doSoftware && !send("Sending software update to unit...", kSoftwareUpdateFile, images.software)) {
    return false;
  }
  if (!plan.doFields) return true;
  s.out(Channel::Always) << "Sending manufacturing fields update to unit..." << crlf;
  if (!SendManufacturingFields(s, unit, s.storage.manufacturingFields)) {
    return TransferFailed(s, request.failureEndsRun, "Unable to update unit");
  }
  plan.wroteSomething = true;
  return true;
}

// One image into MCU flash through the running programmer, which is restarted afterwards.
void FlashImage(Session& s, Unit& unit, ImageRef image, FlashTarget target, const RestoreStep& restore) {
  if (!WriteMcuFlash(s, unit, image, restore, target)) FatalError(s, "Unable to write new software");
  if (!ResetProgrammer(s, unit)) FatalError(s, "Unable to reset flash programmer");
}

// The images through the flash programmer, the fields kept (or replaced by the station's) on
// the way.
void FlashImages(Session& s, Unit& unit, UnitImages& images, UpdatePlan& plan, FieldsKeeper& keeper) {
  if (unit.mode == modeFlashProgrammer) {
    // An earlier run's programmer, kept to finish the boot loader it was writing.
    if (!TakeOverProgrammer(s, unit)) FatalError(s, "Unable to connect to programmer");
  } else {
    if (!DownloadProgrammer(s, unit, images.programmer, "programmer")) {
      FatalError(s, "Unable to download flash programmer");
    }
    if (unit.mode != modeFlashProgrammer) Debug(s) << "-- Software mode of unit is not modeFlashProgrammer" << crlf;
  }
  if (!SelectBootLoader(s, unit, images) || !SelectSoftware(s, unit, images)) FatalError(s, "Unknown balvanta unit");

  // Fields about to be replaced by the station's are kept only while they are valid; new ones
  // replace them once the images are in, and a unit that refuses those keeps its earlier ones.
  keeper.prepare(plan.doBootLoader, plan.doFields);
  const RestoreStep restore = keeper.restoreStep(plan.doFields);
  if (plan.doBootLoader) {
    s.out(Channel::Always) << "Preparing to update Boot Loader..." << crlf;
    FlashImage(s, unit, images.bootLoader, FlashTarget::BootLoader, restore);
    keeper.bootLoaderWritten();
  }
  if (plan.doSoftware) FlashImage(s, unit, images.software, FlashTarget::Software, restore);
  if (!plan.doFields) {
    keeper.verifyKept();
    return;
  }
  uint8_t verdict = kFieldsNoAnswer;
  const bool accepted = UpdateManufacturingFields(s, unit, s.storage.manufacturingFields, &verdict);
  keeper.newFieldsGiven(accepted, verdict);
}

}  // namespace

std::string TargetVersionText() { return versionText(kProgramVersion, kProgramRelease); }

void AskUnitType(Session& s, Unit& unit) {
  if (unit.unitFamily >= family::Display && unit.unitFamily <= family::TestJig) return;
  for (;;) {
    s.out(Channel::Console) << "Please enter balvanta unit type (1=Display, 2=Transmitter, 3=DisplayM01" << "): ";
    bool inputEnded = false;
    const int32_t answer = ReadConsoleNumber(s, &inputEnded);
    s.out(Channel::Console) << crlf;
    if (answer >= 1 && answer <= 3) {
      unit.unitFamily = static_cast<uint8_t>(answer);
      return;
    }
    // An unattended station cannot answer: asking again would never end.
    if (inputEnded) FatalError(s, "No balvanta unit type entered");
  }
}

bool CompareSoftwareChecksum(Session& s, const Unit& unit) {
  const catalogue::SoftwareRow* row = catalogue::FindSoftware(unit.unitFamily, unit.mcuType);
  if (!row) {
    const int site = unit.unitFamily == family::Display       ? 120
                     : unit.unitFamily == family::Transmitter ? 138
                     : unit.unitFamily == family::RemoteIo    ? 147
                                                              : 153;
    FatalError(s, "Unsupported unit L" + decimalText(site));
  }
  const ExpectedSoftwareDigest expected = ExpectedDigest(*row);
  Debug(s) << "New software checksum=" << hex(expected.checksum, 8);
  if (expected.hasCrc) Debug(s) << " CRC=" << hex(expected.crc, 4);
  Debug(s) << crlf << "Current software checksum=" << hex(unit.softwareChecksum, 8);
  if (expected.hasCrc) Debug(s) << " CRC=" << hex(unit.softwareCrc, 4);
  Debug(s) << crlf;
  const bool different =
      unit.softwareChecksum != expected.checksum || (expected.hasCrc && unit.softwareCrc != expected.crc);
  Debug(s) << (different ? "Current software is different than the new software"
                         : "Current software is the same as the new software")
           << crlf;
  return different;
}

UpdateOutcome UpdateUnit(Session& s, Unit& unit, const UpdateRequest& request) {
  if (unit.mcuType == mcu::H8S2145) {
    FatalError(s, "This version of Kestrelink is unable to update the software in old H8 units. Please use the "
                  "older Kestrelink");
  }
  AskUnitType(s, unit);
  // A unit with a later build of this release keeps it. What decides is known on entry: the
  // unit is neither rebooted nor asked about.
  if (ReportsBuildIncrement(unit.softwareVersion) && unit.buildIncrement > 1) {
    s.out(Channel::Always) << "The software cannot be downgraded to " << TargetVersionText() << crlf;
    return UpdateOutcome::Refused;
  }
  if (request.askFirst && !AskYesNo(s, "Do you wish to upgrade this Balvanta unit?")) EndProcess(s, 1);
  Debug(s) << "New serial number= " << request.newSerialNumber << crlf;
  Debug(s) << "Current serial number= " << unit.serialNumber << crlf;

  UpdatePlan plan;
  UnitImages images;
  if (s.run.manufacturingMode) DecideFields(s, unit, request, plan);
  if (unit.mode == modeBalvantaSoftware) KeepUnitFromDrivingPort(s);

  bool useUpdateFiles = request.useUpdateFiles;
  if (IsVComPort(s, unit)) {
    s.out(Channel::Always) << "-- vcom port detected, using update files" << crlf;
    useUpdateFiles = CheckUpdateFileSupport(s, unit);
    if (!useUpdateFiles) FatalError(s, "The unit does not support Update files, which are required on a vcom port");
  }
  std::optional<FieldsKeeper> keeper;
  if (!useUpdateFiles) {
    keeper.emplace(s, unit);
    // A programmer an earlier run left writing the boot loader is kept to finish it: restarted,
    // it would leave a unit that cannot start.
    if (!InitialiseForUpdate(s, unit, keeper->bootLoaderUnfinished())) {
      FatalError(s, "Unable to initialise Balvanta unit");
    }
    if (unit.mode == modeFlashProgrammer) {
      Because(s, plan.doBootLoader, "-- updating boot loader because an earlier run did not finish writing it");
    } else if (unit.mode != modeBalvantaBootLoader) {
      Debug(s) << "-- Software mode of unit is not modeBalvantaBootLoader" << crlf;
    }
  }

  if (!HandleTestBoard(s, unit, images, request, useUpdateFiles, plan)) return UpdateOutcome::Failed;
  if (!SelectFlashProgrammer(s, unit, images, useUpdateFiles))
    FatalError(s, "Cannot update this unit (incompatible boot loader)");
  DecideBootLoader(s, unit, request, plan);

  Debug(s) << "New software version= " << TargetVersionText() << crlf;
  Debug(s) << "Current software version= " << SoftwareVersionText(unit) << crlf;
  DecideSoftware(s, unit, plan);

  if (s.run.manufacturingMode && plan.doBootLoader) {
    Because(s, plan.doFields, "-- updating manufacturing fields because the boot loader needs to be updated");
  }
  if (plan.doFields) {
    Because(s, plan.doBootLoader, "-- updating boot loader because the manufacturing fields need to be updated");
  }
  WriteSummary(s, plan);

  const bool writesImages = plan.doFields || plan.doBootLoader || plan.doSoftware;
  if (useUpdateFiles) {
    if (writesImages) {
      if (!SelectBootLoader(s, unit, images) || !SelectSoftware(s, unit, images))
        FatalError(s, "Unknown balvanta unit");
      if (!SendUpdateFiles(s, unit, images, request, plan)) return UpdateOutcome::Failed;
    }
  } else if (writesImages || keeper->holdsCopy()) {
    // Fields an earlier run left erased are put back even when nothing else is written.
    if (!writesImages) Debug(s) << "-- checking manufacturing fields because this PC keeps a copy of them" << crlf;
    FlashImages(s, unit, images, plan, *keeper);
  }

  const CardFilesOutcome files = UpdateCardFiles(s, unit, images, useUpdateFiles, request.failureEndsRun);
  if (files.failed) return UpdateOutcome::Failed;
  if (files.wrote) plan.wroteSomething = true;

  if (useUpdateFiles && plan.wroteSomething) {
    s.out(Channel::Always) << "Sending flash programmer to unit..." << crlf;
    const ImageRef& programmer = images.programmer;
    if (!SendFile(s, unit, kProgrammerUpdateDrive, 0, programmer.start, programmer.length, AppendKind::Crc) &&
        !TransferFailed(s, request.failureEndsRun, "Unable to update unit")) {
      return UpdateOutcome::Failed;
    }
  }
  return UpdateOutcome::Updated;
}

}  // namespace kl
