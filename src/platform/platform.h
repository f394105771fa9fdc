// The operating-system boundary. Program logic sees the machine only through these
// interfaces; backends: posix/ (the real machine) and sim/ (virtual time, in-process).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kl {

// Error codes with the meaning the program's messages are written for.
namespace oserr {
inline constexpr int None = 0;
inline constexpr int FileNotFound = 2;      // device or file absent
inline constexpr int AccessDenied = 5;      // busy port, read-only file
inline constexpr int PermissionDenied = 1314; // a port this user may not open (not busy)
inline constexpr int SharingViolation = 32; // port held by another program
inline constexpr int InvalidParameter = 87; // unsupported speed
inline constexpr int DiskFull = 112;
inline constexpr int Generic = 31;          // any other failure
}  // namespace oserr

struct LocalTime {
  int year = 2000;  // full year
  int month = 1;    // 1..12
  int day = 1;      // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

class SerialDevice;

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since an arbitrary start; wraps like a 32-bit tick count.
  virtual uint32_t tickMs() = 0;
  // High-resolution counter in microseconds.
  virtual uint64_t microseconds() = 0;
  virtual void sleep(uint32_t ms) = 0;
  virtual LocalTime localTime() = 0;
};

class Console {
 public:
  virtual ~Console() = default;
  virtual void write(std::string_view text) = 0;       // standard output
  virtual void writeError(std::string_view text) = 0;  // standard error
  virtual void flush() = 0;
  // True when a key press waits to be read (never blocks).
  virtual bool keyAvailable() = 0;
  // One key press, raw and without echo. Blocks until a key comes; -1 when input has ended.
  virtual int readKey() = 0;
};

// Attribute bits as the directory listing reports them.
namespace fileattr {
inline constexpr uint32_t ReadOnly = 0x01;
inline constexpr uint32_t Hidden = 0x02;
inline constexpr uint32_t System = 0x04;
inline constexpr uint32_t Directory = 0x10;
}  // namespace fileattr

struct DirEntry {
  std::string name;
  uint32_t attributes = 0;
};

// An open file. Every call records the error code in the platform's last error on failure.
class File {
 public:
  virtual ~File() = default;
  // Bytes read (0 at end of file) or -1.
  virtual long read(void* buffer, size_t count) = 0;
  // True when every byte was written.
  virtual bool write(const void* bytes, size_t count) = 0;
  // Puts what was written on the disk itself (not only in the system's cache).
  virtual bool sync() { return true; }
  // Flushes and closes; false when data could not be written.
  virtual bool close() = 0;
};

// What a name is on the disk.
enum class PathKind : uint8_t { Missing, File, Folder, Device, Other };

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Following links; a system that has no devices in its file tree reports only files and
  // folders.
  virtual PathKind kind(const std::string& path) {
    if (!exists(path)) return PathKind::Missing;
    return isDirectory(path) ? PathKind::Folder : PathKind::File;
  }
  // Full path of the running program.
  virtual std::string programPath() = 0;
  virtual char separator() const = 0;
  virtual bool createDirectory(const std::string& path) = 0;
  virtual bool isDirectory(const std::string& path) = 0;
  virtual bool exists(const std::string& path) = 0;
  // A directory where new files can be created.
  virtual bool isWritableDirectory(const std::string& path) = 0;
  // Open an existing file for reading.
  virtual std::unique_ptr<File> openRead(const std::string& path) = 0;
  // Create or truncate a file for writing; fails when the name is a symbolic link.
  virtual std::unique_ptr<File> create(const std::string& path) = 0;
  // Create a new file; fails when it exists.
  virtual std::unique_ptr<File> createExclusive(const std::string& path) = 0;
  // Create a new file that only the current user may read or write; fails when anything of
  // that name exists, a link included, so that nobody can make the program write elsewhere.
  // Where files are private to their user anyway, an exclusive create is enough.
  virtual std::unique_ptr<File> createPrivate(const std::string& path) { return createExclusive(path); }
  // Lists the entries of `directory` whose names match `pattern` (* and ?). False when the
  // directory cannot be listed.
  virtual bool list(const std::string& directory, const std::string& pattern,
                    std::vector<DirEntry>& entries) = 0;
  virtual bool remove(const std::string& path) = 0;
  virtual bool makeWritable(const std::string& path) = 0;
  // Replaces `to` when it exists, atomically where the platform can.
  virtual bool rename(const std::string& from, const std::string& to) = 0;
  // Where the program keeps state when the folder beside it is not writable.
  virtual std::string stateDirectory() = 0;
};

class Environment {
 public:
  virtual ~Environment() = default;
  // The variable's value; empty when unset.
  virtual std::string get(const std::string& name) = 0;
};

class Registry {
 public:
  virtual ~Registry() = default;
  // The string under the current user's tree at "key\valueName"; empty when missing.
  virtual std::string get(const std::string& path) = 0;
  // Stores a non-empty text; an empty text deletes the value. Silent on failure.
  virtual void put(const std::string& path, const std::string& text) = 0;
};

class Processes {
 public:
  virtual ~Processes() = default;
  // Runs a program and waits for it; `arguments` are the words the program receives. The
  // console is in its normal (line, echo) mode while the program runs. Returns its exit code,
  // or -1 when it could not be started.
  virtual int run(const std::string& program, const std::vector<std::string>& arguments) = 0;
};

class Process {
 public:
  virtual ~Process() = default;
  // Ends the process: runs the exit routine once, restores the console, exits with `code`.
  [[noreturn]] virtual void exit(int code) = 0;
  // The routine run once at any exit (the driver's clean-up lives behind it).
  virtual void setExitRoutine(std::function<void()> routine) = 0;
  // Interrupt, break, terminate and abort end the process with exit code 1.
  virtual void installStopSignals() = 0;
  // A line for an attached debugger.
  virtual void debugTrace(std::string_view line) = 0;
  virtual uint32_t threadId() = 0;
  // The code of the last failed operation, as the serial and file layers set it.
  virtual int lastError() = 0;
  virtual void setLastError(int code) = 0;
  virtual std::string errorText(int code) = 0;
};

// Line settings of a serial open.
struct SerialSettings {
  uint32_t baud = 19200;
  uint8_t stopBits = 2;
  bool parityOn = false;
  bool even = false;
  bool ctsFlow = false;
};

// Line-error bits reported after a failed read or write.
namespace lineerr {
inline constexpr uint32_t Frame = 0x08;
inline constexpr uint32_t Overrun = 0x02;
inline constexpr uint32_t RxParity = 0x04;
inline constexpr uint32_t Break = 0x10;
inline constexpr uint32_t Other = 0x01;
}  // namespace lineerr

// One open serial device. Writes are asynchronous with completion per write.
class SerialDevice {
 public:
  virtual ~SerialDevice() = default;
  virtual bool setSettings(const SerialSettings& settings) = 0;
  // Starts a write of `count` bytes that stay valid until the write completes. Returns an id
  // (>= 0) of the pending write, or -1 on failure. The bytes are accepted at once when the
  // device has room; the rest goes out as the line drains.
  virtual long startWrite(const uint8_t* bytes, size_t count) = 0;
  // Waits up to `waitMs` (0: just look) for write `id` to finish. Returns the bytes written,
  // 0 while still pending, -1 on failure. UINT32_MAX - 1 waits without limit; UINT32_MAX also
  // waits until the bytes have left the device.
  virtual long finishWrite(long id, uint32_t waitMs) = 0;
  // Reads what has arrived, up to `maximum` bytes; 0 when nothing waits; -1 on failure.
  virtual long read(uint8_t* buffer, size_t maximum) = 0;
  // Waits up to `ms` for received bytes; true when some are waiting.
  virtual bool waitReadable(uint32_t ms) = 0;
  // Drops both directions' queued bytes.
  virtual void purge() = 0;
  // Takes the pending line-error bits (lineerr) and clears them.
  virtual uint32_t takeLineErrors() = 0;
  virtual bool cts() = 0;
};

class SerialPorts {
 public:
  virtual ~SerialPorts() = default;
  // Opens COM port `number` exclusively. On failure returns null and sets the last error:
  // 2 absent, 5/32 busy, 87 unsupported speed.
  virtual std::unique_ptr<SerialDevice> open(int number, const SerialSettings& settings) = 0;

  // Where serial ports are devices of the file tree (POSIX), a command-line argument may name
  // one: a path, or a name under the system's device folder when no file of that name is in
  // the working folder. Makes it COM port number that this run opens as that path and returns
  // the number; 0 when the argument names no serial device (it is then no port). Elsewhere
  // always 0.
  virtual int bindDevice(const std::string& /*argument*/) { return 0; }
  // The device COM `number` opens, for messages; empty where COM numbers are the system's own
  // names, or when the number names none.
  virtual std::string deviceOf(int /*number*/) { return {}; }
  // Lines for a message on how COM numbers name devices; none where they are the system's own
  // names.
  virtual std::vector<std::string> portNaming() { return {}; }
  // Lines for a message on what lets this user open COM `number` after PermissionDenied.
  virtual std::vector<std::string> accessHelp(int /*number*/) { return {}; }
};

// Everything the program may use of the machine.
struct Platform {
  Clock& clock;
  Console& console;
  FileSystem& files;
  Environment& environment;
  Registry& registry;
  Processes& processes;
  Process& process;
  SerialPorts& serial;
};

}  // namespace kl
