// What a unit can do, told by the software version or the boot-loader release it reported. Each
// threshold is named once here; every decision that depends on one asks the predicate, so that a
// capability that came with a release is never judged by two different numbers.
#pragma once

#include <cstdint>

#include "protocol/unit.h"

namespace kl {

namespace since {
// Software versions (version x 100) that brought a capability.
inline constexpr int16_t kExtendedInfo = 220;       // ReadExtendedInfo
inline constexpr int16_t kFieldsKept = 220;         // manufacturing fields the application keeps
inline constexpr int16_t kFieldsCheck = 440;        // CheckManufacturingFields
inline constexpr int16_t kBuildIncrement = 600;     // the word after the version is the build increment
inline constexpr int16_t kAdvancedInfo = 600;       // ReadAdvancedInfo
inline constexpr int16_t kRemoteListing = 600;      // ListRemoteUnits: a network of further units
inline constexpr int16_t kUpdateFiles = 600;        // update files, applied at the next restart
inline constexpr int16_t kWaitForUnit = 600;        // WaitForUnit after a restart
inline constexpr int16_t kOwnSpeed = 600;           // SetUnitBaudRate before the boot loader
inline constexpr int16_t kNewFileSystem = 600;      // the flash drive's current file system
inline constexpr int16_t kLogs = 601;               // configuration, crash and debug logs
inline constexpr int16_t kExtendedFileWrite = 604;  // the extended windowed file write
inline constexpr int16_t kNewFileProtocol = 604;    // the file calls' current protocol
inline constexpr int16_t kVComPorts = 606;          // IsVComPort
inline constexpr int16_t kProxySearch = 606;        // a test jig that searches behind itself
inline constexpr int16_t kFullSpeedVersion = 606;   // with kFullSpeedRelease: every speed of the table
inline constexpr uint8_t kFullSpeedRelease = 35;

// Boot-loader releases that brought a capability.
inline constexpr uint8_t kReleaseReported = 4;   // the release itself is reported
inline constexpr uint8_t kSoftwareChecksum = 4;  // the software's checksum is reported
inline constexpr uint8_t kBufferSizeCall = 10;   // GetBufferSize answered at all
inline constexpr uint8_t kCurrentBufferSizeCall = 11;
inline constexpr uint8_t kCurrentProgrammerSpeedCall = 11;
inline constexpr uint8_t kUpdateFilesBootLoader = 14;
}  // namespace since

inline bool RunsApplication(const Unit& unit) { return unit.mode == modeBalvantaSoftware; }

// By the software version alone: these hold whatever answered, the version being what the
// unit's flash holds.
inline bool ReportsBuildIncrement(int16_t softwareVersion) { return softwareVersion >= since::kBuildIncrement; }
inline bool ChecksManufacturingFields(const Unit& u) { return u.softwareVersion >= since::kFieldsCheck; }
inline bool UsesNewFileSystem(const Unit& u) { return u.softwareVersion >= since::kNewFileSystem; }
inline bool KeepsLogs(const Unit& u) { return u.softwareVersion >= since::kLogs; }
inline bool UsesNewFileProtocol(const Unit& u) { return u.softwareVersion >= since::kNewFileProtocol; }
inline bool TakesFullSpeed(const Unit& u) {
  return u.softwareVersion > since::kFullSpeedVersion ||
         (u.softwareVersion == since::kFullSpeedVersion && u.softwareRelease >= since::kFullSpeedRelease);
}

// Calls the running application answers.
inline bool HasExtendedInfo(const Unit& u) { return RunsApplication(u) && u.softwareVersion >= since::kExtendedInfo; }
inline bool KeepsManufacturingFields(const Unit& u) {
  return RunsApplication(u) && u.softwareVersion >= since::kFieldsKept;
}
inline bool HasAdvancedInfo(const Unit& u) { return RunsApplication(u) && u.softwareVersion >= since::kAdvancedInfo; }
inline bool ListsRemoteUnits(const Unit& u) { return RunsApplication(u) && u.softwareVersion >= since::kRemoteListing; }
inline bool SoftwareTakesUpdateFiles(const Unit& u) {
  return RunsApplication(u) && u.softwareVersion >= since::kUpdateFiles;
}
inline bool AnswersWaitForUnit(const Unit& u) { return RunsApplication(u) && u.softwareVersion >= since::kWaitForUnit; }
inline bool SetsOwnSpeed(const Unit& u) { return RunsApplication(u) && u.softwareVersion >= since::kOwnSpeed; }
inline bool WritesExtendedFiles(const Unit& u) {
  return RunsApplication(u) && u.softwareVersion >= since::kExtendedFileWrite;
}
inline bool HasVComPorts(const Unit& u) { return RunsApplication(u) && u.softwareVersion >= since::kVComPorts; }
inline bool SearchesBehindItself(const Unit& u) {
  return RunsApplication(u) && u.softwareVersion >= since::kProxySearch;
}

// By the boot-loader release.
inline bool ReportsBootLoaderRelease(const Unit& u) { return u.bootLoaderRelease >= since::kReleaseReported; }
inline bool ReportsSoftwareChecksum(const Unit& u) { return u.bootLoaderRelease >= since::kSoftwareChecksum; }
inline bool AnswersBufferSize(const Unit& u) { return u.bootLoaderRelease >= since::kBufferSizeCall; }
inline bool HasCurrentBufferSizeCall(const Unit& u) { return u.bootLoaderRelease >= since::kCurrentBufferSizeCall; }
inline bool HasCurrentProgrammerSpeedCall(const Unit& u) {
  return u.bootLoaderRelease >= since::kCurrentProgrammerSpeedCall;
}
inline bool BootLoaderAppliesUpdateFiles(const Unit& u) { return u.bootLoaderRelease >= since::kUpdateFilesBootLoader; }

}  // namespace kl
