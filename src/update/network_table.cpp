#include "update/network_table.h"

#include <string>

#include "protocol/capabilities.h"
#include "protocol/identification.h"
#include "protocol/unit_names.h"
#include "update/session.h"

namespace kl {

namespace {

constexpr uint16_t kTestJigCard = 652;
constexpr uint8_t kControlDisplayAddress = 60;
// From this version on only the advanced information tells the unit's product.

// The unit's information text; a unit without one is named by the application it runs.
std::string Description(const Unit& unit) {
  if (!unit.informationText.empty()) return std::string(unit.informationText.view());
  return ProductName(unit.productNumber, unit.cardNumber);
}

// "   ", the address right-aligned in four places, "  ", the description.
void WriteLine(Session& s, uint8_t address, const std::string& description) {
  const std::string number = decimalText(address);
  s.out(Channel::Always) << "   " << std::string(number.size() < 4 ? 4 - number.size() : 0, ' ') << number << "  "
                         << description << crlf;
}

void WriteJigIgnored(Session& s, uint8_t address, NetworkListing purpose) {
  if (purpose == NetworkListing::Update) s.out(Channel::Debug) << "-- ZK7 at address " << address << " ignored" << crlf;
}

}  // namespace

bool IsTestJig(const Unit& unit) { return unit.cardNumber == kTestJigCard; }

bool IsTestJigControlDisplay(const Unit& unit) {
  return unit.modbusAddress == kControlDisplayAddress && unit.unitFamily == family::Display;
}

Unit NetworkUnitAt(uint8_t address) {
  Unit unit;
  unit.mode = modeBalvantaSoftware;
  unit.address = address;
  return unit;
}

std::vector<uint8_t> ListNetworkUnits(Session& s, const Unit& connected, const std::vector<uint8_t>& listed,
                                      NetworkListing purpose) {
  s.out(Channel::Always) << "Balvanta Unit(s) found:" << crlf << "Address  Information" << crlf;
  std::vector<uint8_t> addresses;
  // The connected unit is reached at its own address when it has no Modbus address set.
  const uint8_t connectedAddress = connected.modbusAddress != 0 ? connected.modbusAddress : connected.address;
  const auto listConnected = [&] {
    addresses.push_back(connectedAddress);
    WriteLine(s, connected.modbusAddress, Description(connected));
  };

  bool connectedListed = IsTestJig(connected);
  if (connectedListed) WriteJigIgnored(s, connected.address, purpose);
  for (const uint8_t address : listed) {
    if (!connectedListed && connected.modbusAddress < address) {
      listConnected();
      connectedListed = true;
    }
    Unit remote = NetworkUnitAt(address);
    if (!ReadUnitInfo(s, remote)) {
      // One silent unit keeps no other unit's logs from being copied.
      if (purpose == NetworkListing::LogExtraction) {
        s.out(Channel::Always) << "-- Balvanta Unit " << address << " does not answer: its logs are not copied" << crlf;
      } else {
        s.out(Channel::Debug) << "-- skipped address " << address << crlf;
      }
      continue;
    }
    if (IsTestJig(remote)) {
      WriteJigIgnored(s, address, purpose);
      continue;
    }
    ReadExtendedInfo(s, remote);
    if (remote.informationText.empty() && HasAdvancedInfo(remote)) ReadAdvancedInfo(s, remote);
    addresses.push_back(address);
    WriteLine(s, address, Description(remote));
  }
  if (!connectedListed) listConnected();
  return addresses;
}

}  // namespace kl
