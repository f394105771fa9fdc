// Programming simulated units end to end as the update sequence does: into the boot loader,
// the flash programmer downloaded and started, the boot loader and the software image written
// with the manufacturing fields backed up and restored, the programmer reset after each image.
// Every transfer mode against one unit of each family and MCU (so every boot loader and
// software image of the bundle), then the faults a technician meets.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "connect/connection.h"
#include "connect/discovery.h"
#include "images/image_format.h"
#include "protocol/identification.h"
#include "protocol/proxy_calls.h"
#include "protocol/unit_control.h"
#include "support/installation_fixture.h"
#include "transfer/flash_writer.h"
#include "transfer/image_selection.h"
#include "transfer/manufacturing_fields.h"
#include "transfer/manufacturing_fields_area.h"
#include "transfer/programmer_download.h"
#include "transfer/unit_images.h"
#include "transport/link_control.h"
#include "transport/serial_port.h"
#include "wire/commands.h"

namespace kl::test {
namespace {

using Bytes = std::vector<uint8_t>;

enum class Mode { Plain, Windowed, Buffered };

const char* ModeName(Mode mode) {
  switch (mode) {
    case Mode::Plain: return "Plain";
    case Mode::Windowed: return "Windowed";
    default: return "Buffered";
  }
}

// The ZK7 test jig with the product on its second port; it waits for the product's replies as
// long as a flash erase takes.
constexpr const char* kJig = R"([unit jig]
card = 652
circuit = 1
version = 6.10
release = 40
serial = 652001
modbus-address = 50
boot-loader = C4
boot-release = 24
baud = 115200
proxy-port = 2
relay-timeout-ms = 1000
)";

class FlashProgramming : public InstallationTest {
 protected:
  // One unit of sim/scenarios/ with `extra` keys, on the port or (buffered) behind the jig.
  void load(const std::string& scenarioFile, Mode mode, const std::string& extra = "") {
    mode_ = mode;
    std::string product = readFile(std::string(KESTRELINK_SOURCE_DIR) + "/sim/scenarios/" + scenarioFile) + extra;
    const size_t name = product.find("[unit ") + 6;
    productName_ = product.substr(name, product.find(']', name) - name);
    if (mode == Mode::Buffered) product = std::string(kJig) + "proxy-unit = " + productName_ + "\n" + product;
    loadScenario(product, false);
    newRun();
  }

  // A new run of the program against the same units.
  void newRun() {
    ClosePort(s());
    session = std::make_unique<Session>(sim.platform);
    s().givenOptions().yesToPrompts = true;
    s().givenOptions().debug = true;
    s().portSettings.portNumber = kComPort;
    s().portSettings.baudRate = portUnitBaud();
    s().portSettings.programmingBaud = 921600;
    ASSERT_TRUE(OpenPort(s()));
    clearConsole();
  }

  Unit& unit() { return s().unit; }
  UnitImages images;  // chosen for unit()
  sim::Unit& target() { return *installation->find(productName_); }

  // Connected and identified, behind the jig when buffered; overlapped writes when the unit
  // raises CTS.
  void connect() {
    s().currentUnitId = unit().address = 0xF0;
    SaveConnectionBaudRate(s());
    ASSERT_TRUE(ConnectToUnit(s(), unit()));
    if (mode_ == Mode::Windowed) {
      s().givenOptions().overlappedWrites = true;
      ASSERT_TRUE(ProbeCts(s()));
      s().overlappedActive = true;
    }
    if (mode_ != Mode::Buffered) return;
    const uint8_t jig = unit().address;
    ProxySearchResult found;
    ASSERT_TRUE(OpenKestrelinkProxy(s(), jig));
    ASSERT_TRUE(SearchKestrelinkProxy(s(), jig, found));
    TurnProxyOn(s());
    s().portSettings.baudRate = found.baudRate;
    SaveConnectionBaudRate(s());
    s().currentUnitId = found.unitId;
    s().packet.proxyAddress = jig;
    s().packet.proxyPort = found.port;
    s().transfer.bufferedProtocol = true;
    Unit product;
    product.mode = modeBalvantaSoftware;
    product.address = found.unitId;
    ASSERT_TRUE(ReadUnitInfo(s(), product));
    unit() = product;
  }

  // The update sequence's steps for the boot loader and the software; false at the first
  // failing transfer. The boot loader is written as `bootLoader`.
  bool program(FlashTarget bootLoader = FlashTarget::Software) {
    connect();
    if (HasFatalFailure()) return false;
    EXPECT_TRUE(InitialiseForUpdate(s(), unit()));
    SelectFlashProgrammer(s(), unit(), images, false);
    if (!DownloadProgrammer(s(), unit(), images.programmer, "programmer")) return false;
    EXPECT_TRUE(SelectBootLoader(s(), unit(), images));
    SelectSoftware(s(), unit(), images);
    if (!ReadBackupFields(s(), unit())) return false;
    for (const auto& [image, target] :
         {std::pair{images.bootLoader, bootLoader}, std::pair{images.software, FlashTarget::Software}}) {
      if (!WriteMcuFlash(s(), unit(), image, WriteBackupFields, target) || !ResetProgrammer(s(), unit())) return false;
    }
    EXPECT_TRUE(Reset(s(), unit()));
    advanceMs(3000);
    return true;
  }

  // The unit's manufacturing-field area, found by the MCU it has.
  Bytes fields() {
    Unit mcu;
    mcu.mcuType = target().state().application.mcuType;
    const FieldsArea area = ManufacturingFieldsArea(s(), mcu);
    return target().state().flash.read(area.first, area.size);
  }

  // Every record of the image is in the unit's flash.
  void expectInFlash(const ImageRef& image) {
    ImageRecordReader reader(image.bytes());
    ImageRecord record;
    while (reader.next(record)) {
      const Bytes expected(record.data.begin(), record.data.end());
      ASSERT_EQ(target().state().flash.read(record.address, record.data.size()), expected)
          << "at " << std::hex << record.address;
    }
  }

  // The images are in flash, the fields as they were, and the new application runs.
  void expectProgrammed(const Bytes& fieldsBefore) {
    expectInFlash(images.bootLoader);
    expectInFlash(images.software);
    EXPECT_EQ(fields(), fieldsBefore);
    EXPECT_NE(fieldsBefore, Bytes(fieldsBefore.size(), 0xFF));
    EXPECT_EQ(target().mode(), sim::UnitMode::Application);
  }

  // The end of what the run wrote, for a failure's message.
  std::string lastLines() {
    const std::string out = console();
    return out.substr(out.size() > 4000 ? out.size() - 4000 : 0);
  }

  Mode mode_ = Mode::Plain;
  std::string productName_;
};

// One unit of each family and MCU: together they take every software image and boot loader.
const char* const kUnits[] = {"za3-lpc2478.scn", "za3-lpc4357.scn", "za4.scn", "zs3-lpc1768.scn",
                              "zs3-lpc4078.scn", "zs4.scn",         "zc3.scn"};

class EveryImage : public FlashProgramming, public ::testing::WithParamInterface<std::tuple<Mode, const char*>> {};

TEST_P(EveryImage, FlashEqualsTheImagesAndTheFieldsStay) {
  const auto [mode, file] = GetParam();
  load(file, mode);
  const Bytes fieldsBefore = fields();
  ASSERT_TRUE(program()) << lastLines();
  expectProgrammed(fieldsBefore);
  const std::string out = console();
  EXPECT_NE(out.find("Updating Balvanta software (do not turn off the power!)..."), std::string::npos);
  EXPECT_NE(out.find("Bytes sent = "), std::string::npos);
  EXPECT_NE(out.find(mode == Mode::Windowed   ? "-- using overlapped (duplex) comms"
                     : mode == Mode::Buffered ? "-- using buffered protocol"
                                              : "Programming $"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(AllModes, EveryImage,
                         ::testing::Combine(::testing::Values(Mode::Plain, Mode::Windowed, Mode::Buffered),
                                            ::testing::ValuesIn(kUnits)),
                         [](const auto& info) {
                           std::string name = std::string(ModeName(std::get<0>(info.param))) + "_" +
                                              std::get<1>(info.param);
                           for (char& c : name)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

// A reply of the programmer wrong in one field answers no request: the request is tried again,
// up to its last attempt, and the reply is never taken. The first `spoiled` replies to
// `command` (0: all of them) are spoiled; other replies pass.
TEST_F(FlashProgramming, RepliesWrongInOneFieldAnswerNoRequest) {
  using Spoil = std::function<void(Bytes&)>;
  // After the four-byte echo: an address (4 to 7; a block's offset 4 and 5), then a length or
  // a status, then a result.
  const auto flip = [](size_t at) -> Spoil { return [at](Bytes& p) { p[at] ^= 0x01; }; };
  const auto set = [](size_t at, uint8_t value) -> Spoil { return [at, value](Bytes& p) { p[at] = value; }; };
  const Spoil nextPacket = [](Bytes& p) {
    const uint32_t address = (uint32_t{p[4]} << 24 | p[5] << 16 | p[6] << 8 | p[7]) + 128;
    for (int i = 0; i < 4; ++i) p[4 + i] = static_cast<uint8_t>(address >> (24 - 8 * i));
  };
  struct Case {
    const char* name;
    Mode mode;
    uint16_t command;
    Spoil spoil;
    int spoiled;
    bool completes;
    bool verify = false;
    FlashTarget target = FlashTarget::Software;
  };
  using namespace wire::cmd;
  const Case cases[] = {
      {"flash write: address one off, seven times", Mode::Plain, FlashWritePlain, flip(7), 7, true},
      {"flash write: address one off, eight times", Mode::Plain, FlashWritePlain, flip(7), 8, false},
      // A boot loader's packet is tried twelve times as often.
      {"boot-loader write: address one off, 95 times", Mode::Plain, FlashWritePlain, flip(7), 95, true, false,
       FlashTarget::BootLoader},
      {"boot-loader write: address one off, 96 times", Mode::Plain, FlashWritePlain, flip(7), 96, false, false,
       FlashTarget::BootLoader},
      {"flash write: length one off", Mode::Plain, FlashWritePlain, flip(8), 0, false},
      {"flash write: another unit's echo", Mode::Plain, FlashWritePlain, set(0, 2), 0, false},
      {"commit: address one off, seven times", Mode::Buffered, FlashWriteBufferedCommit, flip(7), 7, true},
      {"commit: address one off, eight times", Mode::Buffered, FlashWriteBufferedCommit, flip(7), 8, false},
      {"commit: the flash failed", Mode::Buffered, FlashWriteBufferedCommit, set(10, 3), 1, false},
      {"block: not taken", Mode::Buffered, WriteRamBlock, set(6, 1), 0, false},
      {"RAM write: address one off, seven times", Mode::Plain, WriteRam, flip(7), 7, true},
      {"RAM write: address one off, eight times", Mode::Plain, WriteRam, flip(7), 8, false},
      {"RAM write: length one off", Mode::Plain, WriteRam, flip(8), 0, false},
      {"RAM commit: address one off", Mode::Buffered, CommitRamBlock, flip(7), 0, false},
      // Every acknowledgement names the packet after its own: the oldest is never released.
      {"overlapped RAM write: acknowledged as the next one", Mode::Windowed, WriteRam, nextPacket, 0, false},
      {"fields backup read: count one off, seven times", Mode::Plain, ReadBackupBlock, flip(8), 7, true},
      {"fields backup read: count one off, eight times", Mode::Plain, ReadBackupBlock, flip(8), 8, false},
      {"read-back: address one off, seven times", Mode::Plain, Examine, flip(7), 7, true, true},
      {"read-back: address one off, eight times", Mode::Plain, Examine, flip(7), 8, false, true},
  };
  int seen = 0;  // outlives the loop: the last case's editor still sees the next load's replies
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    load("zc3.scn", c.mode);
    const Bytes fieldsBefore = fields();
    s().givenOptions().verify = c.verify;
    seen = 0;
    editReplies([&c, &seen](Bytes& p) {
      const bool answers = p.size() >= 7 && p[1] == 0x45 && (p[2] << 8 | p[3]) == c.command;
      if (answers && (c.spoiled == 0 || seen++ < c.spoiled)) c.spoil(p);
      return true;
    });
    EXPECT_EQ(exitCodeOf([&] { EXPECT_EQ(program(c.target), c.completes) << lastLines(); }), std::nullopt)
        << lastLines();
    if (c.completes) expectProgrammed(fieldsBefore);
  }
}

// The programmer's download follows what the boot loader's release knows: the extended speed
// table before release 15, eight overlapped RAM writes in flight from release 18 on.
TEST_F(FlashProgramming, TheDownloadFollowsTheBootLoadersRelease) {
  for (const auto& [release, window] : {std::pair{14, 1}, std::pair{15, 1}, std::pair{17, 1}, std::pair{18, 8}}) {
    SCOPED_TRACE(release);
    load("zc3.scn", Mode::Windowed, "boot-release = " + std::to_string(release) + "\n");
    EXPECT_EQ(exitCodeOf([&] {
                connect();
                ASSERT_TRUE(InitialiseForUpdate(s(), unit()));
                SelectFlashProgrammer(s(), unit(), images, false);
                EXPECT_TRUE(DownloadProgrammer(s(), unit(), images.programmer, "programmer"));
              }),
              std::nullopt)
        << lastLines();
    EXPECT_NE(console().find("-- window size = " + std::to_string(window) + "\r\n"), std::string::npos);
    EXPECT_EQ(s().portSettings.baudRate, 921600u);
  }
}

// The same image in records of up to 256 bytes: contiguous records are joined.
Bytes InLargeRecords(const ImageRef& image) {
  ImageRecordReader reader(image.bytes());
  std::vector<std::pair<uint32_t, Bytes>> records;
  ImageRecord r;
  while (reader.next(r)) {
    if (!records.empty() && records.back().first + records.back().second.size() == r.address &&
        records.back().second.size() + r.data.size() <= 256) {
      records.back().second.insert(records.back().second.end(), r.data.begin(), r.data.end());
    } else {
      records.emplace_back(r.address, Bytes(r.data.begin(), r.data.end()));
    }
  }
  Bytes out;
  const auto put = [&out](uint32_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  put(reader.entryAddress(), 4);
  put(reader.totalBytes(), 4);
  for (const auto& [address, data] : records) {
    put(address, 4);
    put(static_cast<uint32_t>(data.size()), 2);
    out.insert(out.end(), data.begin(), data.end());
  }
  put(kImageTerminator, 4);
  return out;
}

// Records longer than a windowed packet go whole, in large packets or as blocks, into RAM and
// into flash; windowed writes carry at most 128 bytes (the buffer size is not asked in that
// mode), so the flash records go in windowed chunks.
TEST_F(FlashProgramming, LargeRecordsGoWholeInLargePackets) {
  for (const Mode mode : {Mode::Plain, Mode::Windowed, Mode::Buffered}) {
    SCOPED_TRACE(ModeName(mode));
    load("za3-lpc4357.scn", mode);
    const Bytes fieldsBefore = fields();
    Bytes software;
    ImageRef image;
    EXPECT_EQ(exitCodeOf([&] {
                connect();
                ASSERT_TRUE(InitialiseForUpdate(s(), unit()));
                SelectFlashProgrammer(s(), unit(), images, false);
                const Bytes programmer = mode == Mode::Windowed
                                             ? Bytes(images.programmer.bytes().begin(), images.programmer.bytes().end())
                                             : InLargeRecords(images.programmer);
                ASSERT_TRUE(DownloadProgrammer(
                    s(), unit(), {programmer.data(), static_cast<uint32_t>(programmer.size())}, "programmer"))
                    << lastLines();
                SelectSoftware(s(), unit(), images);
                ASSERT_TRUE(ReadBackupFields(s(), unit()));
                software = InLargeRecords(images.software);
                image = {software.data(), static_cast<uint32_t>(software.size())};
                ASSERT_TRUE(WriteMcuFlash(s(), unit(), image, WriteBackupFields)) << lastLines();
              }),
              std::nullopt)
        << lastLines();
    expectInFlash(image);
    EXPECT_EQ(fields(), fieldsBefore);
  }
}

// Giving up inside a boot loader leaves a unit that cannot start. Where most acknowledgements
// are lost (windowed writes are acknowledged cumulatively, so they stand more loss), the boot
// loader's packets are tried until it is whole, while a software write there gives up as
// before (the unit still starts, and a later run finishes it).
TEST_F(FlashProgramming, ABootLoaderIsTriedFarLongerThanSoftware) {
  for (const auto& [mode, lostPercent] : {std::pair{Mode::Plain, 75}, std::pair{Mode::Windowed, 98}}) {
    SCOPED_TRACE(mode == Mode::Plain ? "plain" : "windowed");
    load("zc3.scn", mode);
    connect();
    ASSERT_TRUE(InitialiseForUpdate(s(), unit()));
    SelectFlashProgrammer(s(), unit(), images, false);
    ASSERT_TRUE(DownloadProgrammer(s(), unit(), images.programmer, "programmer"));
    ASSERT_TRUE(SelectBootLoader(s(), unit(), images));
    SelectSoftware(s(), unit(), images);
    ASSERT_TRUE(ReadBackupFields(s(), unit()));
    sim::UnitFaults lossy;
    lossy.loseAckPercent = lostPercent;
    target().setFaults(lossy);
    EXPECT_TRUE(WriteMcuFlash(s(), unit(), images.bootLoader, WriteBackupFields, FlashTarget::BootLoader))
        << lastLines();
    expectInFlash(images.bootLoader);
    EXPECT_FALSE(WriteMcuFlash(s(), unit(), images.software, {}, FlashTarget::Software));
  }
}

// Lost acknowledgements cost retries, not the result; a verified download reads the programmer
// back; a failing page, a power cut or a silent programmer end the write with a clear answer
// and never with success, and the unit, left in its boot loader, is finished by a second run.
TEST_F(FlashProgramming, FaultsEndInAClearAnswerAndASecondRunFinishes) {
  struct Case {
    const char* name;
    Mode mode;
    const char* fault;
    bool verify;
    bool completes;
    std::vector<const char*> shown;
    bool secondRun = false;  // the fault happens once
  };
  const std::vector<Case> cases = {
      {"lost acknowledgements, windowed", Mode::Windowed, "fault-lose-ack-percent = 2\n", false, true,
       {"ACK MISSING FOR "}},
      {"lost replies, plain", Mode::Plain, "fault-lose-ack-percent = 2\n", false, true, {"BAD REPLY FOR "}},
      {"verified download", Mode::Windowed, "", true, true,
       {"Verifying programmer...\r\n", "Bytes received = ", "-- window size = 1\r\n"}},
      {"failing page, windowed", Mode::Windowed, "fault-flash-fails-at = 0x8000\n", false, false,
       {"\r\nUnit reported hardware failure, cannot write to MCU flash memory. Address=$00008000, Result=03\r\n"}},
      {"failing page, plain", Mode::Plain, "fault-flash-fails-at = 0x8000\n", false, false,
       {"\r\nUnit reported hardware failure, cannot write to MCU flash memory. Address=$00008000, Result=03\r\n"}},
      {"power cut during the software", Mode::Windowed, "fault-power-cut-at-flash-byte = 60000\n", false, false,
       {"ACK MISSING FOR ", "FAILED"}, true},
      {"programmer falls silent", Mode::Plain, "fault-programmer-silent-after = 600\n", false, false,
       {"BAD REPLY FOR ", "FAILED"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    load("zc3.scn", c.mode, c.fault);
    const Bytes fieldsBefore = fields();
    s().givenOptions().verify = c.verify;
    ASSERT_EQ(program(), c.completes) << lastLines();
    const std::string out = console();
    for (const char* text : c.shown) EXPECT_NE(out.find(text), std::string::npos) << text;
    if (c.completes) {
      expectProgrammed(fieldsBefore);
      continue;
    }
    // Switched off and on, the half-written unit waits in its boot loader; the next run finishes.
    target().powerCycle();
    advanceMs(3000);
    EXPECT_EQ(target().mode(), sim::UnitMode::BootLoader);
    if (!c.secondRun) continue;
    newRun();
    ASSERT_TRUE(program()) << lastLines();
    expectProgrammed(fieldsBefore);
  }
}

}  // namespace
}  // namespace kl::test
