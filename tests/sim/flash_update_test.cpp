// Whole images of the firmware bundle written the way the program writes them: the unit ends
// up with the image in its flash byte for byte and reports the new identity after its
// restart; a power cut, a failing flash page or a programmer that falls silent leaves it in
// its boot loader with "no application".
#include <map>
#include <sstream>
#include <string>

#include "sim_fixture.h"

namespace kl::sim::testing {
namespace {

constexpr const char* kRemoteIo = R"(
[unit zc3]
card = 649
version = 6.08
release = 3
serial = 9001
modbus-address = 12
state = boot-loader
boot-loader = C4
boot-release = 20
buffer-size = 1024
boot-baud = 115200
)";

struct Record {
  uint32_t address;
  Bytes data;
};

uint32_t be(const Bytes& b, size_t at, int width) {
  uint32_t v = 0;
  for (int i = 0; i < width; ++i) v = v << 8 | b[at + static_cast<size_t>(i)];
  return v;
}

// Entry address and records of an image in the record format.
std::vector<Record> records(const Bytes& image, uint32_t* entry = nullptr) {
  if (entry) *entry = be(image, 0, 4);
  std::vector<Record> out;
  for (size_t at = 8; be(image, at, 4) != 0xFFFFFFFF;) {
    const uint32_t count = be(image, at + 4, 2);
    out.push_back({be(image, at, 4), Bytes(image.begin() + static_cast<long>(at + 6),
                                           image.begin() + static_cast<long>(at + 6 + count))});
    at += 6 + count;
  }
  return out;
}

// Checksum and CRC the manifest gives for a software image.
std::pair<uint32_t, uint16_t> manifestDigest(const std::string& name) {
  const Bytes text = readBytes(bundleDir() + "/manifest.txt");
  std::istringstream manifest(std::string(text.begin(), text.end()));
  std::string file, size, checksum, crc;
  while (manifest >> file) {
    std::string rest;
    std::getline(manifest, rest);
    std::istringstream fields(rest);
    if (file == name && fields >> size >> checksum >> crc) {
      return {static_cast<uint32_t>(std::stoul(checksum, nullptr, 16)), static_cast<uint16_t>(std::stoul(crc, nullptr, 16))};
    }
  }
  return {0, 0};
}

class FlashUpdateTest : public SimUnitTest {
 protected:
  // One plain exchange at the boot-loader address; the reply payload after the echo, or
  // nothing when no intact reply with the right echo came back.
  std::optional<Bytes> call(uint16_t command, const Bytes& arguments, size_t replyLength) {
    Bytes request{0x01, 0x45};
    put16(request, command);
    const Bytes sent = cat(request, arguments);
    const Bytes reply = exchange(withCrc(sent), replyLength + 6);
    if (reply.size() != replyLength + 6 || referenceCrc(reply) != 0 || !std::equal(request.begin(), request.end(), reply.begin())) {
      return std::nullopt;
    }
    return Bytes(reply.begin() + 4, reply.end() - 2);
  }
  bool writeRecord(uint16_t command, const Record& r) {
    Bytes args;
    put32(args, r.address);
    args.push_back(static_cast<uint8_t>(r.data.size()));
    const auto reply = call(command, cat(args, r.data), command == 0x1020 ? 5 : 6);
    return reply && (command == 0x1020 || (*reply)[5] == 0);
  }
  // Downloads and starts the programmer, then writes the boot loader (putting the fields
  // back once past them) and the software; false at the first failure.
  bool update() {
    uint32_t entry = 0;
    for (const Record& r : records(readBytes(bundleDir() + "/flash-programmer-28.bin"), &entry)) {
      if (!writeRecord(0x1020, r)) return false;
    }
    Bytes at;
    put32(at, entry);
    if (!call(0x1022, at, 0)) return false;
    std::map<uint32_t, Bytes> backup;
    for (uint32_t block : {0x300u, 0x380u}) {
      Bytes args;
      put32(args, block);
      args.push_back(128);
      const auto read = call(0x1051, args, 133);
      if (!read) return false;
      backup[block] = Bytes(read->begin() + 5, read->end());
    }
    bool restored = false;
    for (const Record& r : records(readBytes(bundleDir() + "/boot-loader-07.bin"))) {
      if (!restored && r.address > 0x3FF) {
        for (const auto& [block, bytes] : backup) {
          Bytes args;
          put32(args, block);
          args.push_back(128);
          if (!call(0x1050, cat(args, bytes), 6)) return false;
        }
        restored = true;
      }
      if (!writeRecord(0x1040, r)) return false;
    }
    if (!call(0x1033, {}, 0)) return false;
    const auto software = records(readBytes(bundleDir() + "/software-07.bin"));
    Bytes range;
    put32(range, software.front().address);
    put32(range, software.back().address + static_cast<uint32_t>(software.back().data.size()) - 1);
    if (!call(0x1035, range, 0)) return false;
    for (const Record& r : software) {
      if (!writeRecord(0x1040, r)) return false;
    }
    return call(0x1033, {}, 0) && call(0x1032, {}, 0);
  }
};

TEST_F(FlashUpdateTest, UnitReportsWhatWasWrittenAndNothingHalfWritten) {
  struct Row {
    const char* what;
    std::string fault;
    bool completes;
  };
  for (const Row& r : {Row{"no fault", "", true}, Row{"power cut", "fault-power-cut-at-flash-byte = 40000\n", false},
                       Row{"failing page", "fault-flash-fails-at = 0x8010\n", false},
                       Row{"programmer falls silent", "fault-programmer-silent-after = 150\n", false}}) {
    load(std::string(kRemoteIo) + r.fault, 115200);
    ASSERT_EQ(update(), r.completes) << r.what;
    if (!r.completes) unit().powerCycle();
    advanceMs(2000);
    if (!r.completes) {
      EXPECT_EQ(unit().mode(), UnitMode::BootLoader) << r.what;
      const Bytes release = request({0x01, 0x45, 0x10, 0x13, 0x01});
      EXPECT_EQ(release, withCrc({0x01, 0x45, 0x10, 0x13, 0x00, 0x05, 0x04, 24, 0xFF, 0xFF, 0xFF, 0xFF, 0x03}))
          << r.what << ": new boot loader, no application";
      continue;
    }
    ASSERT_EQ(unit().mode(), UnitMode::Application);
    for (const char* image : {"/boot-loader-07.bin", "/software-07.bin"}) {
      for (const Record& rec : records(readBytes(bundleDir() + image))) {
        ASSERT_EQ(unit().state().flash.read(rec.address, rec.data.size()), rec.data) << image << " at " << rec.address;
      }
    }
    const auto [checksum, crc] = manifestDigest("software-07.bin");
    Bytes expected{0x0C, 0x45, 0x10, 0x14, 35, 0, 5, 4, 24, 0x02, 0x89, 0x00, 0x00, 0, 0, 0x02, 0x62, 57, 0};
    expected.insert(expected.end(), 6, 0);  // build time
    put32(expected, checksum);
    put16(expected, crc);
    put32(expected, 9001);
    expected.insert(expected.end(), {0, 0, 0x0C, 0});
    EXPECT_EQ(request({0x0C, 0x45, 0x10, 0x14}), withCrc(expected)) << "6.10r57, boot loader 24, digest of flash";
  }
}

}  // namespace
}  // namespace kl::sim::testing
