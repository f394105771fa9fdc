#include "sim/realtime/pty_line.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "sim/line/line_timing.h"

namespace kl::sim {

uint32_t ptySpeed(int fd);

std::string hexBytes(const uint8_t* bytes, size_t count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    if (i) out.push_back(' ');
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return out;
}

PtyLine::PtyLine(RealTimeScheduler& scheduler, const ScenarioLineFaults& faults, uint64_t seed)
    : scheduler_(scheduler), faults_(faults), random_(seed) {
  fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd_ < 0 || grantpt(fd_) != 0 || unlockpt(fd_) != 0) {
    throw std::runtime_error(std::string("cannot create a pseudo-terminal: ") + std::strerror(errno));
  }
  char name[128] = {};
  if (ptsname_r(fd_, name, sizeof name) != 0) {
    throw std::runtime_error(std::string("cannot name the pseudo-terminal: ") + std::strerror(errno));
  }
  path_ = name;
  // Raw from the start, so nothing is echoed or translated before the program configures it.
  termios settings{};
  if (tcgetattr(fd_, &settings) == 0) {
    cfmakeraw(&settings);
    tcsetattr(fd_, TCSANOW, &settings);
  }
}

PtyLine::~PtyLine() {
  if (fd_ >= 0) close(fd_);
}

void PtyLine::connect(LineDevice& device) {
  device_ = &device;
  device.attach(*this);
}

uint32_t PtyLine::programSpeed() const { return ptySpeed(fd_); }

bool PtyLine::faulted(uint32_t perMillion) {
  return perMillion > 0 && random_() % 1000000 < perMillion;
}

uint8_t PtyLine::flipMaybe(uint8_t byte) {
  if (faulted(faults_.bitFlipPerMillion)) byte ^= static_cast<uint8_t>(1u << (random_() % 8));
  return byte;
}

bool PtyLine::readAvailable() {
  uint8_t buffer[4096];
  const ssize_t count = read(fd_, buffer, sizeof buffer);
  if (count < 0) return errno == EAGAIN || errno == EINTR;
  if (count == 0) return false;
  const uint32_t speed = programSpeed();
  const uint64_t now = scheduler_.nowUs();
  const uint64_t perByte = byteTimeUs(speed);
  if (trace) {
    trace("PC -> unit at " + std::to_string(speed) + ": " + hexBytes(buffer, static_cast<size_t>(count)) +
          (speed != format_.baud ? "  (unit listens at " + std::to_string(format_.baud) + ": garbled)" : ""));
  }
  uint64_t at = std::max(now, inputBusyUntilUs_);
  for (ssize_t i = 0; i < count; ++i) {
    at += perByte;
    if (faulted(faults_.dropPerMillion)) continue;
    const uint8_t byte = flipMaybe(buffer[i]);
    scheduler_.at(at, [this, byte, speed] {
      if (!device_) return;
      if (speed == format_.baud) {
        device_->receive(byte, false);
      } else {
        device_->receive(static_cast<uint8_t>(random_()), true);
      }
    });
  }
  inputBusyUntilUs_ = at;
  return true;
}

void PtyLine::send(const uint8_t* bytes, size_t count) {
  if (count == 0) return;
  if (trace) trace("unit -> PC at " + std::to_string(format_.baud) + ": " + hexBytes(bytes, count));
  const uint64_t now = scheduler_.nowUs();
  uint64_t at = std::max(now, outputBusyUntilUs_);
  const uint64_t perByte = byteTimeUs(format_);
  for (size_t i = 0; i < count; ++i) {
    at += perByte;
    output_.push_back({at, bytes[i]});
  }
  outputBusyUntilUs_ = at;
  if (!flushScheduled_) {
    flushScheduled_ = true;
    scheduler_.at(output_.front().dueUs, [this] { flushDue(); });
  }
}

void PtyLine::flushDue() {
  flushScheduled_ = false;
  const uint64_t now = scheduler_.nowUs();
  const uint32_t speed = programSpeed();
  const bool garbled = speed != format_.baud;
  std::string bytes;
  while (!output_.empty() && output_.front().dueUs <= now) {
    uint8_t byte = output_.front().byte;
    output_.pop_front();
    if (faulted(faults_.dropPerMillion)) continue;
    bytes.push_back(static_cast<char>(garbled ? static_cast<uint8_t>(random_()) : flipMaybe(byte)));
  }
  if (!bytes.empty()) {
    if (garbled && trace) trace("(program listens at " + std::to_string(speed) + ": it receives garbage)");
    // A program that does not read (or has closed its end) loses what does not fit.
    const ssize_t written = write(fd_, bytes.data(), bytes.size());
    (void)written;
  }
  if (!output_.empty()) {
    flushScheduled_ = true;
    scheduler_.at(output_.front().dueUs, [this] { flushDue(); });
  }
}

}  // namespace kl::sim
