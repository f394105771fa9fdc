// Command codes of the remote procedure calls. The same code can mean different things to
// the application, the boot loader and a RAM flash programmer.
#pragma once

#include <cstdint>

namespace kl::wire::cmd {

inline constexpr uint16_t ReadBasicInfo = 0x1010;
inline constexpr uint16_t GotoBootLoader = 0x1011;
inline constexpr uint16_t ReadBootLoaderVersion = 0x1012;
inline constexpr uint16_t ReadBootLoaderRelease = 0x1013;
inline constexpr uint16_t ReadAdvancedInfo = 0x1014;
inline constexpr uint16_t ReadExtendedInfo = 0x1015;
inline constexpr uint16_t ReadInformationText = 0x1016;
inline constexpr uint16_t ListRemoteUnits = 0x1017;
inline constexpr uint16_t ResetSystem = 0x1018;
inline constexpr uint16_t CheckManufacturingFields = 0x1019;
inline constexpr uint16_t GetModbusAddress = 0x101B;
inline constexpr uint16_t IsVComPort = 0x101C;
inline constexpr uint16_t GetBufferSize = 0x101F;        // boot loader release 11 and later
inline constexpr uint16_t GetBufferSizeOld = 0x1091;     // boot loader release up to 10
inline constexpr uint16_t WriteRam = 0x1020;
inline constexpr uint16_t Examine = 0x1021;
inline constexpr uint16_t TransferToRamProgram = 0x1022;
inline constexpr uint16_t SetProgrammerBaudRate = 0x1023;     // release 11 and later
inline constexpr uint16_t SetProgrammerBaudRateOld = 0x1090;  // release up to 10
inline constexpr uint16_t WriteRamLarge = 0x1024;
inline constexpr uint16_t OpenFile = 0x1026;
inline constexpr uint16_t ReadFileBlock = 0x1027;
inline constexpr uint16_t CreateFile = 0x1029;
inline constexpr uint16_t SetFileProperties = 0x102B;
inline constexpr uint16_t CloseFile = 0x102C;
inline constexpr uint16_t GetFileAttributes = 0x102F;
inline constexpr uint16_t SetUnitBaudRate = 0x1030;
inline constexpr uint16_t GetProgrammerVersion = 0x1031;
inline constexpr uint16_t Reset = 0x1032;
inline constexpr uint16_t ResetProgrammer = 0x1033;  // flash programmer
inline constexpr uint16_t WaitForUnit = 0x1033;      // application: ready query
inline constexpr uint16_t GetDebugLogs = 0x1034;
inline constexpr uint16_t EraseRange = 0x1035;
inline constexpr uint16_t EraseFMS = 0x1036;
inline constexpr uint16_t WriteRamBlock = 0x1038;
inline constexpr uint16_t CommitRamBlock = 0x1039;
inline constexpr uint16_t FlashWriteBufferedCommit = 0x103A;
inline constexpr uint16_t ConfigureProgrammer = 0x103B;
inline constexpr uint16_t SearchKestrelinkProxy = 0x103C;
inline constexpr uint16_t SetProxyBaudRate = 0x103D;
inline constexpr uint16_t OpenKestrelinkProxy = 0x103E;
inline constexpr uint16_t CloseKestrelinkProxy = 0x103F;
inline constexpr uint16_t FlashWritePlain = 0x1040;       // up to 128 bytes
inline constexpr uint16_t FlashWriteWindowed = 0x1041;
inline constexpr uint16_t FlashWritePlainLarge = 0x1042;  // more than 128 bytes
inline constexpr uint16_t WriteBackupBlock = 0x1050;
inline constexpr uint16_t ReadBackupBlock = 0x1051;
inline constexpr uint16_t UpdateManufacturingFields = 0x1052;
inline constexpr uint16_t PreserveManufacturingFields = 0x1053;

}  // namespace kl::wire::cmd
