// Guarded heap blocks: every block the runtime hands out carries a header and guards so that a
// write before or past its bytes is caught when the block is freed.
//
// Layout of a block of n bytes (n + 16 bytes taken from the allocator, zero-filled):
//   magic (32-bit) | total size n + 16 (32-bit) | under-run guard 0xFFFFFFFF | n bytes |
//   over-run guard byte 0xFF | 3 bytes slack
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kl {

enum class BlockKind : uint8_t { Text, General };

inline constexpr uint32_t kTextBlockMagic = 0x1F2F3F4F;
inline constexpr uint32_t kGeneralBlockMagic = 0xF1F2F3F4;
inline constexpr std::size_t kBlockHeaderSize = 12;
inline constexpr std::size_t kBlockOverhead = 16;
// Larger requests are refused so that the total size always fits its 32-bit header word.
inline constexpr std::size_t kMaxBlockBytes = 0x7FFFFF00;

enum class BlockCheck : uint8_t { Intact, WrongMagic, UnderRun, OverRun };

// The n usable bytes of a new block (zero-filled), or nullptr when the allocator has no memory.
char* AllocGuardedBlock(BlockKind kind, std::size_t n);

// Checks the header and guards of the block whose usable bytes start at `bytes`. When the
// holder knows how many bytes it asked for, `expected` lets a damaged size word count as an
// under-run instead of sending the over-run check to a wrong place.
BlockCheck CheckGuardedBlock(BlockKind kind, const char* bytes,
                             std::optional<std::size_t> expected = std::nullopt);

// Fills an intact block with 0xFF and returns it to the allocator. Only for blocks that
// CheckGuardedBlock found intact.
void FreeGuardedBlock(char* bytes);

// Returns a block to the allocator without looking at it (heap teardown).
void DiscardGuardedBlock(char* bytes);

// The report for a failed check: "INVALID STRING HEAP POINTER", "HEAP WRITE OUT OF BOUNDS
// (OVER)", ...; empty for an intact block.
std::string_view BlockCheckMessage(BlockKind kind, BlockCheck check);

}  // namespace kl
