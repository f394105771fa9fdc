// The calls that open, close, query and re-speed the proxy function of the connected unit.
#pragma once

#include <cstdint>

namespace kl {

struct Session;

struct ProxySearchResult {
  uint8_t port = 0;
  uint32_t baudRate = 0;
  uint8_t unitId = 0;
  bool bootLoader = false;
};
bool OpenKestrelinkProxy(Session& s, uint8_t proxyAddress);
bool CloseKestrelinkProxy(Session& s, uint8_t proxyAddress);
bool SearchKestrelinkProxy(Session& s, uint8_t proxyAddress, ProxySearchResult& result);
bool SetProxyBaudRate(Session& s, uint8_t proxyAddress, uint8_t proxyPort, uint32_t baud);

}  // namespace kl
