// Update files written to a unit's drives take effect at its next restart, as the program's
// multi-unit update relies on: only with a flash programmer for this unit beside them, each
// only when intact and meant for the unit; applied or not, they are gone afterwards.
#include <string>

#include "sim_fixture.h"
#include "sim/storage/file_digests.h"

namespace kl::sim::testing {
namespace {

// A ZA4 display running 6.10r40, update files accepted.
constexpr const char* kDisplay = R"(
[unit za4]
card = 653
version = 6.10
release = 40
serial = 530420
modbus-address = 4
unit-flags = 0x01
boot-loader = C4
boot-release = 20
buffer-size = 4096
)";

Bytes withFletcher(Bytes data) {
  const uint32_t sum = fletcher32(data);
  put32(data, sum);
  return data;
}
Bytes withFileCrc(Bytes data) {
  const uint16_t crc = referenceCrc(data);
  data.push_back(static_cast<uint8_t>(crc & 0xFF));
  data.push_back(static_cast<uint8_t>(crc >> 8));
  return data;
}
Bytes bundle(const std::string& name) { return readBytes(bundleDir() + "/" + name); }

// The fields of another serial number, enciphered as documented.
Bytes fieldsFor(uint32_t serial) {
  Bytes f;
  put32(f, serial ^ 0x5A3C96E1u);
  put16(f, referenceCrc(f));
  const Bytes keys(32, 0x5C);
  f = cat(f, keys);
  put16(f, referenceCrc(keys));
  return f;
}

// Plain resource file: number, size, bytes, CRC low byte first; two zero bytes end it.
Bytes resource(const Bytes& image) {
  Bytes r{0x01, 0x00};
  put32(r, static_cast<uint32_t>(image.size()));
  r = cat(r, image);
  const uint16_t crc = referenceCrc(image);
  return cat(r, {static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8), 0, 0});
}

class UpdateFilesTest : public SimUnitTest {
 protected:
  void put(uint8_t drive, uint16_t file, const Bytes& bytes) { unit().state().drives.put(drive, file, DriveFile{bytes, {}}); }
  Bytes advanced() {
    const Bytes reply = request({0x04, 0x45, 0x10, 0x14});
    return reply.size() > 6 ? Bytes(reply.begin() + 4, reply.end() - 2) : Bytes{};
  }
};

TEST_F(UpdateFilesTest, AppliedAtTheNextRestartWithAProgrammerThatFits) {
  const Bytes image = Bytes(300, 0x42);
  struct Row {
    const char* what;
    Bytes programmer;
    Bytes software;
    bool applied;  // boot loader, fields and resource
    bool softwareApplied;
  };
  const Bytes goodProgrammer = withFileCrc(bundle("flash-programmer-12.bin"));
  Bytes brokenProgrammer = goodProgrammer;
  brokenProgrammer[100] ^= 1;
  Bytes brokenSoftware = withFletcher(bundle("software-03.bin"));
  brokenSoftware[5000] ^= 1;
  for (const Row& r : {Row{"all intact", goodProgrammer, withFletcher(bundle("software-03.bin")), true, true},
                       Row{"software of a transmitter", goodProgrammer, withFletcher(bundle("software-06.bin")), true, false},
                       Row{"software damaged", goodProgrammer, brokenSoftware, true, false},
                       Row{"programmer of a transmitter", withFileCrc(bundle("flash-programmer-24.bin")),
                           withFletcher(bundle("software-03.bin")), false, false},
                       Row{"programmer damaged", brokenProgrammer, withFletcher(bundle("software-03.bin")), false, false},
                       Row{"no programmer", {}, withFletcher(bundle("software-03.bin")), false, false}}) {
    load(kDisplay, 115200);
    const Bytes before = advanced();
    ASSERT_EQ(before.size(), 35u);
    put(1, 0x0101, fieldsFor(777));
    put(1, 0x0102, withFletcher(bundle("boot-loader-03.bin")));
    put(1, 0x0103, r.software);
    put(1, 0x0104, resource(image));
    if (!r.programmer.empty()) put(0xC1, 0, r.programmer);
    EXPECT_EQ(advanced(), before) << r.what << ": nothing happens before the restart";
    EXPECT_EQ(request({0x04, 0x45, 0x10, 0x18}), withCrc({0x04, 0x45, 0x10, 0x18})) << r.what;
    advanceMs(3000);
    const Bytes after = advanced();
    ASSERT_EQ(after.size(), 35u) << r.what;
    EXPECT_EQ(after[4], r.applied ? 24 : 20) << r.what << ": boot loader release";
    const Bytes version(after.begin() + 11, after.begin() + 14);
    EXPECT_EQ(version, (r.softwareApplied ? Bytes{0x02, 0x62, 57} : Bytes{0x02, 0x62, 40})) << r.what << ": software";
    EXPECT_EQ(readU32(after, 27), r.applied ? 777u : 530420u) << r.what << ": serial from the fields";
    const DriveFile* stored = unit().state().drives.find(0xB1, 0);
    ASSERT_EQ(stored != nullptr, r.applied) << r.what;
    if (stored) {
      Bytes complemented = resource(image);
      for (auto& b : complemented) b = static_cast<uint8_t>(~b);
      EXPECT_EQ(stored->bytes, complemented) << r.what;
    }
    const size_t left = unit().state().drives.files().size();
    EXPECT_EQ(left, r.applied ? 1u : 4u + !r.programmer.empty()) << r.what << ": update files removed once run";
  }
}

}  // namespace
}  // namespace kl::sim::testing
