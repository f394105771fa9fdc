// Text with any CR, LF and control bytes written through the output channels into the console
// writer and the session log, with time passing between the pieces and, now and then, a log
// file whose writes start failing (a full disk). Checks what reaches each: the log holds the
// logged text with every line end as CR LF followed by its stamp, the console only whole CR LF
// line ends and the console's text in order.
#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <string>

#include "fuzz_support.h"

namespace kl::fuzz {
namespace {

// A log file in memory whose writes fail once `capacity` bytes are exceeded.
class MemoryFile : public File {
 public:
  MemoryFile(std::shared_ptr<std::string> bytes, size_t capacity) : bytes_(std::move(bytes)), capacity_(capacity) {}
  long read(void*, size_t) override { return -1; }
  bool write(const void* data, size_t count) override {
    if (bytes_->size() + count > capacity_) return false;
    bytes_->append(static_cast<const char*>(data), count);
    return true;
  }
  bool close() override { return true; }

 private:
  std::shared_ptr<std::string> bytes_;
  size_t capacity_;
};

// The log without its stamps; false when a line end is not CR LF and a stamp of at least six
// digits, ": ", or when the stamps go back in time.
bool Unstamped(const std::string& log, std::string& text) {
  uint64_t previous = 0;
  for (size_t i = 0; i < log.size(); ++i) {
    const char c = log[i];
    if (c == '\n') return false;
    text.push_back(c);
    if (c != '\r') continue;
    // A log cut short by a full disk may end anywhere inside the stamp.
    if (i + 1 == log.size()) return true;
    if (log[i + 1] != '\n') return false;
    size_t at = i + 2;
    uint64_t stamp = 0;
    size_t digits = 0;
    while (at < log.size() && log[at] >= '0' && log[at] <= '9') {
      stamp = stamp * 10 + static_cast<uint64_t>(log[at] - '0');
      ++at;
      ++digits;
    }
    if (log.size() - at < 2) return log.compare(at, std::string::npos, ": ", log.size() - at) == 0;
    if (digits < 6 || log.compare(at, 2, ": ") != 0 || stamp < previous) return false;
    previous = stamp;
    i = at + 1;
  }
  return true;
}

}  // namespace
}  // namespace kl::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kl;
  using namespace kl::fuzz;
  FuzzedDataProvider in(data, size);
  SimRun run;
  Session& s = run.s();
  const uint8_t flags = in.ConsumeIntegral<uint8_t>();
  s.givenOptions().silent = (flags & 0x01) != 0;
  s.givenOptions().debug = (flags & 0x02) != 0;
  s.givenOptions().detailedDebug = (flags & 0x04) != 0;
  const bool diskFills = (flags & 0x08) != 0;
  const size_t capacity = diskFills ? in.ConsumeIntegralInRange<size_t>(0, 70000) : SIZE_MAX;

  auto file = std::make_shared<std::string>();
  bool failureReported = false;
  s.out.log().onWriteFailure = [&failureReported] { failureReported = true; };
  s.out.log().attach(std::make_unique<MemoryFile>(file, capacity));
  // As a run starts its log: the command line, raw; the first line end stamps.
  const std::string header = "kestrelink -y -r921600 ";
  s.out.log().writeRaw(header);

  std::string logged;   // what the channels sent to the log
  std::string console;  // what they sent to the console, line ends apart
  while (in.remaining_bytes() > 0) {
    const auto channel = static_cast<Channel>(in.ConsumeIntegralInRange<int>(0, 5));
    const uint8_t how = in.ConsumeIntegral<uint8_t>();
    std::string text = in.ConsumeRandomLengthString(200);
    if (how & 0x10) text.append(static_cast<size_t>(how & 0x0F) * 4096, static_cast<char>(how));  // a large piece
    ChannelWriter& writer = s.out(channel);
    switch (how % 5) {
      case 0:
        writer << text;
        break;
      case 1:
        for (char c : text) writer.put(c);
        break;
      case 2:
        writer << text << static_cast<int>(how) << hex(how, 2) << crlf;
        text += std::to_string(how) + hexText(how, 2) + "\r\n";
        break;
      case 3:
        writer << text;
        s.out.console().beforeRead();  // a key is read
        break;
      default:
        writer << text;
        s.out.flushConsole();
        break;
    }
    if (s.out.toLog(channel)) logged += text;
    if (s.out.toConsole(channel)) {
      for (char c : text) {
        if (c != '\r' && c != '\n') console.push_back(c);
      }
    }
    run.sim.clock.sleep(how % 3 == 0 ? uint32_t{how} * 997 : how % 7);
  }
  s.out.log().close();
  s.out.flushConsole();

  // Line ends as the log reads without its stamps: CR alone.
  std::string expected;
  for (char c : header + logged) {
    if (c != '\n') expected.push_back(c);
  }
  std::string text;
  Require(Unstamped(*file, text), "log line ends are CR LF and a stamp");
  Require(s.out.log().healthy() != failureReported, "a failed log write is reported once it happens");
  if (s.out.log().healthy()) {
    Require(text == expected, "the log holds the logged text");
  } else {
    Require(expected.compare(0, text.size(), text) == 0, "a log on a full disk holds the start of the text");
  }

  const std::string& shown = run.sim.console.output();
  std::string shownText;
  for (size_t i = 0; i < shown.size(); ++i) {
    if (shown[i] == '\r') {
      Require(i + 1 < shown.size() && shown[i + 1] == '\n', "the console gets CR LF line ends");
      ++i;
      continue;
    }
    Require(shown[i] != '\n', "the console gets no lone LF");
    shownText.push_back(shown[i]);
  }
  Require(shownText == console, "the console shows its text in order");
  return 0;
}
