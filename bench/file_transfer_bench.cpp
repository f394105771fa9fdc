// Payload throughput of the windowed file write and read against a simulated unit, in virtual
// time, as a fraction of the line rate (baud / 11 bits a byte). Every 128-byte block travels
// with 15 bytes of framing (length header, 11 header bytes, CRC), so the framing allows
// 128/143 = 0.895 of the line; the replies and acknowledgements run on the other direction.
// The whole operation counts, open and close included; the simulated unit takes 0.5 ms to
// answer (the simulator's default). virtual_s is the transfer's virtual time.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <vector>

#include "site/simulated_site.h"
#include "transfer/file_update.h"
#include "transfer/remote_file_access.h"
#include "transport/serial_port.h"
#include "update/session.h"

namespace {

using namespace kl;

constexpr int kPort = 1;
constexpr uint8_t kDrive = 1;
constexpr uint16_t kFile = 0x0131;
constexpr uint32_t kFileBytes = 256 * 1024;
constexpr double kBitsPerByte = 11;

// A transmitter running software 6.10 at `baud`, with a file to read.
struct FileBench {
  explicit FileBench(uint32_t baud) {
    Session& session = site.newSession();
    const std::string unit = "[unit zs3]\ncard = 648\ncircuit = 5\nversion = 6.10\nbaud = " + std::to_string(baud) +
                             "\nfile 1:0x0131 = random " + std::to_string(kFileBytes) + "\n";
    site.load(sim::parseScenario(unit, "bench.scn"));
    session.portSettings.portNumber = kPort;
    session.portSettings.baudRate = baud;
    session.unit.mode = modeBalvantaSoftware;
    session.unit.address = 0xF0;
    session.unit.softwareVersion = 610;
    session.newFileProtocol = true;
    opened = OpenPort(session);
  }

  bool write(const std::vector<uint8_t>& data) {
    Session& session = site.s();
    return UpdateFile(session, session.unit, kDrive, kFile, data.data(), static_cast<uint32_t>(data.size()), false);
  }

  bool read(std::vector<uint8_t>& data) {
    Session& session = site.s();
    const RemoteFile f{0xF0, kDrive, kFile};
    uint8_t result = 0;
    if (!OpenFile(session, f, true, result) || result != 0) return false;
    data.clear();
    for (uint32_t count = kFileBlockSize; count != 0;) {
      uint8_t block[kFileBlockSize];
      count = kFileBlockSize;
      if (!ReadFileRemote(session, f, static_cast<uint32_t>(data.size()), count, block)) return false;
      data.insert(data.end(), block, block + count);
    }
    return CloseFile(session, f, result) && result == 0;
  }

  SimulatedSite site{(std::filesystem::temp_directory_path() / "kestrelink-bench").string(), 1, kPort};
  bool opened = false;
};

void Report(benchmark::State& state, uint32_t baud, double bytes, double virtualSeconds) {
  const double lineBytesPerSecond = baud / kBitsPerByte;
  state.counters["payload_bytes"] = bytes;
  state.counters["virtual_s"] = virtualSeconds;
  state.counters["fraction_of_line_rate"] = virtualSeconds > 0 ? bytes / virtualSeconds / lineBytesPerSecond : 0;
  state.counters["framing_limit"] = 128.0 / 143.0;
  state.SetLabel("unit: 0.5 ms a reply");
}

void FileWriteWindowed(benchmark::State& state) {
  const auto baud = static_cast<uint32_t>(state.range(0));
  std::vector<uint8_t> data(kFileBytes);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + i / 509);
  double seconds = 0;
  for (auto _ : state) {
    FileBench bench(baud);
    const uint64_t startUs = bench.site.platform.world.nowUs();
    if (!bench.opened || !bench.write(data)) {
      state.SkipWithError("the file was not written");
      return;
    }
    seconds = static_cast<double>(bench.site.platform.world.nowUs() - startUs) / 1e6;
    const auto* written = bench.site.portUnit().state().drives.find(kDrive, kFile);
    if (!written || written->bytes != data) {
      state.SkipWithError("the unit's file differs");
      return;
    }
  }
  Report(state, baud, kFileBytes, seconds);
}

void FileReadWindowed(benchmark::State& state) {
  const auto baud = static_cast<uint32_t>(state.range(0));
  double seconds = 0;
  for (auto _ : state) {
    FileBench bench(baud);
    std::vector<uint8_t> data;
    const uint64_t startUs = bench.site.platform.world.nowUs();
    if (!bench.opened || !bench.read(data)) {
      state.SkipWithError("the file was not read");
      return;
    }
    seconds = static_cast<double>(bench.site.platform.world.nowUs() - startUs) / 1e6;
    if (data != bench.site.portUnit().state().drives.find(kDrive, kFile)->bytes) {
      state.SkipWithError("the file read differs from the unit's");
      return;
    }
  }
  Report(state, baud, kFileBytes, seconds);
}

BENCHMARK(FileWriteWindowed)->Name("FileWrite/Windowed")->Arg(115200)->Arg(921600)->Unit(benchmark::kMillisecond);
BENCHMARK(FileReadWindowed)->Name("FileRead/Windowed")->Arg(115200)->Arg(921600)->Unit(benchmark::kMillisecond);

}  // namespace
