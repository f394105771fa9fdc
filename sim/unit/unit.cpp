#include "sim/unit/unit.h"

#include <algorithm>

#include "sim/line/line_timing.h"
#include "sim/unit/application.h"
#include "sim/unit/blank_chip.h"
#include "sim/unit/boot_loader.h"
#include "sim/unit/flash_content.h"
#include "sim/unit/flash_programmer.h"
#include "sim/unit/programmer_table.h"
#include "sim/unit/update_files.h"

namespace kl::sim {

const char* unitModeName(UnitMode mode) {
  switch (mode) {
    case UnitMode::Off: return "off";
    case UnitMode::BootLoader: return "boot loader";
    case UnitMode::Application: return "application";
    case UnitMode::BlankChip: return "blank chip";
    case UnitMode::FlashProgrammer: return "flash programmer";
    case UnitMode::Halted: return "halted (RAM holds no programmer for this unit)";
  }
  return "?";
}

Unit::Unit(std::string name, UnitState state, UnitSettings settings, uint64_t seed)
    : name_(std::move(name)),
      state_(std::move(state)),
      settings_(std::move(settings)),
      random_(seed),
      hung_(settings_.faults.silentUntilPowerCycle),
      applicationFormat_(settings_.applicationFormat),
      bootLoaderBaud_(settings_.bootLoaderBaud) {
  for (uint32_t address : settings_.faults.flashFailsAt) state_.flash.failPageAt(address);
  for (uint32_t address : settings_.faults.flashDamagedAt) state_.flash.damageByteAt(address);
}

Unit::~Unit() = default;

void Unit::setFaults(const UnitFaults& faults) {
  // The pages named now are the ones that fail from now on.
  state_.flash.clearFailingPages();
  for (uint32_t address : faults.flashFailsAt) state_.flash.failPageAt(address);
  for (uint32_t address : faults.flashDamagedAt) state_.flash.damageByteAt(address);
  if (faults.silentUntilPowerCycle && !settings_.faults.silentUntilPowerCycle) hung_ = true;
  settings_.faults = faults;
  bytesReceived_ = bootLoaderBytes_ = programmerBytes_ = 0;
  downloadCutDone_ = flashCutDone_ = false;
}

UnitMode Unit::mode() const { return firmware_ ? firmware_->mode() : UnitMode::Off; }

uint8_t Unit::family() const { return cardFamily(state_.application.cardNumber); }

bool Unit::applicationReady() const {
  return mode() == UnitMode::Application && port_ && port_->scheduler().nowUs() >= readyAtUs_;
}

bool Unit::silenced() const {
  if (mode() == UnitMode::Application && hung_) return true;
  const int limit = settings_.faults.stopAnsweringAfterFrames;
  return limit > 0 && framesAnswered_ >= limit;
}

bool Unit::answering() const { return powered_ && mode() == UnitMode::Application && !silenced(); }

void Unit::attach(LinePort& port) {
  port_ = &port;
  readerStorage_ = std::make_unique<FrameReader>(port.scheduler(), [this](Frame&& frame) {
    if (firmware_ && firmware_->framed()) firmware_->onFrame(frame);
  });
  reader_ = readerStorage_.get();
  reader_->setLengthHint([this](std::span<const uint8_t> payload) -> std::optional<size_t> {
    if (!firmware_) return std::nullopt;
    return firmware_->requestLength(payload);
  });
  start();
  for (const PowerEvent& power : settings_.powerEvents) {
    scheduler().after(power.atUs, [this, on = power.on] {
      if (on) {
        powerOn();
      } else {
        powerOff();
      }
    });
  }
}

void Unit::start() {
  switch (settings_.start) {
    case StartMode::Application:
      powered_ = true;
      boot(false);
      if (mode() == UnitMode::BootLoader && state_.applicationPresent) {
        // Already past its boot loader when the scenario begins.
        enter(std::make_unique<Application>(*this));
        readyAtUs_ = 0;
      }
      break;
    case StartMode::BootLoader:
      powered_ = true;
      boot(false);
      heldInBootLoader_ = true;
      break;
    case StartMode::PowerOn:
      powerOn();
      break;
    case StartMode::Off:
      powered_ = false;
      port_->setCts(false);
      break;
  }
}

void Unit::boot(bool afterGotoBootLoader) {
  for (const std::string& line : applyUpdateFiles(state_, family())) note(line);
  refreshIdentity(state_);
  if (const auto& memory = state_.flash.memory()) ram_.reset(memory->programmerRam);
  blocks_ = BlockBuffer(std::max<size_t>(state_.bootLoader.bufferSize, 128));
  bootLoaderBytes_ = 0;
  if (state_.blank) {
    enter(std::make_unique<BlankChip>(*this));
    return;
  }
  heldInBootLoader_ = false;
  enter(std::make_unique<BootLoader>(*this));
  bootWindow(afterGotoBootLoader ? settings_.gotoBootWindowUs : settings_.bootWindowUs);
}

void Unit::enter(std::unique_ptr<Firmware> firmware) {
  ++epoch_;
  firmware_ = std::move(firmware);
  reader_->reset();
  const LineFormat format = firmware_->format();
  port_->setFormat(format);
  reader_->setFormat(format);
  port_->setCts(settings_.cts);
  note(unitModeName(firmware_->mode()));
}

void Unit::note(const std::string& text) {
  if (onEvent) onEvent(*this, text);
}

void Unit::formatChanged() {
  if (!firmware_) return;
  const LineFormat format = firmware_->format();
  port_->setFormat(format);
  reader_->setFormat(format);
  note(std::string(unitModeName(firmware_->mode())) + " speed " + std::to_string(format.baud));
}

void Unit::powerOff() {
  if (!powered_ || !port_) return;
  powered_ = false;
  ++epoch_;
  firmware_.reset();
  reader_->reset();
  for (auto& relay : network_) relay->cancel();
  if (proxy_) proxy_->cancel();
  port_->setCts(false);
  note("power off");
}

void Unit::powerOn() {
  if (powered_ || !port_) return;
  powered_ = true;
  hung_ = false;
  framesAnswered_ = 0;
  note("power on");
  applicationFormat_ = settings_.applicationFormat;
  bootLoaderBaud_ = settings_.bootLoaderBaud;
  boot(false);
}

void Unit::powerCycle() {
  powerOff();
  scheduler().after(settings_.powerOffUs, [this] { powerOn(); });
}

void Unit::restart(bool afterGotoBootLoader) {
  if (!powered_) return;
  for (auto& relay : network_) relay->cancel();
  if (proxy_) proxy_->cancel();
  const uint32_t speed = applicationFormat_.baud;
  bootLoaderBaud_ = settings_.bootLoaderBaud;
  if (afterGotoBootLoader && settings_.bootLoaderInheritsSpeed && (speed == 9600 || speed == 115200)) {
    bootLoaderBaud_ = speed;
  }
  applicationFormat_ = settings_.applicationFormat;
  boot(afterGotoBootLoader);
}

void Unit::restartSystem() {
  restart(false);
  for (auto& relay : network_) relay->remote().restart(false);
}

void Unit::runRamProgram(uint32_t entry) {
  const auto& memory = state_.flash.memory();
  const auto identity =
      memory ? wire::DecodeIdentity(ram_.read(memory->programmerRam.first, wire::kIdentityBlockSize)) : std::nullopt;
  const ProgrammerHost host{state_.application.mcuType, family(), state_.bootLoader.generation, bufferSize()};
  if (identity && ram_.range().contains(entry) && programmerFits(*identity, host)) {
    programmerBytes_ = 0;
    enter(std::make_unique<FlashProgrammer>(*this, *identity));
  } else {
    enter(std::make_unique<Halted>(*this));
  }
}

void Unit::bootWindow(uint64_t windowUs) {
  const uint64_t epoch = epoch_;
  scheduler().after(windowUs, [this, epoch] {
    if (epoch != epoch_ || heldInBootLoader_) return;
    if (state_.applicationPresent) startApplication();
  });
}

void Unit::startApplication() {
  enter(std::make_unique<Application>(*this));
  readyAtUs_ = scheduler().nowUs() + settings_.readyDelayUs;
}

void Unit::receive(uint8_t byte, bool damaged) {
  if (!powered_ || !firmware_) return;
  ++bytesReceived_;
  const UnitFaults& faults = settings_.faults;
  bool cut = faults.powerCutAtByte > 0 && bytesReceived_ == faults.powerCutAtByte;
  if (mode() == UnitMode::BootLoader && ++bootLoaderBytes_ == faults.powerCutAtDownloadByte && !downloadCutDone_) {
    downloadCutDone_ = cut = true;
  }
  if (mode() == UnitMode::FlashProgrammer && ++programmerBytes_ == faults.powerCutAtFlashByte && !flashCutDone_) {
    flashCutDone_ = cut = true;
  }
  if (cut) {
    note("power cut at a received byte");
    powerCycle();
    return;
  }
  if (firmware_->framed()) {
    reader_->push(byte, damaged);
  } else if (!damaged) {
    firmware_->onByte(byte);
  }
}

void Unit::reply(const Frame& request, const std::vector<uint8_t>& payload, std::function<void()> afterSent,
                 uint64_t workUs) {
  transmit(encodeFrame(payload, request.lengthFramed), std::move(afterSent), workUs);
}

void Unit::acknowledge(const Frame& request, const std::vector<uint8_t>& payload, uint64_t workUs) {
  const int percent = settings_.faults.loseAckPercent;
  if (percent > 0 && static_cast<int>(random_() % 100) < percent) return;
  reply(request, payload, {}, workUs);
}

void Unit::transmit(std::vector<uint8_t> bytes, std::function<void()> afterSent, uint64_t workUs) {
  if (!powered_) return;
  ++framesAnswered_;
  const uint64_t epoch = epoch_;
  const uint64_t delay = settings_.replyDelayUs + settings_.faults.extraReplyDelayUs + workUs;
  scheduler().after(delay, [this, epoch, bytes = std::move(bytes), afterSent = std::move(afterSent)]() mutable {
    if (epoch != epoch_) return;
    const auto& faults = settings_.faults;
    const bool counted =
        std::find(faults.loseReplies.begin(), faults.loseReplies.end(), ++repliesSent_) != faults.loseReplies.end();
    const bool lost =
        counted || (faults.loseReplyPercent > 0 && static_cast<int>(random_() % 100) < faults.loseReplyPercent);
    if (!lost) {
      if (faults.strayBytePercent > 0 && static_cast<int>(random_() % 100) < faults.strayBytePercent) {
        bytes.insert(bytes.begin(), static_cast<uint8_t>(random_()));
      }
      port_->send(bytes.data(), bytes.size());
    }
    whenSent(epoch, std::move(afterSent));
  });
}

void Unit::sendNow(const std::vector<uint8_t>& bytes) {
  if (port_ && powered_) port_->send(bytes.data(), bytes.size());
}

void Unit::whenSent(uint64_t epoch, std::function<void()> action) {
  if (!action || epoch != epoch_) return;
  if (port_->sending()) {
    scheduler().after(byteTimeUs(port_->format()), [this, epoch, action = std::move(action)]() mutable {
      whenSent(epoch, std::move(action));
    });
    return;
  }
  action();
}

void Unit::setApplicationFormat(const LineFormat& format) {
  applicationFormat_ = format;
  if (mode() != UnitMode::Application) return;
  port_->setFormat(format);
  reader_->setFormat(format);
  note("application speed " + std::to_string(format.baud));
}

void Unit::addNetworkUnit(Unit& remote, Scheduler& scheduler) {
  network_.push_back(std::make_unique<Relay>(scheduler, remote, LineFormat{settings_.networkBaud, Parity::None},
                                             random_()));
}

void Unit::setProxyUnit(Unit& remote, Scheduler& scheduler) {
  proxy_ = std::make_unique<Relay>(scheduler, remote, LineFormat{settings_.proxyBaud, Parity::None}, random_());
}

}  // namespace kl::sim
