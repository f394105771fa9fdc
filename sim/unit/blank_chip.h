// A chip with nothing in flash: only the on-chip serial boot loader of the LPC family answers.
// It speaks a line-oriented text protocol: "?" -> "Synchronized", the echo of that word ->
// "OK", the crystal frequency -> "OK", then commands answered with a return code line.
#pragma once

#include <string>

#include "sim/unit/firmware.h"

namespace kl::sim {

class BlankChip : public Firmware {
 public:
  using Firmware::Firmware;
  UnitMode mode() const override { return UnitMode::BlankChip; }
  LineFormat format() const override;
  bool framed() const override { return false; }
  void onByte(uint8_t byte) override;

 private:
  enum class Stage { AwaitQuestionMark, AwaitSynchronized, AwaitFrequency, Commands };
  void onLine(const std::string& line);
  void command(const std::string& line);
  void send(const std::string& text);

  Stage stage_ = Stage::AwaitQuestionMark;
  bool echo_ = true;
  std::string line_;
};

}  // namespace kl::sim
