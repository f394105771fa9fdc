#include "transfer/manufacturing_fields.h"

#include <algorithm>
#include <optional>
#include <span>
#include <string>

#include "Pellmar/writers.h"
#include "driver/fatal_error.h"
#include "driver/parameter_file.h"
#include "protocol/remote_call.h"
#include "transfer/file_update.h"
#include "transfer/manufacturing_fields_area.h"
#include "transfer/transfer_context.h"
#include "transport/packet_link.h"
#include "wire/commands.h"

namespace kl {

namespace {

constexpr int kAttempts = 8;
constexpr uint8_t kFieldsDrive = 1;
constexpr uint16_t kFieldsFile = 0x0101;
constexpr uint32_t kBackupBlock = 128;

ChannelWriter& Debug(TransferContext& s) { return s.out(Channel::Debug); }

// One byte from two characters: an optional leading blank or tab, then hexadecimal digits
// only. Anything else is no byte at all.
std::optional<uint8_t> HexPair(std::string_view pair) {
  if (pair.front() == ' ' || pair.front() == '\t') pair.remove_prefix(1);
  int value = 0;
  for (char c : pair) {
    const int digit = hexDigitValue(c);
    if (digit < 0) return std::nullopt;
    value = value * 16 + digit;
  }
  return static_cast<uint8_t>(value);
}

void LoadField(TransferContext& s, std::string_view key, std::span<uint8_t> field) {
  const DynamicString value = IniGetString(s, s.options.parameterFile, std::string(key));
  if (value.empty()) FatalError(s, "Missing " + std::string(key));
  const std::string_view text = value.view();
  if (text.size() < 2 * field.size()) FatalError(s, "Field error: " + std::string(key));
  for (size_t i = 0; i < field.size(); ++i) {
    // A value that is not hexadecimal would be stored in the unit as made-up bytes.
    const auto byte = HexPair(text.substr(2 * i, 2));
    if (!byte) FatalError(s, "Field error: " + std::string(key));
    field[i] = *byte;
  }
}

// A call carrying the 40 field bytes, answered by a result byte.
bool FieldsCall(TransferContext& s, uint8_t address, uint16_t command, const ManufacturingFields& fields,
                uint8_t& result) {
  const auto bytes = fields.bytes();
  const CallRequest request{address, command,
                            [bytes](LinkContext& session) {
                              for (uint8_t b : bytes) PutPacketByte(session, b);
                            },
                            ManufacturingFields::kSize};
  return Repeat(kAttempts, [&] {
    return CallOnce(s, request, 5, [&](LinkContext&) {
      result = GetPacketByte(s);
      return true;
    });
  });
}

void RequireMode(TransferContext& s, const Unit& unit, UnitMode mode) {
  if (unit.mode == mode) return;
  if (mode == modeBalvantaSoftware) {
    FatalError(s, "Balvanta software is not running in the unit, cannot perform this operation");
  }
  FatalError(s, "Flash programmer is not running in the unit, cannot perform this operation");
}

std::string_view UpdateVerdict(uint8_t result) {
  switch (result) {
    case 0: return "-- manufacturing fields have been updated";
    case 1: return "-- could not update manufacturing fields (main)";
    case 2: return "-- could not update manufacturing fields (secondary)";
    case 8: return "-- invalid serial number";
    case 9: return "-- invalid key";
    default: return {};
  }
}

std::string_view PreserveVerdict(uint8_t result) {
  switch (result) {
    case 0: return "-- manufacturing fields are valid";
    case 1: return "-- could not update manufacturing fields (main)";
    case 2: return "-- could not update manufacturing fields (secondary)";
    case 3: return "-- manufacturing fields updated in MCU flash (using secondary)";
    case 4: return "-- manufacturing fields updated in MCU flash";
    case 5: return "-- no valid manufacturing fields found in MCU flash";
    default: return {};
  }
}

void WriteVerdict(ChannelWriter& out, std::string_view verdict, uint8_t result) {
  if (verdict.empty()) {
    out << "-- manufacturing fields could not be updated in MCU flash (code=" << result << ")" << crlf;
  } else {
    out << verdict << crlf;
  }
}

CallRequest BackupRequest(TransferContext& s, uint16_t command, uint32_t address, const uint8_t* data) {
  CallRequest request{s.bootLoaderAddress, command, {}, 5};
  request.writeArguments = [address, data](LinkContext& session) {
    PutPacketLong(session, address);
    PutPacketByte(session, static_cast<uint8_t>(kBackupBlock));
    if (data != nullptr) {
      for (uint32_t i = 0; i < kBackupBlock; ++i) PutPacketByte(session, data[i]);
    }
  };
  if (data != nullptr) request.argumentLength += kBackupBlock;
  return request;
}

// The echoed flash address and count of a backup block reply.
bool EchoesBlock(TransferContext& s, uint32_t address) {
  const uint32_t echoed = GetPacketLong(s);
  const uint8_t count = GetPacketByte(s);
  return echoed == address && count == kBackupBlock;
}

uint32_t BackupBytes(const FieldsArea& area) { return std::min(area.size, BackupFields::kCapacity); }

}  // namespace

void LoadManufacturingFields(TransferContext& s, ManufacturingFields& fields) {
  LoadField(s, "EncryptedSerialNo", fields.EncryptedSerialNo);
  LoadField(s, "EncryptedSerialNoCRC", fields.EncryptedSerialNoCRC);
  LoadField(s, "EncryptedSecretKeys", fields.EncryptedSecretKeys);
  LoadField(s, "EncryptedSecretKeysCRC", fields.EncryptedSecretKeysCRC);
}

bool CheckManufacturingFields(TransferContext& s, const Unit& unit, const ManufacturingFields& fields,
                              bool& different) {
  Debug(s) << "RPC: Check manufacturing fields" << crlf;
  RequireMode(s, unit, modeBalvantaSoftware);
  uint8_t result = 0;
  if (!FieldsCall(s, unit.address, wire::cmd::CheckManufacturingFields, fields, result)) {
    LogFailed(s);
    return false;
  }
  Debug(s) << "COMPLETE: Result=" << hex(result, 2) << crlf;
  different = result != 0;
  if (different) {
    Debug(s) << "-- manufacturing fields in unit are different (code=" << result << ")" << crlf;
  } else {
    Debug(s) << "-- manufacturing fields in unit are correct (no update needed)" << crlf;
  }
  return true;
}

bool UpdateManufacturingFields(TransferContext& s, const Unit& unit, const ManufacturingFields& fields,
                               uint8_t* verdict) {
  Debug(s) << "RPC: Update manufacturing fields" << crlf;
  RequireMode(s, unit, modeFlashProgrammer);
  uint8_t result = kFieldsNoAnswer;
  if (verdict) *verdict = result;
  if (!FieldsCall(s, s.bootLoaderAddress, wire::cmd::UpdateManufacturingFields, fields, result)) {
    LogFailed(s);
    return false;
  }
  if (verdict) *verdict = result;
  Debug(s) << "COMPLETE: Result=" << hex(result, 2) << crlf;
  WriteVerdict(Debug(s), UpdateVerdict(result), result);
  return result == 0;
}

std::string UpdateVerdictText(uint8_t result) {
  if (result == kFieldsNoAnswer) return "no answer";
  const std::string_view verdict = UpdateVerdict(result);
  if (verdict.empty()) return "code=" + decimalText(result);
  return std::string(verdict.substr(3));  // without "-- "
}

bool FieldsPreserved(uint8_t result) { return result == 0 || result == 3 || result == 4; }

bool SendManufacturingFields(TransferContext& s, const Unit& unit, const ManufacturingFields& fields) {
  const auto bytes = fields.bytes();
  return UpdateFile(s, unit, kFieldsDrive, kFieldsFile, bytes.data(), ManufacturingFields::kSize, false);
}

bool PreserveManufacturingFields(TransferContext& s, const Unit& unit, int32_t serialNumber, uint8_t* verdict) {
  Debug(s) << "RPC: Preserve manufacturing fields" << crlf;
  RequireMode(s, unit, modeFlashProgrammer);
  const CallRequest request{
      s.bootLoaderAddress, wire::cmd::PreserveManufacturingFields,
      [serialNumber](LinkContext& session) { PutPacketLong(session, static_cast<uint32_t>(serialNumber)); }, 4};
  uint8_t result = kFieldsNoAnswer;
  const bool answered = Repeat(kAttempts, [&] {
    return CallOnce(s, request, 5, [&](LinkContext&) {
      result = GetPacketByte(s);
      return true;
    });
  });
  if (verdict) *verdict = answered ? result : kFieldsNoAnswer;
  if (!answered) {
    LogFailed(s);
    return false;
  }
  Debug(s) << "COMPLETE: Result=" << hex(result, 2) << crlf;
  // Fields the unit cannot vouch for are never a quiet matter.
  WriteVerdict(FieldsPreserved(result) ? Debug(s) : s.out(Channel::Always), PreserveVerdict(result), result);
  return true;
}

bool ReadBackupFields(TransferContext& s, Unit& unit) {
  if (!unit.hasManufacturingFields) return true;
  Debug(s) << "Reading backup fields" << crlf;
  const FieldsArea area = ManufacturingFieldsArea(s, unit);
  BackupFields& backup = s.storage.backupFields;
  // The copy of another unit or area must never be written here, complete or not.
  backup.held = false;
  std::array<uint8_t, BackupFields::kCapacity> copy;
  copy.fill(0xFF);
  for (uint32_t at = 0; at < BackupBytes(area); at += kBackupBlock) {
    const uint32_t address = area.first + at;
    Debug(s) << "Reading $" << hex(address, 8) << " (" << kBackupBlock << ")" << crlf;
    const CallRequest request = BackupRequest(s, wire::cmd::ReadBackupBlock, address, nullptr);
    std::array<uint8_t, kBackupBlock> block{};
    const bool read = Repeat(kAttempts, [&] {
      return CallOnce(s, request, 4 + 5 + kBackupBlock, [&](LinkContext&) {
        const bool echoed = EchoesBlock(s, address);
        for (uint8_t& b : block) b = GetPacketByte(s);
        return echoed;
      });
    });
    if (!read) {
      LogFailed(s);
      return false;
    }
    std::copy(block.begin(), block.end(), copy.begin() + at);
  }
  backup.buffer = copy;
  backup.first = area.first;
  backup.size = area.size;
  backup.held = true;
  LogComplete(s);
  return true;
}

bool WriteBackupFields(TransferContext& s, Unit& unit) {
  if (!unit.hasManufacturingFields) return true;
  Debug(s) << "Writing backup fields" << crlf;
  const FieldsArea area = ManufacturingFieldsArea(s, unit);
  const BackupFields& backup = s.storage.backupFields;
  if (!backup.held || backup.first != area.first || backup.size != area.size) {
    // Writing anything but a copy of this area would destroy the fields the unit still has.
    Debug(s) << "-- no backup of the manufacturing fields is held" << crlf;
    LogFailed(s);
    return false;
  }
  bool allWritten = true;
  for (uint32_t at = 0; at < BackupBytes(area); at += kBackupBlock) {
    const uint32_t address = area.first + at;
    Debug(s) << "Writing $" << hex(address, 8) << " (" << kBackupBlock << ")" << crlf;
    const CallRequest request = BackupRequest(s, wire::cmd::WriteBackupBlock, address, backup.buffer.data() + at);
    uint8_t result = 0;
    const bool written = Repeat(kAttempts, [&] {
      return CallOnce(s, request, 4 + 5 + 1, [&](LinkContext&) {
        const bool echoed = EchoesBlock(s, address);
        result = GetPacketByte(s);
        return echoed;
      });
    });
    if (!written) {
      LogFailed(s);
      return false;
    }
    if (result != 0) {
      // The other blocks are still written; the restore as a whole has failed.
      Debug(s) << "Error:" << hex(result, 2) << crlf;
      allWritten = false;
    }
  }
  if (!allWritten) {
    LogFailed(s);
    return false;
  }
  LogComplete(s);
  return true;
}

}  // namespace kl
