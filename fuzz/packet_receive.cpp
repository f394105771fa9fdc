// A reply byte stream, arriving in bursts at times the input chooses, fed to the packet layer's
// receive, slide and check path and to the remote-call readers on top of it. The input first
// names up to four steps (raw receives, identification and control calls, file attributes and
// blocks, the windowed file read and write, proxy search); what is left is the stream.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <deque>
#include <vector>

#include "fuzz_support.h"
#include "protocol/identification.h"
#include "protocol/proxy_calls.h"
#include "protocol/remote_call.h"
#include "protocol/unit_control.h"
#include "transfer/remote_file_access.h"
#include "transfer/remote_file_window.h"
#include "transport/link_control.h"
#include "transport/packet_link.h"
#include "transport/serial_port.h"
#include "wire/crc16.h"
#include "wire/frame.h"

namespace kl::fuzz {
namespace {

constexpr int kLinePort = 3;

struct Burst {
  uint64_t atUs;
  std::vector<uint8_t> bytes;
  bool portFails;  // from this burst on the port reports a read failure
};

// The far end as the PC's port sees it: takes every write at once and delivers the bursts when
// their time has come.
class ReplyStream : public SerialDevice {
 public:
  ReplyStream(World& world, std::deque<Burst> bursts) : world_(world), bursts_(std::move(bursts)) {}

  bool setSettings(const SerialSettings&) override { return true; }
  long startWrite(const uint8_t*, size_t count) override {
    written_.push_back(static_cast<long>(count));
    return static_cast<long>(written_.size() - 1);
  }
  long finishWrite(long id, uint32_t) override {
    return id >= 0 && static_cast<size_t>(id) < written_.size() ? written_[static_cast<size_t>(id)] : -1;
  }
  long read(uint8_t* buffer, size_t maximum) override {
    arrive();
    if (failed_) return -1;
    const size_t n = std::min(maximum, arrived_.size());
    std::copy_n(arrived_.begin(), n, buffer);
    arrived_.erase(arrived_.begin(), arrived_.begin() + static_cast<long>(n));
    return static_cast<long>(n);
  }
  bool waitReadable(uint32_t ms) override {
    arrive();
    if (!arrived_.empty() || failed_) return true;
    uint64_t until = world_.nowUs() + uint64_t{ms} * 1000;
    if (!bursts_.empty()) until = std::min(until, std::max(bursts_.front().atUs, world_.nowUs()));
    world_.advanceTo(until);
    arrive();
    return !arrived_.empty() || failed_;
  }
  void purge() override { arrived_.clear(); }
  uint32_t takeLineErrors() override { return 0; }
  bool cts() override { return true; }

 private:
  void arrive() {
    while (!bursts_.empty() && bursts_.front().atUs <= world_.nowUs()) {
      const Burst& burst = bursts_.front();
      arrived_.insert(arrived_.end(), burst.bytes.begin(), burst.bytes.end());
      failed_ = failed_ || burst.portFails;
      bursts_.pop_front();
    }
  }

  World& world_;
  std::deque<Burst> bursts_;
  std::deque<uint8_t> arrived_;
  std::vector<long> written_;
  bool failed_ = false;
};

// Reads `length` reply bytes and judges the reply; an accepted reply must be exactly a frame
// with a sound CRC whose bytes the reader got.
void ReadAndCheck(Session& s, uint32_t length) {
  const PacketLink& p = s.packet;
  std::vector<uint8_t> read;
  for (uint32_t i = 0; i < length && i < PacketLink::kReplySize; ++i) read.push_back(GetPacketByte(s));
  Require(p.replySize <= PacketLink::kReplySize, "the held reply fits its buffer");
  Require(p.readPos <= p.replySize, "the reader stays inside the held reply");
  const std::vector<uint8_t> held(p.replyBytes.begin(), p.replyBytes.begin() + p.replySize);
  const bool headerSeen = p.proxyHeaderSeen;
  if (!CheckPacketEnd(s)) return;
  Require(wire::crc16(held.data(), held.size()) == 0, "an accepted reply has a sound CRC");
  const size_t header = p.proxyOn ? wire::kProxyHeaderSize : 0;
  Require(!p.proxyOn || headerSeen, "an accepted relayed reply had its proxy header");
  Require(held.size() == length + 2 + header, "an accepted reply has the length asked for");
  Require(std::equal(read.begin(), read.end(), held.begin() + static_cast<long>(header)),
          "the reader got the reply's own bytes");
}

void SendSomething(Session& s, FuzzedDataProvider& in) {
  // Often the previous request again: a reply found by sliding then answers it.
  const auto length = in.ConsumeIntegralInRange<uint32_t>(1, 24);
  const bool repeat = in.ConsumeBool();
  BeginPacket(s);
  for (uint32_t i = 0; i < length; ++i) {
    PutPacketByte(s, repeat && i < s.packet.lastLength ? s.packet.requestBytes[i] : in.ConsumeIntegral<uint8_t>());
  }
  if (in.ConsumeBool()) {
    SendLengthFramePacket(s, length);
  } else {
    SendPacket(s, in.ConsumeBool() ? length : length + 1);  // now and then a wrong size
  }
}

RemoteFile FileOf(FuzzedDataProvider& in) {
  return RemoteFile{in.ConsumeIntegral<uint8_t>(), in.ConsumeIntegral<uint8_t>(), in.ConsumeIntegral<uint16_t>()};
}

void Step(Session& s, Unit& unit, FuzzedDataProvider& in) {
  uint8_t result = 0;
  switch (in.ConsumeIntegralInRange<int>(0, 17)) {
    case 0: {
      // Now and then more than the reply buffer holds.
      const uint32_t length = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 300)
                                               : in.ConsumeIntegralInRange<uint32_t>(0, 30000);
      RecvPacket(s, length);
      ReadAndCheck(s, length);
      break;
    }
    case 1: {
      const uint32_t first = in.ConsumeIntegralInRange<uint32_t>(0, 64);
      const uint32_t rest = in.ConsumeIntegralInRange<uint32_t>(0, 300);
      if (RecvPartialPacket(s, first)) RecvPartialPacket(s, rest);
      ReadAndCheck(s, first + rest);
      break;
    }
    case 2: {
      const CallRequest request{in.ConsumeIntegral<uint8_t>(), in.ConsumeIntegral<uint16_t>(), {}, 0};
      const uint32_t head = in.ConsumeIntegralInRange<uint32_t>(4, 12);
      CallOnceInSteps(s, request, head, [&](LinkContext&) {
        for (uint32_t i = 4; i < head; ++i) GetPacketByte(s);
        const uint8_t more = GetPacketByte(s);
        ReceiveMore(s, more);
        for (uint8_t i = 0; i < more; ++i) GetPacketByte(s);
        return true;
      });
      break;
    }
    case 3:
      ReadUnitInfo(s, unit);
      break;
    case 4:
      ReadExtendedInfo(s, unit);
      break;
    case 5:
      ReadAdvancedInfo(s, unit);
      break;
    case 6:
      if (in.ConsumeBool()) {
        ReadBootLoaderVersion(s, unit);
      } else {
        ReadBootLoaderRelease(s, unit);
      }
      break;
    case 7: {
      std::vector<uint8_t> ids;
      if (ListRemoteUnits(s, ids)) Require(ids.size() <= 255, "a unit list holds at most 255 units");
      break;
    }
    case 8: {
      std::vector<uint16_t> ids;
      GetDebugLogs(s, unit, ids);
      break;
    }
    case 9: {
      FileAttributes attributes;
      if (GetFileAttributes(s, FileOf(in), in.ConsumeIntegral<uint32_t>(), result, attributes)) {
        Require(attributes.properties.view().size() <= 255, "properties hold at most 255 bytes");
      }
      break;
    }
    case 10: {
      std::array<uint8_t, kFileBlockSize> buffer{};
      uint32_t count = in.ConsumeIntegralInRange<uint32_t>(0, 200);
      const uint32_t asked = count;
      if (ReadFileBlock(s, FileOf(in), in.ConsumeIntegral<uint32_t>(), count, buffer.data())) {
        Require(count <= std::min(asked, kFileBlockSize), "a block read delivers no more than asked");
      }
      break;
    }
    case 11: {
      // The windowed read of a file the unit has opened.
      const RemoteFile file = FileOf(in);
      RemoteFileState& state = s.storage.remoteFile;
      state.readOpen = true;
      state.writeOpen = false;
      EmptyWindow(state.window, true);
      std::array<uint8_t, kFileBlockSize> buffer{};
      uint32_t offset = 0;
      for (int block = in.ConsumeIntegralInRange<int>(1, 4); block > 0; --block) {
        uint32_t count = in.ConsumeIntegralInRange<uint32_t>(1, kFileBlockSize);
        const uint32_t asked = count;
        if (!ReadFileRemote(s, file, offset, count, buffer.data())) break;
        Require(count <= asked, "a windowed read delivers no more than asked");
        if (count == 0) break;
        offset += count;
      }
      CloseFile(s, file, result);
      break;
    }
    case 12: {
      // The windowed write of a file the unit has created.
      const RemoteFile file = FileOf(in);
      RemoteFileState& state = s.storage.remoteFile;
      state.readOpen = false;
      state.writeOpen = true;
      state.extendedWrite = in.ConsumeBool();
      s.newFileProtocol = in.ConsumeBool();
      EmptyWindow(state.window, false);
      const std::array<uint8_t, kFileBlockSize> data{};
      uint32_t offset = 0;
      bool written = true;
      for (int block = in.ConsumeIntegralInRange<int>(1, 12); block > 0 && written; --block) {
        const uint32_t count = in.ConsumeIntegralInRange<uint32_t>(1, kFileBlockSize);
        written = WriteFileRemote(s, file, offset, count, data.data(), result);
        offset += count;
      }
      if (written) FlushFileRemote(s, file, result);
      CloseFile(s, file, result);
      break;
    }
    case 13: {
      ProxySearchResult found;
      SearchKestrelinkProxy(s, in.ConsumeIntegral<uint8_t>(), found);
      break;
    }
    case 14:
      Ping(s, in.ConsumeIntegral<uint8_t>());
      break;
    case 15: {
      uint8_t address = 0;
      GetModbusAddress(s, unit, address);
      GetBufferSize(s, unit);
      break;
    }
    case 16:
      GetProgrammerVersion(s, unit);
      IsVComPort(s, unit);
      break;
    default:
      SendSomething(s, in);
      break;
  }
}

}  // namespace
}  // namespace kl::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kl;
  using namespace kl::fuzz;
  FuzzedDataProvider in(data, size);
  SimRun run;
  Session& s = run.s();
  const uint8_t flags = in.ConsumeIntegral<uint8_t>();
  s.givenOptions().debug = s.givenOptions().detailedDebug = (flags & 0x01) != 0;
  s.out.packetTraceLevel = (flags & 0x02) ? 1 : 0;
  const bool proxy = (flags & 0x04) != 0;
  // Each step's choice and parameters: eight bytes of its own.
  std::vector<std::vector<uint8_t>> steps;
  for (int i = in.ConsumeIntegralInRange<int>(1, 4); i > 0; --i) steps.push_back(in.ConsumeBytes<uint8_t>(8));

  Unit unit;
  unit.mode = static_cast<UnitMode>(in.ConsumeIntegralInRange<int>(modeUnknown, modeBlankMcu));
  unit.address = in.ConsumeIntegral<uint8_t>();
  unit.softwareVersion = in.ConsumeIntegralInRange<int16_t>(500, 700);
  unit.bootLoaderRelease = in.ConsumeIntegral<uint8_t>();
  unit.mcuType = in.ConsumeIntegralInRange<uint8_t>(0, 8);
  s.currentUnitId = in.ConsumeIntegral<uint8_t>();

  // The stream: bursts of bytes, each after a pause of up to 255 ms.
  std::deque<Burst> bursts;
  uint64_t at = 1000;
  while (in.remaining_bytes() > 0) {
    at += uint64_t{in.ConsumeIntegral<uint8_t>()} * 1000;
    const auto length = in.ConsumeIntegralInRange<size_t>(1, 512);
    std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(length);
    bursts.push_back(Burst{at, std::move(bytes), in.remaining_bytes() == 0 && (flags & 0x08) != 0});
  }

  ReplyStream* stream = nullptr;
  auto pending = std::make_shared<std::deque<Burst>>(std::move(bursts));
  run.sim.serial.attach(kLinePort, [&run, &stream, pending](const SerialSettings&) {
    auto device = std::make_unique<ReplyStream>(run.sim.world, std::move(*pending));
    stream = device.get();
    return device;
  });
  s.portSettings.portNumber = kLinePort;
  s.portSettings.baudRate = 115200;
  if (!OpenPort(s)) return 0;
  s.portSettings.replyTimeout = 30;
  if (proxy) {
    s.packet.proxyAddress = unit.address;
    s.packet.proxyPort = 2;
    TurnProxyOn(s);
  }

  try {
    for (const auto& step : steps) {
      FuzzedDataProvider stepInput(step.data(), step.size());
      Step(s, unit, stepInput);
    }
  } catch (const ProcessExit&) {
    // A checked runtime error ends the run as the program does; nothing more to look at.
  }
  (void)stream;
  return 0;
}
