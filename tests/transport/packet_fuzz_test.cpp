#include <random>

#include "link_fixture.h"
#include "transport/packet_link.h"

namespace kl::test {
namespace {

class PacketFuzz : public LinkTest {
 protected:
  void SetUp() override {
    s().givenOptions().debug = s().givenOptions().detailedDebug = false;
    s().out.packetTraceLevel = 0;
    useBaud(921600);
    openLine();
  }
  // Lets the line fall silent and forgets everything received.
  void settle() {
    sim.clock.sleep(20);
    while (FillReceiveBuffer(s()) > 0) s().packet.receiveCount = 0;
    s().packet.receiveCount = 0;
    ClearReceivedPacket(s());
  }
};

enum class Stream { Random, BitFlips, StrayPrefix, DroppedByte, LengthHeader, Kinds };

TEST_F(PacketFuzz, NoFrameWithABadCrcIsEverAccepted) {
  std::mt19937_64 random(20261207);
  int rounds[static_cast<int>(Stream::Kinds)] = {};
  int accepted[static_cast<int>(Stream::Kinds)] = {};
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> body(1 + random() % 40);
    for (uint8_t& b : body) b = static_cast<uint8_t>(random());
    if (body[0] == 0xF1) body[0] = 0x01;  // a reply starting F1 would read as a length header
    const std::vector<uint8_t> frame = Framed(body);
    const auto kind = static_cast<Stream>(random() % static_cast<int>(Stream::Kinds));
    std::vector<uint8_t> stream;
    switch (kind) {
      case Stream::Random:
        stream.resize(random() % 60);
        for (uint8_t& b : stream) b = static_cast<uint8_t>(random());
        break;
      case Stream::BitFlips: {
        stream = frame;
        // One or two distinct bits.
        const size_t bits = stream.size() * 8;
        const size_t a = random() % bits;
        stream[a / 8] ^= static_cast<uint8_t>(1u << (a % 8));
        if (random() % 2 == 0) {
          const size_t b = (a + 1 + random() % (bits - 1)) % bits;
          stream[b / 8] ^= static_cast<uint8_t>(1u << (b % 8));
        }
        break;
      }
      case Stream::StrayPrefix:
        stream.resize(1 + random() % 3);
        for (uint8_t& b : stream) b = static_cast<uint8_t>(random() | 1);
        if (stream[0] == 0xF1) stream[0] = 0x55;
        stream.insert(stream.end(), frame.begin(), frame.end());
        stream.push_back(static_cast<uint8_t>(random()));  // the byte the slide takes in
        break;
      case Stream::DroppedByte:
        stream = frame;
        stream.erase(stream.begin() + static_cast<long>(random() % stream.size()));
        break;
      case Stream::LengthHeader:
        stream = {0xF1, static_cast<uint8_t>(frame.size())};
        stream.insert(stream.end(), frame.begin(), frame.end());
        break;
      case Stream::Kinds:
        break;
    }
    // Mostly the length the caller expects; now and then anything, far too large included.
    uint32_t length = static_cast<uint32_t>(body.size());
    if (random() % 10 == 0) length = static_cast<uint32_t>(random() % 25000);
    const bool partial = random() % 3 == 0 && length > 1 && length <= PacketLink::kReplySize;

    peer.send(stream);
    const uint32_t first = partial ? 1 + static_cast<uint32_t>(random() % (length - 1)) : length;
    ++rounds[static_cast<int>(kind)];
    // A reply found by sliding stays held and answers the retry, as a caller's retry would.
    for (int attempt = 0; attempt < 2; ++attempt) {
      const bool received = partial ? RecvPartialPacket(s(), first) && RecvPartialPacket(s(), length - first)
                                    : RecvPacket(s(), length);
      if (!received) break;
      const PacketLink& p = s().packet;
      ASSERT_LE(p.replySize, PacketLink::kReplySize);
      const std::vector<uint8_t> held(p.replyBytes.begin(), p.replyBytes.begin() + p.replySize);
      std::vector<uint8_t> read;
      for (uint32_t i = 0; i < length; ++i) read.push_back(GetPacketByte(s()));
      if (CheckPacketEnd(s())) {
        ++accepted[static_cast<int>(kind)];
        ASSERT_EQ(wire::crc16(held.data(), held.size()), 0) << "round " << round;
        ASSERT_EQ(held.size(), length + 2u) << "round " << round;
        ASSERT_TRUE(std::equal(read.begin(), read.end(), held.begin())) << "round " << round;
        // One or two flipped bits are always caught by the CRC.
        if (kind == Stream::BitFlips) {
          ADD_FAILURE() << "corrupted frame accepted in round " << round;
        }
        if (kind == Stream::LengthHeader || kind == Stream::StrayPrefix) {
          ASSERT_EQ(read, body) << "round " << round;
        }
        break;
      }
      if (s().packet.replySize == 0) break;
    }
    settle();
  }
  for (int kind = 0; kind < static_cast<int>(Stream::Kinds); ++kind) EXPECT_GT(rounds[kind], 400);
  // Intact frames behind a length header or stray bytes are found (unless the caller asked
  // for another length).
  EXPECT_GT(accepted[static_cast<int>(Stream::LengthHeader)], rounds[static_cast<int>(Stream::LengthHeader)] * 8 / 10);
  EXPECT_GT(accepted[static_cast<int>(Stream::StrayPrefix)], rounds[static_cast<int>(Stream::StrayPrefix)] * 6 / 10);
}

}  // namespace
}  // namespace kl::test
