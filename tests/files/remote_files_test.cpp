// Files written and read back through the window against simulated units: every size that
// matters at a block edge and every file of the carried bundle, with and without lost and
// negative acknowledgements and lost read replies, in the plain and the extended write form;
// update files with each appended digest; read-back verification; the unit's failures.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "images/catalogue.h"
#include "support/installation_fixture.h"
#include "transfer/aa_records.h"
#include "transfer/file_digests.h"
#include "transfer/file_update.h"
#include "transfer/remote_file_access.h"
#include "transport/packet_link.h"
#include "wire/commands.h"
#include "wire/crc16.h"

namespace kl {
namespace {

using Bytes = std::vector<uint8_t>;
using ::testing::HasSubstr;

constexpr uint8_t kDrive = 1;
constexpr uint16_t kFile = 0x0131;

Bytes Pattern(size_t size) {
  Bytes data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return data;
}

class RemoteFiles : public test::InstallationTest {
 protected:
  // A transmitter running `version` at 921600 baud, with `extra` settings.
  void load(const std::string& version, const std::string& extra = "") {
    ClosePort(s());
    clearConsole();
    loadScenario("[unit zs3]\ncard = 648\ncircuit = 5\nbaud = 921600\nversion = " + version + "\n" + extra);
    Unit& unit = s().unit;
    unit.mode = modeBalvantaSoftware;
    unit.address = 0xF0;
    unit.softwareVersion = static_cast<int16_t>(std::stod(version) * 100 + 0.5);
    s().newFileProtocol = unit.softwareVersion >= 604;
  }
  sim::DriveFile* inUnit(uint16_t file = kFile) { return portUnit().state().drives.find(kDrive, file); }

  // Reads the file back through the window in steps of `step` bytes; `counts` gets what each
  // read delivered.
  Bytes readBack(uint32_t step, std::vector<uint32_t>* counts = nullptr) {
    const RemoteFile f{0xF0, kDrive, kFile};
    uint8_t result = 0;
    EXPECT_TRUE(OpenFile(s(), f, true, result));
    Bytes data;
    for (uint32_t count = step; count != 0;) {
      uint8_t block[128];
      count = step;
      if (!ReadFileRemote(s(), f, static_cast<uint32_t>(data.size()), count, block)) {
        ADD_FAILURE() << "read failed at " << data.size();
        break;
      }
      if (counts) counts->push_back(count);
      data.insert(data.end(), block, block + count);
    }
    EXPECT_TRUE(CloseFile(s(), f, result));
    return data;
  }
};

// Every bundle file size, with lost and negative acknowledgements and lost read replies, or
// without.
class EverySize : public RemoteFiles, public ::testing::WithParamInterface<bool> {};

TEST_P(EverySize, IsWrittenAndReadBack) {
  std::vector<Bytes> files;
  for (size_t size : {0, 1, 127, 128, 129, 300}) files.push_back(Pattern(size));
  std::set<size_t> sizes;
  for (const auto& row : catalogue::kDriveFiles) {
    const ImageRef image = ImageOf(row);
    if (sizes.insert(image.bytes().size()).second) files.emplace_back(image.bytes().begin(), image.bytes().end());
  }
  const std::string faults = GetParam() ? "fault-nack-file-write = 2\nfault-lose-file-reply = 1 4 9 " +
                                              std::to_string(files.back().size() / 128 + 3) + "\n"
                                        : "";
  for (const std::string version : {"6.10", "6.03"}) {
    for (const Bytes& data : files) {
      SCOPED_TRACE(version + ", " + std::to_string(data.size()) + " bytes");
      load(version, faults);
      ASSERT_TRUE(UpdateFile(s(), s().unit, kDrive, kFile, data.data(), static_cast<uint32_t>(data.size()), true));
      ASSERT_NE(inUnit(), nullptr);
      EXPECT_EQ(inUnit()->bytes, data);
      const uint16_t crc = FileCrc(data.data(), static_cast<uint32_t>(data.size()));
      EXPECT_EQ(GetLargeIntAA(s(), std::string(inUnit()->properties.begin(), inUnit()->properties.end()), 1), crc);
      EXPECT_FALSE(IsFileDifferent(s(), s().unit, kDrive, kFile, data.data(), static_cast<uint32_t>(data.size()), true));
      EXPECT_EQ(readBack(128), data);
      if (version == "6.03" && &data == &files[5]) break;  // the older write form with the edge sizes only
    }
  }
  if (GetParam()) {
    EXPECT_THAT(console(), HasSubstr("NACK FOR "));
    EXPECT_THAT(console(), HasSubstr("READ MISSING FOR "));
  }
}

INSTANTIATE_TEST_SUITE_P(RemoteFiles, EverySize, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "WithFaults" : "WithoutFaults"; });

TEST_F(RemoteFiles, ReadsDeliverBlockByBlockAndTheRestOfAShortRead) {
  load("6.10", "file 1:0x0131 = random 300\n");
  std::vector<uint32_t> counts;
  EXPECT_EQ(readBack(128, &counts), inUnit()->bytes);
  EXPECT_EQ(counts, (std::vector<uint32_t>{128, 128, 44, 0}));
  counts.clear();
  EXPECT_EQ(readBack(100, &counts), inUnit()->bytes);
  EXPECT_EQ(counts, (std::vector<uint32_t>{100, 28, 100, 28, 44, 0}));
}

TEST_F(RemoteFiles, ClosingAfterAnEmptyFileTakesTheRepliesStillInFlight) {
  load("6.10", "file 1:0x0131 = empty\n");
  std::vector<uint32_t> counts;
  EXPECT_TRUE(readBack(128, &counts).empty());
  EXPECT_EQ(counts, (std::vector<uint32_t>{0}));
  advanceMs(200);
  EXPECT_EQ(FillReceiveBuffer(s()), 0);
}

// A file reply wrong in one field answers nothing: a result or a block for another file or
// offset, a refusal, an acknowledgement for another file or unit or for the block before. The
// request is tried again up to its last attempt; lost replies cost attempts up to the last.
// The first `spoiled` replies of the kind (0: all) are spoiled or, when `spoil` says so, lost.
TEST_F(RemoteFiles, RepliesForAnotherFileOrBlockAnswerNothing) {
  using Kind = std::function<bool(const Bytes&)>;
  using Spoil = std::function<bool(Bytes&)>;  // false: the reply is lost
  const auto call = [](uint16_t command) -> Kind {
    return [command](const Bytes& p) { return p.size() > 7 && p[1] == 0x45 && (p[2] << 8 | p[3]) == command; };
  };
  // Windowed messages: read data ('1') and write acknowledgements ('3'), in either form; after
  // the sub-code come the drive, the file and the offset.
  const auto at = [](const Bytes& p, size_t field) { return field + (p[1] == 0x48 ? 1 : 0); };
  const auto windowed = [at](uint8_t subCode, int block = -1) -> Kind {
    return [=](const Bytes& p) {
      return p.size() > 11 && (p[1] == 0x47 || p[1] == 0x48) && p[at(p, 2)] == subCode &&
             (block < 0 || (p[at(p, 8)] == block / 2 && p[at(p, 9)] == block % 2 * 128));
    };
  };
  const auto flip = [](size_t field) -> Spoil { return [field](Bytes& p) { return (p[field] ^= 0x01), true; }; };
  const auto set = [](size_t field, uint8_t value) -> Spoil { return [=](Bytes& p) { return (p[field] = value), true; }; };
  const auto windowedFlip = [at](size_t field) -> Spoil { return [=](Bytes& p) { return (p[at(p, field)] ^= 1), true; }; };
  const Spoil lose = [](Bytes&) { return false; };
  const Spoil blockBefore = [at](Bytes& p) { return (p[at(p, 9)] = 0), true; };
  // The first acknowledgement lost, the one of the block sent again reporting a failed write.
  const Spoil lostThenFailed = [at, calls = 0](Bytes& p) mutable {
    if (calls++ == 0) return false;
    p[at(p, 11)] = 5;
    return true;
  };
  const RemoteFile f{0xF0, kDrive, kFile};
  const auto write = [&](size_t size) {
    return [&, size] {
      const Bytes data = Pattern(size);
      return UpdateFile(s(), s().unit, kDrive, kFile, data.data(), static_cast<uint32_t>(size), true) &&
             inUnit()->bytes == data;
    };
  };
  const auto read = [&] {
    uint8_t result = 0;
    Bytes data;
    if (!OpenFile(s(), f, true, result)) return false;
    for (uint32_t count = 1; count != 0;) {
      uint8_t block[128];
      count = 128;
      if (!ReadFileRemote(s(), f, static_cast<uint32_t>(data.size()), count, block)) return false;
      data.insert(data.end(), block, block + count);
    }
    return CloseFile(s(), f, result) && data == inUnit()->bytes;
  };
  const auto readBlock = [&] {
    uint32_t count = 128;
    uint8_t block[128];
    return ReadFileBlock(s(), f, 0, count, block);
  };
  namespace cmd = wire::cmd;
  struct Case {
    const char* name;
    std::function<bool()> transfer;
    Kind kind;
    Spoil spoil;
    int spoiled;
    bool done;
    const char* shown = "";
  };
  const Case cases[] = {
      {"creation answered for another file, seven times", write(300), call(cmd::CreateFile), flip(6), 7, true},
      {"creation answered for another file, eight times", write(300), call(cmd::CreateFile), flip(6), 8, false},
      {"creation refused", write(300), call(cmd::CreateFile), set(7, 1), 0, false},
      {"no attributes after the write", write(300), call(cmd::GetFileAttributes), set(7, 1), 0, false},
      {"a block read answered for another offset", readBlock, call(cmd::ReadFileBlock), flip(10), 0, false},
      {"reads answered for another file", read, windowed('1'), windowedFlip(5), 0, false},
      {"reads answered with another sub-code", read, windowed('1'), windowedFlip(2), 0, false},
      {"the first block's reply lost 19 times", read, windowed('1', 0), lose, 19, true},
      {"the first block's reply lost 20 times", read, windowed('1', 0), lose, 20, false},
      {"writes acknowledged for another file", write(300), windowed('3'), windowedFlip(5), 0, false},
      {"writes acknowledged by another unit", write(300), windowed('3'), set(0, 0xF1), 0, false},
      {"the last block's acknowledgement lost 38 times", write(100), windowed('3'), lose, 38, true},
      {"the last block's acknowledgement lost 39 times", write(100), windowed('3'), lose, 39, false},
      {"the last block acknowledged as the one before", write(200), windowed('3', 1), blockBefore, 60, false},
      {"the block sent again not written", write(100), windowed('3'), lostThenFailed, 2, false,
       "Unit reported hardware failure, cannot write to flash drive. Address=$00000000, Result=05"},
  };
  int seen = 0;  // outlives the loop: the last case's editor still sees the next load's replies
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    load("6.10", "file 1:0x0131 = random 300\n");
    seen = 0;
    editReplies([&c, &seen](Bytes& p) { return !c.kind(p) || (c.spoiled != 0 && seen++ >= c.spoiled) || c.spoil(p); });
    EXPECT_EQ(c.transfer(), c.done);
    EXPECT_THAT(console(), HasSubstr(c.shown));
  }
}

// Software after 6.03 takes the extended write form.
TEST_F(RemoteFiles, TheExtendedWriteFormFromSixOhFourOn) {
  const Bytes data = Pattern(100);
  const Bytes extendedForm = {0x48, 0x04, '2', kDrive};
  for (const auto& [version, extended] : {std::pair{"6.03", false}, std::pair{"6.04", true}}) {
    SCOPED_TRACE(version);
    load(version);
    takeSentByPc();
    ASSERT_TRUE(UpdateFile(s(), s().unit, kDrive, kFile, data.data(), 100, true));
    const Bytes sent = takeSentByPc();
    EXPECT_EQ(std::search(sent.begin(), sent.end(), extendedForm.begin(), extendedForm.end()) != sent.end(), extended);
  }
}

TEST_F(RemoteFiles, IsFileDifferentByAttributesAndStoredCrc) {
  const Bytes data = Pattern(300);
  const uint16_t crc = FileCrc(data.data(), 300);
  const uint8_t high = static_cast<uint8_t>(crc >> 8);
  const uint8_t low = static_cast<uint8_t>(crc);
  struct Case {
    std::optional<Bytes> file;  // the unit's file 1:0x0131 (none: absent)
    Bytes properties;
    bool different;
    std::string line;
  };
  const std::vector<Case> cases = {
      {std::nullopt, {}, true, ""},
      {Pattern(299), {}, true, "-- Balvanta file 01:0131 checksums are different"},
      {data, {0x01, 0x42, high, low}, false, "-- Balvanta file 01:0131 is up to date"},
      {data, {0x02, 0x10}, true, "Current file CRC=0000\r\nNew file CRC=" + hexText(crc, 4) +
                                     "\r\n-- Balvanta file 01:0131 CRC is different"},
      {data, {0x01, 0x42, high, low, 0x01, 0x10}, true,
       "-- Balvanta file 01:0131 properties are damaged (tag 1 after tag 1 at offset 4)"},
      {data, {0x01, 0x42, high}, true,
       "-- Balvanta file 01:0131 properties are damaged (record with tag 1 runs past the end at offset 0)"},
  };
  for (const Case& c : cases) {
    load("6.10");
    if (c.file) portUnit().state().drives.put(kDrive, kFile, sim::DriveFile{*c.file, c.properties});
    EXPECT_EQ(IsFileDifferent(s(), s().unit, kDrive, kFile, data.data(), 300, true), c.different) << c.line;
    EXPECT_THAT(console(), HasSubstr(c.line));
  }
  s().givenOptions().writeAlways = true;
  takeSentByPc();
  EXPECT_TRUE(IsFileDifferent(s(), s().unit, kDrive, kFile, data.data(), 300, true));
  EXPECT_TRUE(takeSentByPc().empty());
}

TEST_F(RemoteFiles, SendFileAppendsTheChosenDigestAndVerifies) {
  const Bytes data = Pattern(300);
  const uint16_t crc = FileCrc(data.data(), 300);
  const uint32_t sum = FileFletcher(data.data(), 300);
  const std::vector<std::pair<AppendKind, Bytes>> kinds = {
      {AppendKind::Nothing, {}},
      {AppendKind::Crc, {static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)}},
      {AppendKind::Checksum,
       {static_cast<uint8_t>(sum >> 24), static_cast<uint8_t>(sum >> 16), static_cast<uint8_t>(sum >> 8),
        static_cast<uint8_t>(sum)}}};
  s().givenOptions().verify = true;
  for (const auto& [kind, digest] : kinds) {
    load("6.10");
    ASSERT_TRUE(SendFile(s(), s().unit, kDrive, kFile, data.data(), 300, kind));
    Bytes expected = data;
    expected.insert(expected.end(), digest.begin(), digest.end());
    EXPECT_EQ(inUnit()->bytes, expected);
    EXPECT_THAT(console(), HasSubstr("Writing $00000100(44)\r\n"));
    // The digest goes out as one block of its own at offset 300.
    const Bytes sent = takeSentByPc();
    const Bytes appended = {0x48, 0x04, '2', kDrive, 0x01, 0x31, 0x00, 0x00, 0x01, 0x2C, static_cast<uint8_t>(digest.size())};
    EXPECT_EQ(std::search(sent.begin(), sent.end(), appended.begin(), appended.end()) != sent.end(), !digest.empty());
    EXPECT_THAT(console(), HasSubstr("Verifying file...\r\n"));
    EXPECT_THAT(console(), Not(HasSubstr("File difference")));
  }
  EXPECT_EQ(crc & 0xFF, wire::crc16(data.data(), 300) >> 8);  // the file ends in the CRC's low byte, then its high byte
}

TEST_F(RemoteFiles, VerifyFindsADifferentOrMissingByteAndEndsTheRun) {
  const Bytes data = Pattern(300);
  s().givenOptions().verify = true;
  struct Case {
    std::function<void(Bytes&)> damage;
    std::string message;
  };
  for (const Case& c : {Case{[](Bytes& b) { b[200] ^= 1; }, "Verify file failed at 0000008048"},
                        Case{[](Bytes& b) { b.resize(290); }, "Verify file failed at 0000010022"}}) {
    load("6.10");
    sim.console.onOutput = [&](std::string_view text) {
      if (text.find("Verifying new file") != std::string_view::npos) c.damage(inUnit()->bytes);
    };
    EXPECT_EQ(exitCodeOf([&] { UpdateFile(s(), s().unit, kDrive, kFile, data.data(), 300, false); }), 1);
    EXPECT_THAT(console(), HasSubstr("Fatal Error: " + c.message));
    sim.console.onOutput = nullptr;
  }
}

TEST_F(RemoteFiles, FailuresTheUnitReportsFailTheTransfer) {
  const Bytes data = Pattern(300);
  load("6.10", "fault-file-write-failure = 2\n");
  EXPECT_FALSE(UpdateFile(s(), s().unit, kDrive, kFile, data.data(), 300, true));
  EXPECT_THAT(console(), HasSubstr("Unit reported hardware failure, cannot write to flash drive. Address=$00000080, Result=05"));
  load("6.10", "file 1:0x0131 = random 300\nfault-file-read-failure = 1\n");
  const RemoteFile f{0xF0, kDrive, kFile};
  uint8_t result = 0;
  ASSERT_TRUE(OpenFile(s(), f, true, result));
  uint32_t count = 128;
  uint8_t block[128];
  EXPECT_FALSE(ReadFileRemote(s(), f, 0, count, block));
  EXPECT_EQ(count, 0u);
  EXPECT_THAT(console(), HasSubstr("Unit reported hardware failure, cannot read from flash drive. Address=$00000000"));
  // Properties that no property message can carry are a fault of the caller.
  EXPECT_EQ(exitCodeOf([&] { SetFileProperties(s(), f, s().text(std::string(240, 'x'))); }), 1);
  EXPECT_THAT(console(), HasSubstr("Assert Failed:RemoteFileAccess:"));
  s().unit.mode = modeBalvantaBootLoader;
  EXPECT_EQ(exitCodeOf([&] { UpdateFile(s(), s().unit, kDrive, kFile, data.data(), 300, true); }), 1);
  EXPECT_THAT(console(), HasSubstr("Cannot perform this operation, the unit is not in the correct mode"));
}

}  // namespace
}  // namespace kl
