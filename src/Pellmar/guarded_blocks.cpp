#include "Pellmar/guarded_blocks.h"

#include <cstdlib>
#include <cstring>

namespace kl {
namespace {

constexpr uint32_t kUnderRunGuard = 0xFFFFFFFF;
constexpr unsigned char kOverRunGuard = 0xFF;

uint32_t magicOf(BlockKind kind) { return kind == BlockKind::Text ? kTextBlockMagic : kGeneralBlockMagic; }

// Header words are read and written byte-wise: the usable bytes need no alignment, so neither
// does the header in front of them.
uint32_t readWord(const char* at) {
  uint32_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

void writeWord(char* at, uint32_t word) { std::memcpy(at, &word, sizeof word); }

}  // namespace

char* AllocGuardedBlock(BlockKind kind, std::size_t n) {
  if (n > kMaxBlockBytes) return nullptr;
  const std::size_t total = n + kBlockOverhead;
  char* block = static_cast<char*>(std::calloc(1, total));
  if (block == nullptr) return nullptr;
  writeWord(block, magicOf(kind));
  writeWord(block + 4, static_cast<uint32_t>(total));
  writeWord(block + 8, kUnderRunGuard);
  char* bytes = block + kBlockHeaderSize;
  bytes[n] = static_cast<char>(kOverRunGuard);
  return bytes;
}

BlockCheck CheckGuardedBlock(BlockKind kind, const char* bytes, std::optional<std::size_t> expected) {
  const char* block = bytes - kBlockHeaderSize;
  if (readWord(block) != magicOf(kind)) return BlockCheck::WrongMagic;
  if (readWord(block + 8) != kUnderRunGuard) return BlockCheck::UnderRun;
  const uint32_t total = readWord(block + 4);
  if (total < kBlockOverhead) return BlockCheck::UnderRun;
  if (expected && total != *expected + kBlockOverhead) return BlockCheck::UnderRun;
  const std::size_t n = total - kBlockOverhead;
  if (static_cast<unsigned char>(bytes[n]) != kOverRunGuard) return BlockCheck::OverRun;
  return BlockCheck::Intact;
}

void FreeGuardedBlock(char* bytes) {
  char* block = bytes - kBlockHeaderSize;
  // A stale pointer that is used after this shows 0xFF text and fails the magic check.
  std::memset(block, 0xFF, readWord(block + 4));
  std::free(block);
}

void DiscardGuardedBlock(char* bytes) { std::free(bytes - kBlockHeaderSize); }

std::string_view BlockCheckMessage(BlockKind kind, BlockCheck check) {
  const bool text = kind == BlockKind::Text;
  switch (check) {
    case BlockCheck::Intact:
      return {};
    case BlockCheck::WrongMagic:
      return text ? "INVALID STRING HEAP POINTER" : "INVALID HEAP POINTER";
    case BlockCheck::UnderRun:
      return text ? "STRING HEAP WRITE OUT OF BOUNDS (UNDER)" : "HEAP WRITE OUT OF BOUNDS (UNDER)";
    case BlockCheck::OverRun:
      return text ? "STRING HEAP WRITE OUT OF BOUNDS (OVER)" : "HEAP WRITE OUT OF BOUNDS (OVER)";
  }
  return {};
}

}  // namespace kl
