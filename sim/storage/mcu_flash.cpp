#include "sim/storage/mcu_flash.h"

#include <algorithm>

#include "wire/unit_codes.h"

namespace kl::sim {

namespace {

// Sector sizes by offset within a bank, as the chips are built: runs of (count, size).
struct SectorRun {
  uint32_t count;
  uint32_t size;
};

std::vector<SectorRun> sectorRuns(uint8_t mcuType) {
  switch (mcuType) {
    case wire::mcu::LPC2478: return {{8, 0x1000}, {14, 0x8000}, {6, 0x1000}};
    case wire::mcu::LPC4078:
    case wire::mcu::LPC1768: return {{16, 0x1000}, {14, 0x8000}};
    case wire::mcu::LPC4337:
    case wire::mcu::LPC4357: return {{8, 0x2000}, {7, 0x10000}};
    default: return {{1u << 12, 0x1000}};
  }
}

// Bytes one flash write programs at a time.
uint32_t pageSize(uint8_t mcuType) {
  return mcuType == wire::mcu::LPC4337 || mcuType == wire::mcu::LPC4357 ? 512 : 256;
}

}  // namespace

McuFlash::McuFlash(uint8_t mcuType) : memory_(McuMapOf(mcuType)) {
  if (!memory_) return;
  for (int i = 0; i < 2; ++i) banks_[i].assign(memory_->flashBanks[static_cast<size_t>(i)].size, 0xFF);
}

uint8_t* McuFlash::locate(uint32_t address) {
  return const_cast<uint8_t*>(static_cast<const McuFlash*>(this)->locate(address));
}

const uint8_t* McuFlash::locate(uint32_t address) const {
  if (!memory_) return nullptr;
  for (size_t i = 0; i < 2; ++i) {
    const MemoryRange& bank = memory_->flashBanks[i];
    if (bank.contains(address)) return banks_[i].data() + (address - bank.first);
  }
  return nullptr;
}

bool McuFlash::contains(uint32_t address, size_t count) const {
  if (!memory_ || count == 0) return false;
  for (const MemoryRange& bank : memory_->flashBanks) {
    if (bank.contains(address) && count <= bank.size - (address - bank.first)) return true;
  }
  return false;
}

uint8_t McuFlash::at(uint32_t address) const {
  const uint8_t* p = locate(address);
  return p ? *p : 0xFF;
}

std::vector<uint8_t> McuFlash::read(uint32_t address, size_t count) const {
  std::vector<uint8_t> out(count);
  for (size_t i = 0; i < count; ++i) out[i] = at(address + static_cast<uint32_t>(i));
  return out;
}

bool McuFlash::programmable(uint32_t address, std::span<const uint8_t> bytes) const {
  if (!contains(address, bytes.size())) return false;
  const uint8_t* p = locate(address);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if ((p[i] & bytes[i]) != bytes[i]) return false;
  }
  return true;
}

uint32_t McuFlash::pageStart(uint32_t address) const {
  const uint32_t size = pageSize(memory_ ? memory_->mcuType : 0);
  return address - address % size;
}

bool McuFlash::pageFails(uint32_t address, size_t count) const {
  for (uint32_t page : failingPages_) {
    const uint32_t size = pageSize(memory_ ? memory_->mcuType : 0);
    if (address < page + size && page < address + count) return true;
  }
  return false;
}

FlashResult McuFlash::write(uint32_t address, std::span<const uint8_t> bytes) {
  if (!contains(address, bytes.size())) return FlashResult::OutsideFlash;
  if (pageFails(address, bytes.size())) return FlashResult::WriteFailed;
  if (!programmable(address, bytes)) return FlashResult::NotErased;
  uint8_t* p = locate(address);
  for (size_t i = 0; i < bytes.size(); ++i) p[i] &= bytes[i];
  for (auto it = damagedBytes_.begin(); it != damagedBytes_.end();) {
    if (*it >= address && *it - address < bytes.size()) {
      const size_t at = *it - address;
      p[at] = static_cast<uint8_t>(bytes[at] ^ 0x01);  // not the byte that was sent
      it = damagedBytes_.erase(it);
    } else {
      ++it;
    }
  }
  return FlashResult::Ok;
}

void McuFlash::overwrite(uint32_t address, std::span<const uint8_t> bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (uint8_t* p = locate(address + static_cast<uint32_t>(i))) *p = bytes[i];
  }
}

MemoryRange McuFlash::sectorOf(uint32_t address) const {
  if (!memory_) return {};
  for (const MemoryRange& bank : memory_->flashBanks) {
    if (!bank.contains(address)) continue;
    uint32_t start = bank.first;
    for (const SectorRun& run : sectorRuns(memory_->mcuType)) {
      for (uint32_t i = 0; i < run.count && start - bank.first < bank.size; ++i, start += run.size) {
        if (address - start < run.size) return {start, std::min(run.size, bank.first + bank.size - start)};
      }
    }
  }
  return {};
}

int McuFlash::eraseRange(uint32_t first, uint32_t last) {
  if (!memory_ || last < first) return 0;
  int sectors = 0;
  for (size_t i = 0; i < 2; ++i) {
    const MemoryRange& bank = memory_->flashBanks[i];
    if (bank.size == 0 || last < bank.first || first > bank.last()) continue;
    uint32_t address = std::max(first, bank.first);
    const uint32_t end = std::min(last, bank.last());
    while (true) {
      const MemoryRange sector = sectorOf(address);
      std::fill_n(banks_[i].begin() + (sector.first - bank.first), sector.size, uint8_t{0xFF});
      ++sectors;
      if (sector.last() >= end) break;
      address = sector.last() + 1;
    }
  }
  return sectors;
}

std::vector<uint8_t> McuFlash::image() const {
  std::vector<uint8_t> out(banks_[0]);
  out.insert(out.end(), banks_[1].begin(), banks_[1].end());
  return out;
}

}  // namespace kl::sim
