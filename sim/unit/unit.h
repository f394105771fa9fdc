// A simulated unit at the far end of a line: power, the firmware running now, its memory
// (MCU flash, RAM, the identity it reports from them), and the units it reaches on its
// network or behind its proxy port.
#pragma once

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "sim/line_device.h"
#include "sim/storage/ram.h"
#include "sim/unit/firmware.h"
#include "sim/unit/frame_reader.h"
#include "sim/unit/relay.h"
#include "sim/unit/unit_state.h"

namespace kl::sim {

class Unit : public LineDevice {
 public:
  Unit(std::string name, UnitState state, UnitSettings settings, uint64_t seed = 1);
  ~Unit() override;
  Unit(const Unit&) = delete;
  Unit& operator=(const Unit&) = delete;

  // Attaching starts the unit as its settings say (running, in its boot loader, off, ...).
  void attach(LinePort& port) override;
  void receive(uint8_t byte, bool damaged) override;

  const std::string& name() const { return name_; }
  UnitMode mode() const;
  UnitState& state() { return state_; }
  const UnitState& state() const { return state_; }
  const UnitSettings& settings() const { return settings_; }
  // The unit family of its card.
  uint8_t family() const;
  bool powered() const { return powered_; }
  // The application has finished starting up (WaitForUnit answers "ready").
  bool applicationReady() const;
  // The application runs and answers (a hung one does not).
  bool answering() const;
  LinePort* port() { return port_; }
  Scheduler& scheduler() { return port_->scheduler(); }
  std::mt19937_64& random() { return random_; }

  // New faults while the unit runs: counts of received bytes for the power cuts start again
  // from now, new failing flash pages fail from now on.
  void setFaults(const UnitFaults& faults);

  // The operator's hand on the power switch.
  void powerOff();
  void powerOn();
  void powerCycle();

  // Units reached through this one. Call before attaching this unit; the remote units are
  // attached to their own lines here.
  void addNetworkUnit(Unit& remote, Scheduler& scheduler);
  void setProxyUnit(Unit& remote, Scheduler& scheduler);
  std::vector<std::unique_ptr<Relay>>& network() { return network_; }
  Relay* proxy() { return proxy_.get(); }

  // Every change of power or firmware, for the trace ("application", "boot loader", ...).
  std::function<void(const Unit&, const std::string&)> onEvent;
  // Every request a flash programmer takes, before it is answered (or not, by the faults):
  // lets a campaign find where each packet of a clean run falls, and fault one of them.
  std::function<void(const Frame&)> onProgrammerRequest;
  // Bytes received since the start or since the last setFaults (the power-cut count).
  int bytesReceived() const { return bytesReceived_; }

  // ---- used by the firmware models ----
  // Answers `request` with `payload`, framed the way the request was, after the processing
  // delay (plus `workUs` the firmware spends on it) and subject to the unit's faults;
  // `afterSent` runs once the reply has left.
  void reply(const Frame& request, const std::vector<uint8_t>& payload, std::function<void()> afterSent = {},
             uint64_t workUs = 0);
  // The same for the acknowledgement of bulk data, which the lost-acknowledgement fault drops.
  void acknowledge(const Frame& request, const std::vector<uint8_t>& payload, uint64_t workUs = 0);
  // Sends ready-made bytes the same way.
  void transmit(std::vector<uint8_t> bytes, std::function<void()> afterSent = {}, uint64_t workUs = 0);
  // Sends bytes at once, with no delay or faults (the chip's own boot protocol).
  void sendNow(const std::vector<uint8_t>& bytes);
  // Restarts into the boot loader, which hands back to the application after its window
  // unless it is spoken to at its speed. After GotoBootLoader the window has its own length
  // and the boot loader may keep the application's speed. Runs from the scheduler, never
  // inside a firmware call.
  void restart(bool afterGotoBootLoader);
  void restartSystem();
  // Jumps to a program downloaded into RAM: a flash programmer that fits this unit starts at
  // 115200 baud; anything else leaves the unit silent until its power is cycled.
  void runRamProgram(uint32_t entry);
  // Switches the application's port speed once the current output has left.
  void setApplicationFormat(const LineFormat& format);
  LineFormat applicationFormat() const { return applicationFormat_; }
  uint32_t bootLoaderBaud() const { return bootLoaderBaud_; }
  // The running firmware changed its own speed: the port follows.
  void formatChanged();
  // A line for the trace (onEvent).
  void note(const std::string& text);
  // A boot loader that has been spoken to during its window stays.
  void holdInBootLoader() { heldInBootLoader_ = true; }
  // The unit ignores everything (hung application, or the "stops answering" fault).
  bool silenced() const;
  // Counts of windowed file messages since the scenario began, for the file faults.
  struct FileCounts {
    int writes = 0;
    int reads = 0;
    int replies = 0;
  };
  FileCounts& fileCounts() { return fileCounts_; }
  ProgrammerRam& ram() { return ram_; }
  BlockBuffer& blocks() { return blocks_; }
  // The receive buffer of the boot loader and of a large-buffer programmer, in bytes.
  uint16_t bufferSize() const { return state_.bootLoader.bufferSize; }

 private:
  void start();
  void boot(bool afterGotoBootLoader);
  void enter(std::unique_ptr<Firmware> firmware);
  void bootWindow(uint64_t windowUs);
  void startApplication();
  void whenSent(uint64_t epoch, std::function<void()> action);
  void countReceived();

  std::string name_;
  UnitState state_;
  UnitSettings settings_;
  std::mt19937_64 random_;
  LinePort* port_ = nullptr;
  std::unique_ptr<Firmware> firmware_;
  FrameReader* reader_ = nullptr;
  std::unique_ptr<FrameReader> readerStorage_;
  bool powered_ = false;
  bool hung_ = false;
  bool heldInBootLoader_ = false;
  int framesAnswered_ = 0;
  int repliesSent_ = 0;  // since the scenario began, whatever restarts came between
  int bytesReceived_ = 0;
  int bootLoaderBytes_ = 0;   // received since the boot loader last started
  int programmerBytes_ = 0;   // received since the programmer was started
  bool downloadCutDone_ = false;
  bool flashCutDone_ = false;
  uint64_t epoch_ = 0;
  uint64_t readyAtUs_ = 0;
  LineFormat applicationFormat_;
  uint32_t bootLoaderBaud_ = 115200;
  ProgrammerRam ram_;
  BlockBuffer blocks_;
  FileCounts fileCounts_;
  std::vector<std::unique_ptr<Relay>> network_;
  std::unique_ptr<Relay> proxy_;
};

}  // namespace kl::sim
