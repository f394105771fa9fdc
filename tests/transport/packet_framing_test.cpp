#include "link_fixture.h"
#include "protocol/link_speed.h"
#include "transport/packet_link.h"

namespace kl::test {
namespace {

const std::vector<uint8_t> kRequest = {0x01, 0x45, 0x10, 0x1B};
const std::vector<uint8_t> kReplyBody = {0x01, 0x46, 0x00, 0x2A};

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(CrcRegister, TakesSwappedValueAndStartsAgain) {
  CrcRegister crc;
  const std::string check = "123456789";
  crc.add(reinterpret_cast<const uint8_t*>(check.data()), check.size());
  EXPECT_EQ(crc.take(), 0x374B);  // 0x4B37 with its bytes swapped
  crc.add(reinterpret_cast<const uint8_t*>(check.data()), check.size());
  EXPECT_EQ(crc.take(), 0x374B) << "taking the value resets the register to FFFF";
}

class Framing : public LinkTest {
 protected:
  void SetUp() override { openLine(); }
  std::vector<uint8_t> onLine() {
    EXPECT_TRUE(WaitPacketsSent(s()));
    return line.sentByPc();
  }
};

TEST_F(Framing, PlainRequestIsBytesAndCrcLowByteFirst) {
  sendRequest(kRequest);
  EXPECT_EQ(onLine(), Framed(kRequest));
  const std::vector<uint8_t> expected = Framed(kRequest);
  const std::string crcText = hexText(expected[4] * 256u + expected[5], 4);
  EXPECT_NE(console().find("<SEND (4) 01 45 10 1B> <CRC " + crcText + ">"), std::string::npos) << console();
  EXPECT_EQ(s().packet.bytesSent, 6u);
}

TEST_F(Framing, LengthFramedRequestHasF1AndCount) {
  BeginPacket(s());
  for (uint8_t b : kRequest) PutPacketByte(s(), b);
  SendLengthFramePacket(s(), 4);
  EXPECT_EQ(onLine(), Concat({0xF1, 0x06}, Framed(kRequest)));
  EXPECT_NE(console().find("<LENGTH HEADER F1 06> <SEND (4)"), std::string::npos);
}

TEST_F(Framing, ProxiedRequestCarriesProxyHeaderInsideTheCrc) {
  s().packet.proxyOn = true;
  s().packet.proxyAddress = 5;
  s().packet.proxyPort = 2;
  sendRequest(kRequest);
  const std::vector<uint8_t> covered = {0x05, 0x47, 0x3E, 0x02, 0x04, 0x01, 0x45, 0x10, 0x1B};
  EXPECT_EQ(onLine(), Concat({0xF1, 0x0B}, Framed(covered)));
  EXPECT_NE(console().find("<LENGTH HEADER F1 0B> <PROXY HEADER 05 47 3E 02 04> <SEND (4) 01 45 10 1B>"),
            std::string::npos);
}

TEST_F(Framing, SizeMismatchSendsNothingAndKeepsTheRequest) {
  BeginPacket(s());
  for (uint8_t b : kRequest) PutPacketByte(s(), b);
  SendPacket(s(), 5);
  EXPECT_NE(console().find("ERROR: SendPacket(5): Write size error:4"), std::string::npos);
  EXPECT_TRUE(onLine().empty());
  EXPECT_EQ(s().packet.writePos, 4u);
}

TEST_F(Framing, RequestBeyondTwentyThousandBytesIsASizeError) {
  BeginPacket(s());
  // One constant byte throughout: a byte stored past the buffer would show in the count.
  for (int i = 0; i < 20001; ++i) PutPacketByte(s(), 0x5A);
  EXPECT_EQ(s().packet.writePos, 20000u);
  EXPECT_EQ(s().packet.lastLength, 20000u);
  SendPacket(s(), 20001);
  EXPECT_NE(console().find("Write size error:20000"), std::string::npos);
  EXPECT_TRUE(onLine().empty());
}

TEST_F(Framing, ReplyIsReadBackAndChecked) {
  answerWith(6, Framed(kReplyBody));
  sendRequest(kRequest);
  ASSERT_TRUE(RecvPacket(s(), 4));
  EXPECT_EQ(readReply(4), kReplyBody);
  EXPECT_TRUE(CheckPacketEnd(s()));
  EXPECT_NE(console().find("[RECV (4) 01 46 00 2A] [CRC "), std::string::npos);
  EXPECT_EQ(s().packet.bytesReceived, 6u);
}

TEST_F(Framing, ReadingTooFewOrTooManyBytesFailsTheCheck) {
  answerWith(6, Framed(kReplyBody));
  sendRequest(kRequest);
  ASSERT_TRUE(RecvPacket(s(), 4));
  readReply(3);
  EXPECT_FALSE(CheckPacketEnd(s()));
  EXPECT_NE(console().find("READ ERROR: final position=3, should be at=4"), std::string::npos);

  sendRequest({0x01, 0x45, 0x10, 0x1C});
  ASSERT_TRUE(RecvPacket(s(), 4));
  readReply(5);
  EXPECT_FALSE(CheckPacketEnd(s()));
  EXPECT_NE(console().find("READ ERROR: final position=5, should be at=4"), std::string::npos);
}

TEST_F(Framing, ReplyLengthHeaderAndProxyHeaderAreSkipped) {
  s().packet.proxyOn = true;
  s().packet.proxyAddress = 5;
  s().packet.proxyPort = 2;
  const std::vector<uint8_t> framed = Framed(Concat({0x05, 0x47, 0x3F, 0x02, 0x04}, kReplyBody));
  answerWith(13, Concat({0xF1, static_cast<uint8_t>(framed.size())}, framed));
  sendRequest(kRequest);
  ASSERT_TRUE(RecvPacket(s(), 4));
  EXPECT_EQ(readReply(4), kReplyBody);
  EXPECT_TRUE(CheckPacketEnd(s()));
  const std::string text = console();
  EXPECT_NE(text.find("[LENGTH HEADER F1 0B] [PROXY HEADER 05 47 3F 02 04]"), std::string::npos) << text;
  EXPECT_NE(text.find("[RECV (4) 01 46 00 2A]"), std::string::npos);
  // A header of a request, not of a reply (the PC's own frame coming back), relays nothing.
  const std::vector<uint8_t> echoed = Framed(Concat({0x05, 0x47, 0x3E, 0x02, 0x04}, kReplyBody));
  answerWith(13, Concat({0xF1, static_cast<uint8_t>(echoed.size())}, echoed));
  sendRequest(kRequest);
  ASSERT_TRUE(RecvPacket(s(), 4));
  readReply(4);
  EXPECT_FALSE(CheckPacketEnd(s()));
}

TEST_F(Framing, StrayByteIsSlidOutAndTheIdenticalRetryIsSuppressed) {
  answerWith(6, Framed(kReplyBody));
  line.injectStray({0x55});
  sendRequest(kRequest);
  ASSERT_TRUE(RecvPartialPacket(s(), 4));
  readReply(4);
  EXPECT_FALSE(CheckPacketEnd(s()));
  EXPECT_NE(console().find("[BAD CRC (6) 55 01 46 00 2A "), std::string::npos);
  EXPECT_NE(console().find("[SLIDE PACKET GOOD CRC (6) 01 46 00 2A "), std::string::npos);

  sendRequest(kRequest);
  EXPECT_NE(console().find("<SUPPRESS (4) 01 45 10 1B>"), std::string::npos);
  ASSERT_TRUE(RecvPartialPacket(s(), 4));
  EXPECT_EQ(readReply(4), kReplyBody);
  EXPECT_TRUE(CheckPacketEnd(s()));
  EXPECT_EQ(line.sentByPc().size(), 6u) << "the retry must not go on the line";
}

TEST_F(Framing, RecvPacketSlidesToTheReplyBehindAStrayByte) {
  answerWith(6, Framed(kReplyBody));
  line.injectStray({0xF0});
  sendRequest(kRequest);
  ASSERT_TRUE(RecvPacket(s(), 4));
  EXPECT_EQ(readReply(4), kReplyBody);
  EXPECT_TRUE(CheckPacketEnd(s()));
}

// Line noise before a reply is slid over byte by byte for up to 100 ms: two dozen stray bytes
// at 9600 baud take some 20 ms of it.
TEST_F(Framing, RecvPacketSlidesToTheReplyBehindTwoDozenStrayBytes) {
  ASSERT_TRUE(ChangePacketBaudRate(s(), 9600, 0, 100, false));
  line.farPort().setFormat(sim::LineFormat{9600, sim::Parity::None});
  answerWith(6, Framed(kReplyBody));
  line.injectStray(std::vector<uint8_t>(24, 0x55));
  sendRequest(kRequest);
  ASSERT_TRUE(RecvPacket(s(), 4));
  EXPECT_EQ(readReply(4), kReplyBody);
  EXPECT_TRUE(CheckPacketEnd(s()));
}

TEST_F(Framing, DifferingRequestDiscardsAHeldReply) {
  answerWith(6, Framed(kReplyBody));
  line.injectStray({0x55});
  sendRequest(kRequest);
  ASSERT_TRUE(RecvPartialPacket(s(), 4));
  readReply(4);
  ASSERT_FALSE(CheckPacketEnd(s()));
  ASSERT_GT(s().packet.replySize, 0u);

  sendRequest({0x01, 0x45, 0x10, 0x1C});
  EXPECT_NE(console().find("[DISCARD (6) 01 46 00 2A "), std::string::npos);
  EXPECT_EQ(s().packet.replySize, 0u);
  EXPECT_TRUE(WaitPacketsSent(s()));
  EXPECT_EQ(line.sentByPc().size(), 12u) << "a new request is sent";
}

TEST_F(Framing, ShorterCopyOfThePreviousRequestDiscardsAndSends) {
  answerWith(6, Framed(kReplyBody));
  line.injectStray({0x55});
  sendRequest(kRequest);
  ASSERT_TRUE(RecvPartialPacket(s(), 4));
  readReply(4);
  ASSERT_FALSE(CheckPacketEnd(s()));
  sendRequest({0x01, 0x45, 0x10});
  EXPECT_NE(console().find("[DISCARD (6)"), std::string::npos);
  EXPECT_TRUE(WaitPacketsSent(s()));
  EXPECT_EQ(line.sentByPc().size(), 11u);
}

TEST_F(Framing, SilenceShortReplyAndBabbleEndWithinTheirLimits) {
  sendRequest(kRequest);
  uint64_t began = nowMs();
  EXPECT_FALSE(RecvPacket(s(), 4));
  EXPECT_NE(console().find("[NO DATA]"), std::string::npos);
  // The whole reply time-out is waited, not a step less.
  EXPECT_GE(nowMs() - began, s().portSettings.replyTimeout);
  EXPECT_LE(nowMs() - began, 130u);

  answerWith(6, {0x01, 0x46, 0x00});
  sendRequest({0x01, 0x45, 0x10, 0x1C});
  EXPECT_FALSE(RecvPacket(s(), 4));
  EXPECT_NE(console().find("[PARTIAL RECV (3) 01 46 00] {_F_} - missing 3 bytes"), std::string::npos) << console();

  // A far end that never stops talking: the slide gives up after its 100 ms.
  std::vector<uint8_t> noise(2000, 0x33);
  answerWith(6, noise);
  sendRequest({0x01, 0x45, 0x10, 0x1D});
  began = nowMs();
  EXPECT_TRUE(RecvPacket(s(), 4));
  EXPECT_FALSE(CheckPacketEnd(s()));
  EXPECT_NE(console().find("[SLIDE PACKET TIMEOUT (6) 33 33 33 33 33 33]"), std::string::npos);
  EXPECT_LE(nowMs() - began, 300u);
}

TEST_F(Framing, LargestReplyFitsAndLargerOnesAreRefused) {
  useBaud(921600);
  ClosePort(s());
  openLine();
  s().portSettings.replyTimeout = 1000;
  std::vector<uint8_t> body(20002);
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i * 7);
  answerWith(6, Framed(body));
  sendRequest(kRequest);
  ASSERT_TRUE(RecvPacket(s(), 20002));
  EXPECT_EQ(readReply(20002), body);
  EXPECT_TRUE(CheckPacketEnd(s()));

  EXPECT_FALSE(RecvPacket(s(), 20003));
  EXPECT_NE(console().find("[RECEIVE SIZE ERROR (20003)]"), std::string::npos);
  s().packet.proxyOn = true;
  EXPECT_FALSE(RecvPacket(s(), 19998));
  s().packet.proxyOn = false;
  EXPECT_FALSE(RecvPacket(s(), UINT32_MAX)) << "no wrap-around of the size check";
}

TEST_F(Framing, PartialReceivesCannotOverrunTheReplyBuffer) {
  useBaud(921600);
  ClosePort(s());
  openLine();
  s().portSettings.replyTimeout = 1000;
  std::vector<uint8_t> body(20002, 0x5A);
  answerWith(6, Framed(body));
  sendRequest(kRequest);
  ASSERT_TRUE(RecvPartialPacket(s(), 10000));
  ASSERT_TRUE(RecvPartialPacket(s(), 10002));
  EXPECT_FALSE(RecvPartialPacket(s(), 1));
  EXPECT_EQ(s().packet.replySize, 0u);
}

TEST_F(Framing, DeviceThatDisappearsFailsBothWaysWithoutHanging) {
  useBaud(9600);
  ClosePort(s());
  openLine();
  s().portSettings.replyTimeout = 1000;
  answerWith(6, Framed(std::vector<uint8_t>(400, 0x11)));
  sim.world.after(100000, [this] { line.unplug(); });  // mid-reply
  sendRequest(kRequest);
  const uint64_t began = nowMs();
  EXPECT_FALSE(RecvPacket(s(), 400));
  EXPECT_NE(console().find("[RECEIVE FAIL]"), std::string::npos);
  EXPECT_LE(nowMs() - began, 150u);
  sendRequest({0x01, 0x45, 0x10, 0x1C});
  EXPECT_NE(console().find("<TRANSMIT FAIL>"), std::string::npos);
  EXPECT_EQ(s().packet.transmitCount, 6u) << "the frame stays staged";
  WaitPacketsSent(s());
  ClosePort(s());
  EXPECT_FALSE(IsPortOpen(s()));
}

}  // namespace
}  // namespace kl::test
