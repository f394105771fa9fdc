#include "driver/output.h"

namespace kl {

// ---- console line ends ----

void ConsoleWriter::put(char c) {
  if (c == '\r') {
    if (pendingCr_ || afterInput_) {
      emitLineEnd();
      pendingCr_ = true;
      pendingLf_ = false;
    } else {
      pendingCr_ = true;
    }
    return;
  }
  if (c == '\n') {
    if (pendingLf_) {
      emitLineEnd();
      pendingLf_ = true;
      pendingCr_ = false;
    } else {
      pendingLf_ = true;
    }
    return;
  }
  if (afterInput_) {
    pendingCr_ = pendingLf_ = afterInput_ = false;
  } else if (pendingCr_ || pendingLf_) {
    pendingCr_ = pendingLf_ = false;
    emitLineEnd();
  }
  buffer_.push_back(c);
  lineHasText_ = true;
}

void ConsoleWriter::beginLine() {
  if (!lineHasText_ || pendingCr_ || pendingLf_) return;
  emitLineEnd();
  afterInput_ = false;
}

void ConsoleWriter::endLine() {
  if (!afterInput_ && (pendingCr_ || pendingLf_)) {
    emitLineEnd();
  } else {
    beginLine();
  }
  pendingCr_ = pendingLf_ = afterInput_ = false;
  flush();
}

void ConsoleWriter::beforeRead() {
  if (!afterInput_ && (pendingCr_ || pendingLf_)) {
    emitLineEnd();
    pendingCr_ = pendingLf_ = false;
  }
  afterInput_ = true;
  flush();
}

void ConsoleWriter::flush() {
  if (buffer_.empty()) return;
  console_.write(buffer_);
  console_.flush();
  buffer_.clear();
}

// ---- session log ----

SessionLog::~SessionLog() { close(); }

void SessionLog::attach(std::unique_ptr<File> file) {
  close();
  file_ = std::move(file);
  timeBase_ = clock_.tickMs();
  buffer_.clear();
  buffer_.reserve(kBufferSize);
  healthy_ = true;
}

void SessionLog::append(char c) {
  buffer_.push_back(c);
  if (buffer_.size() >= kBufferSize) flushBuffer();
}

void SessionLog::flushBuffer() {
  if (!file_ || buffer_.empty()) return;
  const bool written = healthy_ && file_->write(buffer_.data(), buffer_.size());
  buffer_.clear();
  if (!written) failed();
}

void SessionLog::failed() {
  if (!healthy_) return;
  healthy_ = false;
  if (onWriteFailure) onWriteFailure();
}

void SessionLog::put(char c) {
  if (c == '\n' || !file_) return;
  append(c);
  if (c == '\r') {
    append('\n');
    const uint32_t elapsed = clock_.tickMs() - timeBase_;
    for (char d : zeroFilled(elapsed, 6)) append(d);
    append(':');
    append(' ');
  }
}

void SessionLog::writeRaw(std::string_view text) {
  if (!file_) return;
  for (char c : text) append(c);
}

void SessionLog::close() {
  if (!file_) return;
  flushBuffer();
  auto file = std::move(file_);
  if (!file->close()) failed();
}

// ---- channels ----

Output::Output(Platform& platform, const RunOptions& options)
    : options_(options),
      console_(platform.console),
      log_(platform.clock),
      writers_{{*this, Channel::Console}, {*this, Channel::LogOnly}, {*this, Channel::Always},
               {*this, Channel::Info},    {*this, Channel::Debug},   {*this, Channel::DetailedDebug}} {}

bool Output::toConsole(Channel channel) const {
  switch (channel) {
    case Channel::Console:
    case Channel::Always:
      return true;
    case Channel::LogOnly:
      return false;
    case Channel::Info:
      return !options_.silent;
    case Channel::Debug:
      return options_.debug;
    case Channel::DetailedDebug:
      return options_.detailedDebug;
  }
  return false;
}

bool Output::toLog(Channel channel) const { return channel != Channel::Console; }

void ChannelWriter::put(char c) {
  if (output_.toConsole(channel_)) output_.console_.put(c);
  if (output_.toLog(channel_)) output_.log_.put(c);
}

ChannelWriter& ChannelWriter::operator<<(std::string_view text) {
  const bool console = output_.toConsole(channel_);
  const bool log = output_.toLog(channel_);
  for (char c : text) {
    if (console) output_.console_.put(c);
    if (log) output_.log_.put(c);
  }
  if (console) output_.console_.flush();
  return *this;
}

ChannelWriter& ChannelWriter::operator<<(char c) { return *this << std::string_view(&c, 1); }

ChannelWriter& ChannelWriter::operator<<(Hex h) { return *this << std::string_view(hexText(h.value, h.digits)); }

}  // namespace kl
