// How a simulated device (a unit model or a scripted peer) sits at the far end of a serial
// line. The line model owns the timing (11 bit times a byte at each end's own speed), the
// garbling of bytes when the two ends disagree on speed or parity, and fault injection.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/sim/scheduler.h"

namespace kl::sim {

enum class Parity : uint8_t { None, Even, Odd };

struct LineFormat {
  uint32_t baud = 19200;
  Parity parity = Parity::None;
  bool operator==(const LineFormat&) const = default;
};

// The device's side of a line.
class LinePort {
 public:
  virtual ~LinePort() = default;
  virtual Scheduler& scheduler() = 0;
  // Queues bytes for the PC; they leave one after another at this end's format.
  virtual void send(const uint8_t* bytes, size_t count) = 0;
  // True while bytes queued by send() are still on their way out.
  virtual bool sending() const = 0;
  virtual void setFormat(const LineFormat& format) = 0;
  virtual LineFormat format() const = 0;
  // The CTS line the device drives towards the PC.
  virtual void setCts(bool high) = 0;
};

// A device attached to the far end.
class LineDevice {
 public:
  virtual ~LineDevice() = default;
  virtual void attach(LinePort& port) = 0;
  // One byte has arrived completely at this end, as this end decoded it. `damaged` is set
  // when the byte arrived with a framing or parity error.
  virtual void receive(uint8_t byte, bool damaged) = 0;
};

}  // namespace kl::sim
