#include "sim/sim_line.h"

#include <algorithm>
#include <bit>
#include <utility>

namespace kl::sim {

namespace {

constexpr size_t kReceiveQueue = 20000;  // the PC driver's receive queue
constexpr uint64_t kBitsPerByte = 11;
constexpr uint32_t kWaitWithoutLimit = UINT32_MAX - 1;
constexpr uint64_t kStepUs = 1000000;  // how far one unlimited wait looks ahead at a time
constexpr uint64_t kWriteGraceUs = 1000000;
constexpr int kWriteTimedOut = 121;

uint64_t ByteNs(uint32_t baud) { return kBitsPerByte * 1000000000ull / std::max<uint32_t>(baud, 1); }

bool SameSpeed(uint32_t a, uint32_t b) {
  const double ratio = static_cast<double>(a) / static_cast<double>(std::max<uint32_t>(b, 1));
  return ratio > 0.97 && ratio < 1.03;
}

// The parity bit a sender with `parity` puts after `byte`.
bool ParityBit(uint8_t byte, Parity parity) {
  const bool odd = (std::popcount(static_cast<unsigned>(byte)) & 1) != 0;
  return parity == Parity::Even ? odd : !odd;
}

}  // namespace

// The PC's side as the program sees it: a SerialDevice.
class SimLine::PcEnd : public SerialDevice {
 public:
  explicit PcEnd(SimLine& line) : line_(line) {}
  ~PcEnd() override {
    if (lineGone_) return;
    line_.purgePc();
    line_.pc_ = nullptr;
  }
  // The line was destroyed first: every call fails from now on.
  void lineGone() { lineGone_ = true; }

  bool setSettings(const SerialSettings& settings) override {
    if (lineGone_) return false;
    if (settings.baud == 0 || settings.baud > line_.maxBaud) {
      line_.process_.setLastError(oserr::InvalidParameter);
      return false;
    }
    line_.pcSettings_ = settings;
    line_.startNext(line_.towardsDevice_);
    return true;
  }

  long startWrite(const uint8_t* bytes, size_t count) override {
    if (lineGone_) return -1;
    if (line_.unplugged_) return gone();
    return line_.pcWrite(bytes, count);
  }

  long finishWrite(long id, uint32_t waitMs) override {
    if (lineGone_) return -1;
    long result = line_.writeResult(id, true);
    if (result != -2 || waitMs == 0) return result == -2 ? 0 : result;
    World& world = line_.world_;
    auto finished = [&] { return line_.unplugged_ || line_.writeResult(id, false) != -2; };
    if (waitMs >= kWaitWithoutLimit) {
      // Without limit, but a line with nothing left to happen on it would wait for ever.
      while (!world.runUntil(world.nowUs() + kStepUs, finished)) {
        if (world.idle()) {
          line_.process_.setLastError(oserr::Generic);
          return -1;
        }
      }
    } else {
      world.runUntil(world.nowUs() + uint64_t{waitMs} * 1000, finished);
    }
    if (line_.unplugged_) return gone();
    result = line_.writeResult(id, true);
    return result == -2 ? 0 : result;
  }

  long read(uint8_t* buffer, size_t maximum) override {
    if (lineGone_) return -1;
    if (line_.unplugged_) return gone();
    const size_t n = std::min(maximum, line_.received_.size());
    std::copy_n(line_.received_.begin(), n, buffer);
    line_.received_.erase(line_.received_.begin(), line_.received_.begin() + static_cast<long>(n));
    return static_cast<long>(n);
  }

  bool waitReadable(uint32_t ms) override {
    if (lineGone_) return true;
    auto ready = [&] { return line_.unplugged_ || !line_.received_.empty(); };
    if (ready()) return true;
    World& world = line_.world_;
    return world.runUntil(world.nowUs() + uint64_t{ms} * 1000, ready);
  }

  void purge() override {
    if (lineGone_) return;
    line_.purgePc();
    line_.received_.clear();
  }

  uint32_t takeLineErrors() override { return lineGone_ ? 0 : std::exchange(line_.lineErrors_, 0); }
  bool cts() override { return !lineGone_ && line_.cts_; }

 private:
  long gone() {
    line_.process_.setLastError(oserr::Generic);
    return -1;
  }

  SimLine& line_;
  bool lineGone_ = false;
};

// The far end's side: what a device model talks to.
class SimLine::FarEnd : public LinePort {
 public:
  explicit FarEnd(SimLine& line) : line_(line) {}
  Scheduler& scheduler() override { return line_.world_; }
  void send(const uint8_t* bytes, size_t count) override { line_.deviceSend(bytes, count); }
  bool sending() const override { return line_.towardsPc_.busy || !line_.towardsPc_.queue.empty(); }
  void setFormat(const LineFormat& format) override { line_.farFormat_ = format; }
  LineFormat format() const override { return line_.farFormat_; }
  void setCts(bool high) override {
    line_.cts_ = high;
    if (high) line_.startNext(line_.towardsDevice_);
  }

 private:
  SimLine& line_;
};

SimLine::SimLine(World& world, Process& process)
    : world_(world), process_(process), far_(std::make_unique<FarEnd>(*this)) {}

SimLine::~SimLine() {
  *alive_ = false;
  if (pc_) pc_->lineGone();
}

void SimLine::connect(LineDevice& device) {
  device_ = &device;
  device.attach(*far_);
}

LinePort& SimLine::farPort() { return *far_; }

std::unique_ptr<SerialDevice> SimLine::open(const SerialSettings& settings) {
  if (unplugged_) {
    process_.setLastError(oserr::FileNotFound);
    return nullptr;
  }
  if (pc_) {
    process_.setLastError(oserr::SharingViolation);
    return nullptr;
  }
  if (busyOpens > 0) {
    --busyOpens;
    process_.setLastError(busyCode);
    return nullptr;
  }
  auto end = std::make_unique<PcEnd>(*this);
  if (!end->setSettings(settings)) return nullptr;
  received_.clear();
  lineErrors_ = 0;
  pc_ = end.get();
  return end;
}

void SimLine::injectStray(std::vector<uint8_t> bytes) { stray_.insert(stray_.end(), bytes.begin(), bytes.end()); }

void SimLine::unplug() {
  unplugged_ = true;
  purgePc();
}

LineFormat SimLine::pcFormat() const {
  LineFormat format;
  format.baud = pcSettings_.baud;
  format.parity = !pcSettings_.parityOn ? Parity::None : pcSettings_.even ? Parity::Even : Parity::Odd;
  return format;
}

bool SimLine::chance(double probability) {
  if (probability <= 0) return false;
  return std::uniform_real_distribution<double>(0.0, 1.0)(world_.random()) < probability;
}

void SimLine::startNext(Direction& direction) {
  if (direction.busy || direction.queue.empty()) return;
  const bool fromPc = &direction == &towardsDevice_;
  if (fromPc && pcSettings_.ctsFlow && !cts_) return;  // held until the far end raises CTS
  const uint32_t baud = fromPc ? pcSettings_.baud : farFormat_.baud;
  uint64_t nowNs = world_.nowUs() * 1000;
  // Events run on whole microseconds: a byte that follows its predecessor without a gap
  // starts exactly where that one ended, so that rounding never slows the line down.
  if (nowNs >= direction.freeAtNs && nowNs - direction.freeAtNs < 1000) nowNs = direction.freeAtNs;
  const uint64_t start = std::max({nowNs, direction.freeAtNs, direction.holdUntilNs});
  const uint64_t end = start + ByteNs(baud);
  direction.freeAtNs = end;
  direction.busyNs += end - start;
  direction.busy = true;
  const uint8_t byte = direction.queue.front();
  direction.queue.pop_front();
  std::weak_ptr<bool> alive = alive_;
  world_.at((end + 999) / 1000, [this, alive, &direction, byte] {
    if (alive.expired() || !*alive.lock()) return;
    direction.busy = false;
    arrive(direction, byte);
    startNext(direction);
  });
}

SimLine::Decoded SimLine::decode(uint8_t byte, const LineFormat& from, const LineFormat& to) {
  if (!SameSpeed(from.baud, to.baud)) {
    // The receiver samples the wrong bits: some bytes vanish, the rest are noise, mostly
    // with a framing error.
    std::mt19937_64& random = world_.random();
    const double u = std::uniform_real_distribution<double>(0.0, 1.0)(random);
    if (u < 0.4) return Decoded{true, 0, 0};
    const auto value = static_cast<uint8_t>(random() & 0xFF);
    return Decoded{false, value, u < 0.85 ? lineerr::Frame : 0u};
  }
  if (from.parity == to.parity) return Decoded{false, byte, 0};
  if (from.parity == Parity::None) {
    // The receiver takes the first stop bit (1) for the parity bit.
    return Decoded{false, byte, ParityBit(byte, to.parity) ? 0u : lineerr::RxParity};
  }
  if (to.parity == Parity::None) {
    // The receiver takes the parity bit for the stop bit; a 0 there is a framing error.
    return Decoded{false, byte, ParityBit(byte, from.parity) ? 0u : lineerr::Frame};
  }
  return Decoded{false, byte, lineerr::RxParity};  // even against odd
}

void SimLine::arrive(Direction& direction, uint8_t byte) {
  const bool toDevice = &direction == &towardsDevice_;
  if (toDevice) {
    ++pcDone_;
    armFrontWrite();
  }
  const LineFaults& faults = toDevice ? towardsDevice : towardsPc;
  Decoded decoded = toDevice ? decode(byte, pcFormat(), farFormat_) : decode(byte, farFormat_, pcFormat());
  if (decoded.lost || chance(faults.dropRate)) return;
  if (chance(faults.bitFlipRate)) decoded.value ^= static_cast<uint8_t>(1u << (world_.random()() % 8));
  direction.delivered.push_back(decoded.value);
  if (toDevice) {
    if (device_) device_->receive(decoded.value, decoded.error != 0);
    return;
  }
  if (!pc_) return;  // nobody listens on a closed port
  if (received_.size() >= kReceiveQueue) {
    lineErrors_ |= lineerr::Overrun;
    return;
  }
  received_.push_back(decoded.value);
  lineErrors_ |= decoded.error;
}

void SimLine::deviceSend(const uint8_t* bytes, size_t count) {
  Direction& d = towardsPc_;
  const uint64_t nowNs = world_.nowUs() * 1000;
  const bool idle = !d.busy && d.queue.empty() && d.freeAtNs <= nowNs;
  if (idle && towardsPc.delayUs > 0) d.holdUntilNs = nowNs + towardsPc.delayUs * 1000;
  if (idle && chance(towardsPc.strayRate)) d.queue.push_back(static_cast<uint8_t>(world_.random()() & 0xFF));
  d.queue.insert(d.queue.end(), stray_.begin(), stray_.end());
  stray_.clear();
  d.queue.insert(d.queue.end(), bytes, bytes + count);
  d.sent.insert(d.sent.end(), bytes, bytes + count);
  startNext(d);
}

long SimLine::pcWrite(const uint8_t* bytes, size_t count) {
  size_t outstanding = 0;
  for (const PendingWrite& w : pending_) outstanding += w.count;
  writes.push_back(WriteRecord{bytes, count, outstanding});
  const long id = nextWriteId_++;
  pcQueued_ += count;
  pending_.push_back(PendingWrite{id, count, pcQueued_, -2, 0});
  towardsDevice_.queue.insert(towardsDevice_.queue.end(), bytes, bytes + count);
  towardsDevice_.sent.insert(towardsDevice_.sent.end(), bytes, bytes + count);
  startNext(towardsDevice_);
  armFrontWrite();
  return id;
}

void SimLine::armFrontWrite() {
  for (PendingWrite& w : pending_) {
    if (w.endedEarly != -2 || pcDone_ >= w.lastByte) continue;
    if (w.deadlineUs != 0) return;
    const uint64_t byLine = w.count * kBitsPerByte * 1000000 / std::max<uint32_t>(pcSettings_.baud, 1);
    w.deadlineUs = world_.nowUs() + std::max<uint64_t>(w.count * 1000, byLine) + kWriteGraceUs;
    std::weak_ptr<bool> alive = alive_;
    world_.at(w.deadlineUs, [this, alive, id = w.id] {
      if (alive.expired() || !*alive.lock()) return;
      timeOutWrites(id);
    });
    return;
  }
}

void SimLine::timeOutWrites(long id) {
  auto front = std::find_if(pending_.begin(), pending_.end(), [id](const PendingWrite& w) { return w.id == id; });
  if (front == pending_.end() || front->endedEarly != -2 || pcDone_ >= front->lastByte) return;
  const uint64_t onWire = towardsDevice_.busy ? 1 : 0;
  for (auto it = front; it != pending_.end(); ++it) {
    if (it->endedEarly != -2) continue;
    const uint64_t before = it->lastByte - it->count;  // sequence number before its first byte
    const uint64_t out = pcDone_ + onWire > before ? std::min<uint64_t>(pcDone_ + onWire - before, it->count) : 0;
    it->endedEarly = out > 0 ? static_cast<long>(out) : -3;  // -3: timed out with nothing sent
  }
  pcDone_ += towardsDevice_.queue.size();
  towardsDevice_.sent.resize(towardsDevice_.sent.size() - towardsDevice_.queue.size());
  towardsDevice_.queue.clear();
}

long SimLine::writeResult(long id, bool take) {
  for (auto it = pending_.begin(); it != pending_.end(); ++it) {
    if (it->id != id) continue;
    long result = -2;
    if (it->endedEarly != -2) {
      result = it->endedEarly;
      if (result < 0) process_.setLastError(it->endedEarly == -1 ? oserr::Generic : kWriteTimedOut);
      if (result < 0) result = -1;
    } else if (pcDone_ >= it->lastByte) {
      result = static_cast<long>(it->count);
    }
    if (take && result != -2) pending_.erase(it);
    return result;
  }
  process_.setLastError(oserr::Generic);
  return -1;
}

void SimLine::purgePc() {
  // Bytes not yet on the line are dropped; their writes end as aborted.
  const uint64_t leaving = pcDone_ + (towardsDevice_.busy ? 1 : 0);
  for (PendingWrite& w : pending_) {
    if ((w.lastByte > leaving || unplugged_) && w.endedEarly == -2) w.endedEarly = -1;
  }
  pcDone_ += towardsDevice_.queue.size();
  towardsDevice_.sent.resize(towardsDevice_.sent.size() - towardsDevice_.queue.size());
  towardsDevice_.queue.clear();
}

void AttachSimLine(SimPlatform& platform, int number, SimLine& line) {
  platform.serial.attach(number, [&line](const SerialSettings& settings) { return line.open(settings); });
}

}  // namespace kl::sim
