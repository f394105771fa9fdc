// What a simulated unit is (its identity, the contents of its MCU flash) and how it behaves
// (speeds, delays, faults), as a scenario describes it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/line_device.h"
#include "sim/storage/flash_drives.h"
#include "sim/storage/mcu_flash.h"

namespace kl::sim {

// What the application reports about itself.
struct ApplicationIdentity {
  uint16_t cardNumber = 0;
  uint16_t circuitCode = 0;
  uint8_t mcuType = 0;
  uint8_t boardRevision = 0;  // 1 = A, 2 = B, ...
  uint8_t boardIssue = 0;
  uint16_t productNumber = 0;
  int16_t softwareVersion = 610;  // version x 100
  uint8_t softwareRelease = 0;
  uint8_t buildIncrement = 0;
  std::array<uint8_t, 6> buildTime{};  // yy, mm, dd, hh, mm, ss
  int32_t serialNumber = 0;
  uint8_t modbusAddress = 0;
  std::string informationText;
  uint16_t ftMask = 0;
  uint16_t rtMask = 0;
  uint16_t newMask = 0;
  uint8_t unitFlags = 0;
  uint32_t softwareChecksum = 0;
  uint16_t softwareCrc = 0;
};

struct BootLoaderIdentity {
  uint8_t generation = 4;
  uint8_t release = 24;
  uint8_t flags = 0x02;  // bit 0 (no application) is added while flash holds none
  uint8_t info = 0;
  int versionByte = -1;           // -1: MCU type in the high nibble, generation in the low
  bool answersRelease = true;     // the oldest boot loaders do not know the release query
  bool answersBasicInfo = true;   // a faulty boot loader may not tell the board it sits on
  uint16_t bufferSize = 1024;
};

// Where the unit's picture of a flash region comes from.
enum class RegionContent : uint8_t {
  Declared,  // the scenario's identity keys, until a flash programmer touches the region
  Sealed,    // written by a programmer that finished (reset): identity read from flash
  Unsealed,  // erased or being written, never finished: no valid content
};

// The unit's memory: the part a flash programmer rewrites, and what it reports from it. The
// identity fields are refreshed from flash at every restart once flash decides them.
struct UnitState {
  ApplicationIdentity application;
  BootLoaderIdentity bootLoader;
  bool applicationPresent = true;
  bool blank = false;  // nothing in flash: only the chip's own serial boot protocol answers
  McuFlash flash;
  FlashDrives drives;
  RegionContent bootContent = RegionContent::Declared;
  RegionContent applicationContent = RegionContent::Declared;

  uint8_t bootLoaderVersionByte() const {
    if (bootLoader.versionByte >= 0) return static_cast<uint8_t>(bootLoader.versionByte);
    return static_cast<uint8_t>(application.mcuType << 4 | (bootLoader.generation & 0x0F));
  }
};

enum class StartMode { Application, BootLoader, PowerOn, Off };

struct PowerEvent {
  uint64_t atUs;
  bool on;
};

struct UnitFaults {
  int loseReplyPercent = 0;
  int strayBytePercent = 0;       // one stray byte before a reply
  uint64_t extraReplyDelayUs = 0;
  bool silentUntilPowerCycle = false;
  int stopAnsweringAfterFrames = 0;  // 0: never
  int powerCutAtByte = 0;            // 0: never; counts bytes received since start
  int powerCutAtDownloadByte = 0;    // once: the Nth byte the boot loader receives after it started
  int powerCutAtFlashByte = 0;       // once: the Nth byte the flash programmer receives
  int programmerSilentAfter = 0;     // the programmer answers this many requests, then nothing
  std::vector<uint32_t> flashFailsAt;  // flash pages that fail every write
  // Flash bytes written wrong once, as a damaged packet that passed its CRC leaves them.
  std::vector<uint32_t> flashDamagedAt;
  int loseAckPercent = 0;            // acknowledgements of bulk data that never leave
  // Counted from the start of the scenario, each number once:
  std::vector<int> nackFileWrite;     // the Nth windowed file write is answered "4", not written
  std::vector<int> fileWriteFailure;  // the Nth windowed file write fails (result 5)
  std::vector<int> fileWriteDamaged;  // the Nth windowed file write stores its first byte altered
  std::vector<int> fileReadFailure;   // the Nth file read reports a flash read failure (count 255)
  std::vector<int> loseFileReply;     // the Nth windowed file reply (read data or write ack) is lost
  std::vector<int> loseReplies;       // the Nth reply of any kind never leaves
};

struct UnitSettings {
  StartMode start = StartMode::Application;
  LineFormat applicationFormat{115200, Parity::None};
  uint32_t bootLoaderBaud = 115200;
  bool bootLoaderInheritsSpeed = false;  // after GotoBootLoader: keep the application's speed if 9600/115200
  uint32_t ispBaud = 115200;
  uint32_t partId = 0x26013F37;
  uint8_t bootCodeMajor = 4;
  uint8_t bootCodeMinor = 1;
  bool vcom = false;
  bool cts = true;
  std::vector<uint16_t> debugLogIds;
  int advancedLength = 35;
  uint64_t replyDelayUs = 500;
  uint64_t readyDelayUs = 2000000;   // after the application starts, WaitForUnit says "not ready"
  uint64_t bootWindowUs = 500000;    // the boot loader listens this long after a restart
  uint64_t gotoBootWindowUs = 500000;  // ... and after GotoBootLoader
  uint64_t powerOffUs = 1000000;     // how long a power cycle keeps the unit off
  uint64_t relayTimeoutUs = 60000;
  uint64_t flashWriteUs = 1000;      // the programmer writing one packet into flash
  uint64_t flashEraseUs = 20000;     // ... erasing one sector
  uint32_t maxBaud = 921600;         // SetUnitBaudRate above this is acknowledged but not made
  uint32_t networkBaud = 115200;
  uint8_t proxyPort = 2;
  uint32_t proxyBaud = 115200;
  std::vector<PowerEvent> powerEvents;
  UnitFaults faults;
};

}  // namespace kl::sim
