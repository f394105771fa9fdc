// The standard exchange against a simulated application and a scripted far end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "protocol/identification.h"
#include "protocol/remote_call.h"
#include "support/installation_fixture.h"
#include "transport/packet_link.h"
#include "wire/commands.h"

namespace kl {
namespace {

using test::Framed;
using Bytes = std::vector<uint8_t>;

class RemoteCallOnUnit : public test::InstallationTest {
 protected:
  void SetUp() override { loadScenarioFile("za3-lpc2478.scn"); }
};

TEST_F(RemoteCallOnUnit, PingIsAnsweredAtTheDefaultAddressAndTheModbusAddressOnly) {
  EXPECT_TRUE(Ping(s(), 0xF0));
  EXPECT_EQ(takeSentByPc(), Framed({0xF0, 0x41}));
  EXPECT_TRUE(Ping(s(), 2));
  EXPECT_FALSE(Ping(s(), 3));
  Bytes expected = Framed({0x02, 0x41});
  const Bytes third = Framed({0x03, 0x41});
  expected.insert(expected.end(), third.begin(), third.end());
  EXPECT_EQ(takeSentByPc(), expected);
}

TEST_F(RemoteCallOnUnit, OneAttemptSendsTheHeaderAndArgumentsAndReadsTheResults) {
  uint8_t address = 0;
  const CallRequest request{2, wire::cmd::GetModbusAddress, {}, 0};
  EXPECT_TRUE(CallOnce(s(), request, 5, [&](LinkContext& session) {
    address = GetPacketByte(session);
    return true;
  }));
  EXPECT_EQ(address, 2);
  EXPECT_EQ(takeSentByPc(), Framed({0x02, 0x45, 0x10, 0x1B}));
}

TEST_F(RemoteCallOnUnit, AnArgumentEchoThatDiffersFailsTheAttempt) {
  const CallRequest request{2, wire::cmd::GetModbusAddress, {}, 0};
  EXPECT_FALSE(CallOnce(s(), request, 5, [](LinkContext& session) { return GetPacketByte(session) == 9; }));
}

TEST_F(RemoteCallOnUnit, AReplyLongerThanTheCallReadsFailsItsEndCheck) {
  const CallRequest request{2, wire::cmd::GetModbusAddress, {}, 0};
  // The unit sends five bytes; reading only the echo leaves one unread.
  EXPECT_FALSE(CallOnce(s(), request, 5));
  EXPECT_THAT(consoleLines(), ::testing::Contains("READ ERROR: final position=4, should be at=5"));
}

class RemoteCallScripted : public test::InstallationTest {
 protected:
  void SetUp() override { useScriptedPeer(115200); }
  // Every request of `size` bytes (CRC included) is answered with `reply` (CRC added).
  void answer(size_t size, Bytes reply) {
    peer.onByte = [size, framed = Framed(std::move(reply))](sim::ScriptedPeer& p, uint8_t) {
      if (p.received.size() % size == 0) p.send(framed);
    };
  }
  int requestsSent(size_t size) { return static_cast<int>(peer.received.size() / size); }
};

TEST_F(RemoteCallScripted, AWrongAddressEchoIsRetriedLikeAMissingReply) {
  answer(6, {0x06, 0x45, 0x10, 0x1B, 0x07});
  const CallRequest request{5, wire::cmd::GetModbusAddress, {}, 0};
  int attempts = 0;
  EXPECT_FALSE(LoggedCall(s(), "GetModbusAddress", 4, [&] {
    ++attempts;
    return CallOnce(s(), request, 5, [](LinkContext& session) {
      GetPacketByte(session);
      return true;
    });
  }));
  EXPECT_EQ(attempts, 4);
  EXPECT_EQ(requestsSent(6), 4);
  EXPECT_EQ(consoleLines(), (std::vector<std::string>{"RPC: GetModbusAddress", "FAILED"}));
}

TEST_F(RemoteCallScripted, WrongFunctionOrCommandEchoesFail) {
  const CallRequest request{5, wire::cmd::GetModbusAddress, {}, 0};
  auto readOne = [](LinkContext& session) {
    GetPacketByte(session);
    return true;
  };
  answer(6, {0x05, 0x46, 0x10, 0x1B, 0x07});
  EXPECT_FALSE(CallOnce(s(), request, 5, readOne));
  answer(6, {0x05, 0x45, 0x10, 0x1C, 0x07});
  EXPECT_FALSE(CallOnce(s(), request, 5, readOne));
  answer(6, {0x05, 0x45, 0x10, 0x1B, 0x07});
  EXPECT_TRUE(CallOnce(s(), request, 5, readOne));
}

// A ping answered in another unit's name is no answer: the unit at 6 must not pass for 5.
TEST_F(RemoteCallScripted, APingAnsweredFromAnotherAddressIsNoAnswer) {
  answer(4, {0x06, 0x42});
  EXPECT_FALSE(Ping(s(), 5));
  answer(4, {0x05, 0x42});
  EXPECT_TRUE(Ping(s(), 5));
}

TEST_F(RemoteCallScripted, AShortReplyIsReadAsZerosAndFails) {
  answer(6, {0x05, 0x45, 0x10});
  uint8_t result = 0xEE;
  const CallRequest request{5, wire::cmd::GetModbusAddress, {}, 0};
  EXPECT_FALSE(CallOnce(s(), request, 5, [&](LinkContext& session) {
    result = GetPacketByte(session);
    return true;
  }));
  EXPECT_EQ(result, 0);
}

TEST_F(RemoteCallScripted, AnIdenticalRetryIsAnsweredFromAReplyFoundByResynchronising) {
  // A stray byte in front of the first reply: the end check slides onto the real reply,
  // and the identical retry takes it without sending the request again.
  peer.onByte = [](sim::ScriptedPeer& p, uint8_t) {
    if (p.received.size() == 6) {
      Bytes reply{0x55};
      const Bytes framed = Framed({0x05, 0x45, 0x10, 0x1B, 0x07});
      reply.insert(reply.end(), framed.begin(), framed.end());
      p.send(reply);
    }
  };
  const CallRequest request{5, wire::cmd::GetModbusAddress, {}, 0};
  uint8_t address = 0;
  auto readOne = [&](LinkContext& session) {
    address = GetPacketByte(session);
    return true;
  };
  EXPECT_TRUE(Repeat(4, [&] { return CallOnce(s(), request, 5, readOne); }));
  EXPECT_EQ(address, 7);
  EXPECT_EQ(peer.received.size(), 6u);
}

TEST_F(RemoteCallScripted, LoggedCallWritesTheCompleteLineOfItsCaller) {
  int calls = 0;
  EXPECT_TRUE(LoggedCall(s(), "Something", 8, [&] { return ++calls == 3; },
                         [&] { s().out(Channel::Debug) << "COMPLETE: Result=00" << crlf; }));
  EXPECT_EQ(calls, 3);
  EXPECT_TRUE(LoggedCall(s(), "Other", 1, [] { return true; }));
  EXPECT_EQ(consoleLines(), (std::vector<std::string>{"RPC: Something", "COMPLETE: Result=00", "RPC: Other",
                                                      "COMPLETE"}));
}

}  // namespace
}  // namespace kl
