// Character writers and the number formatting every message is built with.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace kl {

// Every output target is a writer: something that takes one character at a time.
class Writer {
 public:
  virtual ~Writer() = default;
  virtual void put(char c) = 0;
};

// Collects characters into a string.
class StringWriter : public Writer {
 public:
  void put(char c) override { text_.push_back(c); }
  const std::string& text() const { return text_; }
  void clear() { text_.clear(); }

 private:
  std::string text_;
};

struct NumberFormat {
  enum class Sign { None, Blank, Plus };
  int width = 0;           // at most 35
  bool zeroFill = false;   // fill with zeros instead of blanks
  Sign sign = Sign::None;  // what stands before a non-negative value
  int decimals = 0;        // places after the point: 610 with 2 decimals is 6.10
  bool grouping = false;   // thousands separated by ","
};

void writeString(Writer& out, std::string_view text);
void writeChar(Writer& out, char c);
void writeDecimal(Writer& out, int64_t value);
void writeNumber(Writer& out, int64_t value, const NumberFormat& format);
// `digits` upper-case hexadecimal digits, right-aligned in `fieldWidth` blanks when wider;
// with `groupBlanks` a blank stands between groups of four digits.
void writeHex(Writer& out, uint64_t value, int digits, int fieldWidth = 0, bool groupBlanks = false);

// The same forms as text.
std::string decimalText(int64_t value);
std::string numberText(int64_t value, const NumberFormat& format);
std::string hexText(uint64_t value, int digits);
// Zero-filled to `digits`.
std::string zeroFilled(int64_t value, int digits);
// Version held as version x 100 with a release: 610, 57 -> "6.10r57".
std::string versionText(int version, int release);

// Reads a decimal number the way the command line and settings do: leading blanks and tabs
// are skipped, one "-" is allowed, reading stops at the first non-digit; no digits give 0.
// `consumed`, when given, receives the characters read.
int64_t parseLeadingDecimal(std::string_view text, size_t* consumed = nullptr);

// The value of a hexadecimal digit of either case; -1 for any other character.
constexpr int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The same, held to the range of T: out-of-range digit runs stop at the nearest value of T
// instead of wrapping into some other number.
template <typename T>
T parseClampedDecimal(std::string_view text) {
  return static_cast<T>(std::clamp<int64_t>(parseLeadingDecimal(text), std::numeric_limits<T>::min(),
                                            std::numeric_limits<T>::max()));
}

}  // namespace kl
