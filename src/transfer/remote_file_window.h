// Pieces shared by the windowed read and write of remote files and by CloseFile.
#pragma once

#include <cstdint>

#include "transfer/remote_file_access.h"

namespace kl {

struct FileWindow;

// Sub-codes of the windowed messages.
namespace windowed {
inline constexpr uint8_t ReadRequest = '0';
inline constexpr uint8_t ReadReply = '1';
inline constexpr uint8_t WriteData = '2';
inline constexpr uint8_t Acknowledged = '3';
inline constexpr uint8_t NotAcknowledged = '4';
// The extra byte of the extended (0x48) form: its low 4 bits.
inline constexpr uint8_t ExtendedMarker = 0x04;
}  // namespace windowed

// Empties the window; a read's next offset starts again at 0 only when asked.
void EmptyWindow(FileWindow& window, bool restartReading);

// Takes the replies of the blocks still in flight and discards them; on silence the window is
// simply emptied.
void OverlappedReadFinish(TransferContext& s, const RemoteFile& f);
// Waits until every queued block is acknowledged; the caller reports a failure.
bool DrainWriteWindow(TransferContext& s, const RemoteFile& f, uint8_t& result);

// Frames and sends the windowed message built since BeginPacket. A windowed message always
// goes out: a reply the packet layer holds belongs to no request of the stream.
void PrepareWindowedMessage(TransferContext& s);

}  // namespace kl
