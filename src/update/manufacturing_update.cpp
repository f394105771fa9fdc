#include "update/manufacturing_update.h"

#include <optional>

#include "driver/fatal_error.h"
#include "driver/parameter_file.h"
#include "protocol/identification.h"
#include "protocol/link_speed.h"
#include "protocol/proxy_calls.h"
#include "protocol/unit_control.h"
#include "transfer/manufacturing_fields.h"
#include "transport/link_control.h"
#include "update/field_update.h"
#include "update/network_table.h"
#include "update/session.h"
#include "update/unit_search.h"
#include "update/update_unit.h"

namespace kl {

namespace {

constexpr int32_t kSerialNumberSearch = 49;
constexpr const char* kFailure = "FAILURE: unable to update unit!";

// When the unit on the port is the one being built.
enum class ConnectedFit {
  FamilyAndMcu,            // its family and one of the MCU types
  Family,                  // its family, whatever its MCU
  FamilyMcuNotJigDisplay,  // as FamilyAndMcu, unless it is a test jig's display without the
                           // serial number
};

// What a station builds, by BasicProductCode.
struct ProductKind {
  int32_t firstCode;
  int32_t lastCode;
  uint8_t unitFamily;
  uint8_t mcuTypeA;
  uint8_t mcuTypeB;  // 0: none
  ConnectedFit fit;
  const char* notFound;
};

constexpr ProductKind kProductKinds[] = {
    {41, 45, family::Transmitter, mcu::H8S2145, 0, ConnectedFit::FamilyAndMcu,
     "Cannot find an ZS1x, ZS5x, ZS7x or ZS9x TRANSMITTER"},
    {46, 46, family::Display, mcu::H8S2145, 0, ConnectedFit::FamilyAndMcu, "Cannot find an ZR20 DISPLAY"},
    {47, 47, family::Transmitter, mcu::H8S2145, mcu::LPC1768, ConnectedFit::Family,
     "Cannot find an ZS1x, ZS5x, ZS7x, ZS9x or ZS3 TRANSMITTER"},
    {51, 51, family::Transmitter, mcu::LPC1768, mcu::LPC4078, ConnectedFit::FamilyAndMcu,
     "Cannot find an ZS3 TRANSMITTER"},
    {52, 52, family::RemoteIo, mcu::LPC1768, 0, ConnectedFit::FamilyAndMcu, "Cannot find an ZC3 I/O Unit"},
    {53, 53, family::Display, mcu::LPC2478, mcu::LPC4357, ConnectedFit::FamilyMcuNotJigDisplay,
     "Cannot find an ZA3 Display"},
    {54, 54, family::Display, mcu::LPC4357, 0, ConnectedFit::FamilyMcuNotJigDisplay, "Cannot find an ZB3 Display"},
    {56, 57, family::Display, mcu::LPC4337, 0, ConnectedFit::FamilyAndMcu, "Cannot find an ZA4/ZB4 Display"},
    {58, 58, family::Display, mcu::LPC4337, 0, ConnectedFit::FamilyAndMcu, "Cannot find an ZE4 option"},
    {59, 59, family::Transmitter, mcu::LPC4337, 0, ConnectedFit::FamilyAndMcu, "Cannot find an ZS4 TRANSMITTER"},
};

const ProductKind* FindProductKind(int32_t code) {
  for (const ProductKind& kind : kProductKinds) {
    if (code >= kind.firstCode && code <= kind.lastCode) return &kind;
  }
  return nullptr;
}

bool HasSerialNumber(const Unit& unit, int32_t serialNumber) {
  return serialNumber != 0 && serialNumber == unit.serialNumber;
}

// What the parameter file asks for, checked before any unit is touched: nothing when a serial
// number is looked for.
const ProductKind* RequestedProduct(Session& s, int32_t code) {
  if (code == kSerialNumberSearch) return nullptr;
  const ProductKind* kind = FindProductKind(code);
  if (!kind) FatalError(s, "Unknown Basic Product code");
  return kind;
}

bool ConnectedUnitFits(const Unit& unit, const ProductKind& kind, int32_t serialNumber) {
  // The test jig tests the product; it never is one.
  if (IsTestJig(unit) || unit.unitFamily != kind.unitFamily) return false;
  if (kind.fit == ConnectedFit::Family) return true;
  const bool mcuFits = unit.mcuType != 0 && (unit.mcuType == kind.mcuTypeA || unit.mcuType == kind.mcuTypeB);
  if (kind.fit == ConnectedFit::FamilyAndMcu) return mcuFits;
  return mcuFits && (HasSerialNumber(unit, serialNumber) || !IsTestJigControlDisplay(unit));
}

UnitTypeCheck CheckSerialNumber(Session& s, Unit& unit, int32_t serialNumber) {
  s.out(Channel::Debug) << "Looking for SerialNo=" << serialNumber << crlf;
  if (HasSerialNumber(unit, serialNumber) && !IsTestJig(unit)) return {};
  if (serialNumber != 0 && SearchForMatchingSerialNumber(s, unit, serialNumber)) return {.useUpdateFiles = true};
  FatalError(s, "No matching serial number for key");
}

// The station reads the outcome from the parameter file: a failure's reason, or none.
void StoreStationOutcome(Session& s, bool success) { StoreOutcome(s, success ? "" : kFailure); }

// Update files take effect at the unit's restart, where it may refuse the fields (their CRC
// wrong, say): only the restarted unit can tell it holds the station's. Its check of the
// fields decides; one that does not answer it must at least report the new serial number.
bool HoldsStationFields(Session& s, const Unit& unit, int32_t serialNumber) {
  bool different = true;
  if (unit.mode == modeBalvantaSoftware &&
      CheckManufacturingFields(s, unit, s.storage.manufacturingFields, different)) {
    return !different;
  }
  return unit.serialNumberRead && unit.serialNumber == serialNumber;
}

}  // namespace

UnitTypeCheck CheckUnitType(Session& s, Unit& unit) {
  ChannelWriter& debug = s.out(Channel::Debug);
  debug << "Check Unit Type:" << " currently connected to UnitType=" << unit.unitFamily
        << " MCUType=" << unit.mcuType << crlf;
  const std::string& file = s.options.parameterFile;
  const int32_t serialNumber = IniGetInt(s, file, "SerialNo");
  const int32_t code = IniGetInt(s, file, "BasicProductCode");
  if (unit.unitFamily < family::Display || unit.unitFamily > family::TestJig) {
    FatalError(s, "Unit is not an Display, Transmitter or I/O Unit");
  }
  const ProductKind* kind = RequestedProduct(s, code);
  if (!kind) return CheckSerialNumber(s, unit, serialNumber);
  debug << "Looking for UnitType=" << kind->unitFamily << " MCUType=" << kind->mcuTypeA;
  if (kind->mcuTypeB != 0) debug << " or " << kind->mcuTypeB;
  debug << crlf;
  if (ConnectedUnitFits(unit, *kind, serialNumber)) return {};

  const ProductSearch search{kind->unitFamily, kind->mcuTypeA, kind->mcuTypeB, serialNumber};
  if (SearchForMatchingProxyUnit(s, unit, search)) return {.viaProxy = true};
  if (SearchForMatchingRemoteUnit(s, unit, search)) return {.useUpdateFiles = true};
  FatalError(s, kind->notFound);
}

bool ManufacturingUpdateUnit(Session& s, Unit& unit) {
  s.out(Channel::Debug) << "ManufacturingUpdateUnit" << crlf;
  Unit connected = unit;
  const uint32_t savedBaud = s.portSettings.baudRate;
  LoadManufacturingFields(s, s.storage.manufacturingFields);
  const int32_t serialNumber = IniGetInt(s, s.options.parameterFile, "SerialNo");
  if (serialNumber == 0) FatalError(s, "Missing SerialNo");
  s.out(Channel::Debug) << "   New SerialNo    : " << serialNumber << crlf;
  // What the file asks for is known before the unit is touched.
  RequestedProduct(s, IniGetInt(s, s.options.parameterFile, "BasicProductCode"));

  // Only a running application changes its speed on request. A unit waiting in its boot loader
  // (a new board the tool has just given one, or a unit an earlier run left there) is taken to
  // the programming speed by the programmer download.
  const bool applicationSpeed = unit.mode == modeBalvantaSoftware;
  // A run that ends early first puts the connected unit back at its speed (the proxy closed):
  // left at the programming speed, the next run finds it only after a power cycle. The product
  // itself on the port is no longer in its application once its update has begun, and its
  // restart brings its own speed back.
  bool relaying = false;
  std::optional<BeforeEndGuard> speed;
  if (applicationSpeed) {
    SetUnitBaudRateOrStop(s, unit, s.portSettings.programmingBaud);
    speed.emplace(s, [&] {
      if (s.packet.proxyOn) {
        TurnProxyOff(s);
        CloseKestrelinkProxy(s, connected.address);
      }
      if (relaying || unit.mode == modeBalvantaSoftware) SetUnitBaudRate(s, connected, savedBaud);
    });
  }
  const UnitTypeCheck found = CheckUnitType(s, unit);
  relaying = found.viaProxy || found.useUpdateFiles;
  PrintUnitInfo(s, unit, false);
  const bool updated = UpdateUnit(s, unit, UpdateRequest{.newSerialNumber = serialNumber,
                                                         .useUpdateFiles = found.useUpdateFiles}) ==
                       UpdateOutcome::Updated;
  bool success = updated;
  if (updated) {
    // A unit on the network restarts alone; the connected unit goes on relaying at the
    // programming speed, and that is the speed to find the unit again at.
    if (found.useUpdateFiles) SaveConnectionBaudRate(s);
    RestartIntoNewSoftware(s, unit);
    if (found.useUpdateFiles && !HoldsStationFields(s, unit, serialNumber)) {
      s.out(Channel::Debug) << "-- the restarted unit does not hold the new manufacturing fields" << crlf;
      success = false;
    }
  } else {
    Reset(s, unit);
  }

  speed.reset();
  if (found.viaProxy) {
    TurnProxyOff(s);
    CloseKestrelinkProxy(s, connected.address);
  }
  if (applicationSpeed && !SetUnitBaudRate(s, connected, savedBaud)) {
    s.out(Channel::Debug) << "Unable to change baud rate" << crlf;
  }

  if (success) {
    s.out(Channel::Always) << "Success: all operations are complete" << crlf;
  } else {
    s.out(Channel::Always) << '\a' << kFailure << crlf;
  }
  StoreStationOutcome(s, success);
  return success;
}

}  // namespace kl
