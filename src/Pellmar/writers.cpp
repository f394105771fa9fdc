#include "Pellmar/writers.h"

#include <algorithm>

namespace kl {

void writeString(Writer& out, std::string_view text) {
  for (char c : text) out.put(c);
}

void writeChar(Writer& out, char c) { out.put(c); }

void writeDecimal(Writer& out, int64_t value) { writeString(out, decimalText(value)); }

void writeNumber(Writer& out, int64_t value, const NumberFormat& format) {
  writeString(out, numberText(value, format));
}

void writeHex(Writer& out, uint64_t value, int digits, int fieldWidth, bool groupBlanks) {
  std::string text = hexText(value, digits);
  if (groupBlanks) {
    std::string grouped;
    for (size_t i = 0; i < text.size(); ++i) {
      if (i > 0 && (text.size() - i) % 4 == 0) grouped.push_back(' ');
      grouped.push_back(text[i]);
    }
    text = grouped;
  }
  for (int i = static_cast<int>(text.size()); i < fieldWidth; ++i) out.put(' ');
  writeString(out, text);
}

std::string decimalText(int64_t value) {
  // Built by hand so that the most negative value needs no special case.
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  std::string text;
  if (value < 0) text.push_back('-');
  while (n > 0) text.push_back(digits[--n]);
  return text;
}

std::string numberText(int64_t value, const NumberFormat& format) {
  const bool negative = value < 0;
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  const int decimals = std::clamp(format.decimals, 0, 18);

  // Digits are collected least significant first, then the text is assembled by appending
  // only (inserting at the front trips a false restrict warning in GCC 12 at -O3).
  std::string reversed;
  int position = 0;
  do {
    if (decimals > 0 && position == decimals) reversed.push_back('.');
    const int integerDigit = position - decimals;
    if (format.grouping && integerDigit > 0 && integerDigit % 3 == 0) reversed.push_back(',');
    reversed.push_back(static_cast<char>('0' + magnitude % 10));
    magnitude /= 10;
    ++position;
  } while (magnitude != 0 || position <= decimals);

  std::string sign;
  if (negative) {
    sign = "-";
  } else if (format.sign == NumberFormat::Sign::Blank) {
    sign = " ";
  } else if (format.sign == NumberFormat::Sign::Plus) {
    sign = "+";
  }
  const int width = std::clamp(format.width, 0, 35);
  const int fill = width - static_cast<int>(sign.size() + reversed.size());

  std::string text;
  if (fill > 0 && !format.zeroFill) text.append(static_cast<size_t>(fill), ' ');
  text.append(sign);
  if (fill > 0 && format.zeroFill) text.append(static_cast<size_t>(fill), '0');
  text.append(reversed.rbegin(), reversed.rend());
  return text;
}

std::string hexText(uint64_t value, int digits) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  digits = std::clamp(digits, 1, 16);
  std::string text(static_cast<size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i) {
    text[static_cast<size_t>(i)] = kDigits[value & 0xF];
    value >>= 4;
  }
  return text;
}

std::string zeroFilled(int64_t value, int digits) {
  NumberFormat format;
  format.width = digits;
  format.zeroFill = true;
  return numberText(value, format);
}

std::string versionText(int version, int release) {
  return decimalText(version / 100) + "." + zeroFilled(version % 100, 2) + "r" +
         zeroFilled(release, 2);
}

int64_t parseLeadingDecimal(std::string_view text, size_t* consumed) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && text[i] == '-') {
    negative = true;
    ++i;
  }
  int64_t value = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    // Saturate rather than overflow on absurdly long digit runs.
    if (value < (INT64_MAX - 9) / 10) value = value * 10 + (text[i] - '0');
    ++i;
  }
  if (consumed) *consumed = i;
  return negative ? -value : value;
}

}  // namespace kl
