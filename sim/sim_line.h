// The simulated serial line between the PC's port and a far-end device, under virtual time.
// Each direction carries one byte every 11 bit times at its sender's speed. When the two ends
// disagree on speed or parity, bytes arrive garbled, damaged or not at all; faults are drawn
// from the world's seeded generator, so a run repeats exactly for the same seed.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim_platform.h"
#include "platform/sim/world.h"
#include "sim/line_device.h"

namespace kl::sim {

// Faults of one direction, drawn per byte.
struct LineFaults {
  double bitFlipRate = 0;  // chance that one bit of a byte flips on the way (unnoticed)
  double dropRate = 0;     // chance that a byte is lost
  double strayRate = 0;    // chance that a random byte precedes a burst on an idle line
  uint64_t delayUs = 0;    // extra silence before a burst on an idle line starts
};

class SimLine {
 public:
  SimLine(World& world, Process& process);
  ~SimLine();
  SimLine(const SimLine&) = delete;
  SimLine& operator=(const SimLine&) = delete;

  // Puts `device` at the far end.
  void connect(LineDevice& device);
  LinePort& farPort();

  // Opens the PC's side (the factory behind a COM number). Fails like a real port: busy
  // (5 or 32) while open or while `busyOpens` lasts, absent (2) once unplugged, 87 above
  // `maxBaud`.
  std::unique_ptr<SerialDevice> open(const SerialSettings& settings);
  bool isOpen() const { return pc_ != nullptr; }
  // The PC's settings of the latest open or change.
  const SerialSettings& pcSettings() const { return pcSettings_; }

  LineFaults towardsPc;
  LineFaults towardsDevice;
  uint32_t maxBaud = 921600;
  int busyOpens = 0;
  int busyCode = oserr::AccessDenied;

  // Bytes put on the line towards the PC ahead of the far end's next burst.
  void injectStray(std::vector<uint8_t> bytes);
  // The PC's device disappears (a pulled adapter): its reads and writes fail from now on.
  void unplug();
  bool unplugged() const { return unplugged_; }

  // What each end put on the line, and what arrived at the other end.
  const std::vector<uint8_t>& sentByPc() const { return towardsDevice_.sent; }
  const std::vector<uint8_t>& sentByDevice() const { return towardsPc_.sent; }
  const std::vector<uint8_t>& deliveredToDevice() const { return towardsDevice_.delivered; }
  const std::vector<uint8_t>& deliveredToPc() const { return towardsPc_.delivered; }
  // How long each direction has carried bytes, at the speeds they were sent at.
  uint64_t busyTowardsDeviceUs() const { return towardsDevice_.busyNs / 1000; }
  uint64_t busyTowardsPcUs() const { return towardsPc_.busyNs / 1000; }

  // Every write the PC's side was handed: where its bytes were, how many, and how many bytes
  // of earlier writes were still unfinished at the time.
  struct WriteRecord {
    const uint8_t* bytes;
    size_t count;
    size_t outstandingBefore;
  };
  std::vector<WriteRecord> writes;

 private:
  class PcEnd;
  class FarEnd;
  struct Direction {
    std::deque<uint8_t> queue;
    bool busy = false;
    uint64_t freeAtNs = 0;
    uint64_t holdUntilNs = 0;
    uint64_t busyNs = 0;
    std::vector<uint8_t> sent;
    std::vector<uint8_t> delivered;
  };
  struct PendingWrite {
    long id;
    size_t count;
    uint64_t lastByte;  // sequence number of its last byte on the line
    long endedEarly;    // -2 while it runs its course; else its result (purged, timed out)
    uint64_t deadlineUs;  // set once it is the write in front
  };
  struct Decoded {
    bool lost;
    uint8_t value;
    uint32_t error;  // lineerr bits at the receiver
  };

  LineFormat pcFormat() const;
  void startNext(Direction& direction);
  void arrive(Direction& direction, uint8_t byte);
  Decoded decode(uint8_t byte, const LineFormat& from, const LineFormat& to);
  bool chance(double probability);
  void deviceSend(const uint8_t* bytes, size_t count);
  long pcWrite(const uint8_t* bytes, size_t count);
  // The bytes of write `id` once it has left the line, -2 while it is on its way, -1 failed.
  long writeResult(long id, bool take);
  void purgePc();
  // Gives the write in front its time limit once it gets there.
  void armFrontWrite();
  // The write in front could not get its bytes out in time (output held by CTS): it and every
  // write behind it end now, as timed-out writes do.
  void timeOutWrites(long id);

  World& world_;
  Process& process_;
  std::unique_ptr<FarEnd> far_;
  LineDevice* device_ = nullptr;
  PcEnd* pc_ = nullptr;
  SerialSettings pcSettings_;
  LineFormat farFormat_;
  bool cts_ = false;
  bool unplugged_ = false;
  Direction towardsDevice_;
  Direction towardsPc_;
  std::vector<uint8_t> stray_;
  std::deque<uint8_t> received_;
  uint32_t lineErrors_ = 0;
  std::deque<PendingWrite> pending_;
  long nextWriteId_ = 0;
  uint64_t pcQueued_ = 0;
  uint64_t pcDone_ = 0;
  // Events still queued in the world after the line is gone must do nothing.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// Makes COM `number` of the simulated machine the PC's end of `line`.
void AttachSimLine(SimPlatform& platform, int number, SimLine& line);

}  // namespace kl::sim
