#include "sim/unit/boot_loader.h"

#include "sim/line/line_timing.h"
#include "sim/unit/unit.h"
#include "wire/commands.h"
#include "wire/frame.h"

namespace kl::sim {

namespace {

constexpr size_t kMaxPacketData = 128;

}  // namespace

std::optional<size_t> bootIdentityLength(uint16_t command) {
  switch (command) {
    case wire::cmd::ReadBootLoaderRelease: return 5;
    case wire::cmd::ReadBootLoaderVersion:
    case wire::cmd::ReadBasicInfo: return 4;
    default: return std::nullopt;
  }
}

std::optional<std::vector<uint8_t>> bootIdentityReply(const Unit& unit, const Frame& frame) {
  const auto& p = frame.payload;
  const UnitState& state = unit.state();
  const BootLoaderIdentity& boot = state.bootLoader;
  std::vector<uint8_t> out(p.begin(), p.begin() + 4);
  switch (frame.command()) {
    case wire::cmd::ReadBootLoaderVersion:
      out.push_back(state.bootLoaderVersionByte());
      return out;
    case wire::cmd::ReadBasicInfo:
      if (!boot.answersBasicInfo) return std::nullopt;
      // The board's card and circuit code; the version of the application held in flash
      // (0 when there is none), no product number or build increment.
      putU16(out, state.application.cardNumber);
      putU16(out, state.application.circuitCode);
      putU16(out, static_cast<uint16_t>(state.applicationPresent ? state.application.softwareVersion : 0));
      putU16(out, 0);
      return out;
    case wire::cmd::ReadBootLoaderRelease:
      if (!boot.answersRelease || p[4] != 0x01) return std::nullopt;
      out.push_back(boot.info);
      out.push_back(state.application.mcuType);
      out.push_back(boot.generation);
      out.push_back(boot.release);
      putU32(out, state.applicationPresent ? state.application.softwareChecksum : 0xFFFFFFFF);
      out.push_back(static_cast<uint8_t>(boot.flags | (state.applicationPresent ? 0 : 0x01)));
      return out;
    default:
      return std::nullopt;
  }
}

BootLoader::BootLoader(Unit& unit) : Firmware(unit), baud_(unit.bootLoaderBaud()) {}

std::optional<size_t> BootLoader::requestLength(std::span<const uint8_t> p) const {
  if (p.size() < 4 || p[1] != wire::kFunctionCall) return std::nullopt;
  const uint16_t command = readU16(p, 2);
  if (auto length = bootIdentityLength(command)) return length;
  switch (command) {
    case wire::cmd::GetBufferSize:
    case wire::cmd::GetBufferSizeOld:
    case wire::cmd::Reset:
      return 4;
    case wire::cmd::SetProgrammerBaudRate:
    case wire::cmd::SetProgrammerBaudRateOld:
      return 5;
    case wire::cmd::TransferToRamProgram:
      return 8;
    case wire::cmd::Examine:
      return 9;
    case wire::cmd::CommitRamBlock:
      return 10;
    case wire::cmd::WriteRam:
      return p.size() > 8 ? std::optional<size_t>(9 + p[8]) : std::nullopt;
    case wire::cmd::WriteRamLarge:
      return p.size() > 9 ? std::optional<size_t>(10 + readU16(p, 8)) : std::nullopt;
    case wire::cmd::WriteRamBlock:
      return p.size() > 6 ? std::optional<size_t>(7 + p[6]) : std::nullopt;
    default:
      return std::nullopt;
  }
}

void BootLoader::onFrame(const Frame& frame) {
  const auto& p = frame.payload;
  if (unit_.silenced() || frame.proxyHeader || p.size() < 4) return;
  if (p[0] != wire::kBootLoaderAddress || p[1] != wire::kFunctionCall) return;
  if (p.size() != requestLength(p)) return;
  const BootLoaderIdentity& boot = unit_.state().bootLoader;
  std::vector<uint8_t> out(p.begin(), p.begin() + 4);
  Unit& unit = unit_;

  if (auto identity = bootIdentityReply(unit_, frame)) {
    unit_.holdInBootLoader();
    unit_.reply(frame, *identity);
    return;
  }
  switch (frame.command()) {
    case wire::cmd::GetBufferSize:
    case wire::cmd::GetBufferSizeOld:
      if ((frame.command() == wire::cmd::GetBufferSizeOld) != (boot.release <= 10)) return;
      putU16(out, boot.bufferSize);
      break;
    case wire::cmd::SetProgrammerBaudRate:
    case wire::cmd::SetProgrammerBaudRateOld: {
      if ((frame.command() == wire::cmd::SetProgrammerBaudRateOld) != (boot.release < 11)) return;
      const auto speed = programmerSpeed(p[4], boot.release < 15);
      if (!speed) return;
      unit_.holdInBootLoader();
      unit_.reply(frame, out, [this, speed] {
        baud_ = *speed;
        unit_.formatChanged();
      });
      return;
    }
    case wire::cmd::WriteRam: {
      const size_t n = p[8];
      if (n > kMaxPacketData) return;
      unit_.ram().write(readU32(p, 4), std::span<const uint8_t>(p).subspan(9, n));
      out.insert(out.end(), p.begin() + 4, p.begin() + 9);
      unit_.holdInBootLoader();
      unit_.acknowledge(frame, out);
      return;
    }
    case wire::cmd::WriteRamLarge: {
      const size_t n = readU16(p, 8);
      if (n > boot.bufferSize) return;  // more than its receive buffer holds
      unit_.ram().write(readU32(p, 4), std::span<const uint8_t>(p).subspan(10, n));
      out.insert(out.end(), p.begin() + 4, p.begin() + 10);
      unit_.holdInBootLoader();
      unit_.acknowledge(frame, out);
      return;
    }
    case wire::cmd::WriteRamBlock: {
      const bool stored = unit_.blocks().put(readU16(p, 4), std::span<const uint8_t>(p).subspan(7, p[6]));
      out.insert(out.end(), p.begin() + 4, p.begin() + 6);
      out.push_back(stored ? 0 : 1);
      unit_.holdInBootLoader();
      unit_.acknowledge(frame, out);
      return;
    }
    case wire::cmd::CommitRamBlock: {
      const size_t total = readU16(p, 8);
      if (!unit_.blocks().complete(total)) return;
      unit_.ram().write(readU32(p, 4), unit_.blocks().data(total));
      unit_.blocks().commit(total);
      out.insert(out.end(), p.begin() + 4, p.begin() + 10);
      break;
    }
    case wire::cmd::Examine: {
      const size_t n = p[8];
      if (n > kMaxPacketData) return;
      out.insert(out.end(), p.begin() + 4, p.begin() + 9);
      const auto bytes = unit_.ram().read(readU32(p, 4), n);
      out.insert(out.end(), bytes.begin(), bytes.end());
      break;
    }
    case wire::cmd::TransferToRamProgram: {
      const uint32_t entry = readU32(p, 4);
      unit_.holdInBootLoader();
      unit_.reply(frame, out, [&unit, entry] { unit.runRamProgram(entry); });
      return;
    }
    case wire::cmd::Reset:
      unit_.holdInBootLoader();
      unit_.reply(frame, out, [&unit] { unit.restart(false); });
      return;
    default:
      return;
  }
  unit_.holdInBootLoader();
  unit_.reply(frame, out);
}

}  // namespace kl::sim
