#include "sim/unit/blank_chip.h"

#include "sim/unit/unit.h"

namespace kl::sim {

namespace {

// Return codes of the on-chip boot loader.
constexpr int kSuccess = 0;
constexpr int kInvalidCommand = 1;
constexpr int kParamError = 19;
constexpr size_t kMaxLine = 80;

}  // namespace

LineFormat BlankChip::format() const { return LineFormat{unit_.settings().ispBaud, Parity::None}; }

void BlankChip::send(const std::string& text) {
  unit_.sendNow(std::vector<uint8_t>(text.begin(), text.end()));
}

void BlankChip::onByte(uint8_t byte) {
  if (stage_ == Stage::AwaitQuestionMark) {
    if (byte == '?') {
      send("Synchronized\r\n");
      stage_ = Stage::AwaitSynchronized;
      line_.clear();
    }
    return;
  }
  if (stage_ == Stage::AwaitSynchronized && byte == '?' && line_.empty()) {
    send("Synchronized\r\n");  // the host did not see the first answer and asks again
    return;
  }
  if (echo_) send(std::string(1, static_cast<char>(byte)));
  if (byte == '\r') return;  // lines end in CR LF; the LF completes them
  if (byte == '\n') {
    if (!line_.empty()) {
      std::string line;
      line.swap(line_);
      onLine(line);
    }
    return;
  }
  if (line_.size() < kMaxLine) line_.push_back(static_cast<char>(byte));
}

void BlankChip::onLine(const std::string& line) {
  switch (stage_) {
    case Stage::AwaitQuestionMark:
      return;
    case Stage::AwaitSynchronized:
      if (line == "Synchronized") {
        send("OK\r\n");
        stage_ = Stage::AwaitFrequency;
      } else {
        stage_ = Stage::AwaitQuestionMark;
      }
      return;
    case Stage::AwaitFrequency:
      send("OK\r\n");
      stage_ = Stage::Commands;
      return;
    case Stage::Commands:
      command(line);
      return;
  }
}

void BlankChip::command(const std::string& line) {
  const auto& settings = unit_.settings();
  auto code = [](int value) { return std::to_string(value) + "\r\n"; };
  switch (line[0]) {
    case 'A':
      if (line == "A 0" || line == "A 1") {
        echo_ = line[2] == '1';
        send(code(kSuccess));
      } else {
        send(code(kParamError));
      }
      return;
    case 'J':
      send(code(kSuccess) + std::to_string(settings.partId) + "\r\n");
      return;
    case 'K':
      // Minor number first, then major.
      send(code(kSuccess) + std::to_string(settings.bootCodeMinor) + "\r\n" +
           std::to_string(settings.bootCodeMajor) + "\r\n");
      return;
    case 'N': {
      const uint32_t serial = static_cast<uint32_t>(unit_.state().application.serialNumber);
      send(code(kSuccess) + "0\r\n0\r\n0\r\n" + std::to_string(serial) + "\r\n");
      return;
    }
    case 'U':
      send(code(kSuccess));
      return;
    default:
      send(code(kInvalidCommand));
      return;
  }
}

}  // namespace kl::sim
