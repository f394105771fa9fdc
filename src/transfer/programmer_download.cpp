#include "transfer/programmer_download.h"

#include <string>

#include "driver/fatal_error.h"
#include "images/image_format.h"
#include "protocol/link_speed.h"
#include "protocol/remote_call.h"
#include "protocol/unit_control.h"
#include "transfer/image_check.h"
#include "transfer/ram_program.h"
#include "transfer/record_write.h"
#include "transfer/send_window.h"
#include "transfer/transfer_context.h"
#include "transfer/transfer_link.h"
#include "transport/link_control.h"
#include "transport/packet_link.h"
#include "transport/transfer_report.h"
#include "wire/commands.h"

namespace kl {

namespace {

// Boot loaders from this release on keep 8 RAM writes in flight, older ones one.
constexpr uint8_t kWideWindowRelease = 18;
// Programmers of boot loaders before this release know the extended speed table.
constexpr uint8_t kExtendedTableBefore = 15;

void WriteRecordLine(TransferContext& s, std::string_view what, const ImageRecord& record) {
  s.out(Channel::Debug) << what << hex(record.address, 8) << "(" << record.data.size() << ")" << crlf;
}

// Writes every record into RAM; the window is empty again afterwards.
bool WriteRecords(TransferContext& s, Unit& unit, ImageRecordReader& reader) {
  const TransferMeter meter = StartTransferMeter(s, TransferDirection::Sent);
  uint32_t done = 0;
  ImageRecord record;
  while (reader.next(record)) {
    WriteRecordLine(s, "Downloading $", record);
    if (static_cast<int64_t>(record.data.size()) > unit.bufferSize)
      FatalError(s, "Unable to update unit: buffer size is too small");
    if (record.data.size() > kWindowPacketBytes && s.overlappedActive &&
        !LeaveOverlappedForLargePackets(s, Memory::Ram))
      return false;
    if (!WriteRecord(s, Memory::Ram, record.address, record.data)) return false;
    done += static_cast<uint32_t>(record.data.size());
    ShowProgress(s, done, reader.totalBytes());
  }
  if (!DrainRamWindow(s)) return false;
  EndProgress(s);
  WriteTransferSummary(s, meter);
  LogComplete(s);
  return true;
}

bool VerifyRecords(TransferContext& s, ImageRecordReader& reader) {
  s.out(Channel::Always) << "Verifying programmer..." << crlf;
  const TransferMeter meter = StartTransferMeter(s, TransferDirection::Received);
  reader.rewind();
  ImageRecord record;
  while (reader.next(record)) {
    WriteRecordLine(s, "Verifying $", record);
    if (!Examine(s, record.address, record.data)) return false;
  }
  WriteTransferSummary(s, meter);
  LogComplete(s);
  return true;
}

// The programmer listens at 115200 once started; it is then asked for the programming speed.
void ConnectToProgrammer(TransferContext& s, Unit& unit) {
  ChangePacketBaudRateOrStop(s, 115200, 0, ReplyTimeoutLong, false);
  if (!SetProgrammerBaudRate(s, unit, s.portSettings.programmingBaud, false))
    FatalError(s, "Unable to change baud rate");
}

}  // namespace

bool DownloadProgrammer(TransferContext& s, Unit& unit, ImageRef image, std::string_view displayName) {
  if (image.empty()) FatalError(s, "Cannot update unit: there is no flash programmer for this unit");
  RequireSoundImage(s, image, "The " + std::string(displayName));
  s.out(Channel::Always) << "Downloading " << displayName << "..." << crlf;
  TransferState& t = s.transfer;
  if (s.overlappedActive) t.ramWindowSize = unit.bootLoaderRelease < kWideWindowRelease ? 1 : 8;
  AnnounceTransferMode(s, t.ramWindowSize);
  if (!SetProgrammerBaudRate(s, unit, s.portSettings.programmingBaud, unit.bootLoaderRelease < kExtendedTableBefore))
    FatalError(s, "Unable to change baud rate");

  ImageRecordReader reader(image.bytes());
  bool written = false;
  {
    QuietStream quiet(s);
    t.ram.clear();
    written =
        WriteRecords(s, unit, reader) && (!Verifying(s) || unit.bootLoaderVersion == 1 || VerifyRecords(s, reader));
    t.ram.clear();
  }
  if (!written) {
    if (s.packet.progressTotal != 0) EndProgress(s);
    EndHardwareHandshake(s);
    return false;
  }

  TransferToRamProgram(s, reader.entryAddress());
  unit.mode = modeFlashProgrammer;
  EndHardwareHandshake(s);
  ConnectToProgrammer(s, unit);
  if (!GetProgrammerVersion(s, unit)) FatalError(s, "Unable to connect to programmer");
  if (s.packet.proxyOn && !ConfigureProgrammer(s, unit, 1)) FatalError(s, "Unable to connect to programmer");
  GetBufferSize(s, unit);
  return true;
}

bool TakeOverProgrammer(TransferContext& s, Unit& unit) {
  s.out(Channel::Always) << "Using the flash programmer still running in the unit..." << crlf;
  if (!SetProgrammerBaudRate(s, unit, s.portSettings.programmingBaud, false)) return false;
  unit.mode = modeFlashProgrammer;
  if (!GetProgrammerVersion(s, unit)) return false;
  if (s.packet.proxyOn && !ConfigureProgrammer(s, unit, 1)) return false;
  GetBufferSize(s, unit);
  return true;
}

bool ResetProgrammer(TransferContext& s, Unit& unit) {
  s.out(Channel::Debug) << "RPC: ResetProgrammer" << crlf;
  if (!CallThroughSpeedCycle(s, CallRequest{s.bootLoaderAddress, wire::cmd::ResetProgrammer, {}, 0})) {
    LogFailed(s);
    return false;
  }
  LogComplete(s);
  ConnectToProgrammer(s, unit);
  if (s.packet.proxyOn && !ConfigureProgrammer(s, unit, 1)) FatalError(s, "Unable to connect to programmer");
  return true;
}

}  // namespace kl
