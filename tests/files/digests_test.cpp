// The worked examples of the file digests and of storing an integer property.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/installation_fixture.h"
#include "transfer/aa_records.h"
#include "transfer/file_digests.h"

namespace kl {
namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t* At(const std::string& text) { return reinterpret_cast<const uint8_t*>(text.data()); }
uint32_t Length(const std::string& text) { return static_cast<uint32_t>(text.size()); }

struct DigestCase {
  std::string data;
  FileChecksumSet sums;
  uint32_t fletcher;  // 0: no example
  uint16_t crc;       // 0: no example
};

TEST(FileDigests, WorkedExamples) {
  const std::vector<DigestCase> cases = {
      {"", {0, 0, 0, 0}, 0xFFFFFFFF, 0},
      {"abc", {0x00636261, 0x00C6C4C2, 0, 0}, 0x25C5C462, 0},
      {"abcdefgh", {0x64636261, 0xC8C6C4C2, 0xD0CECCCA, 0x68676665}, 0, 0},
      {"123456789", {}, 0, 0x374B},
  };
  for (const DigestCase& c : cases) {
    SCOPED_TRACE(c.data);
    if (c.crc == 0) {
      FileChecksumSet sums;
      FileChecksums(At(c.data), Length(c.data), sums);
      EXPECT_EQ(sums, c.sums);
    } else {
      EXPECT_EQ(FileCrc(At(c.data), Length(c.data)), c.crc);
    }
    if (c.fletcher != 0) {
      EXPECT_EQ(FileFletcher(At(c.data), Length(c.data)), c.fletcher);
    }
  }
}

class Properties : public test::InstallationTest {};

TEST_F(Properties, PutUIntAAExamplesAndReadingThemBack) {
  struct Case {
    Bytes before;
    uint8_t tag;
    uint32_t value;
    Bytes after;
  };
  const std::vector<Case> cases = {
      {{}, 1, 0x374B, {0x01, 0x42, 0x37, 0x4B}},
      {{}, 1, 0x4B, {0x01, 0x31, 0x4B}},
      {{}, 1, 0, {}},
      {{}, 2, 0x12345678, {0x02, 0x54, 0x12, 0x34, 0x56, 0x78}},
      // Replaced in place, inserted in tag order, removed; the same record again changes nothing.
      {{0x01, 0x31, 0x4B, 0x05, 0x10}, 1, 0x374B, {0x01, 0x42, 0x37, 0x4B, 0x05, 0x10}},
      {{0x01, 0x10, 0x07, 0x10}, 3, 9, {0x01, 0x10, 0x03, 0x31, 0x09, 0x07, 0x10}},
      {{0x01, 0x31, 0x4B, 0x05, 0x10}, 1, 0, {0x05, 0x10}},
      {{0x01, 0x31, 0x4B}, 1, 0x4B, {0x01, 0x31, 0x4B}},
      // A record running past the end is dropped before a new one is appended.
      {{0x01, 0x10, 0x04, 0x45, 0x01}, 9, 1, {0x01, 0x10, 0x09, 0x31, 0x01}},
  };
  for (const Case& c : cases) {
    DynamicString list = s().text(std::string(c.before.begin(), c.before.end()));
    PutUIntAA(list, c.tag, c.value);
    const std::string_view got = list.view();
    EXPECT_EQ(Bytes(got.begin(), got.end()), c.after);
    EXPECT_EQ(GetLargeIntAA(s(), got, c.tag), c.value);
    EXPECT_EQ(AaListFault(got), "");
  }
}

TEST_F(Properties, GetLargeIntAAByType) {
  const auto read = [&](Bytes list, uint8_t tag) {
    return GetLargeIntAA(s(), std::string_view(reinterpret_cast<const char*>(list.data()), list.size()), tag);
  };
  EXPECT_EQ(read({0x02, 0x10}, 1), 0u);             // no tag 1
  EXPECT_EQ(read({0x01, 0x10}, 1), 1u);             // boolean true
  EXPECT_EQ(read({0x01, 0x61, 0xFE}, 1), 0xFEu);    // signed 8-bit, not sign-extended
  EXPECT_EQ(read({0x01, 0x84, 0xFF, 0xFF, 0xFF, 0xFE}, 1), 0xFFFFFFFEu);
  EXPECT_EQ(read({0x01, 0x94, 0x42, 0xF6, 0xE6, 0x66}, 1), 123u);  // 123.45f
  EXPECT_EQ(read({0x01, 0x94, 0x7F, 0xC0, 0x00, 0x00}, 1), 0u);    // NaN
  EXPECT_EQ(read({0x01, 0xC6, ' ', '0', 'x', '3', '7', 'g'}, 1), 0x37u);
  EXPECT_EQ(read({0x01, 0xE0, 0x0A, '$', '1', '2', '3', '4', '5', '6', '7', '8', '9'}, 1), 0x12345678u);
  EXPECT_TRUE(console().empty());
  EXPECT_EQ(read({0x01, 0xD2, 0x12, 0x34}, 1), 0u);
  EXPECT_EQ(consoleLines(), (std::vector<std::string>{"", " !!! GetLargeIntAA: Cannot read bytes as largeint"}));
}

}  // namespace
}  // namespace kl
