// Remote file access to the flash drives, by the application and by a running programmer:
// hand-built requests (plain calls, windowed messages 0x47 and 0x48), replies byte for byte,
// the unit's digests against known values, and the file faults.
#include <string>

#include "sim_fixture.h"
#include "sim/storage/file_digests.h"
#include "wire/image_identity.h"

namespace kl::sim::testing {
namespace {

constexpr const char* kDisplay = R"(
[unit za4]
card = 653
version = 6.10
serial = 1234
modbus-address = 5
network = scale
file 1:0x0131 = text "line one\nline two\n"
file 1:0x0200 = text "abcdefgh"
file 1:0x01E0 = random 300 crc
[unit scale]
card = 659
version = 6.10
modbus-address = 7
)";

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// address 5, 0x45, command, drive, file
Bytes fileCall(uint8_t address, uint16_t command, uint8_t drive, uint16_t file, const Bytes& rest = {}) {
  Bytes b{address, 0x45};
  put16(b, command);
  b.push_back(drive);
  put16(b, file);
  return cat(b, rest);
}
Bytes offsetCount(uint32_t offset, uint8_t count) {
  Bytes b;
  put32(b, offset);
  b.push_back(count);
  return b;
}
// Windowed messages: address, function, sub-code(s), drive, file, offset, count, data.
Bytes windowed(Bytes head, uint8_t drive, uint16_t file, uint32_t offset, uint8_t count, const Bytes& data = {}) {
  head.push_back(drive);
  put16(head, file);
  return cat(cat(head, offsetCount(offset, count)), data);
}
Bytes ack(uint8_t address, char status, uint8_t drive, uint16_t file, uint32_t offset, uint8_t result) {
  Bytes b{address, 0x47, static_cast<uint8_t>(status), drive};
  put16(b, file);
  put32(b, offset);
  b.push_back(0);
  b.push_back(result);
  return b;
}

struct Step {
  const char* what;
  Bytes request;
  Bytes reply;  // payload; empty: nothing
  bool framed = false;
};

class FileAccessTest : public SimUnitTest {
 protected:
  void run(const std::vector<Step>& steps) {
    for (const Step& s : steps) {
      const Bytes expected = s.reply.empty() ? Bytes{} : s.framed ? lengthFramed(s.reply) : withCrc(s.reply);
      EXPECT_EQ(request(s.request, 60, s.framed), expected) << s.what;
    }
  }
  Bytes file(uint16_t number, uint8_t drive = 1) {
    const DriveFile* f = unit().state().drives.find(drive, number);
    return f ? f->bytes : Bytes{};
  }
};

TEST(FileDigests, KnownValues) {
  struct Row {
    std::string data;
    std::array<uint32_t, 4> checksums;
    uint32_t fletcher;
  };
  for (const Row& r : {Row{"", {0, 0, 0, 0}, 0xFFFFFFFF}, Row{"abc", {0x00636261, 0x00C6C4C2, 0, 0}, 0x25C5C462},
                       Row{"abcdefgh", {0x64636261, 0xC8C6C4C2, 0xD0CECCCA, 0x68676665}, 0}}) {
    const Bytes data = text(r.data);
    EXPECT_EQ(fileChecksums(data), r.checksums) << r.data;
    if (r.fletcher != 0) {
      EXPECT_EQ(fletcher32(data), r.fletcher) << r.data;
    }
  }
  EXPECT_EQ(fileCrc(text("123456789")), 0x374B);
}

TEST_F(FileAccessTest, PlainFileCalls) {
  load(kDisplay, 115200);
  const Bytes log = text("line one\nline two\n");
  run({
      {"OpenFile", fileCall(5, 0x1026, 1, 0x0131), fileCall(5, 0x1026, 1, 0x0131, {0})},
      {"ReadFileBlock", fileCall(5, 0x1027, 1, 0x0131, offsetCount(0, 128)),
       cat(fileCall(5, 0x1027, 1, 0x0131, offsetCount(0, static_cast<uint8_t>(log.size()))), log)},
      {"ReadFileBlock part", fileCall(5, 0x1027, 1, 0x0131, offsetCount(5, 3)),
       cat(fileCall(5, 0x1027, 1, 0x0131, offsetCount(5, 3)), text("one"))},
      {"ReadFileBlock at the end", fileCall(5, 0x1027, 1, 0x0131, offsetCount(18, 128)),
       fileCall(5, 0x1027, 1, 0x0131, offsetCount(18, 0))},
      {"CloseFile", fileCall(5, 0x102C, 1, 0x0131), fileCall(5, 0x102C, 1, 0x0131, {0})},
      {"CloseFile not open", fileCall(5, 0x102C, 1, 0x0131), fileCall(5, 0x102C, 1, 0x0131, {3})},
      {"OpenFile of a missing file", fileCall(5, 0x1026, 1, 0x0999), fileCall(5, 0x1026, 1, 0x0999, {1})},
      {"OpenFile on a missing drive", fileCall(5, 0x1026, 7, 0x0131), fileCall(5, 0x1026, 7, 0x0131, {2})},
      {"GetFileAttributes", fileCall(5, 0x102F, 1, 0x0200, {0, 0, 0, 8}),
       fileCall(5, 0x102F, 1, 0x0200,
                {0, 0, 0, 0, 8, 0x64, 0x63, 0x62, 0x61, 0xC8, 0xC6, 0xC4, 0xC2, 0xD0, 0xCE, 0xCC, 0xCA, 0x68, 0x67,
                 0x66, 0x65, 0})},
      {"SetFileProperties", fileCall(5, 0x102B, 1, 0x0200, {4, 0x01, 0x42, 0x37, 0x4B}),
       fileCall(5, 0x102B, 1, 0x0200, {0})},
      {"SetFileProperties merges by tag", fileCall(5, 0x102B, 1, 0x0200, {3, 0x03, 0x31, 0x09}),
       fileCall(5, 0x102B, 1, 0x0200, {0})},
      {"properties in the attributes", fileCall(5, 0x102F, 1, 0x0200, {0, 0, 0, 8}),
       fileCall(5, 0x102F, 1, 0x0200,
                {0, 0, 0, 0, 8, 0x64, 0x63, 0x62, 0x61, 0xC8, 0xC6, 0xC4, 0xC2, 0xD0, 0xCE, 0xCC, 0xCA, 0x68, 0x67,
                 0x66, 0x65, 7, 0x01, 0x42, 0x37, 0x4B, 0x03, 0x31, 0x09})},
      {"a type 0 record removes its tag", fileCall(5, 0x102B, 1, 0x0200, {2, 0x01, 0x00}),
       fileCall(5, 0x102B, 1, 0x0200, {0})},
      {"malformed properties", fileCall(5, 0x102B, 1, 0x0200, {4, 0x05, 0x30, 0x04, 0x30}),
       fileCall(5, 0x102B, 1, 0x0200, {6})},
      {"GetFileAttributes of a missing file", fileCall(5, 0x102F, 1, 0x0999, {0, 0, 0, 8}),
       cat(fileCall(5, 0x102F, 1, 0x0999, {1}), Bytes(21, 0))},
      {"CreateFile", fileCall(5, 0x1029, 1, 0x0300), fileCall(5, 0x1029, 1, 0x0300, {0})},
      {"CreateFile on a missing drive", fileCall(5, 0x1029, 0x42, 0x0300), fileCall(5, 0x1029, 0x42, 0x0300, {2})},
  });
  EXPECT_EQ(unit().state().drives.find(1, 0x0200)->properties, (Bytes{0x03, 0x31, 0x09}));
  EXPECT_TRUE(unit().state().drives.find(1, 0x0300) != nullptr);
}

TEST_F(FileAccessTest, WindowedReadsAndWrites) {
  load(kDisplay, 115200);
  const Bytes random = file(0x01E0);
  ASSERT_EQ(random.size(), 300u);
  auto slice = [&](size_t from, size_t n) { return Bytes(random.begin() + static_cast<long>(from), random.begin() + static_cast<long>(from + n)); };
  const Bytes data = cat(slice(0, 128), slice(0, 128));
  run({
      {"read in the 0x48 form of software above 6.03", windowed({5, 0x47, '0'}, 1, 0x01E0, 128, 128),
       cat(windowed({5, 0x48, 0x04, '1'}, 1, 0x01E0, 128, 128), slice(128, 128)), true},
      {"the last block", windowed({5, 0x47, '0'}, 1, 0x01E0, 256, 128),
       cat(windowed({5, 0x48, 0x04, '1'}, 1, 0x01E0, 256, 44), slice(256, 44)), true},
      {"past the end", windowed({5, 0x47, '0'}, 1, 0x01E0, 384, 128), windowed({5, 0x48, 0x04, '1'}, 1, 0x01E0, 384, 0),
       true},
      {"CreateFile", fileCall(5, 0x1029, 1, 0x0400), fileCall(5, 0x1029, 1, 0x0400, {0})},
      {"write", windowed({5, 0x47, '2'}, 1, 0x0400, 0, 128, slice(0, 128)), ack(5, '3', 1, 0x0400, 0, 0), true},
      {"write after a missing block", windowed({5, 0x47, '2'}, 1, 0x0400, 256, 10, slice(0, 10)),
       ack(5, '4', 1, 0x0400, 128, 0), true},
      {"extended write", windowed({5, 0x48, 0x04, '2'}, 1, 0x0400, 128, 128, slice(0, 128)),
       ack(5, '3', 1, 0x0400, 128, 0), true},
      {"a block sent again: cumulative", windowed({5, 0x47, '2'}, 1, 0x0400, 0, 128, slice(0, 128)),
       ack(5, '3', 1, 0x0400, 128, 0), true},
      {"write to another file", windowed({5, 0x47, '2'}, 1, 0x0131, 0, 1, {0}), ack(5, '3', 1, 0x0131, 0, 3), true},
      {"CloseFile", fileCall(5, 0x102C, 1, 0x0400), fileCall(5, 0x102C, 1, 0x0400, {0})},
  });
  EXPECT_EQ(file(0x0400), data);

  // Eight blocks back to back to a unit on the display's network: eight acknowledgements, also
  // from a network so slow that the last blocks wait for it longer than the relay's time-out.
  for (const std::string network : {"", "network-baud = 19200\n"}) {
    load(std::string(kDisplay).insert(std::string(kDisplay).find("network"), network), 115200);
    request(fileCall(7, 0x1029, 1, 0x0500));
    Bytes burst, acks;
    for (uint32_t i = 0; i < 8; ++i) {
      burst =
          cat(burst, lengthFramed(windowed({7, 0x47, '2'}, 1, 0x0500, i * 16, 16, Bytes(16, static_cast<uint8_t>(i)))));
      acks = cat(acks, lengthFramed(ack(7, '3', 1, 0x0500, i * 16, 0)));
    }
    EXPECT_EQ(sendRaw(burst, 200), acks) << network;
    EXPECT_EQ(unit("scale").state().drives.find(1, 0x0500)->bytes.size(), 128u);
  }

  // Software 6.03 knows only the 0x47 forms.
  load(std::string(kDisplay).replace(std::string(kDisplay).find("6.10"), 4, "6.03"), 115200);
  run({
      {"read in the 0x47 form", windowed({5, 0x47, '0'}, 1, 0x0200, 0, 128),
       cat(windowed({5, 0x47, '1'}, 1, 0x0200, 0, 8), text("abcdefgh")), true},
      {"CreateFile", fileCall(5, 0x1029, 1, 0x0400), fileCall(5, 0x1029, 1, 0x0400, {0})},
      {"no extended write", windowed({5, 0x48, 0x04, '2'}, 1, 0x0400, 0, 1, {9}), {}, true},
  });
}

TEST_F(FileAccessTest, FileFaults) {
  struct Row {
    const char* fault;
    Bytes firstReply;   // to the first windowed write, or the first read
    bool write;
  };
  const Bytes block(16, 0x33);
  for (const Row& r :
       {Row{"fault-nack-file-write = 1", ack(5, '4', 1, 0x0400, 0, 0), true},
        Row{"fault-file-write-failure = 1", ack(5, '3', 1, 0x0400, 0, 5), true},
        Row{"fault-lose-file-reply = 1", {}, true},
        Row{"fault-file-read-failure = 1", fileCall(5, 0x1027, 1, 0x0200, offsetCount(0, 255)), false}}) {
    load(std::string(kDisplay).insert(std::string(kDisplay).find("network"), std::string(r.fault) + "\n"), 115200);
    if (r.write) {
      request(fileCall(5, 0x1029, 1, 0x0400));
      const Bytes first = request(windowed({5, 0x47, '2'}, 1, 0x0400, 0, 16, block), 60, true);
      EXPECT_EQ(first, r.firstReply.empty() ? Bytes{} : lengthFramed(r.firstReply)) << r.fault;
      // The next one is served normally (a block sent again after a lost acknowledgement too).
      const Bytes second = request(windowed({5, 0x47, '2'}, 1, 0x0400, 0, 16, block), 60, true);
      EXPECT_EQ(second, lengthFramed(ack(5, '3', 1, 0x0400, 0, 0))) << r.fault;
    } else {
      EXPECT_EQ(request(fileCall(5, 0x1027, 1, 0x0200, offsetCount(0, 128))), withCrc(r.firstReply)) << r.fault;
      EXPECT_EQ(request(fileCall(5, 0x1027, 1, 0x0200, offsetCount(0, 3))),
                withCrc(cat(fileCall(5, 0x1027, 1, 0x0200, offsetCount(0, 3)), text("abc"))))
          << r.fault;
    }
  }
}

TEST_F(FileAccessTest, ProgrammerServesTheDrivesAndErasesThem) {
  load(std::string(kDisplay).replace(std::string(kDisplay).find("version"), 0, "state = boot-loader\nbuffer-size = 128\n"),
       115200);
  wire::ImageIdentity id;
  id.kind = wire::ImageKind::FlashProgrammer;
  id.tableRow = 12, id.mcuType = 6, id.unitFamily = 1, id.generation = 4;
  const auto block = wire::EncodeIdentity(id);
  Bytes write{0x01, 0x45, 0x10, 0x20, 0x20, 0x00, 0x00, 0x00, 32};
  request(cat(write, Bytes(block.begin(), block.end())));
  request({0x01, 0x45, 0x10, 0x22, 0x20, 0x00, 0x00, 0x20});
  ASSERT_EQ(unit().mode(), UnitMode::FlashProgrammer);
  run({
      {"OpenFile at the boot-loader address", fileCall(1, 0x1026, 1, 0x0131), fileCall(1, 0x1026, 1, 0x0131, {0})},
      {"read in the 0x47 form", windowed({1, 0x47, '0'}, 1, 0x0200, 0, 128),
       cat(windowed({1, 0x47, '1'}, 1, 0x0200, 0, 8), text("abcdefgh")), true},
      {"EraseFMS without its letters", {0x01, 0x45, 0x10, 0x36, 0x01, 'F', 'M', 'X'}, {}},
      {"EraseFMS of an unknown selector", {0x01, 0x45, 0x10, 0x36, 0x02, 'F', 'M', 'S'}, {0x01, 0x45, 0x10, 0x36, 0x02, 0x01}},
      {"EraseFMS", {0x01, 0x45, 0x10, 0x36, 0x01, 'F', 'M', 'S'}, {0x01, 0x45, 0x10, 0x36, 0x01, 0x00}},
      {"the file system is empty", fileCall(1, 0x1026, 1, 0x0131), fileCall(1, 0x1026, 1, 0x0131, {1})},
  });
}

TEST_F(FileAccessTest, CheckManufacturingFields) {
  load(kDisplay, 115200);
  Bytes fields;
  put32(fields, 1234u ^ 0x5A3C96E1u);
  put16(fields, referenceCrc(fields));
  const auto stored = unit().state().flash.read(0x1A000400, 40);
  EXPECT_EQ(Bytes(stored.begin(), stored.begin() + 6), fields) << "enciphered as documented";
  EXPECT_EQ(request(cat({5, 0x45, 0x10, 0x19}, stored)), withCrc({5, 0x45, 0x10, 0x19, 0}));
  Bytes other = stored;
  other[39] ^= 1;
  EXPECT_EQ(request(cat({5, 0x45, 0x10, 0x19}, other)), withCrc({5, 0x45, 0x10, 0x19, 1}));
}

}  // namespace
}  // namespace kl::sim::testing
