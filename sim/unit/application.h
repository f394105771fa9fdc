// The unit's application software: identity queries, control calls, remote file access to its
// flash drives, the check of its manufacturing fields, and relaying to the units on its
// network and (on a test jig) to the unit on its second port.
#pragma once

#include "sim/unit/file_service.h"
#include "sim/unit/firmware.h"

namespace kl::sim {

class Relay;

class Application : public Firmware {
 public:
  explicit Application(Unit& unit);
  UnitMode mode() const override { return UnitMode::Application; }
  LineFormat format() const override;
  std::optional<size_t> requestLength(std::span<const uint8_t> payload) const override;
  void onFrame(const Frame& frame) override;

 private:
  bool ownsAddress(uint8_t address) const;
  void answer(const Frame& frame);
  void answerProxyCall(const Frame& frame);
  void relayToNetwork(Relay& relay, const Frame& frame);
  void relayThroughProxy(const Frame& frame);
  std::vector<uint8_t> echo(const Frame& frame) const;

  bool proxyOpen_ = false;
  FileService files_;
};

}  // namespace kl::sim
