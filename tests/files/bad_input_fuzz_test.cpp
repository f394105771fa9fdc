// Seeded random and mutated property lists and file replies fed to the readers. Run under the
// sanitizers, any read outside the data fails the test; the assertions check what the readers
// may deliver.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/installation_fixture.h"
#include "transfer/aa_records.h"
#include "transfer/remote_file_access.h"
#include "transfer/remote_file_window.h"
#include "transport/packet_link.h"

namespace kl {
namespace {

using Bytes = std::vector<uint8_t>;
using test::Framed;

std::string Text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// A sound list of a few records of every type, tags ascending.
Bytes SoundList(std::mt19937& rng) {
  Bytes list;
  uint8_t tag = 0;
  const int records = static_cast<int>(rng() % 6);
  for (int i = 0; i < records; ++i) {
    tag = static_cast<uint8_t>(tag + 1 + rng() % 20);
    const auto type = static_cast<uint8_t>(rng() % 16);
    const size_t length = type >= 14 ? rng() % 40 : rng() % 16;
    list.push_back(tag);
    if (type >= 14) {
      list.push_back(static_cast<uint8_t>(type << 4 | length >> 8));
      list.push_back(static_cast<uint8_t>(length));
    } else {
      list.push_back(static_cast<uint8_t>(type << 4 | length));
    }
    for (size_t j = 0; j < length; ++j) list.push_back(static_cast<uint8_t>(rng()));
  }
  return list;
}

// Flips, cuts, stretches or replaces a message.
Bytes Mutated(std::mt19937& rng, Bytes bytes) {
  switch (rng() % 5) {
    case 0:
      for (int i = 0, n = 1 + static_cast<int>(rng() % 3); i < n && !bytes.empty(); ++i) {
        bytes[rng() % bytes.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
      }
      break;
    case 1:
      bytes.resize(bytes.empty() ? 0 : rng() % bytes.size());
      break;
    case 2:
      for (int i = 0, n = 1 + static_cast<int>(rng() % 300); i < n; ++i) bytes.push_back(static_cast<uint8_t>(rng()));
      break;
    case 3:
      bytes.assign(rng() % 300, 0);
      for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
      break;
    default:
      break;  // left sound
  }
  return bytes;
}

class BadReplies : public test::InstallationTest {
 protected:
  BadReplies() : rng(4711) {
    useScriptedPeer();
    s().givenOptions().debug = false;
  }

  // Answers every request of `requestBytes` bytes with a mutated form of `sound(request)`.
  void answerWith(size_t requestBytes, std::function<Bytes(const Bytes&)> sound) {
    peer.received.clear();
    peer.onByte = [this, requestBytes, sound](sim::ScriptedPeer& p, uint8_t) {
      if (p.received.size() % requestBytes != 0) return;
      const Bytes request(p.received.end() - static_cast<std::ptrdiff_t>(requestBytes), p.received.end());
      Bytes reply = sound(request);
      const bool framed = rng() % 4 != 0;
      reply = Mutated(rng, framed ? Framed(reply) : reply);
      if (rng() % 3 == 0) reply.insert(reply.begin(), {0xF1, static_cast<uint8_t>(reply.size())});
      ++repliesSent;
      p.send(reply);
    };
  }

  // Drops what is left on the line between rounds.
  void settle() {
    advanceMs(50);
    ClearReceivedPacket(s());
    s().packet.receiveCount = 0;
    clearConsole();
  }

  std::mt19937 rng;
  size_t repliesSent = 0;
  const RemoteFile file{0xF0, 0x01, 0x01E0};
};

TEST_F(BadReplies, PropertyListsAreReadInsideTheirBytes) {
  for (int round = 0; round < 5000; ++round) {
    const std::string list = Text(Mutated(rng, SoundList(rng)));
    AaWalker walker(list);
    size_t walked = 0;
    while (const auto record = walker.next()) {
      ASSERT_EQ(record->offset, walked);
      ASSERT_LE(record->offset + record->size, list.size());
      ASSERT_EQ(record->value.data() + record->value.size(), list.data() + record->offset + record->size);
      walked += record->size;
    }
    EXPECT_EQ(walker.fault().empty(), walked == list.size());
    (void)AaListFault(list);
    for (int tag = 0; tag < 256; tag += 17) (void)GetLargeIntAA(s(), list, static_cast<uint8_t>(tag));
    // Storing a value leaves it readable, whatever the list held before.
    DynamicString changed = s().text(list);
    const auto tag = static_cast<uint8_t>(rng() % 64);
    const uint32_t value = rng() % 3 == 0 ? 0 : (rng() >> (rng() % 32));
    PutUIntAA(changed, tag, value);
    if (value != 0) {
      EXPECT_EQ(GetLargeIntAA(s(), changed.view(), tag), value);
    }
    if (round % 500 == 0) clearConsole();
  }
}

Bytes Echo(const Bytes& request, size_t count) { return Bytes(request.begin(), request.begin() + count); }

TEST_F(BadReplies, AttributesAndBlocks) {
  for (int round = 0; round < 150; ++round) {
    answerWith(13, [&](const Bytes& request) {
      Bytes reply = Echo(request, 7);
      reply.push_back(0);
      for (int i = 0; i < 20; ++i) reply.push_back(static_cast<uint8_t>(rng()));
      const Bytes list = SoundList(rng);
      reply.push_back(static_cast<uint8_t>(rng() % 2 ? list.size() : rng()));
      reply.insert(reply.end(), list.begin(), list.end());
      return reply;
    });
    uint8_t result = 0;
    FileAttributes attributes;
    if (GetFileAttributes(s(), file, 300, result, attributes)) {
      EXPECT_LE(attributes.properties.view().size(), 255u);
      (void)GetLargeIntAA(s(), attributes.properties.view(), kFileCrcTag);
    }
    settle();

    answerWith(14, [&](const Bytes& request) {
      Bytes reply = Echo(request, 11);
      const uint8_t count = rng() % 8 == 0 ? 0xFF : static_cast<uint8_t>(rng() % 140);
      reply.push_back(count);
      for (int i = 0; i < count && count != 0xFF; ++i) reply.push_back(static_cast<uint8_t>(rng()));
      return reply;
    });
    std::array<uint8_t, 128> block{};
    uint32_t count = 100;
    if (ReadFileBlock(s(), file, 0x80, count, block.data())) {
      EXPECT_LE(count, 100u);
    }
    settle();
  }
  EXPECT_GT(repliesSent, 1000u);
}

TEST_F(BadReplies, WindowedReadsAndWrites) {
  for (int round = 0; round < 40; ++round) {
    RemoteFileState& state = s().storage.remoteFile;
    state.readOpen = true;
    state.writeOpen = false;
    EmptyWindow(state.window, true);
    answerWith(15, [&](const Bytes& request) {
      Bytes reply = {0xF0, static_cast<uint8_t>(rng() % 2 ? 0x47 : 0x48)};
      if (reply[1] == 0x48) reply.push_back(0x04);
      reply.push_back('1');
      reply.insert(reply.end(), request.begin() + 5, request.begin() + 12);
      const uint8_t count = rng() % 10 == 0 ? 0xFF : static_cast<uint8_t>(rng() % 140);
      reply.push_back(count);
      for (int i = 0; i < count && count != 0xFF; ++i) reply.push_back(static_cast<uint8_t>(rng()));
      return reply;
    });
    std::array<uint8_t, 128> block{};
    uint32_t offset = 0;
    for (int read = 0; read < 4; ++read) {
      uint32_t count = 128;
      if (!ReadFileRemote(s(), file, offset, count, block.data())) break;
      ASSERT_LE(count, 128u);
      offset += count;
    }
    uint8_t result = 0;
    CloseFile(s(), file, result);
    settle();

    state.readOpen = false;
    state.writeOpen = true;
    EmptyWindow(state.window, false);
    answerWith(16, [&](const Bytes& request) {
      // Built in place: GCC 12 at -O3 misjudges an insert into a three-byte vector.
      Bytes reply(request.begin() + 2, request.begin() + 12);
      reply[0] = 0xF0;
      reply[1] = 0x47;
      reply[2] = static_cast<uint8_t>(rng() % 3 ? '3' : '4');
      reply.push_back(0);
      reply.push_back(rng() % 20 == 0 ? 1 : 0);
      return reply;
    });
    const uint8_t byte = 0x5A;
    for (uint32_t at = 0; at < 12; ++at) {
      if (!WriteFileRemote(s(), file, at, 1, &byte, result)) break;
    }
    FlushFileRemote(s(), file, result);
    EXPECT_LE(state.window.inFlight, kFileWindowSize);
    settle();
  }
  EXPECT_GT(repliesSent, 1000u);
}

}  // namespace
}  // namespace kl
