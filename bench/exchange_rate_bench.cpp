// Turnaround of one exchange (4-byte request, 4-byte reply, each with its CRC) over the
// simulated line, in exchanges per virtual second and as a fraction of what the line allows:
// baud / (12 bytes x 11 bits).
#include <benchmark/benchmark.h>

#include <filesystem>

#include "sim/scripted_peer.h"
#include "site/simulated_site.h"
#include "transport/packet_link.h"
#include "update/session.h"
#include "wire/crc16.h"

namespace {

using namespace kl;

constexpr int kPort = 1;
constexpr int kFrameBytes = 6;  // 4 bytes and the CRC, each way

using wire::Framed;

// A session on a simulated machine whose port reaches a far end that answers at once.
class BenchLink {
 public:
  explicit BenchLink(uint32_t baud) {
    site.line.connect(peer);
    site.line.farPort().setFormat(sim::LineFormat{baud, sim::Parity::None});
    const std::vector<uint8_t> reply = Framed({0x01, 0x46, 0x00, 0x2A});
    peer.onByte = [reply](sim::ScriptedPeer& p, uint8_t) {
      if (p.received.size() % kFrameBytes == 0) p.send(reply);
    };
    Session& s = site.newSession();
    s.portSettings.portNumber = kPort;
    s.portSettings.baudRate = baud;
    opened = OpenPort(s);
  }

  bool exchange() {
    Session& s = site.s();
    BeginPacket(s);
    for (uint8_t b : {0x01, 0x45, 0x10, 0x1B}) PutPacketByte(s, b);
    SendPacket(s, 4);
    if (!RecvPacket(s, 4)) return false;
    for (int i = 0; i < 4; ++i) benchmark::DoNotOptimize(GetPacketByte(s));
    return CheckPacketEnd(s);
  }

  // Declared first so that it outlives the port, which the site closes as it goes.
  sim::ScriptedPeer peer;
  SimulatedSite site{(std::filesystem::temp_directory_path() / "kestrelink-bench").string(), 1, kPort};
  bool opened = false;
};

void ExchangeRate(benchmark::State& state) {
  const auto baud = static_cast<uint32_t>(state.range(0));
  BenchLink link(baud);
  if (!link.opened) {
    state.SkipWithError("port did not open");
    return;
  }
  const uint64_t startUs = link.site.platform.world.nowUs();
  int64_t exchanges = 0;
  for (auto _ : state) {
    if (!link.exchange()) {
      state.SkipWithError("exchange failed");
      break;
    }
    ++exchanges;
  }
  const double seconds = static_cast<double>(link.site.platform.world.nowUs() - startUs) / 1e6;
  const double rate = seconds > 0 ? static_cast<double>(exchanges) / seconds : 0;
  const double lineLimit = baud / (2.0 * kFrameBytes * 11);
  state.counters["exchanges_per_virtual_s"] = rate;
  state.counters["line_limit_per_s"] = lineLimit;
  state.counters["fraction_of_line_rate"] = rate / lineLimit;
}

BENCHMARK(ExchangeRate)->Arg(115200)->Arg(921600);

}  // namespace
