#include "update/multi_unit_update.h"

#include <optional>

#include "driver/console_input.h"
#include "driver/fatal_error.h"
#include "driver/session.h"
#include "protocol/unit_control.h"
#include "transport/link_control.h"
#include "update/network_table.h"
#include "update/remote_update.h"

namespace kl {

namespace {

void ExplainUpdateFiles(Session& s) {
  s.out(Channel::Always) << "1. The software update will be downloaded to the above units." << crlf
                         << "2. After the download is complete the software update will be applied " << crlf
                         << "   the next time the units are restarted." << crlf
                         << "3. You can either restart the units immediately after the download is " << crlf
                         << "   complete, or wait until a convenient time and restart them yourself." << crlf << crlf;
}

}  // namespace

bool MultiUnitUpdate(Session& s, Unit& unit, const std::vector<uint8_t>& listed) {
  const uint32_t savedBaud = s.portSettings.baudRate;
  SetUnitBaudRateOrStop(s, unit, s.portSettings.programmingBaud);
  const std::vector<uint8_t> updateList = ListNetworkUnits(s, unit, listed, NetworkListing::Update).value();
  ChannelWriter& always = s.out(Channel::Always);
  always << crlf;

  if (!AskYesNo(s, "Do you wish to update the software in these Balvanta units?")) {
    SetUnitBaudRateOrStop(s, unit, savedBaud);
    EndProcess(s, 1);
  }
  ExplainUpdateFiles(s);
  const bool restartNow = AskYesNo(s,
                                   "Do you wish to restart the units when the download is finished \r\n"
                                   "and apply the software update immediately?");

  always << "Downloading software updates..." << crlf;
  bool someFailed = false;
  for (const uint8_t address : updateList) {
    Unit remote = NetworkUnitAt(address);
    if (RemoteUpdateUnit(s, remote, false)) {
      always << "Balvanta Unit: " << address << " updated" << crlf;
    } else {
      always << "Unable to update Balvanta Unit: " << address << crlf;
      someFailed = true;
    }
    always << crlf;
  }

  if (restartNow) {
    if (!ResetSystem(s, unit)) {
      // The downloads are in the units all the same; only the moment they take effect moves.
      // Whether the connected unit heard the restart is unknown, so its speed is left alone:
      // a restart brings it back to its own.
      always << "Unable to restart system" << crlf
             << "Software update will be applied the next time Balvanta is restarted" << crlf;
    }
    return someFailed;
  }
  always << "Software update will be applied the next time Balvanta is restarted" << crlf;
  SetUnitBaudRateOrStop(s, unit, savedBaud);
  return someFailed;
}

}  // namespace kl
