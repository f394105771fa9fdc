#include "transfer/flash_writer.h"

#include <algorithm>

#include "driver/fatal_error.h"
#include "images/image_format.h"
#include "protocol/remote_call.h"
#include "protocol/unit_control.h"
#include "transfer/image_check.h"
#include "transfer/manufacturing_fields_area.h"
#include "transfer/record_write.h"
#include "transfer/send_window.h"
#include "transfer/transfer_context.h"
#include "transfer/transfer_link.h"
#include "transport/packet_link.h"
#include "transport/transfer_report.h"

namespace kl {

namespace {

constexpr int kBootLoaderPersistence = 12;
// The boot loader's write keeps retrying that long at most; then each packet gets the usual
// attempts and the write gives up.
constexpr uint32_t kBootLoaderRetryMs = 300000;
constexpr int16_t kDefaultFlashPacketSize = 128;
constexpr uint32_t kFlashWindowSize = 8;
// Images ending above this (within their flash bank) are erased before they are written.
constexpr uint32_t kEraseAbove = 0x4000;
constexpr uint32_t kBankOffsetMask = 0x00FFFFFF;

// A packet written at `address` starts the flash block that holds the fields: it lies in the
// fields' flash bank, within the first `flashPacketSize` bytes of that bank. Banks are
// addressed by their top byte, so the offset within one is the address's low 24 bits.
bool StartsFieldsBlock(const FieldsArea& area, int16_t flashPacketSize, uint32_t address) {
  const bool sameBank = (address & ~kBankOffsetMask) == (area.first & ~kBankOffsetMask);
  return sameBank && flashPacketSize > 0 && (address & kBankOffsetMask) < static_cast<uint32_t>(flashPacketSize);
}

// One image's write: the records in order, the progress bar, and the restore step.
class FlashWrite {
 public:
  FlashWrite(TransferContext& s, Unit& unit, RestoreStep restore) : s_(s), unit_(unit), restore_(std::move(restore)) {
    if (restore_) area_ = ManufacturingFieldsArea(s, unit);
  }

  bool writeRecords(ImageRecordReader& reader) {
    total_ = reader.totalBytes();
    ImageRecord record;
    while (reader.next(record)) {
      if (armed_ && area_.last < record.address && !restoreFields()) return false;
      if (!writeRecord(record)) return abandon();
    }
    if (!DrainFlashWindow(s_)) return abandon();
    // An image that ends inside the fields' block still gets them back.
    return !armed_ || restoreFields();
  }

 private:
  bool writeRecord(const ImageRecord& record) {
    const size_t count = record.data.size();
    if (static_cast<int64_t>(count) > unit_.bufferSize) {
      if (!s_.overlappedActive) FatalError(s_, "Unable to program unit: internal error (buffer size is too small)");
      // Windowed packets carry at most 128 bytes whatever the buffer.
      const size_t chunk =
          std::min<size_t>(static_cast<size_t>(std::max<int32_t>(unit_.bufferSize, 1)), kWindowPacketBytes);
      for (size_t offset = 0; offset < count; offset += chunk) {
        const size_t length = std::min(chunk, count - offset);
        if (!writePacket(record.address + static_cast<uint32_t>(offset), record.data.subspan(offset, length),
                         offset == 0))
          return false;
      }
      return true;
    }
    if (count > kWindowPacketBytes && s_.overlappedActive && !LeaveOverlappedForLargePackets(s_, Memory::Flash))
      return false;
    return writePacket(record.address, record.data, false);
  }

  bool writePacket(uint32_t address, std::span<const uint8_t> data, bool firstChunk) {
    s_.out(Channel::Debug) << "Programming $" << hex(address, 8) << "(" << data.size() << ")" << crlf;
    if (!WriteRecord(s_, Memory::Flash, address, data, firstChunk)) return false;
    if (restore_ && StartsFieldsBlock(area_, unit_.flashPacketSize, address)) armed_ = true;
    done_ += static_cast<uint32_t>(data.size());
    ShowProgress(s_, done_, total_);
    return true;
  }

  // Called once, after every packet in flight was acknowledged or given up. The step keeps its
  // own outcome: fields that did not go back must not stop the boot loader half written, which
  // would leave a unit that cannot start. False when the window could not be emptied: the
  // image write has failed.
  bool restoreFields() {
    armed_ = false;
    const RestoreStep step = std::move(restore_);
    restore_ = nullptr;
    const bool drained = DrainFlashWindow(s_);
    step(s_, unit_);
    return drained;
  }

  // The write stops: fields already erased with their block go back while the programmer may
  // still answer.
  bool abandon() {
    if (armed_) restoreFields();
    return false;
  }

  TransferContext& s_;
  Unit& unit_;
  RestoreStep restore_;
  FieldsArea area_;
  bool armed_ = false;
  uint32_t done_ = 0;
  uint32_t total_ = 0;
};

}  // namespace

bool WriteMcuFlash(TransferContext& s, Unit& unit, ImageRef image, RestoreStep restore, FlashTarget target) {
  s.out(Channel::Always) << "Updating Balvanta software (do not turn off the power!)..." << crlf;
  s.out(Channel::Debug) << "Writing to MCU flash" << crlf;
  RequireSoundImage(s, image, "The image to write");
  TransferState& t = s.transfer;
  struct Persistence {
    int& value;
    ~Persistence() { value = 1; }
  } persistence{t.flashPersistence};
  t.flashPersistence = target == FlashTarget::BootLoader ? kBootLoaderPersistence : 1;
  t.persistenceStartMs = s.platform.clock.tickMs();
  t.persistenceSpanMs = kBootLoaderRetryMs;
  if (s.overlappedActive) t.flashWindowSize = kFlashWindowSize;
  if (unit.flashPacketSize == 0) unit.flashPacketSize = kDefaultFlashPacketSize;
  AnnounceTransferMode(s, t.flashWindowSize);

  Clock& clock = s.platform.clock;
  const uint64_t eraseStart = clock.microseconds();
  const auto span = ImageAddressSpan(image.bytes());
  if (span && (span->lastAddress & kBankOffsetMask) > kEraseAbove &&
      !EraseRange(s, unit, span->firstAddress, span->lastAddress)) {
    EndHardwareHandshake(s);
    return false;
  }
  t.lastEraseUs = clock.microseconds() - eraseStart;

  FlashWrite write(s, unit, std::move(restore));
  ImageRecordReader reader(image.bytes());
  bool written = false;
  {
    QuietStream quiet(s);
    t.flashSequence = 0;
    t.flash.clear();
    const TransferMeter meter = StartTransferMeter(s, TransferDirection::Sent);
    const uint64_t writeStart = clock.microseconds();
    written = write.writeRecords(reader);
    t.lastWriteUs = clock.microseconds() - writeStart;
    t.lastWriteBytes = reader.totalBytes();
    t.flash.clear();
    if (written) {
      EndProgress(s);
      WriteTransferSummary(s, meter);
      LogComplete(s);
    }
  }
  if (!written && s.packet.progressTotal != 0) EndProgress(s);
  EndHardwareHandshake(s);
  return written;
}

}  // namespace kl
