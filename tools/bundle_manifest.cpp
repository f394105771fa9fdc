#include "bundle_manifest.h"

#include <cctype>
#include <sstream>

#include "Pellmar/writers.h"

namespace kl::tools {
namespace {

constexpr const char* kHeader = "kestrelink-firmware-bundle";

std::optional<uint32_t> ParseHex(const std::string& word, size_t digits) {
  if (word.size() != digits) return std::nullopt;
  uint32_t value = 0;
  for (char c : word) {
    int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
    if (d < 0) return std::nullopt;
    value = value * 16 + static_cast<uint32_t>(d);
  }
  return value;
}

std::optional<uint32_t> ParseSize(const std::string& word) {
  if (word.empty() || word.size() > 9) return std::nullopt;
  uint32_t value = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  return value;
}

}  // namespace

std::optional<Manifest> ParseManifest(const std::string& text, std::string& problem) {
  Manifest manifest;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  bool headerSeen = false;
  while (std::getline(lines, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    std::string first;
    if (!(words >> first) || first[0] == '#') continue;
    auto fail = [&](const std::string& why) {
      problem = "manifest line " + decimalText(number) + ": " + why;
      return std::nullopt;
    };
    if (!headerSeen) {
      std::string version;
      if (first != kHeader || !(words >> version) || version != "1") return fail("expected \"kestrelink-firmware-bundle 1\"");
      headerSeen = true;
      continue;
    }
    if (first == "origin") {
      if (!(words >> manifest.origin)) return fail("origin needs a word");
      for (char c : manifest.origin)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.')
          return fail("origin may hold letters, digits, '-', '_' and '.' only");
      continue;
    }
    std::string size, checksum, crc, extra;
    words >> size >> checksum >> crc >> extra;
    ManifestLine entry;
    const auto bytes = ParseSize(size);
    if (!bytes) return fail("\"" + first + "\" needs its size in bytes");
    entry.bytes = *bytes;
    if (!checksum.empty()) {
      entry.checksum = ParseHex(checksum, 8);
      if (!entry.checksum) return fail("\"" + first + "\": checksum must be 8 hexadecimal digits");
      if (crc.empty()) return fail("\"" + first + "\": a CRC (4 hexadecimal digits, or -) follows the checksum");
      if (crc != "-") {
        const auto value = ParseHex(crc, 4);
        if (!value) return fail("\"" + first + "\": CRC must be 4 hexadecimal digits or -");
        entry.crc = static_cast<uint16_t>(*value);
      }
    }
    if (!extra.empty()) return fail("unexpected \"" + extra + "\"");
    if (!manifest.files.emplace(first, entry).second) return fail("\"" + first + "\" is listed twice");
  }
  if (!headerSeen) {
    problem = "manifest is empty";
    return std::nullopt;
  }
  if (manifest.origin.empty()) manifest.origin = "supplied";
  return manifest;
}

std::string FormatManifest(const Manifest& manifest, const std::string& comment) {
  // Appended piece by piece: chains of + give an optimised GCC 12 build a false -Wrestrict.
  std::string text = kHeader;
  text.append(" 1\n# ").append(comment).append("\norigin ").append(manifest.origin).append("\n");
  for (const auto& [name, entry] : manifest.files) {
    text.append(name).append(" ").append(decimalText(entry.bytes));
    if (entry.checksum) {
      text.append(" ").append(hexText(*entry.checksum, 8)).append(" ");
      text.append(entry.crc ? hexText(*entry.crc, 4) : std::string("-"));
    }
    text.append("\n");
  }
  return text;
}

}  // namespace kl::tools
