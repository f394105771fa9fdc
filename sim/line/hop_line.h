// A short point-to-point line inside the simulation: between a unit and a unit on its
// network, between a test jig's second port and the unit behind it, or between a test's
// scripted PC and a unit. Each end sends at its own format, a byte taking 11 bit times;
// when the two ends disagree on the format the receiving end gets damaged bytes.
#pragma once

#include <cstdint>
#include <random>

#include "sim/line_device.h"

namespace kl::sim {

class HopLine {
 public:
  HopLine(Scheduler& scheduler, LineFormat nearFormat, LineFormat farFormat, uint64_t seed = 1);
  HopLine(const HopLine&) = delete;
  HopLine& operator=(const HopLine&) = delete;

  // Attaches both devices to their ends.
  void connect(LineDevice& nearDevice, LineDevice& farDevice);
  LinePort& nearEnd() { return near_; }
  LinePort& farEnd() { return far_; }
  bool ctsFromFar() const { return far_.cts; }
  // When the last byte handed to the near end will have crossed the line.
  uint64_t nearIdleAtUs() const { return near_.busyUntilUs(); }

 private:
  class End : public LinePort {
   public:
    End(HopLine& line, LineFormat format) : line_(line), format_(format) {}
    Scheduler& scheduler() override { return line_.scheduler_; }
    void send(const uint8_t* bytes, size_t count) override;
    bool sending() const override;
    void setFormat(const LineFormat& format) override { format_ = format; }
    LineFormat format() const override { return format_; }
    void setCts(bool high) override { cts = high; }
    uint64_t busyUntilUs() const { return busyUntilUs_; }

    End* other = nullptr;
    LineDevice* device = nullptr;
    bool cts = false;

   private:
    HopLine& line_;
    LineFormat format_;
    uint64_t busyUntilUs_ = 0;
  };

  Scheduler& scheduler_;
  std::mt19937_64 random_;
  End near_;
  End far_;
};

}  // namespace kl::sim
