// What runs in a unit at one moment: its application, its boot loader, the chip's own serial
// boot protocol (blank chip), a RAM flash programmer, or whatever else was started from RAM.
// The unit swaps one for another on restarts; each knows its line format and answers what
// reaches it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/line_device.h"
#include "sim/unit/frame.h"

namespace kl::sim {

class Unit;

enum class UnitMode { Off, BootLoader, Application, BlankChip, FlashProgrammer, Halted };

const char* unitModeName(UnitMode mode);

class Firmware {
 public:
  explicit Firmware(Unit& unit) : unit_(unit) {}
  virtual ~Firmware() = default;
  Firmware(const Firmware&) = delete;
  Firmware& operator=(const Firmware&) = delete;

  virtual UnitMode mode() const = 0;
  virtual LineFormat format() const = 0;
  // Framed firmware: the payload length of the request that `payload` begins, when known.
  virtual std::optional<size_t> requestLength(std::span<const uint8_t> /*payload*/) const {
    return std::nullopt;
  }
  virtual void onFrame(const Frame& /*frame*/) {}
  // Firmware that speaks a text protocol takes the intact bytes one by one instead.
  virtual bool framed() const { return true; }
  virtual void onByte(uint8_t /*byte*/) {}

 protected:
  Unit& unit_;
};

// The MCU jumped into RAM that holds no programmer for it: it answers nothing.
class Halted : public Firmware {
 public:
  using Firmware::Firmware;
  UnitMode mode() const override { return UnitMode::Halted; }
  LineFormat format() const override { return LineFormat{115200, Parity::None}; }
};

}  // namespace kl::sim
