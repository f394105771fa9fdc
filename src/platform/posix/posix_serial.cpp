// Serial ports on POSIX terminals: exclusive open by COM number, raw 8-bit line with two stop
// bits, non-blocking reads, and writes that complete as the device accepts their bytes.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <map>
#include <set>

#include "platform/posix/posix_factories.h"
#include "platform/run_lock.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_line_speed.h"
#include "platform/posix/posix_port_map.h"

namespace kl {
namespace {

constexpr uint32_t kForever = UINT32_MAX;
// A write that cannot finish (output held by CTS) gives up after its line time plus this.
constexpr uint64_t kWriteGraceMs = 1000;
constexpr int kDrainStepMs = 10;
// The code of a write that timed out before its first byte went out (0 would read as pending).
constexpr int kWriteTimedOut = 121;

uint64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

// Milliseconds left until `deadline` as poll() takes them; -1 waits without limit.
int PollTimeout(bool forever, uint64_t deadline) {
  if (forever) return -1;
  const uint64_t now = MonotonicMs();
  return now >= deadline ? 0 : static_cast<int>(deadline - now);
}

// Raw line: 8 data bits, stop bits and parity as asked, CTS-gated output on request, no
// software flow control, reads that return at once with what is buffered.
bool ApplySettings(int fd, const SerialSettings& settings) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK);
  if (settings.parityOn) t.c_iflag |= INPCK;
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  if (settings.stopBits != 1) t.c_cflag |= CSTOPB;
  if (settings.parityOn) {
    t.c_cflag |= PARENB;
    if (!settings.even) t.c_cflag |= PARODD;
  }
  if (settings.ctsFlow) t.c_cflag |= CRTSCTS;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &t) != 0) return false;
  // What the device reads back may differ (a pseudo-terminal clears PARENB): not a failure.
  return SetLineSpeed(fd, settings.baud);
}

int SettingsError(int error) {
  return error == EINVAL ? oserr::InvalidParameter : osErrorFromErrno(error);
}

class PosixSerialDevice : public SerialDevice {
 public:
  PosixSerialDevice(Process& process, int fd, uint32_t baud, bool ctsTiedHigh)
      : process_(process), fd_(fd), baud_(baud), ctsTiedHigh_(ctsTiedHigh) {
    counters_ = readCounters();
  }
  ~PosixSerialDevice() override {
    ioctl(fd_, TIOCNXCL);
    ::close(fd_);
  }

  bool setSettings(const SerialSettings& settings) override {
    if (ApplySettings(fd_, settings)) {
      baud_ = settings.baud;
      return true;
    }
    process_.setLastError(SettingsError(errno));
    return false;
  }

  long startWrite(const uint8_t* bytes, size_t count) override {
    if (gone_) return failed();
    const long id = nextId_++;
    pending_.push_back(PendingWrite{id, bytes, count, 0, 0});
    pump();
    return id;
  }

  long finishWrite(long id, uint32_t waitMs) override {
    const bool forever = waitMs == kForever || waitMs == kForever - 1;
    const uint64_t deadline = forever ? 0 : MonotonicMs() + waitMs;
    for (;;) {
      pump();
      auto done = finished_.find(id);
      if (done != finished_.end()) {
        const long result = done->second;
        finished_.erase(done);
        // The longest wait also waits until the bytes have left the device.
        if (result >= 0 && waitMs == kForever && pending_.empty()) drain();
        return result;
      }
      if (!isPending(id)) return failed();
      int timeout = PollTimeout(forever, deadline);
      if (timeout == 0) return 0;
      // Wake when the write in front gives up, so that its partial count is reported.
      const int frontLeft = PollTimeout(false, pending_.front().deadlineMs);
      if (timeout < 0 || frontLeft < timeout) timeout = std::max(frontLeft, 1);
      pollfd p{fd_, POLLOUT, 0};
      int ready = 0;
      {
        BlockingSection wait(process_);  // a stop signal may end the run during the wait
        ready = poll(&p, 1, timeout);
      }
      if (ready < 0 && errno != EINTR) lose(errno);
      if (ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL))) lose(ENXIO);
    }
  }

  long read(uint8_t* buffer, size_t maximum) override {
    if (gone_) return failed();
    if (maximum == 0) return 0;
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, maximum);
      if (n >= 0) return static_cast<long>(n);
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      lose(errno);
      return -1;
    }
  }

  bool waitReadable(uint32_t ms) override {
    if (gone_) return true;
    const bool forever = ms == kForever;
    const uint64_t deadline = forever ? 0 : MonotonicMs() + ms;
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      int ready = 0;
      {
        BlockingSection wait(process_);
        ready = poll(&p, 1, PollTimeout(forever, deadline));
      }
      if (ready < 0) {
        if (errno == EINTR) continue;
        lose(errno);
        return true;
      }
      if (ready == 0) return false;
      // A pulled adapter hangs the terminal up: its reads would return nothing for ever.
      if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
        lose(ENXIO);
        return true;
      }
      return (p.revents & POLLIN) != 0;
    }
  }

  void purge() override {
    tcflush(fd_, TCIOFLUSH);
    for (const PendingWrite& w : pending_) finished_[w.id] = -1;
    if (!pending_.empty()) process_.setLastError(oserr::Generic);
    pending_.clear();
  }

  uint32_t takeLineErrors() override {
    const serial_icounter_struct now = readCounters();
    uint32_t bits = 0;
    if (now.frame != counters_.frame) bits |= lineerr::Frame;
    if (now.overrun != counters_.overrun || now.buf_overrun != counters_.buf_overrun) bits |= lineerr::Overrun;
    if (now.parity != counters_.parity) bits |= lineerr::RxParity;
    if (now.brk != counters_.brk) bits |= lineerr::Break;
    counters_ = now;
    return bits;
  }

  bool cts() override {
    if (ctsTiedHigh_) return true;
    int lines = 0;
    if (ioctl(fd_, TIOCMGET, &lines) != 0) return false;  // no modem lines: CTS reads low
    return (lines & TIOCM_CTS) != 0;
  }

 private:
  struct PendingWrite {
    long id;
    const uint8_t* bytes;
    size_t count;
    size_t done;
    uint64_t deadlineMs;  // set when the write reaches the front of the queue
  };

  // Hands the device as many queued bytes as it takes without blocking. A write that has
  // waited too long ends with the bytes it got out, as a timed-out write does.
  void pump() {
    while (!pending_.empty() && !gone_) {
      PendingWrite& w = pending_.front();
      if (w.deadlineMs == 0) w.deadlineMs = MonotonicMs() + lineMs(w.count) + kWriteGraceMs;
      if (w.done < w.count) {
        const ssize_t n = ::write(fd_, w.bytes + w.done, w.count - w.done);
        if (n < 0) {
          if (errno == EINTR) continue;
          if (errno != EAGAIN && errno != EWOULDBLOCK) {
            lose(errno);
            return;
          }
        } else {
          w.done += static_cast<size_t>(n);
        }
        if (w.done < w.count) {
          if (MonotonicMs() < w.deadlineMs) return;
          // The line is blocked: this write and every one queued behind it time out now.
          for (const PendingWrite& queued : pending_) {
            finished_[queued.id] = queued.done > 0 ? static_cast<long>(queued.done) : -1;
          }
          process_.setLastError(kWriteTimedOut);
          pending_.clear();
          return;
        }
      }
      if (w.done == w.count) {
        finished_[w.id] = static_cast<long>(w.count);
        pending_.pop_front();
      }
    }
  }

  // Waits until the device has sent what it holds, but no longer than its line could need
  // plus the write grace: output held by CTS must not stop the program for ever.
  void drain() {
    int queued = 0;
    if (ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued <= 0) return;
    const uint64_t limit = MonotonicMs() + lineMs(static_cast<size_t>(queued)) + kWriteGraceMs;
    while (ioctl(fd_, TIOCOUTQ, &queued) == 0 && queued > 0 && MonotonicMs() < limit) {
      BlockingSection wait(process_);
      poll(nullptr, 0, kDrainStepMs);
    }
  }

  // Time allowed for `count` bytes: 1 ms a byte, or their line time where that is longer.
  uint64_t lineMs(size_t count) const {
    const uint64_t byLine = static_cast<uint64_t>(count) * 11000 / std::max<uint32_t>(baud_, 1);
    return std::max<uint64_t>(count, byLine);
  }

  bool isPending(long id) const {
    for (const PendingWrite& w : pending_) {
      if (w.id == id) return true;
    }
    return false;
  }

  // The device failed or went away: every queued write fails, later calls fail at once.
  void lose(int error) {
    gone_ = true;
    lostError_ = osErrorFromErrno(error);
    for (const PendingWrite& w : pending_) finished_[w.id] = -1;
    pending_.clear();
    process_.setLastError(lostError_);
  }

  long failed() {
    process_.setLastError(gone_ ? lostError_ : oserr::Generic);
    return -1;
  }

  serial_icounter_struct readCounters() {
    serial_icounter_struct counters{};
    if (ioctl(fd_, TIOCGICOUNT, &counters) != 0) return serial_icounter_struct{};
    return counters;
  }

  Process& process_;
  int fd_;
  uint32_t baud_;
  bool ctsTiedHigh_;
  std::deque<PendingWrite> pending_;
  std::map<long, long> finished_;
  long nextId_ = 0;
  bool gone_ = false;
  int lostError_ = oserr::Generic;
  serial_icounter_struct counters_{};
};

}  // namespace

int SerialOpenError(int error) {
  switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOTDIR:
    case EIO:  // a device node without hardware behind it
      return oserr::FileNotFound;
    case EBUSY:
      return oserr::AccessDenied;
    case EACCES:
    case EPERM:
      // Not "busy": a port this user may not open stays closed, retrying cannot help.
      return oserr::PermissionDenied;
    default:
      return osErrorFromErrno(error);
  }
}

namespace {

class PosixSerialPorts : public SerialPorts {
 public:
  PosixSerialPorts(Process& process, Environment& environment) : process_(process), environment_(environment) {}

  std::unique_ptr<SerialDevice> open(int number, const SerialSettings& settings) override {
    const auto bound = bound_.find(number);
    const MappedPort mapped = bound != bound_.end() ? bound->second : MapComPort(number, portMap());
    const std::string& path = mapped.path;
    if (path.empty()) return fail(oserr::FileNotFound);
    if (settings.baud == 0) return fail(oserr::InvalidParameter);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail(SerialOpenError(errno));
    if (!isatty(fd)) {
      ::close(fd);
      return fail(oserr::FileNotFound);
    }
    // Exclusive: TIOCEXCL keeps other users out, the lock also other programs of root.
    ioctl(fd, TIOCEXCL);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ioctl(fd, TIOCNXCL);
      ::close(fd);
      return fail(error == EWOULDBLOCK ? oserr::SharingViolation : osErrorFromErrno(error));
    }
    auto device = std::make_unique<PosixSerialDevice>(process_, fd, settings.baud, mapped.ctsTiedHigh);
    if (!ApplySettings(fd, settings)) return fail(SettingsError(errno));
    // DTR and RTS held on; a pseudo-terminal has no modem lines, which is fine.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &lines);
    // USB adapters hold received bytes up to their latency timer unless asked not to.
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
      serial.flags |= ASYNC_LOW_LATENCY;
      ioctl(fd, TIOCSSERIAL, &serial);
    }
    return device;
  }

  int bindDevice(const std::string& argument) override {
    if (argument.empty()) return 0;
    std::string path = argument;
    struct stat st {};
    // "ttyUSB0": the device of that name that is there, unless the working folder has a file so
    // named.
    if (argument.front() != '/' && ::stat(argument.c_str(), &st) != 0 && errno == ENOENT) {
      path = "/dev/" + argument;
      if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
    }
    std::set<int> taken;
    for (const auto& [number, port] : bound_) {
      if (port.path == path) return number;
      taken.insert(number);
    }
    const int number = ComNumberForDevice(path, portMap(), taken);
    if (number == 0) return 0;
    MappedPort port = MapComPort(number, portMap());
    port.path = path;  // opened as the user named it
    bound_[number] = port;
    return number;
  }

  std::string deviceOf(int number) override {
    const auto bound = bound_.find(number);
    return bound != bound_.end() ? bound->second.path : MapComPort(number, portMap()).path;
  }

  std::vector<std::string> portNaming() override { return PortNamingLines(); }

  std::vector<std::string> accessHelp(int number) override { return DeviceAccessHelp(deviceOf(number)); }

 private:
  std::string portMap() { return environment_.get("KESTRELINK_PORTMAP"); }

  std::unique_ptr<SerialDevice> fail(int code) {
    process_.setLastError(code);
    return nullptr;
  }

  Process& process_;
  Environment& environment_;
  std::map<int, MappedPort> bound_;  // devices named on the command line
};

}  // namespace

std::unique_ptr<SerialPorts> MakePosixSerialPorts(Process& process, Environment& environment) {
  return std::make_unique<PosixSerialPorts>(process, environment);
}

}  // namespace kl
