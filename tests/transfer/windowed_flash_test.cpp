// The windowed flash write against a scripted far end that acknowledges as each case says:
// cumulative acknowledgements, lost ones, a hardware failure, silence; the first-chunk bit of a
// split record; when the restore step is armed and called; and a RAM read-back that differs.
// Against a silent far end: how many packets of each window go out before the first is sent
// again; and the speed cycle of a call that restarts or starts a program.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/remote_call.h"
#include "protocol/unit.h"
#include "support/installation_fixture.h"
#include "transfer/flash_writer.h"
#include "transfer/programmer_download.h"
#include "transfer/ram_program.h"
#include "transfer/record_write.h"
#include "transfer/send_window.h"
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

// One bulk request as the far end saw it (a block's offset for its address).
struct Seen {
  uint16_t command;
  uint16_t sequence;
  uint32_t address;
  uint8_t length;
};

uint32_t Long(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(b[at] << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3]);
}

// The request `p` starts with, once it is whole (CRC included), and its size.
std::optional<std::pair<Seen, size_t>> WholeRequest(const Bytes& p) {
  if (p.size() < 4) return std::nullopt;
  const uint16_t command = static_cast<uint16_t>(p[2] << 8 | p[3]);
  Seen seen{command, 0, 0, 0};
  size_t size = 6;
  if (command == wire::cmd::FlashWriteWindowed) {
    if (p.size() < 11) return std::nullopt;
    seen = {command, static_cast<uint16_t>(p[4] << 8 | p[5]), Long(p, 6), p[10]};
    size = 13u + p[10];
  } else if (command == wire::cmd::WriteRam) {
    if (p.size() < 9) return std::nullopt;
    seen = {command, 0, Long(p, 4), p[8]};
    size = 11u + p[8];
  } else if (command == wire::cmd::WriteRamBlock) {
    if (p.size() < 7) return std::nullopt;
    seen = {command, 0, static_cast<uint32_t>(p[4] << 8 | p[5]), p[6]};
    size = 9u + p[6];
  }
  if (p.size() < size) return std::nullopt;
  return std::pair{seen, size};
}

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

  // The far end reads bulk requests and answers windowed writes by `policy`; nothing else.
  void acknowledge(AckPolicy policy) {
    peer.onByte = [this, policy = std::move(policy)](sim::ScriptedPeer& p, uint8_t byte) {
      pending.push_back(byte);
      const auto request = WholeRequest(pending);
      if (!request) return;
      pending.clear();
      const Seen write = request->first;
      requests.push_back(write);
      if (write.command != wire::cmd::FlashWriteWindowed || !policy) return;
      writes.push_back(write);
      // A write that sends on without end fails here rather than holding the test.
      if (writes.size() > 2000) throw std::runtime_error("more than 2000 windowed writes");
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
  std::vector<Seen> requests;  // every bulk request
  std::vector<Seen> writes;    // the windowed flash writes
  std::vector<std::string> events;
};

// Eight 128-byte records from address 0x1000: sequences 0 to 7.
const std::vector<Record> kEight = {{0x1000, 128}, {0x1080, 128}, {0x1100, 128}, {0x1180, 128},
                                    {0x1200, 128}, {0x1280, 128}, {0x1300, 128}, {0x1380, 128}};
const std::vector<Record> kNine = {{0x1000, 128}, {0x1080, 128}, {0x1100, 128}, {0x1180, 128}, {0x1200, 128},
                                   {0x1280, 128}, {0x1300, 128}, {0x1380, 128}, {0x1400, 128}};

TEST_F(WindowedFlash, AcknowledgementsAsTheUnitSendsThem) {
  struct Case {
    const char* name;
    AckPolicy policy;
    bool written;
    size_t writesSeen;
    std::vector<std::string> inLog;
    std::vector<Record> records = kEight;
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
      // Eight in flight at most: the ninth waits.
      {"never acknowledged, nine records", [](size_t, const Seen&) { return std::nullopt; }, false, 8 + 20 * 8,
       {"FAILED"}, kNine},
      // An acknowledgement of a packet never sent releases nothing; the window goes out again.
      {"the last acknowledged as the packet after it",
       [](size_t i, const Seen& w) { return Ack{static_cast<uint16_t>(i == 7 ? 8 : w.sequence)}; }, true, 9,
       {"ACK MISSING FOR 0007 - GOT 1 FC45 $1041 0008 $00001380 0"}},
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
    EXPECT_EQ(write(c.records), c.written);
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
      // A packet starts the fields' block when it lies within its first packet's bytes.
      {"LPC1768 software from the block's second packet", mcu::LPC1768, 256, {{0x100, 128}, {0x400, 128}},
       {"write 100", "write 400"}},
      {"LPC1768 boot loader from inside its first packet", mcu::LPC1768, 256, {{0x40, 128}, {0x400, 128}},
       {"write 40", "restore", "write 400"}},
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
    ASSERT_TRUE(write(c.records, [&](TransferContext&, Unit&) {
      ++calls;
      EXPECT_EQ(acknowledged, writes.size()) << "packets still in flight";
      events.push_back("restore");
      return true;
    }));
    EXPECT_EQ(events, c.expected);
  }
}

// A write that fails after the fields' block was started still puts the fields back.
TEST_F(WindowedFlash, AWriteThatFailsInsideTheFieldsBlockStillRestoresThem) {
  unit.mcuType = mcu::LPC1768;
  acknowledge([](size_t i, const Seen& w) { return Ack{w.sequence, static_cast<uint8_t>(i == 1 ? 5 : 0)}; });
  int calls = 0;
  EXPECT_FALSE(write({{0x0, 128}, {0x80, 128}}, [&](TransferContext&, Unit&) { return ++calls > 0; }));
  EXPECT_EQ(calls, 1);
}

// Against a silent far end each window sends what it may hold, then only its oldest packet
// again, once for each try: one overlapped RAM write for older boot loaders, eight for newer
// ones, eight buffered blocks.
TEST_F(WindowedFlash, EachWindowHoldsItsSizeAndNoMore) {
  acknowledge({});
  const Bytes data(128, 0x5A);
  struct Case {
    const char* name;
    uint32_t ramWindow;
    uint32_t packets;
    bool blocks;
    size_t inFlight;
  };
  for (const Case& c : {Case{"a RAM window of one", 1, 2, false, 1}, Case{"a RAM window of eight", 8, 9, false, 8},
                        Case{"eight blocks", 0, 9, true, 8}}) {
    SCOPED_TRACE(c.name);
    requests.clear();
    s().transfer.ram.clear();
    s().transfer.ramWindowSize = c.ramWindow;
    s().overlappedActive = !c.blocks;
    bool sent = true;
    if (c.blocks) {
      sent = SendBufferedBlocks(s(), s().transfer.ramBlocks, Bytes(128u * c.packets, 0x5A));
    } else {
      for (uint32_t i = 0; i < c.packets && sent; ++i) sent = WriteRecord(s(), Memory::Ram, 0x1000 + 128 * i, data);
    }
    EXPECT_FALSE(sent);
    advanceMs(50);  // the last packet arrives
    std::set<uint32_t> addresses;
    for (const Seen& r : requests) addresses.insert(r.address);
    EXPECT_EQ(addresses.size(), c.inFlight);
    EXPECT_EQ(requests.size(), c.inFlight + 20);
    EXPECT_TRUE(std::all_of(requests.begin() + static_cast<long>(c.inFlight), requests.end(),
                            [&](const Seen& r) { return r.address == requests.front().address; }));
  }
}

// A call that restarts the programmer or starts the downloaded one is tried twelve times,
// cycling the PC's speed from its own over 115200 to 9600: a far end at 9600 that answers the
// fourth time it hears the call is answering the last attempt.
TEST_F(InstallationTest, TheSpeedCycleMakesTwelveAttempts) {
  for (const auto& [answeredAt, done] : {std::pair{4, true}, std::pair{5, false}}) {
    SCOPED_TRACE(answeredAt);
    useScriptedPeer(19200);
    line.farPort().setFormat(sim::LineFormat{9600, sim::Parity::None});
    peer.received.clear();
    const Bytes call = Framed({0x01, 0x45, 0x10, 0x33});
    int heard = 0;
    peer.onByte = [&, answeredAt = answeredAt](sim::ScriptedPeer& p, uint8_t) {
      if (p.received.size() >= call.size() && std::equal(call.begin(), call.end(), p.received.end() - 6) &&
          ++heard == answeredAt) {
        p.send(call);
      }
    };
    const CallRequest reset{1, wire::cmd::ResetProgrammer, {}, 0};
    EXPECT_EQ(CallThroughSpeedCycle(s(), reset), done);
    peer.onByte = nullptr;
    ClosePort(s());
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
