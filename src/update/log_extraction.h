// The -x flow: the configuration, crash and debug logs of every reachable unit copied into
// text files on the PC. Nothing in the units is changed.
#pragma once

#include <cstdint>
#include <string>

namespace kl {

class File;
struct Session;
struct Unit;

// Lists the connected unit's network and copies each unit's logs.
void ExtractLogsFromAllUnits(Session& s, Unit& unit);
// The three logs of the unit at `unit.address` (a record holding only mode and address).
void ExtractLogFilesFromUnit(Session& s, Unit& unit);

// What one remote file's copy came to.
enum class UploadResult { Complete, ReadFailed, WriteFailed, Cut };
// Reads file `fileNumber` of drive 1 block by block into `local`, without the zero bytes that
// end a block, up to a bound no log reaches (Cut past it). A copy cut short says so at the end
// of the local file.
UploadResult UploadRemoteFile(Session& s, uint8_t address, uint16_t fileNumber, File& local);

}  // namespace kl
