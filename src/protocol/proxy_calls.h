// The calls that open, close, query and re-speed the proxy function of the connected unit.
#pragma once

#include <cstdint>

namespace kl {

struct LinkContext;

struct ProxySearchResult {
  uint8_t port = 0;
  uint32_t baudRate = 0;
  uint8_t unitId = 0;
  bool bootLoader = false;
};
bool OpenKestrelinkProxy(LinkContext& s, uint8_t proxyAddress);
bool CloseKestrelinkProxy(LinkContext& s, uint8_t proxyAddress);
bool SearchKestrelinkProxy(LinkContext& s, uint8_t proxyAddress, ProxySearchResult& result);
bool SetProxyBaudRate(LinkContext& s, uint8_t proxyAddress, uint8_t proxyPort, uint32_t baud);

}  // namespace kl
