#include "protocol/identification.h"

#include "driver/fatal_error.h"
#include "protocol/capabilities.h"
#include "protocol/cards.h"
#include "protocol/remote_call.h"
#include "protocol/target_context.h"
#include "protocol/unit_names.h"
#include "transport/packet_link.h"
#include "wire/commands.h"
#include "wire/frame.h"

namespace kl {

namespace {

constexpr int kIdentificationAttempts = 4;
constexpr int kExtendedInfoAttempts = 2;
constexpr int kInformationTextAttempts = 8;
constexpr int kAdvancedInfoAttempts = 8;
constexpr uint8_t kReleaseQuery = 0x01;
constexpr uint8_t kInformationAvailable = 1;
constexpr uint8_t kExtendedCount = 24;       // bytes from offset 6 in the standard layout
constexpr uint8_t kAdvancedBaseLength = 33;  // L without the optional bytes
constexpr uint32_t kAdvancedHead = 37;

ChannelWriter& Debug(TargetContext& s) { return s.out(Channel::Debug); }

void ReadBytes(TargetContext& s, uint8_t* to, size_t count) {
  for (size_t i = 0; i < count; ++i) to[i] = GetPacketByte(s);
}

void SkipBytes(TargetContext& s, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) GetPacketByte(s);
}

void LogMcuType(TargetContext& s, uint8_t mcuType) {
  Debug(s) << "MCUType=" << mcuType << " " << McuTypeName(mcuType) << crlf;
}

void LogBootLoader(TargetContext& s, const Unit& unit) {
  Debug(s) << "Boot loader version=" << unit.bootLoaderVersion << crlf;
  Debug(s) << "Boot loader release=" << unit.bootLoaderRelease << crlf;
}

void LogBootFlags(TargetContext& s, uint8_t flags) {
  Debug(s) << "BootFlags=" << hex(flags, 2) << crlf;
  if (flags == 0) return;
  if (flags & bootflag::NoSoftware) Debug(s) << "- No balvanta software present" << crlf;
  if (!(flags & bootflag::ChecksumEnabled)) Debug(s) << "- Flash checksum is disabled" << crlf;
  if (flags & bootflag::ChecksumFailed) Debug(s) << "- Flash checksum has failed" << crlf;
  if (flags & bootflag::RamTestFailed) Debug(s) << "- RAM test has failed" << crlf;
  if (flags & bootflag::JtagUnlocked) Debug(s) << "- JTAG interface is unlocked" << crlf;
  Debug(s) << ((flags & bootflag::PreProduction) ? "- pre-production boot loader" : "- production boot loader") << crlf;
}

// Family and MCU type by card; false for a card the program does not know.
bool DecodeCard(Unit& unit) {
  const CardRow* card = FindCard(unit.cardNumber);
  if (!card) return false;
  unit.unitFamily = card->unitFamily;
  unit.mcuType = CardMcuType(*card, unit.circuitCode, unit.mcuType);
  return true;
}

std::string TwoDigits(int value) { return zeroFilled(value, 2); }

bool ReadInformationText(TargetContext& s, Unit& unit, uint8_t length) {
  const CallRequest request{unit.address, wire::cmd::ReadInformationText, {}, 0};
  return LoggedCall(
      s, "ReadInformationText", kInformationTextAttempts,
      [&] {
        return CallOnce(s, request, 4u + length, [&](LinkContext&) {
          unit.informationText = s.text();
          for (uint8_t i = 0; i < length; ++i) {
            const uint8_t byte = GetPacketByte(s);
            unit.informationText.append(byte <= 31 ? ':' : static_cast<char>(byte));
          }
          return true;
        });
      },
      [&] {
        Debug(s) << "Information=" << unit.informationText.view() << crlf;
        LogComplete(s);
      });
}

}  // namespace

bool Ping(TargetContext& s, uint8_t unitId) {
  BeginPacket(s);
  PutPacketByte(s, unitId);
  PutPacketByte(s, wire::kFunctionPing);
  SendPacket(s, 2);
  RecvPacket(s, 2);
  const uint8_t address = GetPacketByte(s);
  const uint8_t function = GetPacketByte(s);
  return CheckPacketEnd(s) && address == unitId && function == wire::kFunctionPingReply;
}

// The probe of discovery and connection: one attempt, no log lines of its own (its callers
// write "RPC: ReadBootLoaderVersion" and "COMPLETE" around their own attempt loops).
bool ReadBootLoaderVersion(TargetContext& s, Unit& unit) {
  const CallRequest request{s.bootLoaderAddress, wire::cmd::ReadBootLoaderVersion, {}, 0};
  uint8_t versionByte = 0;
  const bool accepted = CallOnce(s, request, 5, [&](LinkContext&) {
    versionByte = GetPacketByte(s);
    return true;
  });
  if (accepted) unit.bootLoaderVersionByte = versionByte;
  return accepted;
}

// Writes the details it learns; the "RPC:" and "COMPLETE" lines are its callers'.
bool ReadBootLoaderRelease(TargetContext& s, Unit& unit) {
  const CallRequest request{s.bootLoaderAddress, wire::cmd::ReadBootLoaderRelease,
                            [](LinkContext& session) { PutPacketByte(session, kReleaseQuery); }, 1};
  const bool accepted = Repeat(kIdentificationAttempts, [&] {
    // Stored as read: a rejected reply can leave its values until the next accepted one.
    return CallOnce(s, request, 13, [&](LinkContext&) {
      unit.bootLoaderInfo = GetPacketByte(s);
      unit.mcuType = GetPacketByte(s);
      unit.bootLoaderVersion = GetPacketByte(s);
      unit.bootLoaderRelease = GetPacketByte(s);
      unit.softwareChecksum = GetPacketLong(s);
      unit.bootFlags = GetPacketByte(s);
      return true;
    });
  });
  if (accepted) {
    unit.bootLoaderReleaseRead = true;
    LogMcuType(s, unit.mcuType);
    LogBootLoader(s, unit);
    LogBootFlags(s, unit.bootFlags);
    return true;
  }
  // The oldest boot loaders do not know the query: their version byte says it all.
  const uint8_t versionByte = unit.bootLoaderVersionByte;
  unit.bootLoaderInfo = 0;
  unit.mcuType = static_cast<uint8_t>(static_cast<int8_t>(versionByte) >> 4);
  unit.bootLoaderVersion = versionByte & 0x0F;
  unit.bootLoaderRelease = versionByte & 0x0F;
  unit.bootFlags = 0;
  LogMcuType(s, unit.mcuType);
  LogBootLoader(s, unit);
  return false;
}

bool ReadBasicInfo(TargetContext& s, Unit& unit, uint8_t unitId) {
  const CallRequest request{unitId, wire::cmd::ReadBasicInfo, {}, 0};
  return CallOnce(s, request, 12, [&](LinkContext&) {
    // Stored as read, before the reply is judged.
    unit.cardNumber = GetPacketWord(s);
    unit.circuitCode = GetPacketWord(s);
    unit.softwareVersion = static_cast<int16_t>(GetPacketWord(s));
    const uint16_t extra = GetPacketWord(s);
    if (ReportsBuildIncrement(unit.softwareVersion)) {
      unit.buildIncrement = static_cast<uint8_t>(extra >> 8);
    } else {
      unit.productNumber = extra;
    }
    return true;
  });
}

bool ReadUnitInfo(TargetContext& s, Unit& unit) {
  Debug(s) << "RPC: "
           << "ReadUnitInfo" << crlf;
  if (!Repeat(kIdentificationAttempts, [&] { return ReadBasicInfo(s, unit, unit.address); })) return false;
  if (!DecodeCard(unit)) FatalError(s, "Unsupported Card Number: " + decimalText(unit.cardNumber));
  Debug(s) << "Card Number=" << unit.cardNumber << " " << UnitTypeName(unit.cardNumber) << crlf;
  Debug(s) << "MCU Type=" << unit.mcuType << crlf;
  NumberFormat twoDecimals;
  twoDecimals.decimals = 2;
  Debug(s) << "Software Version=" << numberText(unit.softwareVersion, twoDecimals) << crlf;
  LogComplete(s);
  return true;
}

bool ReadExtendedInfo(TargetContext& s, Unit& unit) {
  if (!HasExtendedInfo(unit)) return false;
  const CallRequest request{unit.address, wire::cmd::ReadExtendedInfo, {}, 0};
  uint8_t textAvailable = 0;
  uint8_t textLength = 0;
  uint16_t ftMask = 0, rtMask = 0, newMask = 0;
  int32_t serialNumber = 0;
  std::array<uint8_t, 6> buildTime{};
  const bool accepted = LoggedCall(
      s, "ReadExtendedInfo", kExtendedInfoAttempts,
      [&] {
        return CallOnceInSteps(s, request, 30, [&](LinkContext&) {
          const uint8_t count = GetPacketByte(s);
          // A longer layout of a newer application: its surplus is fetched and passed over.
          const uint32_t surplus = count > kExtendedCount ? count - kExtendedCount : 0;
          if (surplus > 0) ReceiveMore(s, surplus);
          textAvailable = GetPacketByte(s);
          ftMask = GetPacketWord(s);
          rtMask = GetPacketWord(s);
          newMask = GetPacketWord(s);
          serialNumber = static_cast<int32_t>(GetPacketLong(s));
          SkipBytes(s, 7);
          ReadBytes(s, buildTime.data(), buildTime.size());
          textLength = GetPacketByte(s);
          SkipBytes(s, surplus);
          return true;
        });
      },
      [&] {
        unit.ftMask = ftMask;
        unit.rtMask = rtMask;
        unit.newMask = newMask;
        unit.serialNumber = serialNumber;
        unit.serialNumberRead = true;
        unit.buildTime = buildTime;
        Debug(s) << "Serial Number=" << serialNumber << crlf;
        LogComplete(s);
      });
  if (!accepted) return false;
  if (textAvailable == kInformationAvailable) return ReadInformationText(s, unit, textLength);
  return true;
}

bool ReadAdvancedInfo(TargetContext& s, Unit& unit) {
  if (!HasAdvancedInfo(unit)) return false;
  const CallRequest request{unit.address, wire::cmd::ReadAdvancedInfo, {}, 0};
  Unit read;
  const bool accepted = LoggedCall(
      s, "ReadAdvancedInfo", kAdvancedInfoAttempts,
      [&] {
        read = Unit{};
        read.bootFlags = bootflag::ChecksumEnabled;
        return CallOnceInSteps(s, request, kAdvancedHead, [&](LinkContext&) {
          const uint8_t length = GetPacketByte(s);
          const uint32_t rest = length > kAdvancedBaseLength ? length - kAdvancedBaseLength : 0;
          GetPacketByte(s);  // not used
          read.mcuType = GetPacketByte(s);
          read.bootLoaderVersion = GetPacketByte(s);
          read.bootLoaderRelease = GetPacketByte(s);
          read.cardNumber = GetPacketWord(s);
          read.circuitCode = GetPacketWord(s);
          read.boardRevision = GetPacketByte(s);
          read.boardIssue = GetPacketByte(s);
          read.softwareVersion = static_cast<int16_t>(GetPacketWord(s));
          read.softwareRelease = GetPacketByte(s);
          read.buildIncrement = GetPacketByte(s);
          ReadBytes(s, read.buildTime.data(), read.buildTime.size());
          read.softwareChecksum = GetPacketLong(s);
          read.softwareCrc = GetPacketWord(s);
          read.serialNumber = static_cast<int32_t>(GetPacketLong(s));
          read.productNumber = GetPacketWord(s);
          ReceiveMore(s, rest);
          uint32_t optional = 0;
          if (length >= 34) {
            read.modbusAddress = GetPacketByte(s);
            ++optional;
          }
          if (length >= 35) {
            read.unitFlags = GetPacketByte(s);
            ++optional;
          }
          SkipBytes(s, rest - optional);
          return true;
        });
      },
      [&] {
        unit.modbusAddress = read.modbusAddress;
        unit.cardNumber = read.cardNumber;
        unit.circuitCode = read.circuitCode;
        unit.boardRevision = read.boardRevision;
        unit.boardIssue = read.boardIssue;
        unit.productNumber = read.productNumber;
        unit.softwareVersion = read.softwareVersion;
        unit.softwareRelease = read.softwareRelease;
        unit.buildIncrement = read.buildIncrement;
        unit.serialNumber = read.serialNumber;
        unit.serialNumberRead = true;
        unit.unitFlags = read.unitFlags;
        unit.buildTime = read.buildTime;
        unit.bootLoaderVersion = read.bootLoaderVersion;
        unit.bootLoaderRelease = read.bootLoaderRelease;
        unit.bootLoaderReleaseRead = true;
        unit.bootFlags = read.bootFlags;
        unit.softwareChecksum = read.softwareChecksum;
        unit.softwareCrc = read.softwareCrc;
        unit.mcuType = read.mcuType;
        Debug(s) << "Modbus Address=" << unit.modbusAddress << crlf;
        LogMcuType(s, unit.mcuType);
        LogBootLoader(s, unit);
        LogComplete(s);
      });
  return accepted;
}

std::string SoftwareVersionText(const Unit& unit) {
  const int version = unit.softwareVersion;
  if (unit.mcuType == mcu::H8S2145) return decimalText(version / 100) + "." + TwoDigits(version % 100);
  return versionText(version, unit.softwareRelease);
}

void PrintUnitInfo(TargetContext& s, const Unit& unit, bool brief) {
  ChannelWriter& info = s.out(Channel::Info);
  const bool application = unit.mode == modeBalvantaSoftware;
  info << "   Unit Type       : " << UnitTypeName(unit.cardNumber) << crlf;
  if (unit.mcuType == mcu::H8S2145) {
    info << "   Card            : " << unit.cardNumber << crlf;
    info << "   Circuit code    : " << unit.circuitCode << crlf;
  } else {
    info << "   Card            : c" << unit.cardNumber << "r" << unit.circuitCode;
    if (application) {
      info << (unit.boardRevision == 0 ? '-' : static_cast<char>(64 + unit.boardRevision)) << unit.boardIssue;
    }
    info << crlf;
  }
  if (brief) {
    info << "   MCU Type        : " << McuTypeName(unit.mcuType) << crlf;
    return;
  }
  info << "   Software        : v" << SoftwareVersionText(unit) << crlf;
  if (unit.productNumber != 0) info << "   Product         : QV" << unit.productNumber << crlf;
  Debug(s) << "   Masks           : ft$" << hex(unit.ftMask, 4) << "  rt$" << hex(unit.rtMask, 4) << "  new$"
           << hex(unit.newMask, 4) << crlf;
  if (application) {
    const auto& t = unit.buildTime;
    // A unit that stopped answering before it told its number is not shown as number 0.
    info << "   Serial No       : ";
    if (unit.serialNumberRead) {
      info << unit.serialNumber;
    } else {
      info << "unknown";
    }
    info << crlf;
    info << "   Build time      : 20" << TwoDigits(t[0]) << "-" << TwoDigits(t[1]) << "-" << TwoDigits(t[2]) << " "
         << TwoDigits(t[3]) << ":" << TwoDigits(t[4]) << ":" << TwoDigits(t[5]) << crlf;
    info << "   Build increment : " << unit.buildIncrement << crlf;
    if (!unit.informationText.empty()) info << "   Information     : " << unit.informationText.view() << crlf;
    if (unit.modbusAddress != 0) info << "   Modbus Address  : " << unit.modbusAddress << crlf;
  }
  const bool releaseKnown = ReportsBootLoaderRelease(unit);
  if (!(unit.serialNumber == 1 && !ReportsBuildIncrement(unit.softwareVersion))) {
    std::string bootLoaderLine;
    if (unit.mcuType != mcu::H8S2145) bootLoaderLine = "   Boot loader     : v" + decimalText(unit.bootLoaderVersion);
    if (releaseKnown) bootLoaderLine += " r" + decimalText(unit.bootLoaderRelease);
    if (!bootLoaderLine.empty()) info << bootLoaderLine << crlf;
    info << "   MCU Type        : " << McuTypeName(unit.mcuType) << crlf;
  }
  if (!releaseKnown) return;
  Debug(s) << "   Checksum        : " << hex(unit.softwareChecksum, 8) << " " << hex(unit.softwareCrc, 4) << crlf;
  const std::string_view indent = "                     ";
  const bool preProductionBoot = unit.bootFlags & bootflag::PreProduction;
  const bool cardTester = unit.unitFlags & unitflag::CardTester;
  if (preProductionBoot || cardTester) {
    info << indent << "Test software present (pre-production board)" << crlf;
    if (preProductionBoot) info << indent << "- pre-production boot loader" << crlf;
    if (cardTester) info << indent << "- card tester software" << crlf;
  } else if ((unit.bootFlags & bootflag::JtagUnlocked) || (unit.unitFlags & unitflag::JtagActive)) {
    info << indent << "WARNING: JTAG interface is active!" << '\a' << crlf;
  }
}

std::string UnitLabel(const Unit& unit) {
  return zeroFilled(unit.modbusAddress, 2) + " QV" + decimalText(unit.productNumber) + " " +
         CardShortName(unit.cardNumber) + " " + decimalText(unit.serialNumber);
}

}  // namespace kl
