#include "transport/transfer_report.h"

#include "link_fixture.h"
#include "transport/packet_link.h"

namespace kl::test {
namespace {

TEST(DataRate, CountsElevenLineBitsAByte) {
  EXPECT_EQ(DataRate(11520, 1000), 126720u);
  EXPECT_EQ(DataRate(1000, 0), 11000000u) << "0 ms is taken as 1 ms";
  EXPECT_EQ(DataRate(3, 7), 4714u) << "truncated";
  EXPECT_EQ(DataRate(0, 500), 0u);
}

class Reporting : public LinkTest {};

TEST_F(Reporting, ProgressBarShowsSixtyDotsOnTheConsoleOnly) {
  ShowProgress(s(), 0, 0);
  ShowProgress(s(), 0, 1000);
  EXPECT_EQ(console(), "");
  ShowProgress(s(), 500, 1000);
  EXPECT_EQ(console(), std::string(30, '.'));
  ShowProgress(s(), 510, 1000);
  EXPECT_EQ(console(), std::string(30, '.')) << "no new dot due yet";
  ShowProgress(s(), 5000, 1000);
  EXPECT_EQ(console(), std::string(60, '.')) << "done beyond the total counts as the total";
  ShowProgress(s(), 1, 3);  // a new total starts a new bar
  EXPECT_EQ(console(), std::string(80, '.'));
  EndProgress(s());
  ShowProgress(s(), 1, 3);
  EXPECT_EQ(console(), std::string(80, '.') + "\r\n" + std::string(20, '.'));
  EXPECT_FALSE(s().out.log().isOpen());
}

TEST_F(Reporting, SummaryLineReportsTheTransfersOwnBytesAndTime) {
  openLine();
  s().packet.bytesSent = 1000;
  const TransferMeter meter = StartTransferMeter(s(), TransferDirection::Sent);
  const std::vector<uint8_t> request(100, 0x10);
  BeginPacket(s());
  for (uint8_t b : request) PutPacketByte(s(), b);
  SendPacket(s(), 100);
  sim.clock.sleep(250);
  WriteTransferSummary(s(), meter);
  EXPECT_NE(console().find("Bytes sent = 102 : Time = 250 mS : Data rate = 4488 baud"), std::string::npos)
      << console();

  const TransferMeter received = StartTransferMeter(s(), TransferDirection::Received);
  WriteTransferSummary(s(), received);
  EXPECT_NE(console().find("Bytes received = 0 : Time = 0 mS : Data rate = 0 baud"), std::string::npos);
}

TEST_F(Reporting, StagingOverflowIsReportedAndCapped) {
  std::vector<uint8_t> block(40000, 0x01);
  TransmitBlock(s(), block.data(), 40000);
  TransmitBlock(s(), block.data(), 40000);
  EXPECT_EQ(s().packet.transmitCount, PacketLink::kStagingSize);
  EXPECT_NE(console().find("<TRANSMIT BUFFER OVERFLOW>"), std::string::npos);
}

}  // namespace
}  // namespace kl::test
