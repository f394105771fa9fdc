// The line of kestrelink-sim: a pseudo-terminal whose other end the program opens as its
// serial port. Bytes from the program reach the unit one byte time apart at the speed the
// program set on its end (read from the terminal settings as they arrive); the unit's bytes
// leave at the unit's own speed. When the two speeds differ the unit receives damaged bytes
// and the program receives garbage. Parity cannot be compared: the pseudo-terminal does not
// keep the parity flag.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <random>
#include <string>

#include "sim/line_device.h"
#include "sim/realtime/realtime_scheduler.h"
#include "sim/scenario/scenario.h"

namespace kl::sim {

class PtyLine : public LinePort {
 public:
  // Opens the pseudo-terminal; throws std::runtime_error when that fails.
  PtyLine(RealTimeScheduler& scheduler, const ScenarioLineFaults& faults, uint64_t seed);
  ~PtyLine() override;
  PtyLine(const PtyLine&) = delete;
  PtyLine& operator=(const PtyLine&) = delete;

  const std::string& path() const { return path_; }
  int fd() const { return fd_; }
  void connect(LineDevice& device);
  // The line's faults from now on (the operator's "line" command).
  void setFaults(const ScenarioLineFaults& faults) { faults_ = faults; }
  // Reads what the program wrote; false when the program's end is closed.
  bool readAvailable();
  // Every line of traffic, for --trace.
  std::function<void(const std::string&)> trace;

  Scheduler& scheduler() override { return scheduler_; }
  void send(const uint8_t* bytes, size_t count) override;
  bool sending() const override { return !output_.empty(); }
  void setFormat(const LineFormat& format) override { format_ = format; }
  LineFormat format() const override { return format_; }
  void setCts(bool) override {}  // a pseudo-terminal has no modem lines

 private:
  struct Pending {
    uint64_t dueUs;
    uint8_t byte;
  };
  uint32_t programSpeed() const;
  bool faulted(uint32_t perMillion);
  uint8_t flipMaybe(uint8_t byte);
  void flushDue();

  RealTimeScheduler& scheduler_;
  ScenarioLineFaults faults_;
  std::mt19937_64 random_;
  int fd_ = -1;
  std::string path_;
  LineDevice* device_ = nullptr;
  LineFormat format_;
  std::deque<Pending> output_;
  uint64_t outputBusyUntilUs_ = 0;
  uint64_t inputBusyUntilUs_ = 0;
  bool flushScheduled_ = false;
};

std::string hexBytes(const uint8_t* bytes, size_t count);

}  // namespace kl::sim
