// The one PC serial port: overlapped writes behind a 64 KB ring, non-blocking reads, the
// lock file, and the connection operations OpenPort, ClosePort and ChangeBaudRate.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace kl {

struct LinkContext;

// One outstanding write.
struct WriteSlot {
  uint32_t startTick = 0;
  uint32_t startPos = 0;
  uint32_t endPos = 0;
  long writeId = -1;  // the device's pending write; -1 once the write is known to be finished
};

struct SerialPort {
  static constexpr uint32_t kRingSize = 65536;
  static constexpr uint32_t kSlots = 256;

  std::unique_ptr<SerialDevice> handle;  // open while not null
  int16_t timeout = 0;
  std::array<uint8_t, kRingSize> ring{};
  uint32_t donePos = 0;
  uint32_t headPos = 0;
  std::array<WriteSlot, kSlots> slots{};
  uint32_t oldestSlot = 0;
  uint32_t nextSlot = 0;
};

// The live connection settings every open reads.
struct PortSettings {
  uint16_t portNumber = 0;
  uint32_t replyTimeout = 100;
  std::string lockFilePath;
  uint32_t baudRate = 19200;
  uint8_t evenParity = 0;
  uint8_t hardwareHandshake = 0;
  uint32_t programmingBaud = 0;
};

// Waits of finishWrite: without limit, and without limit until the bytes have left the device.
inline constexpr uint32_t kWaitWithoutLimit = UINT32_MAX - 1;
inline constexpr uint32_t kWaitUntilSent = UINT32_MAX;

// Primitives on a port object.
bool OpenCommPortOverlapped(LinkContext& s, SerialPort& port, int number, uint32_t baud, int stopBits, bool parityOn,
                            bool even, bool ctsFlow, int16_t timeout);
void CloseCommPortOverlapped(LinkContext& s, SerialPort& port);
long WriteCommPortOverlapped(LinkContext& s, SerialPort& port, const uint8_t* bytes, uint32_t count);
long ReadCommPortOverlapped(LinkContext& s, SerialPort& port, uint8_t* buffer, uint32_t maximum);
long ReadCommPortWithTimeout(LinkContext& s, SerialPort& port, uint8_t* buffer, uint32_t count);
bool FlushCommPortWrites(LinkContext& s, SerialPort& port);
// Finishes the oldest outstanding write, waiting up to `waitMs`: its byte count, 0 while it is
// still pending, -1 when it failed.
long FinishOldestWrite(LinkContext& s, SerialPort& port, uint32_t waitMs);
bool SetCommPortSpeed(LinkContext& s, SerialPort& port, uint32_t baud, int stopBits, bool parityOn, bool even,
                      bool ctsFlow);
bool GetCommCTS(LinkContext& s, SerialPort& port);

// Connection operations on the session's port and settings.
bool IsPortOpen(LinkContext& s);
bool OpenPort(LinkContext& s);
// Closes the port if open and deletes the lock file; harmless when nothing is open.
void ClosePort(LinkContext& s);
bool ChangeBaudRate(LinkContext& s);

}  // namespace kl
