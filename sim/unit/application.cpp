#include "sim/unit/application.h"

#include "sim/line/line_timing.h"
#include "sim/storage/manufacturing_fields.h"
#include "sim/unit/unit.h"
#include "wire/commands.h"
#include "wire/crc16.h"
#include "wire/frame.h"

namespace kl::sim {

namespace {

// Results of the proxy calls.
constexpr uint8_t kProxyOk = 0;
constexpr uint8_t kProxyNotOpen = 1;
constexpr uint8_t kProxyNothingFound = 2;
constexpr uint8_t kProxyBadArgument = 3;

}  // namespace

Application::Application(Unit& unit)
    : Firmware(unit),
      files_(unit, unit.state().application.softwareVersion > 603, unit.state().application.softwareVersion > 603) {}

LineFormat Application::format() const { return unit_.applicationFormat(); }

std::optional<size_t> Application::requestLength(std::span<const uint8_t> payload) const {
  if (payload.size() >= 2 && payload[1] == wire::kFunctionPing) return 2;
  if (FileService::isFileRequest(payload)) return FileService::requestLength(payload);
  if (payload.size() < 4 || payload[1] != wire::kFunctionCall) return std::nullopt;
  const uint16_t command = static_cast<uint16_t>(payload[2] << 8 | payload[3]);
  switch (command) {
    case wire::cmd::CheckManufacturingFields: return 44;
    case wire::cmd::SetUnitBaudRate: return 8;
    case wire::cmd::SetProxyBaudRate: return 9;
    case wire::cmd::ReadBasicInfo:
    case wire::cmd::GotoBootLoader:
    case wire::cmd::ReadAdvancedInfo:
    case wire::cmd::ReadExtendedInfo:
    case wire::cmd::ReadInformationText:
    case wire::cmd::ListRemoteUnits:
    case wire::cmd::ResetSystem:
    case wire::cmd::GetModbusAddress:
    case wire::cmd::IsVComPort:
    case wire::cmd::Reset:
    case wire::cmd::WaitForUnit:
    case wire::cmd::GetDebugLogs:
    case wire::cmd::SearchKestrelinkProxy:
    case wire::cmd::OpenKestrelinkProxy:
    case wire::cmd::CloseKestrelinkProxy:
      return 4;
    default:
      return std::nullopt;  // unknown here: the pause after the frame ends it
  }
}

bool Application::ownsAddress(uint8_t address) const {
  const uint8_t modbus = unit_.state().application.modbusAddress;
  return address == wire::kDefaultUnitAddress || (modbus != 0 && address == modbus);
}

std::vector<uint8_t> Application::echo(const Frame& frame) const {
  return std::vector<uint8_t>(frame.payload.begin(), frame.payload.begin() + 4);
}

void Application::onFrame(const Frame& frame) {
  if (unit_.silenced() || frame.payload.size() < 2) return;
  if (frame.proxyHeader) {
    const auto& header = *frame.proxyHeader;
    if (header[2] == wire::kProxyRequest && ownsAddress(header[0]) && unit_.proxy() &&
        header[3] == unit_.settings().proxyPort && proxyOpen_) {
      relayThroughProxy(frame);
    }
    return;
  }
  if (ownsAddress(frame.address())) {
    answer(frame);
    return;
  }
  for (auto& relay : unit_.network()) {
    Unit& remote = relay->remote();
    if (remote.state().application.modbusAddress == frame.address() && remote.answering()) {
      relayToNetwork(*relay, frame);
      return;
    }
  }
}

void Application::answer(const Frame& frame) {
  const auto& p = frame.payload;
  const ApplicationIdentity& id = unit_.state().application;
  const int version = id.softwareVersion;
  if (p[1] == wire::kFunctionPing) {
    if (p.size() == 2) unit_.reply(frame, {p[0], wire::kFunctionPingReply});
    return;
  }
  if (FileService::isFileRequest(p)) {
    if (version >= 600) files_.onFrame(frame);
    return;
  }
  if (p[1] != wire::kFunctionCall || p.size() < 4) return;
  const uint16_t command = frame.command();
  auto expect = requestLength(p);
  if (!expect || p.size() != *expect) return;  // unknown command or wrong size: no answer
  std::vector<uint8_t> out = echo(frame);

  switch (command) {
    case wire::cmd::ReadBasicInfo:
      putU16(out, id.cardNumber);
      putU16(out, id.circuitCode);
      putU16(out, static_cast<uint16_t>(id.softwareVersion));
      putU16(out, version >= 600 ? static_cast<uint16_t>(id.buildIncrement << 8) : id.productNumber);
      unit_.reply(frame, out);
      return;

    case wire::cmd::ReadExtendedInfo: {
      if (version < 220) return;
      out.push_back(24);
      out.push_back(id.informationText.empty() ? 0 : 1);
      putU16(out, id.ftMask);
      putU16(out, id.rtMask);
      putU16(out, id.newMask);
      putU32(out, static_cast<uint32_t>(id.serialNumber));
      out.insert(out.end(), 7, 0);
      out.insert(out.end(), id.buildTime.begin(), id.buildTime.end());
      out.push_back(static_cast<uint8_t>(id.informationText.size()));
      unit_.reply(frame, out);
      return;
    }

    case wire::cmd::ReadInformationText:
      if (version < 220) return;
      // Byte by byte: an optimised GCC 12 build reports a false array-bounds error on the insert.
      for (char c : id.informationText) out.push_back(static_cast<uint8_t>(c));
      unit_.reply(frame, out);
      return;

    case wire::cmd::ReadAdvancedInfo: {
      if (version < 600) return;
      const BootLoaderIdentity& boot = unit_.state().bootLoader;
      const int length = unit_.settings().advancedLength;
      out.push_back(static_cast<uint8_t>(length));
      out.push_back(0);
      out.push_back(id.mcuType);
      out.push_back(boot.generation);
      out.push_back(boot.release);
      putU16(out, id.cardNumber);
      putU16(out, id.circuitCode);
      out.push_back(id.boardRevision);
      out.push_back(id.boardIssue);
      putU16(out, static_cast<uint16_t>(id.softwareVersion));
      out.push_back(id.softwareRelease);
      out.push_back(id.buildIncrement);
      out.insert(out.end(), id.buildTime.begin(), id.buildTime.end());
      putU32(out, id.softwareChecksum);
      putU16(out, id.softwareCrc);
      putU32(out, static_cast<uint32_t>(id.serialNumber));
      putU16(out, id.productNumber);
      if (length >= 34) out.push_back(id.modbusAddress);
      if (length >= 35) out.push_back(id.unitFlags);
      out.resize(4 + static_cast<size_t>(length), 0);
      unit_.reply(frame, out);
      return;
    }

    case wire::cmd::GetModbusAddress:
      out.push_back(id.modbusAddress);
      unit_.reply(frame, out);
      return;

    case wire::cmd::CheckManufacturingFields: {
      // 0: the fields sent are the unit's; 1: they differ; 2: the unit has no valid fields.
      const auto current = ManufacturingFields(unit_.state().flash).current();
      out.push_back(!current ? 2 : std::equal(current->begin(), current->end(), p.begin() + 4) ? 0 : 1);
      unit_.reply(frame, out);
      return;
    }

    case wire::cmd::IsVComPort:
      if (version <= 605) return;
      out.push_back(unit_.settings().vcom ? 1 : 0);
      unit_.reply(frame, out);
      return;

    case wire::cmd::ListRemoteUnits: {
      if (version < 600) return;
      std::vector<uint8_t> ids;
      for (auto& relay : unit_.network()) {
        if (relay->remote().answering()) ids.push_back(relay->remote().state().application.modbusAddress);
      }
      out.push_back(static_cast<uint8_t>(ids.size()));
      out.insert(out.end(), ids.begin(), ids.end());
      unit_.reply(frame, out);
      return;
    }

    case wire::cmd::GetDebugLogs: {
      if (version < 600) return;
      const auto& logs = unit_.settings().debugLogIds;
      out.push_back(static_cast<uint8_t>(logs.size()));
      for (uint16_t fileId : logs) putU16(out, fileId);
      unit_.reply(frame, out);
      return;
    }

    case wire::cmd::WaitForUnit:
      if (version < 600) return;
      out.push_back(unit_.applicationReady() ? 1 : 0);
      unit_.reply(frame, out);
      return;

    case wire::cmd::GotoBootLoader: {
      Unit& unit = unit_;
      unit_.reply(frame, out, [&unit] { unit.restart(true); });
      return;
    }

    case wire::cmd::Reset: {
      Unit& unit = unit_;
      unit_.reply(frame, out, [&unit] { unit.restart(false); });
      return;
    }

    case wire::cmd::ResetSystem: {
      Unit& unit = unit_;
      unit_.reply(frame, out, [&unit] { unit.restartSystem(); });
      return;
    }

    case wire::cmd::SetUnitBaudRate: {
      const uint32_t baud = readU32(p, 4);
      Unit& unit = unit_;
      const bool switches = isUnitTableSpeed(baud) && baud != 128000 && baud <= unit_.settings().maxBaud;
      const Parity parity = unit_.applicationFormat().parity;
      unit_.reply(frame, out, [&unit, switches, baud, parity] {
        if (switches) unit.setApplicationFormat(LineFormat{baud, parity});
      });
      return;
    }

    case wire::cmd::OpenKestrelinkProxy:
    case wire::cmd::CloseKestrelinkProxy:
    case wire::cmd::SearchKestrelinkProxy:
    case wire::cmd::SetProxyBaudRate:
      if (unit_.proxy()) answerProxyCall(frame);
      return;

    default:
      return;  // a command this application does not know gets no answer
  }
}

void Application::answerProxyCall(const Frame& frame) {
  std::vector<uint8_t> out = echo(frame);
  Relay& relay = *unit_.proxy();
  const uint8_t port = unit_.settings().proxyPort;
  switch (frame.command()) {
    case wire::cmd::OpenKestrelinkProxy:
      proxyOpen_ = true;
      out.push_back(kProxyOk);
      break;
    case wire::cmd::CloseKestrelinkProxy:
      out.push_back(proxyOpen_ ? kProxyOk : kProxyNotOpen);
      proxyOpen_ = false;
      break;
    case wire::cmd::SearchKestrelinkProxy: {
      Unit& remote = relay.remote();
      const UnitMode mode = remote.mode();
      const bool found = proxyOpen_ && remote.powered() && !remote.silenced() &&
                         (mode == UnitMode::Application || mode == UnitMode::BootLoader);
      uint32_t baud = 0;
      uint8_t unitId = 0;
      if (found) {
        baud = remote.port()->format().baud;
        relay.setSpeed(baud);
        const uint8_t modbus = remote.state().application.modbusAddress;
        unitId = mode == UnitMode::BootLoader ? wire::kBootLoaderAddress
                                              : (modbus != 0 ? modbus : wire::kDefaultUnitAddress);
      }
      out.push_back(!proxyOpen_ ? kProxyNotOpen : found ? kProxyOk : kProxyNothingFound);
      out.push_back(port);
      putU32(out, baud);
      out.push_back(unitId);
      out.push_back(found && mode == UnitMode::BootLoader ? 1 : 0);
      break;
    }
    case wire::cmd::SetProxyBaudRate: {
      const uint8_t afterGotoBootLoaderPort = frame.payload[4];
      const uint32_t baud = readU32(frame.payload, 5);
      const bool ok = afterGotoBootLoaderPort == port && isUnitTableSpeed(baud);
      if (ok) relay.setSpeed(baud);
      out.push_back(afterGotoBootLoaderPort);
      putU32(out, baud);
      out.push_back(ok ? kProxyOk : kProxyBadArgument);
      break;
    }
    default:
      return;
  }
  unit_.reply(frame, out);
}

void Application::relayToNetwork(Relay& relay, const Frame& frame) {
  Unit& unit = unit_;
  const uint64_t timeout = unit_.settings().relayTimeoutUs;
  unit_.scheduler().after(unit_.settings().replyDelayUs, [&unit, &relay, raw = frame.raw, timeout] {
    relay.exchange(raw, timeout, [&unit](const Frame& reply) { unit.transmit(reply.raw); });
  });
}

void Application::relayThroughProxy(const Frame& frame) {
  Unit& unit = unit_;
  const auto header = *frame.proxyHeader;
  const uint64_t timeout = unit_.settings().relayTimeoutUs;
  auto request = encodeFrame(frame.payload, false);
  unit_.scheduler().after(unit_.settings().replyDelayUs, [&unit, header, request, timeout] {
    if (!unit.proxy()) return;
    unit.proxy()->exchange(request, timeout, [&unit, header](const Frame& reply) {
      std::array<uint8_t, 5> back = header;
      back[2] = wire::kProxyReply;
      back[4] = static_cast<uint8_t>(reply.payload.size());
      unit.transmit(encodeFrame(reply.payload, true, back));
    });
  });
}

}  // namespace kl::sim
