#include "update/unit_search.h"

#include <optional>
#include <vector>

#include "connect/connection.h"
#include "driver/fatal_error.h"
#include "protocol/capabilities.h"
#include "protocol/identification.h"
#include "protocol/proxy_calls.h"
#include "protocol/unit_control.h"
#include "transport/link_control.h"
#include "update/network_table.h"
#include "update/remote_update.h"
#include "update/session.h"

namespace kl {

namespace {

// Only jig software after 6.05 can search its second port.
// The units on the network of `unit`; nothing when it cannot list them.
std::optional<std::vector<uint8_t>> NetworkOf(Session& s, Unit& unit) {
  std::vector<uint8_t> addresses;
  if (!ListsRemoteUnits(unit) || !ListRemoteUnits(s, addresses)) {
    return std::nullopt;
  }
  return addresses;
}

// The identity of the unit at `address`; nothing when it does not answer.
std::optional<Unit> ReadNetworkUnit(Session& s, uint8_t address) {
  s.out(Channel::Debug) << "Checking Balvanta Unit: " << address << crlf;
  Unit remote = NetworkUnitAt(address);
  if (!ReadUnitInfo(s, remote)) return std::nullopt;
  ReadExtendedInfo(s, remote);
  ReadAdvancedInfo(s, remote);
  return remote;
}

void CloseProxy(Session& s, uint8_t jigAddress) {
  TurnProxyOff(s);
  CloseKestrelinkProxy(s, jigAddress);
}

}  // namespace

bool MatchesProduct(const Unit& unit, const ProductSearch& search) {
  // The test jig tests the product; it never is one.
  if (IsTestJig(unit) || unit.unitFamily != search.unitFamily || unit.mcuType == 0) return false;
  if (unit.mcuType != search.mcuTypeA && unit.mcuType != search.mcuTypeB) return false;
  return !IsTestJigControlDisplay(unit) || unit.serialNumber == search.serialNumber;
}

bool SearchForMatchingProxyUnit(Session& s, Unit& unit, const ProductSearch& search) {
  if (!IsTestJig(unit) || !SearchesBehindItself(unit)) {
    return false;
  }
  ChannelWriter& debug = s.out(Channel::Debug);
  debug << "SearchForMatchingProxyUnit" << crlf;
  const uint8_t jig = unit.address;
  if (!OpenKestrelinkProxy(s, jig)) return false;
  ProxySearchResult found;
  if (!SearchKestrelinkProxy(s, jig, found)) {
    CloseKestrelinkProxy(s, jig);
    return false;
  }

  TurnProxyOn(s);
  s.portSettings.baudRate = found.baudRate;
  SaveConnectionBaudRate(s);
  s.currentUnitId = found.unitId;
  Unit product;
  product.address = found.unitId;
  if (found.bootLoader) {
    product.mode = modeBalvantaBootLoader;
    debug << "-- found unit (boot loader)" << crlf;
  } else {
    product.mode = modeBalvantaSoftware;
    debug << "-- found unit ID = " << hex(found.unitId, 2) << crlf;
  }
  s.packet.proxyAddress = jig;
  s.packet.proxyPort = found.port;

  if (ConnectToUnit(s, product)) {
    ReadExtendedInfo(s, product);
    ReadAdvancedInfo(s, product);
    if (MatchesProduct(product, search)) {
      debug << "-- found" << crlf;
      // Block writes through the jig go in its buffered form.
      s.transfer.bufferedProtocol = true;
      unit = product;
      return true;
    }
    if (IsTestJigControlDisplay(product)) debug << "-- TestJig control display" << crlf;
  }
  CloseProxy(s, jig);
  return false;
}

bool SearchForMatchingRemoteUnit(Session& s, Unit& unit, const ProductSearch& search) {
  s.out(Channel::Debug) << "SearchForMatchingRemoteUnit" << crlf;
  const std::optional<std::vector<uint8_t>> network = NetworkOf(s, unit);
  if (!network) return false;
  std::optional<Unit> match;
  for (const uint8_t address : *network) {
    std::optional<Unit> remote = ReadNetworkUnit(s, address);
    if (!remote) continue;
    if (!MatchesProduct(*remote, search)) {
      if (IsTestJigControlDisplay(*remote)) s.out(Channel::Debug) << "-- TestJig control display (ignored)" << crlf;
      continue;
    }
    // Updating one of two candidates could program the wrong unit: nothing is written.
    if (match) FatalError(s, "Found more than one unit that matches the product type, unable to complete update");
    s.out(Channel::Always) << "-- found matching remote unit: " << address << crlf;
    if (!RemoteUpdatePossible(s, *remote)) {
      s.out(Channel::Always) << "Cannot update Balvanta unit " << address << crlf;
      return false;
    }
    match = std::move(remote);
  }
  if (!match) return false;
  unit = *match;
  return true;
}

bool SearchForMatchingSerialNumber(Session& s, Unit& unit, int32_t serialNumber) {
  s.out(Channel::Debug) << "SearchForMatchingSerialNumber" << crlf;
  const std::optional<std::vector<uint8_t>> network = NetworkOf(s, unit);
  if (!network) return false;
  for (const uint8_t address : *network) {
    std::optional<Unit> remote = ReadNetworkUnit(s, address);
    if (!remote || IsTestJig(*remote) || remote->serialNumber != serialNumber || !RemoteUpdatePossible(s, *remote)) {
      continue;
    }
    s.out(Channel::Always) << "-- found matching remote unit: " << address << crlf;
    unit = *remote;
    return true;
  }
  return false;
}

}  // namespace kl
