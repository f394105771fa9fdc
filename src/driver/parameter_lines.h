// Line-by-line access to a parameter file: CR ends a line and LF is ignored, except in a file
// that holds no CR (as Linux tools write them; judged by its first 64 KB), where LF ends a line;
// a UTF-8 byte-order mark at the start is passed over. A line longer than one read returns in pieces that each count
// as a line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace kl {

class ParameterLineReader {
 public:
  // Characters one read returns at most.
  static constexpr size_t kMaxPiece = 32001;

  enum class Result { Line, End, Error };

  explicit ParameterLineReader(File& file, size_t bufferSize = 65536);
  // The next line (or piece of a long line) without its line end. A last line without CR
  // counts when it is not empty.
  Result next(std::string& line);
  // How the lines read so far end: LF in a file that showed only LF line ends, else CR LF.
  std::string_view lineEnd() const { return lfLines_ ? std::string_view("\n") : std::string_view("\r\n"); }
  // The file began with a byte-order mark (known once the first line was read).
  bool byteOrderMark() const { return byteOrderMark_; }

 private:
  bool refill();
  void start();

  File& file_;
  std::vector<char> buffer_;
  size_t position_ = 0;
  size_t filled_ = 0;
  bool failed_ = false;
  bool started_ = false;
  bool byteOrderMark_ = false;
  bool lfLines_ = false;  // LF ends the lines
};

// Collects output and hands it to the file in large blocks; remembers the first failure.
class BufferedFileWriter {
 public:
  explicit BufferedFileWriter(File& file, size_t blockSize = 65536);
  void write(std::string_view text);
  // Writes out what is held and closes the file; false when any write failed.
  bool finish();

 private:
  void flushBlock();

  File& file_;
  size_t blockSize_;
  std::string pending_;
  bool ok_ = true;
};

// A line's key: the text before its first "=" (the whole line when there is none).
std::string_view ParameterLineKey(std::string_view line);
// A line's value: the text after its first "=" (empty when there is none).
std::string_view ParameterLineValue(std::string_view line);

}  // namespace kl
