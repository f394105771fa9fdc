#include "driver/parameter_lines.h"

#include <algorithm>

namespace kl {

ParameterLineReader::ParameterLineReader(File& file, size_t bufferSize)
    : file_(file), buffer_(bufferSize == 0 ? 1 : bufferSize) {}

bool ParameterLineReader::refill() {
  long n = file_.read(buffer_.data(), buffer_.size());
  if (n < 0) {
    failed_ = true;
    return false;
  }
  position_ = 0;
  filled_ = static_cast<size_t>(n);
  return n > 0;
}

void ParameterLineReader::start() {
  started_ = true;
  if (!refill()) return;
  const auto first = buffer_.begin();
  const auto end = first + static_cast<long>(filled_);
  // A file without any CR in its first block was written with LF line ends.
  lfLines_ = std::find(first, end, '\r') == end;
  static constexpr std::string_view kMark = "\xEF\xBB\xBF";
  if (filled_ >= kMark.size() && std::equal(kMark.begin(), kMark.end(), first)) {
    position_ = kMark.size();
    byteOrderMark_ = true;
  }
}

ParameterLineReader::Result ParameterLineReader::next(std::string& line) {
  line.clear();
  if (failed_) return Result::Error;
  if (!started_) start();
  for (;;) {
    if (position_ == filled_ && !refill()) {
      if (failed_) return Result::Error;
      return line.empty() ? Result::End : Result::Line;
    }
    const char c = buffer_[position_];
    if (c == '\n') {
      ++position_;
      if (lfLines_) return Result::Line;
      continue;
    }
    if (c == '\r') {
      ++position_;
      return Result::Line;
    }
    // A full piece ends here; the character waits for the next read.
    if (line.size() == kMaxPiece) return Result::Line;
    line.push_back(c);
    ++position_;
  }
}

BufferedFileWriter::BufferedFileWriter(File& file, size_t blockSize)
    : file_(file), blockSize_(blockSize == 0 ? 1 : blockSize) {
  pending_.reserve(blockSize_);
}

void BufferedFileWriter::flushBlock() {
  if (ok_ && !pending_.empty() && !file_.write(pending_.data(), pending_.size())) ok_ = false;
  pending_.clear();
}

void BufferedFileWriter::write(std::string_view text) {
  while (!text.empty()) {
    const size_t room = blockSize_ - pending_.size();
    const size_t take = text.size() < room ? text.size() : room;
    pending_.append(text.substr(0, take));
    text.remove_prefix(take);
    if (pending_.size() == blockSize_) flushBlock();
  }
}

bool BufferedFileWriter::finish() {
  flushBlock();
  const bool closed = file_.close();
  return ok_ && closed;
}

std::string_view ParameterLineKey(std::string_view line) {
  const size_t eq = line.find('=');
  return eq == std::string_view::npos ? line : line.substr(0, eq);
}

std::string_view ParameterLineValue(std::string_view line) {
  const size_t eq = line.find('=');
  return eq == std::string_view::npos ? std::string_view() : line.substr(eq + 1);
}

}  // namespace kl
