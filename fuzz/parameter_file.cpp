// A parameter file of any bytes read with IniGetString, IniGetBool and IniGetInt, and through
// the line reader with small buffers and short reads; then a key written with IniPutString.
// The input starts with the key, the value and the reader's sizes; the rest is the file.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "driver/parameter_file.h"
#include "driver/parameter_lines.h"
#include "fuzz_support.h"

namespace kl::fuzz {
namespace {

// The file as lines: CR ends a line, LF counts nowhere, a long line comes in pieces, and a
// last line without CR counts when it is not empty. A file without CR in its first read
// (`firstRead` bytes) has LF line ends instead, and a UTF-8 byte-order mark at its start is
// no part of its first line.
std::vector<std::string> ExpectedLines(const std::string& content, size_t firstRead) {
  const std::string_view first = std::string_view(content).substr(0, firstRead);
  const bool lfLines = first.find('\r') == std::string_view::npos;
  const size_t start = first.starts_with("\xEF\xBB\xBF") ? 3 : 0;
  std::vector<std::string> lines;
  std::string line;
  for (char c : std::string_view(content).substr(start)) {
    if (c == '\n' && !lfLines) continue;
    if (c == '\r' || c == '\n') {
      lines.push_back(line);
      line.clear();
      continue;
    }
    if (line.size() == ParameterLineReader::kMaxPiece) {
      lines.push_back(line);
      line.clear();
    }
    line.push_back(c);
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

std::string ExpectedValue(const std::vector<std::string>& lines, const std::string& key) {
  for (const std::string& line : lines) {
    if (ParameterLineKey(line) == key) return std::string(ParameterLineValue(line));
  }
  return {};
}

int32_t ExpectedInt(const std::string& value) {
  size_t i = value.find_first_not_of(" \t");
  if (i == std::string::npos) return 0;
  const bool negative = value[i] == '-';
  if (negative) ++i;
  int64_t number = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    number = std::min<int64_t>(number * 10 + (value[i] - '0'), int64_t{1} << 40);
  }
  if (negative) number = -number;
  return static_cast<int32_t>(std::clamp<int64_t>(number, INT32_MIN, INT32_MAX));
}

// The file's bytes handed out in reads of at most `chunk` bytes.
class ChunkedFile : public File {
 public:
  ChunkedFile(const std::string& content, size_t chunk) : content_(content), chunk_(chunk) {}
  long read(void* buffer, size_t count) override {
    const size_t n = std::min({count, chunk_, content_.size() - at_});
    std::copy_n(content_.data() + at_, n, static_cast<char*>(buffer));
    at_ += n;
    return static_cast<long>(n);
  }
  bool write(const void*, size_t) override { return false; }
  bool close() override { return true; }

 private:
  const std::string& content_;
  size_t chunk_;
  size_t at_ = 0;
};

bool PlainText(const std::string& text) { return text.find_first_of("\r\n") == std::string::npos; }

}  // namespace
}  // namespace kl::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kl;
  using namespace kl::fuzz;
  FuzzedDataProvider in(data, size);
  const std::string key = in.ConsumeRandomLengthString(40);
  const std::string value = in.ConsumeRandomLengthString(40);
  const bool write = in.ConsumeBool();
  const auto bufferSize = in.ConsumeIntegralInRange<size_t>(1, 70);
  const auto chunk = in.ConsumeIntegralInRange<size_t>(1, 70);
  const std::string content = in.ConsumeRemainingBytesAsString();

  // The line reader's first read is one chunk at most; the program's reads its file in blocks
  // of 64 KiB, which hold the whole of any input here.
  const std::vector<std::string> expected = ExpectedLines(content, std::min(bufferSize, chunk));
  const std::vector<std::string> stored = ExpectedLines(content, 65536);
  {
    ChunkedFile file(content, chunk);
    ParameterLineReader reader(file, bufferSize);
    std::string line;
    size_t index = 0;
    ParameterLineReader::Result result;
    while ((result = reader.next(line)) == ParameterLineReader::Result::Line) {
      Require(index < expected.size() && line == expected[index], "the reader returns the file's lines");
      ++index;
    }
    Require(result == ParameterLineReader::Result::End && index == expected.size(), "the reader reads to the end");
  }

  SimRun run;
  Session& s = run.s();
  const std::string path = ScratchFolder() + "/unit.ini";
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
  }
  try {
    const std::string read = IniGetString(s, path, key).str();
    Require(read == ExpectedValue(stored, key), "IniGetString gives the first matching line's value");
    const bool flag = IniGetBool(s, path, key);
    std::string upper = read;
    for (char& c : upper) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    Require(flag == (read == "1" || upper == "TRUE"), "IniGetBool is true for 1 and TRUE only");
    Require(IniGetInt(s, path, key) == ExpectedInt(read), "IniGetInt reads the leading decimal number");

    if (write && PlainText(key) && PlainText(value) && key.find('=') == std::string::npos) {
      IniPutString(s, path, key, value);
      Require(IniGetString(s, path, key).str() == value, "a written key reads back");
      // Every other key keeps its value.
      for (size_t i = 0; i < stored.size() && i < 8; ++i) {
        const std::string other(ParameterLineKey(stored[i]));
        if (other == key) continue;
        Require(IniGetString(s, path, other).str() == ExpectedValue(stored, other), "other keys keep their values");
      }
    }
  } catch (const ProcessExit&) {
    // A file the program cannot read or replace ends the run as it does for a station.
  }
  return 0;
}
