#include "transport/link_control.h"

#include "transport/link_context.h"
#include "transport/packet_link.h"

namespace kl {

uint16_t ReplyTimeoutShort(const LinkContext& s) { return s.link.replyTimeoutShort; }

void SetReplyTimeout(LinkContext& s, uint32_t milliseconds) {
  ClearReceivedPacket(s);
  s.portSettings.replyTimeout = milliseconds;
  s.out(Channel::DetailedDebug) << "baud rate = " << s.portSettings.baudRate << " (no change) timeout="
                                << milliseconds << "ms" << crlf;
}

void SaveConnectionBaudRate(LinkContext& s) {
  s.link.savedBaudRate = s.portSettings.baudRate;
  s.link.savedParity = s.portSettings.evenParity;
  s.out(Channel::Debug) << "-- saved connection baud rate = " << s.link.savedBaudRate << crlf;
}

void TurnProxyOn(LinkContext& s) {
  s.packet.proxyOn = true;
  s.out(Channel::DetailedDebug) << "Turning proxy ON" << crlf;
  s.link.proxySavedBaudRate = s.portSettings.baudRate;
  s.link.proxySavedParity = s.portSettings.evenParity;
  s.link.proxySavedUnitId = s.currentUnitId;
  s.link.replyTimeoutShort = 100;
  // The remote link's speed is learned from the proxy afterwards.
  s.portSettings.baudRate = 0;
  s.portSettings.evenParity = 0;
}

void TurnProxyOff(LinkContext& s) {
  s.packet.proxyOn = false;
  s.out(Channel::DetailedDebug) << "Turning proxy OFF" << crlf;
  s.link.replyTimeoutShort = 50;
  s.portSettings.baudRate = s.link.proxySavedBaudRate;
  s.portSettings.evenParity = s.link.proxySavedParity;
  s.currentUnitId = s.link.proxySavedUnitId;
}

}  // namespace kl
