#include "sim/unit/flash_programmer.h"

#include <algorithm>

#include "sim/line/line_timing.h"
#include "sim/storage/manufacturing_fields.h"
#include "sim/unit/boot_loader.h"
#include "sim/unit/flash_content.h"
#include "sim/unit/unit.h"
#include "wire/commands.h"
#include "wire/frame.h"

namespace kl::sim {

namespace {

constexpr size_t kMaxPacketData = 128;

// Results of the manufacturing-field calls.
constexpr uint8_t kFieldsOk = 0;
constexpr uint8_t kMainNotWritten = 1;
constexpr uint8_t kSecondaryNotWritten = 2;
constexpr uint8_t kRepairedFromSecondary = 3;
constexpr uint8_t kRepaired = 4;
constexpr uint8_t kNoValidFields = 5;
constexpr uint8_t kInvalidSerial = 8;
constexpr uint8_t kInvalidKey = 9;

uint8_t result(FlashResult r) { return static_cast<uint8_t>(r); }

}  // namespace

FlashProgrammer::FlashProgrammer(Unit& unit, const wire::ImageIdentity& identity)
    : Firmware(unit), identity_(identity), files_(unit, true, false) {}

std::optional<size_t> FlashProgrammer::requestLength(std::span<const uint8_t> p) const {
  if (FileService::isFileRequest(p)) return FileService::requestLength(p);
  if (p.size() < 4 || p[1] != wire::kFunctionCall) return std::nullopt;
  const uint16_t command = readU16(p, 2);
  if (auto length = bootIdentityLength(command)) return length;
  switch (command) {
    case wire::cmd::GetProgrammerVersion:
    case wire::cmd::GetBufferSize:
    case wire::cmd::GetBufferSizeOld:
    case wire::cmd::ResetProgrammer:
    case wire::cmd::Reset:
      return 4;
    case wire::cmd::SetProgrammerBaudRate:
    case wire::cmd::SetProgrammerBaudRateOld:
    case wire::cmd::ConfigureProgrammer:
      return 5;
    case wire::cmd::PreserveManufacturingFields:
    case wire::cmd::EraseFMS:
      return 8;
    case wire::cmd::ReadBackupBlock: return 9;
    case wire::cmd::FlashWriteBufferedCommit: return 10;
    case wire::cmd::EraseRange: return 12;
    case wire::cmd::UpdateManufacturingFields: return 44;
    case wire::cmd::WriteBackupBlock: return 137;
    case wire::cmd::FlashWritePlain:
      return p.size() > 8 ? std::optional<size_t>(9 + p[8]) : std::nullopt;
    case wire::cmd::FlashWritePlainLarge:
      return p.size() > 9 ? std::optional<size_t>(10 + readU16(p, 8)) : std::nullopt;
    case wire::cmd::FlashWriteWindowed:
      return p.size() > 10 ? std::optional<size_t>(11 + p[10]) : std::nullopt;
    case wire::cmd::WriteRamBlock:
      return p.size() > 6 ? std::optional<size_t>(7 + p[6]) : std::nullopt;
    default:
      return std::nullopt;
  }
}

uint64_t FlashProgrammer::work(uint64_t costUs) {
  const uint64_t now = unit_.scheduler().nowUs();
  busyUntilUs_ = std::max(now, busyUntilUs_) + costUs;
  return busyUntilUs_ - now;
}

uint8_t FlashProgrammer::writeFlash(uint32_t address, std::span<const uint8_t> data, uint64_t& costUs) {
  UnitState& state = unit_.state();
  McuFlash& flash = state.flash;
  costUs += unit_.settings().flashWriteUs;
  if (!flash.contains(address, data.size())) return result(FlashResult::OutsideFlash);
  // The boot loader's block is never erased by the program: the programmer erases a sector
  // there when a write starts at its first address.
  const MemoryRange sector = flash.sectorOf(address);
  if (flash.memory()->bootLoader.contains(address) && sector.first == address) {
    flash.eraseRange(sector.first, sector.last());
    touchFlash(state, sector.first, sector.last());
    costUs += unit_.settings().flashEraseUs;
  }
  const FlashResult r = flash.write(address, data);
  if (r == FlashResult::Ok || r == FlashResult::WriteFailed) {
    touchFlash(state, address, address + static_cast<uint32_t>(data.size()) - 1);
  }
  return result(r);
}

void FlashProgrammer::restart() {
  sealFlash(unit_.state());
  baud_ = 115200;
  configuration_ = 0;
  windowStarted_ = false;
  unit_.blocks().clear();
  unit_.formatChanged();
}

void FlashProgrammer::onFrame(const Frame& frame) {
  const auto& p = frame.payload;
  if (frame.proxyHeader || p.size() < 4 || p[0] != wire::kBootLoaderAddress) return;
  if (p.size() != requestLength(p)) return;
  if (unit_.onProgrammerRequest) unit_.onProgrammerRequest(frame);
  const int silentAfter = unit_.settings().faults.programmerSilentAfter;
  if (silentAfter > 0 && requestsAnswered_ >= silentAfter) return;
  ++requestsAnswered_;
  if (FileService::isFileRequest(p)) {
    files_.onFrame(frame);
    return;
  }
  std::vector<uint8_t> out(p.begin(), p.begin() + 4);

  if (auto identity = bootIdentityReply(unit_, frame)) {
    unit_.reply(frame, *identity, {}, work(0));
    return;
  }
  switch (frame.command()) {
    case wire::cmd::GetProgrammerVersion:
      out.push_back(identity_.generation);
      out.push_back(identity_.tableRow);
      break;
    case wire::cmd::GetBufferSize:
    case wire::cmd::GetBufferSizeOld:
      putU16(out, identity_.large ? unit_.bufferSize() : 128);
      break;
    case wire::cmd::ConfigureProgrammer:
      configuration_ = p[4];
      break;
    case wire::cmd::SetProgrammerBaudRate:
    case wire::cmd::SetProgrammerBaudRateOld: {
      const auto speed = programmerSpeed(p[4], false);
      if (!speed) return;
      unit_.reply(frame, out, [this, speed] {
        baud_ = *speed;
        unit_.formatChanged();
      }, work(0));
      return;
    }
    case wire::cmd::EraseRange: {
      const uint32_t first = readU32(p, 4);
      const uint32_t last = readU32(p, 8);
      const int sectors = unit_.state().flash.eraseRange(first, last);
      if (sectors > 0) touchFlash(unit_.state(), first, last);
      unit_.reply(frame, out, {}, work(static_cast<uint64_t>(sectors) * unit_.settings().flashEraseUs));
      return;
    }
    case wire::cmd::FlashWritePlain:
    case wire::cmd::FlashWritePlainLarge: {
      const bool large = frame.command() == wire::cmd::FlashWritePlainLarge;
      const size_t header = large ? 10 : 9;
      const size_t n = large ? readU16(p, 8) : p[8];
      uint64_t cost = 0;
      const uint8_t r = n > (identity_.large ? unit_.bufferSize() : kMaxPacketData)
                            ? result(FlashResult::TooLong)
                            : writeFlash(readU32(p, 4), std::span<const uint8_t>(p).subspan(header, n), cost);
      out.insert(out.end(), p.begin() + 4, p.begin() + static_cast<long>(header));
      out.push_back(r);
      unit_.acknowledge(frame, out, work(cost));
      return;
    }
    case wire::cmd::FlashWriteWindowed:
      windowedWrite(frame);
      return;
    case wire::cmd::WriteRamBlock: {
      const bool stored = unit_.blocks().put(readU16(p, 4), std::span<const uint8_t>(p).subspan(7, p[6]));
      out.insert(out.end(), p.begin() + 4, p.begin() + 6);
      out.push_back(stored ? 0 : 1);
      unit_.acknowledge(frame, out, work(0));
      return;
    }
    case wire::cmd::FlashWriteBufferedCommit: {
      const size_t total = readU16(p, 8);
      uint64_t cost = 0;
      const uint8_t r = unit_.blocks().complete(total)
                            ? writeFlash(readU32(p, 4), unit_.blocks().data(total), cost)
                            : result(FlashResult::TooLong);
      if (r == 0) unit_.blocks().commit(total);
      out.insert(out.end(), p.begin() + 4, p.begin() + 10);
      out.push_back(r);
      unit_.reply(frame, out, {}, work(cost));
      return;
    }
    case wire::cmd::ReadBackupBlock: {
      const size_t n = p[8];
      if (n > kMaxPacketData) return;
      out.insert(out.end(), p.begin() + 4, p.begin() + 9);
      const auto bytes = unit_.state().flash.read(readU32(p, 4), n);
      out.insert(out.end(), bytes.begin(), bytes.end());
      break;
    }
    case wire::cmd::WriteBackupBlock: {
      const size_t n = std::min<size_t>(p[8], kMaxPacketData);
      uint64_t cost = 0;
      const uint8_t r = writeFlash(readU32(p, 4), std::span<const uint8_t>(p).subspan(9, n), cost);
      out.insert(out.end(), p.begin() + 4, p.begin() + 9);
      out.push_back(r);
      unit_.reply(frame, out, {}, work(cost));
      return;
    }
    case wire::cmd::UpdateManufacturingFields:
    case wire::cmd::PreserveManufacturingFields: {
      const auto answer = manufacturingFields(frame);
      out.insert(out.end(), answer.begin(), answer.end());
      unit_.reply(frame, out, {}, work(2 * unit_.settings().flashWriteUs));
      return;
    }
    case wire::cmd::EraseFMS: {
      // Selector 1 erases the whole file system of the flash drives.
      if (!std::equal(p.begin() + 5, p.end(), "FMS")) return;
      const bool known = p[4] == 1;
      if (known) unit_.state().drives.eraseAll();
      out.push_back(p[4]);
      out.push_back(known ? 0 : 1);
      unit_.reply(frame, out, {}, work(known ? unit_.settings().flashEraseUs : 0));
      return;
    }
    case wire::cmd::ResetProgrammer:
      unit_.reply(frame, out, [this] { restart(); }, work(0));
      return;
    case wire::cmd::Reset: {
      Unit& unit = unit_;
      unit_.reply(frame, out, [&unit] {
        sealFlash(unit.state());
        unit.restart(false);
      }, work(0));
      return;
    }
    default:
      return;
  }
  unit_.reply(frame, out, {}, work(0));
}

void FlashProgrammer::windowedWrite(const Frame& frame) {
  const auto& p = frame.payload;
  const uint16_t word = readU16(p, 4);
  const uint16_t sequence = word & 0x7FFF;
  const uint32_t address = readU32(p, 6);
  const uint8_t n = p[10];
  const bool newRun = sequence == 0 && (!windowStarted_ || address != firstAddress_);
  const bool next = windowStarted_ && sequence == ((lastSequence_ & 0x7FFF) + 1) % 0x8000;
  const bool repeated = windowStarted_ && !newRun && sequence <= (lastSequence_ & 0x7FFF);
  uint64_t cost = 0;
  if (newRun || next) {
    lastResult_ = n > kMaxPacketData ? result(FlashResult::TooLong)
                                     : writeFlash(address, std::span<const uint8_t>(p).subspan(11, n), cost);
    if (newRun) firstAddress_ = address;
    windowStarted_ = true;
    lastSequence_ = word;
    lastAddress_ = address;
    lastLength_ = n;
  } else if (!repeated) {
    return;  // a packet is missing before this one: silence makes the sender go back
  }
  // Acknowledgements are cumulative: the newest packet written stands for all before it.
  std::vector<uint8_t> out(p.begin(), p.begin() + 4);
  putU16(out, lastSequence_);
  putU32(out, lastAddress_);
  out.push_back(lastLength_);
  out.push_back(lastResult_);
  unit_.acknowledge(frame, out, work(cost));
}

std::vector<uint8_t> FlashProgrammer::manufacturingFields(const Frame& frame) {
  const auto& p = frame.payload;
  ManufacturingFields fields(unit_.state().flash);
  using Copy = ManufacturingFields::Copy;
  if (frame.command() == wire::cmd::UpdateManufacturingFields) {
    FieldBytes update{};
    std::copy(p.begin() + 4, p.begin() + 44, update.begin());
    const FieldsCheck check = checkFields(update);
    if (check == FieldsCheck::BadSerial) return {kInvalidSerial};
    if (check == FieldsCheck::BadKeys) return {kInvalidKey};
    if (!fields.store(Copy::Main, update)) return {kMainNotWritten};
    if (!fields.store(Copy::Secondary, update)) return {kSecondaryNotWritten};
    return {kFieldsOk};
  }
  // Preserve: make both copies valid and equal again, preferring the copy that carries the
  // serial number the program names when both are valid but differ.
  const auto main = fields.valid(Copy::Main);
  const auto secondary = fields.valid(Copy::Secondary);
  const int32_t serial = static_cast<int32_t>(readU32(p, 4));
  if (!main && !secondary) return {kNoValidFields};
  if (main && secondary && *main == *secondary) return {kFieldsOk};
  if (!main || (secondary && fieldsSerial(*secondary) == serial && fieldsSerial(*main) != serial)) {
    return {fields.store(Copy::Main, *secondary) ? kRepairedFromSecondary : kMainNotWritten};
  }
  return {fields.store(Copy::Secondary, *main) ? kRepaired : kSecondaryNotWritten};
}

}  // namespace kl::sim
