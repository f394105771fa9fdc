#include "protocol/proxy_calls.h"

#include "protocol/remote_call.h"
#include "transport/link_context.h"
#include "transport/packet_link.h"
#include "wire/commands.h"

namespace kl {

namespace {

CallRequest ProxyRequest(uint8_t proxyAddress, uint16_t command) {
  CallRequest request;
  request.address = proxyAddress;
  request.command = command;
  return request;
}

// Open and close answer with one result byte; 0 is success.
bool ResultCall(LinkContext& s, std::string_view name, uint8_t proxyAddress, uint16_t command, int attempts) {
  s.out(Channel::Debug) << "RPC: " << name << crlf;
  const CallRequest request = ProxyRequest(proxyAddress, command);
  uint8_t result = 0;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    const bool accepted = CallOnce(s, request, 5, [&result](LinkContext& session) {
      result = GetPacketByte(session);
      return true;
    });
    if (accepted) {
      s.out(Channel::Debug) << "COMPLETE: Result=" << hex(result, 2) << crlf;
      return result == 0;
    }
  }
  s.out(Channel::Debug) << "FAILED" << crlf;
  return false;
}

}  // namespace

bool OpenKestrelinkProxy(LinkContext& s, uint8_t proxyAddress) {
  return ResultCall(s, "OpenKestrelinkProxy", proxyAddress, wire::cmd::OpenKestrelinkProxy, 2);
}

bool CloseKestrelinkProxy(LinkContext& s, uint8_t proxyAddress) {
  return ResultCall(s, "CloseKestrelinkProxy", proxyAddress, wire::cmd::CloseKestrelinkProxy, 8);
}

bool SearchKestrelinkProxy(LinkContext& s, uint8_t proxyAddress, ProxySearchResult& result) {
  s.out(Channel::Debug) << "RPC: SearchKestrelinkProxy" << crlf;
  const CallRequest request = ProxyRequest(proxyAddress, wire::cmd::SearchKestrelinkProxy);
  ProxySearchResult reply;
  uint8_t code = 0;
  for (int attempt = 0; attempt < 8; ++attempt) {
    const bool accepted = CallOnce(s, request, 12, [&](LinkContext& session) {
      code = GetPacketByte(session);
      reply.port = GetPacketByte(session);
      reply.baudRate = GetPacketLong(session);
      reply.unitId = GetPacketByte(session);
      reply.bootLoader = GetPacketByte(session) != 0;
      return true;
    });
    if (!accepted) continue;
    s.out(Channel::Debug) << "COMPLETE: Result=" << hex(code, 2) << " PortNumber=" << reply.port
                          << " BaudRate=" << reply.baudRate << " UnitID=" << reply.unitId
                          << " BootLoader=" << (reply.bootLoader ? "1" : "0") << crlf;
    if (code != 0) return false;
    result = reply;
    return true;
  }
  s.out(Channel::Debug) << "FAILED" << crlf;
  return false;
}

bool SetProxyBaudRate(LinkContext& s, uint8_t proxyAddress, uint8_t proxyPort, uint32_t baud) {
  CallRequest request = ProxyRequest(proxyAddress, wire::cmd::SetProxyBaudRate);
  request.writeArguments = [proxyPort, baud](LinkContext& session) {
    PutPacketByte(session, proxyPort);
    PutPacketLong(session, baud);
  };
  request.argumentLength = 5;
  uint8_t result = 0;
  for (int attempt = 0; attempt < 8; ++attempt) {
    // A reply counts only when it confirms the port and the speed asked for.
    const bool accepted = CallOnce(s, request, 10, [&](LinkContext& session) {
      const uint8_t portEcho = GetPacketByte(session);
      const uint32_t baudEcho = GetPacketLong(session);
      result = GetPacketByte(session);
      return portEcho == proxyPort && baudEcho == baud;
    });
    if (accepted) return result == 0;
  }
  s.out(Channel::Debug) << "FAILED" << crlf;
  return false;
}

}  // namespace kl
