#include "sim/unit/boot_loader.h"

#include "sim/unit/unit.h"
#include "wire/commands.h"
#include "wire/frame.h"

namespace kl::sim {

LineFormat BootLoader::format() const { return LineFormat{unit_.bootLoaderBaud(), Parity::None}; }

std::optional<size_t> BootLoader::requestLength(const std::vector<uint8_t>& payload) const {
  if (payload.size() < 4 || payload[1] != wire::kFunctionCall) return std::nullopt;
  switch (static_cast<uint16_t>(payload[2] << 8 | payload[3])) {
    case wire::cmd::ReadBootLoaderRelease:
      return 5;
    case wire::cmd::ReadBootLoaderVersion:
    case wire::cmd::ReadBasicInfo:
    case wire::cmd::GetBufferSize:
    case wire::cmd::GetBufferSizeOld:
    case wire::cmd::Reset:
      return 4;
    default:
      return std::nullopt;
  }
}

void BootLoader::onFrame(const Frame& frame) {
  const auto& p = frame.payload;
  if (unit_.silenced() || frame.proxyHeader || p.size() < 4) return;
  if (p[0] != wire::kBootLoaderAddress || p[1] != wire::kFunctionCall) return;
  if (p.size() != requestLength(p)) return;
  const UnitState& state = unit_.state();
  const BootLoaderIdentity& boot = state.bootLoader;
  std::vector<uint8_t> out(p.begin(), p.begin() + 4);

  switch (frame.command()) {
    case wire::cmd::ReadBootLoaderVersion:
      out.push_back(state.bootLoaderVersionByte());
      break;
    case wire::cmd::ReadBasicInfo:
      if (!boot.answersBasicInfo) return;
      // The board's card and circuit code; the version of the application held in flash
      // (0 when there is none), no product number or build increment.
      putU16(out, state.application.cardNumber);
      putU16(out, state.application.circuitCode);
      putU16(out, static_cast<uint16_t>(state.applicationPresent ? state.application.softwareVersion : 0));
      putU16(out, 0);
      break;
    case wire::cmd::ReadBootLoaderRelease:
      if (!boot.answersRelease || p[4] != 0x01) return;
      out.push_back(boot.info);
      out.push_back(state.application.mcuType);
      out.push_back(boot.generation);
      out.push_back(boot.release);
      putU32(out, state.applicationPresent ? state.application.softwareChecksum : 0xFFFFFFFF);
      out.push_back(static_cast<uint8_t>(boot.flags | (state.applicationPresent ? 0 : 0x01)));
      break;
    case wire::cmd::GetBufferSize:
      if (boot.release <= 10) return;
      putU16(out, boot.bufferSize);
      break;
    case wire::cmd::GetBufferSizeOld:
      if (boot.release > 10) return;
      putU16(out, boot.bufferSize);
      break;
    case wire::cmd::Reset: {
      unit_.holdInBootLoader();
      Unit& unit = unit_;
      unit_.reply(frame, out, [&unit] { unit.restart(false); });
      return;
    }
    default:
      return;
  }
  unit_.holdInBootLoader();
  unit_.reply(frame, out);
}

}  // namespace kl::sim
