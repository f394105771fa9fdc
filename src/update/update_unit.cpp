#include "update/update_unit.h"

#include <string_view>

#include "connect/connection.h"
#include "driver/console_input.h"
#include "driver/fatal_error.h"
#include "driver/session.h"
#include "driver/version.h"
#include "images/catalogue.h"
#include "protocol/identification.h"
#include "protocol/unit_control.h"
#include "transfer/file_update.h"
#include "transfer/flash_writer.h"
#include "transfer/image_selection.h"
#include "transfer/manufacturing_fields.h"
#include "transfer/programmer_download.h"
#include "update/boot_tool.h"
#include "update/card_files.h"

namespace kl {

namespace {

constexpr int kKeepQuietPings = 20;
// The external tool's flash programmer is read into a buffer of this size.
constexpr size_t kToolProgrammerCapacity = 1000001;
// Software from this version on keeps manufacturing fields the application can check.
constexpr int16_t kFieldsSoftwareVersion = 220;
constexpr int16_t kFieldsCheckVersion = 440;
constexpr int16_t kDowngradeGuardVersion = 600;
// Boot loaders before this release report no software checksum.
constexpr uint8_t kChecksumBootRelease = 4;
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
  if (key != 'Y' && key != 'y') EndProcess(s, 1);
}

void DecideFields(Session& s, const Unit& unit, const UpdateRequest& request, UpdatePlan& plan) {
  if (s.options.writeAlways) {
    Because(s, plan.doFields, "-- updating manufacturing fields because -w command line option specified");
    return;
  }
  if (unit.mode != modeBalvantaSoftware || unit.softwareVersion < kFieldsSoftwareVersion) {
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
  } else if (unit.softwareVersion < kFieldsCheckVersion) {
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
void HandleTestBoard(Session& s, Unit& unit, bool useUpdateFiles, UpdatePlan& plan) {
  const bool preProduction =
      (unit.bootFlags & bootflag::PreProduction) || ((unit.unitFlags & unitflag::CardTester) && useUpdateFiles);
  if (preProduction) {
    if (!s.options.manufacturingMode) {
      Reset(s, unit);
      FatalError(s, "Cannot update this unit (pre-production board)");
    }
    Debug(s) << "-- loading flash programmer from Quorran" << crlf;
    LoadProgrammerFromBootTool(s, unit, s.bootToolProgrammer, kToolProgrammerCapacity);
    Because(s, plan.doBootLoader, "-- updating boot loader because test software is present");
  } else if ((unit.bootFlags & bootflag::JtagUnlocked) || (unit.unitFlags & kTestSoftwareBits)) {
    Because(s, plan.doBootLoader, "-- updating boot loader because test software is present");
  }
}

void DecideBootLoader(Session& s, const Unit& unit, const UpdateRequest& request, UpdatePlan& plan) {
  const RunOptions& o = s.options;
  if (o.manufacturingMode) {
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
    } else if (unit.bootLoaderRelease < kChecksumBootRelease) {
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

// One image: as an update file the unit applies at its restart, or into MCU flash through
// the running programmer, which is restarted afterwards.
void WriteImage(Session& s, Unit& unit, ImageRef image, bool useUpdateFiles, uint16_t updateFile,
                const RestoreStep& restore, UpdatePlan& plan) {
  const FlashTarget target = updateFile == kBootLoaderUpdateFile ? FlashTarget::BootLoader : FlashTarget::Software;
  if (useUpdateFiles) {
    if (!SendFile(s, unit, kUpdateFilesDrive, updateFile, image.start, image.length, AppendKind::Checksum)) {
      FatalError(s, "Unable to update unit");
    }
    plan.wroteSomething = true;
    return;
  }
  if (!WriteMcuFlash(s, unit, image, restore, target)) FatalError(s, "Unable to write new software");
  if (!ResetProgrammer(s, unit)) FatalError(s, "Unable to reset flash programmer");
}

void WriteBootLoaderAndSoftware(Session& s, Unit& unit, bool useUpdateFiles, const RestoreStep& restore,
                                UpdatePlan& plan) {
  if (plan.doBootLoader) {
    s.out(Channel::Always) << (useUpdateFiles ? "Sending boot loader update to unit..."
                                              : "Preparing to update Boot Loader...")
                           << crlf;
    WriteImage(s, unit, unit.bootLoaderImage, useUpdateFiles, kBootLoaderUpdateFile, restore, plan);
  }
  if (plan.doSoftware) {
    if (useUpdateFiles) s.out(Channel::Always) << "Sending software update to unit..." << crlf;
    WriteImage(s, unit, unit.softwareImage, useUpdateFiles, kSoftwareUpdateFile, restore, plan);
  }
}

void WriteImages(Session& s, Unit& unit, bool useUpdateFiles, UpdatePlan& plan) {
  if (!useUpdateFiles) {
    if (!DownloadProgrammer(s, unit, unit.programmerImage, "programmer")) {
      FatalError(s, "Unable to download flash programmer");
    }
    if (unit.mode != modeFlashProgrammer) Debug(s) << "-- Software mode of unit is not modeFlashProgrammer" << crlf;
  }
  if (!SelectBootLoader(s, unit) || !SelectSoftware(s, unit)) FatalError(s, "Unknown balvanta unit");

  if (plan.doFields) {
    WriteBootLoaderAndSoftware(s, unit, useUpdateFiles, {}, plan);
    const ManufacturingFields& fields = s.storage.manufacturingFields;
    if (useUpdateFiles) {
      s.out(Channel::Always) << "Sending manufacturing fields update to unit..." << crlf;
      if (!SendManufacturingFields(s, unit, fields)) FatalError(s, "Unable to update unit");
      plan.wroteSomething = true;
    } else if (!UpdateManufacturingFields(s, unit, fields)) {
      FatalError(s, "Unable to write to MCU flash memory");
    }
    return;
  }
  // The fields stay: backed up before the flash around them is rewritten, put back during it.
  if (!useUpdateFiles && !ReadBackupFields(s, unit)) FatalError(s, "Unable to read from MCU flash memory");
  WriteBootLoaderAndSoftware(s, unit, useUpdateFiles, WriteBackupFields, plan);
  if (!useUpdateFiles && !PreserveManufacturingFields(s, unit, unit.serialNumber)) {
    FatalError(s, "Unable to write to MCU flash memory");
  }
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

bool UpdateUnit(Session& s, Unit& unit, const UpdateRequest& request) {
  if (unit.mcuType == mcu::H8S2145) {
    FatalError(s, "This version of Kestrelink is unable to update the software in old H8 units. Please use the "
                  "older Kestrelink");
  }
  AskUnitType(s, unit);
  if (request.askFirst && !AskYesNo(s, "Do you wish to upgrade this Balvanta unit?")) EndProcess(s, 1);
  Debug(s) << "New serial number= " << request.newSerialNumber << crlf;
  Debug(s) << "Current serial number= " << unit.serialNumber << crlf;

  UpdatePlan plan;
  if (s.options.manufacturingMode) DecideFields(s, unit, request, plan);
  if (unit.mode == modeBalvantaSoftware) KeepUnitFromDrivingPort(s);

  bool useUpdateFiles = request.useUpdateFiles;
  if (IsVComPort(s, unit)) {
    s.out(Channel::Always) << "-- vcom port detected, using update files" << crlf;
    useUpdateFiles = CheckUpdateFileSupport(s, unit);
    if (!useUpdateFiles) FatalError(s, "The unit does not support Update files, which are required on a vcom port");
  }
  if (!useUpdateFiles) {
    if (!InitialiseForUpdate(s, unit)) FatalError(s, "Unable to initialise Balvanta unit");
    if (unit.mode != modeBalvantaBootLoader) Debug(s) << "-- Software mode of unit is not modeBalvantaBootLoader" << crlf;
  }

  HandleTestBoard(s, unit, useUpdateFiles, plan);
  if (!SelectFlashProgrammer(s, unit, useUpdateFiles)) FatalError(s, "Cannot update this unit (incompatible boot loader)");
  DecideBootLoader(s, unit, request, plan);

  // A unit with a later build of this release keeps it: nothing has been written yet.
  if (unit.softwareVersion >= kDowngradeGuardVersion && unit.buildIncrement > 1) {
    s.out(Channel::Always) << "The software cannot be downgraded to " << TargetVersionText() << crlf;
    return false;
  }
  Debug(s) << "New software version= " << TargetVersionText() << crlf;
  Debug(s) << "Current software version= " << SoftwareVersionText(unit) << crlf;
  DecideSoftware(s, unit, plan);

  if (s.options.manufacturingMode && plan.doBootLoader) {
    Because(s, plan.doFields, "-- updating manufacturing fields because the boot loader needs to be updated");
  }
  if (plan.doFields) {
    Because(s, plan.doBootLoader, "-- updating boot loader because the manufacturing fields need to be updated");
  }
  WriteSummary(s, plan);

  if (plan.doFields || plan.doBootLoader || plan.doSoftware) WriteImages(s, unit, useUpdateFiles, plan);
  if (UpdateCardFiles(s, unit, useUpdateFiles)) plan.wroteSomething = true;

  if (useUpdateFiles && plan.wroteSomething) {
    s.out(Channel::Always) << "Sending flash programmer to unit..." << crlf;
    const ImageRef& programmer = unit.programmerImage;
    if (!SendFile(s, unit, kProgrammerUpdateDrive, 0, programmer.start, programmer.length, AppendKind::Crc)) {
      FatalError(s, "Unable to update unit");
    }
  }
  return true;
}

}  // namespace kl
