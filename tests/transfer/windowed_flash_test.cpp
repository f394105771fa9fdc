// The windowed flash write against a scripted far end that acknowledges as each case says:
// cumulative acknowledgements, lost ones, a hardware failure, silence; the first-chunk bit of a
// split record; when the restore step is armed and called; and a RAM read-back that differs.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "protocol/unit.h"
#include "support/installation_fixture.h"
#include "transfer/flash_writer.h"
#include "transfer/ram_program.h"
#include "wire/commands.h"

namespace kl::test {
namespace {

using Bytes = std::vector<uint8_t>;

struct Record {
  uint32_t address;
  uint16_t length;
};

// An image in the record format; data byte i of a record is its address's low byte plus i.
std::vector<uint8_t> BuildImage(const std::vector<Record>& records) {
  std::vector<uint8_t> image;
  auto put = [&](uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) image.push_back(static_cast<uint8_t>(value >> (8 * i)));
  };
  uint32_t total = 0;
  for (const Record& r : records) total += r.length;
  put(0, 4);
  put(total, 4);
  for (const Record& r : records) {
    put(r.address, 4);
    put(r.length, 2);
    for (uint16_t i = 0; i < r.length; ++i) image.push_back(static_cast<uint8_t>(r.address + i));
  }
  put(0xFFFFFFFF, 4);
  return image;
}

// One windowed write as the far end saw it.
struct Seen {
  uint16_t sequence;
  uint32_t address;
  uint8_t length;
};

// What the far end answers to the `index`th windowed write (counting resends): the sequence to
// acknowledge and the result, or nothing.
struct Ack {
  uint16_t sequence;
  uint8_t result = 0;
};
using AckPolicy = std::function<std::optional<Ack>(size_t index, const Seen& write)>;

class WindowedFlash : public InstallationTest {
 protected:
  void SetUp() override {
    useScriptedPeer();
    s().overlappedActive = true;
    unit.mode = modeFlashProgrammer;
    unit.mcuType = mcu::LPC1768;
    unit.bufferSize = 128;
    unit.flashPacketSize = 256;
  }
  // The port closes after this fixture's members are gone: nothing may answer then.
  void TearDown() override { peer.onByte = nullptr; }

  // The far end reads windowed writes and answers them by `policy`.
  void acknowledge(AckPolicy policy) {
    peer.onByte = [this, policy = std::move(policy)](sim::ScriptedPeer& p, uint8_t byte) {
      pending.push_back(byte);
      if (pending.size() < 11 || pending.size() < 13u + pending[10]) return;
      const Seen write{static_cast<uint16_t>(pending[4] << 8 | pending[5]),
                       static_cast<uint32_t>(pending[6] << 24 | pending[7] << 16 | pending[8] << 8 | pending[9]),
                       pending[10]};
      pending.clear();
      writes.push_back(write);
      char text[24];
      std::snprintf(text, sizeof text, "write %X", write.address);
      events.push_back(text);
      if (const auto ack = policy(writes.size() - 1, write)) {
        std::vector<uint8_t> reply = {0x01, 0x45, 0x10, 0x41, static_cast<uint8_t>(ack->sequence >> 8),
                                      static_cast<uint8_t>(ack->sequence)};
        for (int i = 3; i >= 0; --i) reply.push_back(static_cast<uint8_t>(write.address >> (8 * i)));
        reply.push_back(0);
        reply.push_back(ack->result);
        p.send(Framed(reply), 200);
      }
    };
  }

  bool write(const std::vector<Record>& records, RestoreStep restore = {}) {
    image = BuildImage(records);
    return WriteMcuFlash(s(), unit, ImageRef{image.data(), static_cast<uint32_t>(image.size())}, std::move(restore));
  }

  Unit unit;
  std::vector<uint8_t> image;
  std::vector<uint8_t> pending;
  std::vector<Seen> writes;
  std::vector<std::string> events;
};

// Eight 128-byte records from address 0x1000: sequences 0 to 7.
const std::vector<Record> kEight = {{0x1000, 128}, {0x1080, 128}, {0x1100, 128}, {0x1180, 128},
                                    {0x1200, 128}, {0x1280, 128}, {0x1300, 128}, {0x1380, 128}};

TEST_F(WindowedFlash, AcknowledgementsAsTheUnitSendsThem) {
  struct Case {
    const char* name;
    AckPolicy policy;
    bool written;
    size_t writesSeen;
    std::vector<std::string> inLog;
  };
  const std::vector<Case> cases = {
      {"each packet acknowledged", [](size_t, const Seen& w) { return Ack{w.sequence}; }, true, 8, {}},
      // One reply releases everything up to its sequence.
      {"only every fourth acknowledged",
       [](size_t i, const Seen& w) { return i % 4 == 3 ? std::optional<Ack>(Ack{w.sequence}) : std::nullopt; },
       true, 8, {}},
      // The last reply is lost: the window (only packet 7 is left) goes out again.
      {"last acknowledgement lost",
       [](size_t i, const Seen& w) { return i == 7 ? std::nullopt : std::optional<Ack>(Ack{w.sequence}); }, true, 9,
       {"ACK MISSING FOR 0007 - GOT 0 FC00 $0000 0000 $00000000 0"}},
      // Nothing answers: the window is sent again after each of 20 silent waits.
      {"never acknowledged", [](size_t, const Seen&) { return std::nullopt; }, false, 8 + 20 * 8, {"FAILED"}},
      // (Last: its later acknowledgements stay on the line.)
      {"hardware failure at the third packet",
       [](size_t i, const Seen& w) { return Ack{w.sequence, static_cast<uint8_t>(i == 2 ? 5 : 0)}; }, false, 8,
       {"Unit reported hardware failure, cannot write to MCU flash memory. Address=$00001100, Result=05"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    s().overlappedActive = true;
    writes.clear();
    clearConsole();
    acknowledge(c.policy);
    EXPECT_EQ(write(kEight), c.written);
    advanceMs(200);  // what was still on the line arrives
    EXPECT_EQ(writes.size(), c.writesSeen);
    for (const std::string& line : c.inLog) EXPECT_NE(console().find(line), std::string::npos) << line;
    EXPECT_EQ(writes.front().sequence, 0);
  }
}

TEST_F(WindowedFlash, ASplitRecordMarksItsFirstChunk) {
  acknowledge([](size_t, const Seen& w) { return Ack{w.sequence}; });
  ASSERT_TRUE(write({{0x2000, 384}, {0x2180, 128}}));
  std::vector<uint16_t> sequences;
  for (const Seen& w : writes) sequences.push_back(w.sequence);
  EXPECT_EQ(sequences, (std::vector<uint16_t>{0x8000, 0x0001, 0x0002, 0x0003}));
  EXPECT_EQ(writes[1].address, 0x2080u);
}

// The restore step runs once, after the packets before the first record beyond the fields
// were acknowledged, and only when a packet started the fields' flash block. LPC43xx flash
// starts at 0x1A000000 and holds the fields at 0x1A000400 to 0x1A0005FF.
TEST_F(WindowedFlash, TheRestoreStepRunsOnceAfterTheFieldsBlock) {
  struct Case {
    const char* name;
    uint8_t mcu;
    int16_t packetSize;
    std::vector<Record> records;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"LPC1768 boot loader", mcu::LPC1768, 256, {{0x0, 128}, {0x80, 128}, {0x400, 128}, {0x480, 128}},
       {"write 0", "write 80", "restore", "write 400", "write 480"}},
      {"LPC4357 boot loader", mcu::LPC4357, 512, {{0x1A000000, 128}, {0x1A000600, 128}},
       {"write 1A000000", "restore", "write 1A000600"}},
      {"LPC4337 image ending inside the block", mcu::LPC4337, 512, {{0x1A000000, 128}, {0x1A000080, 128}},
       {"write 1A000000", "write 1A000080", "restore"}},
      // The second bank's start is not the fields' block.
      {"LPC4337 software into the second bank", mcu::LPC4337, 512,
       {{0x1A004000, 128}, {0x1B000000, 128}, {0x1B000080, 128}},
       {"write 1A004000", "write 1B000000", "write 1B000080"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    events.clear();
    writes.clear();
    unit.mcuType = c.mcu;
    unit.flashPacketSize = c.packetSize;
    size_t acknowledged = 0;
    acknowledge([&](size_t, const Seen& w) {
      ++acknowledged;
      return Ack{w.sequence};
    });
    int calls = 0;
    ASSERT_TRUE(write(c.records, [&](Session&, Unit&) {
      ++calls;
      EXPECT_EQ(acknowledged, writes.size()) << "packets still in flight";
      events.push_back("restore");
      return true;
    }));
    EXPECT_EQ(events, c.expected);
  }
}

// A piece read back with a wrong byte is reported byte by byte and read again.
TEST_F(WindowedFlash, ExamineReportsEveryDifferingByteAndReadsAgain) {
  const Bytes expected = {0x10, 0x11, 0x12, 0x13};
  answerRequests(11, [&](size_t request) {
    Bytes reply = {0x01, 0x45, 0x10, 0x21, 0x00, 0x00, 0x40, 0x00, 4, 0x10, 0x11, 0x12, 0x13};
    if (request == 0) {
      reply[9] = 0x00;
      reply[12] = 0xFF;
    }
    return reply;
  });
  EXPECT_TRUE(Examine(s(), 0x4000, expected));
  EXPECT_EQ(requestsReceived(11), 2u);
  const std::string out = console();
  EXPECT_NE(out.find("Examine returned different data at 00004000 got 00 expected 10\r\nVerify error\r\n"
                     "Examine returned different data at 00004003 got FF expected 13\r\nVerify error"),
            std::string::npos) << out;
}

}  // namespace
}  // namespace kl::test
