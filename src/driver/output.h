// The output channels: the console, the session log, and the four combined channels that
// write to the log always and to the console as the run options allow.
#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "Pellmar/writers.h"
#include "driver/run_options.h"
#include "platform/platform.h"

namespace kl {

enum class Channel : uint8_t { Console, LogOnly, Always, Info, Debug, DetailedDebug };

inline constexpr std::string_view crlf = "\r\n";

// Hexadecimal digits in a message: hex(0x1B, 2) writes "1B".
struct Hex {
  uint64_t value;
  int digits;
};
inline Hex hex(uint64_t value, int digits) { return Hex{value, digits}; }

// The console writer holds back line ends so that the cursor stays at the end of the last
// line until more text comes or a key is read.
class ConsoleWriter : public Writer {
 public:
  explicit ConsoleWriter(Console& console) : console_(console) {}
  void put(char c) override;
  // Called before every keyboard read.
  void beforeRead();
  // Makes what comes next start a line of its own: ends the current line when text stands on
  // it (progress dots, a prompt answered without echo).
  void beginLine();
  // Ends the current line now and hands everything over, before text on another stream.
  void endLine();
  // Hands the collected characters to the console.
  void flush();

 private:
  void emitLineEnd() {
    buffer_.append(crlf);
    lineHasText_ = false;
  }

  Console& console_;
  std::string buffer_;
  bool pendingCr_ = false;
  bool pendingLf_ = false;
  bool afterInput_ = false;
  bool lineHasText_ = false;  // the last character handed over is no line end
};

// The session log file: stamped lines, written through a 32 KB buffer.
class SessionLog : public Writer {
 public:
  static constexpr size_t kBufferSize = 32768;

  SessionLog(Clock& clock) : clock_(clock) {}
  ~SessionLog() override;

  bool isOpen() const { return file_ != nullptr; }
  // Takes an open file; its time base is now.
  void attach(std::unique_ptr<File> file);
  // The log character writer: LF dropped, CR followed by LF and the stamp.
  void put(char c) override;
  // Bytes straight to the file, no stamps (header, final line end).
  void writeRaw(std::string_view text);
  // Writes out the buffer and closes; safe to call again.
  void close();
  // False once a write to the file has failed (a full disk). From then on the log drops its
  // text instead of trying again, so that the run goes on at full speed.
  bool healthy() const { return healthy_; }
  // Called once, at the first failed write.
  std::function<void()> onWriteFailure;

 private:
  void append(char c);
  void flushBuffer();
  void failed();

  Clock& clock_;
  std::unique_ptr<File> file_;
  uint32_t timeBase_ = 0;
  std::string buffer_;
  bool healthy_ = true;
};

class Output;

// One channel as a writer, with stream-style helpers:
//   out(Channel::Debug) << "RPC: " << name << crlf;
// Integers are written in decimal (also 8-bit ones); a char is written as a character.
class ChannelWriter : public Writer {
 public:
  ChannelWriter(Output& output, Channel channel) : output_(output), channel_(channel) {}
  void put(char c) override;

  ChannelWriter& operator<<(std::string_view text);
  ChannelWriter& operator<<(const char* text) { return *this << std::string_view(text); }
  ChannelWriter& operator<<(const std::string& text) { return *this << std::string_view(text); }
  ChannelWriter& operator<<(char c);
  ChannelWriter& operator<<(Hex h);
  template <std::integral T>
    requires(!std::same_as<T, char> && !std::same_as<T, bool>)
  ChannelWriter& operator<<(T value) {
    return *this << std::string_view(decimalText(static_cast<int64_t>(value)));
  }

 private:
  Output& output_;
  Channel channel_;
};

class Output {
 public:
  Output(Platform& platform, const RunOptions& options);

  ChannelWriter& operator()(Channel channel) { return writers_[static_cast<size_t>(channel)]; }

  // Does the channel reach the console / the log under the current options?
  bool toConsole(Channel channel) const;
  bool toLog(Channel channel) const;

  ConsoleWriter& console() { return console_; }
  SessionLog& log() { return log_; }
  void flushConsole() { console_.flush(); }

  // Raised while the program talks to a chip's own serial boot protocol; diagnostics of the
  // serial layer reach the log only while it is above 0.
  int8_t diagnosticsLevel = 0;
  // While above 0 the packet layer traces every frame on DetailedDebug.
  int8_t packetTraceLevel = 0;

 private:
  friend class ChannelWriter;
  const RunOptions& options_;
  ConsoleWriter console_;
  SessionLog log_;
  ChannelWriter writers_[6];
};

}  // namespace kl
