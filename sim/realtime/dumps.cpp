#include "sim/realtime/dumps.h"

#include <fstream>
#include <optional>
#include <vector>

namespace kl::sim {

namespace {

std::string write(const std::vector<uint8_t>& bytes, const std::string& path, const std::string& what) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) return "cannot write " + path;
  return "wrote " + what + " (" + std::to_string(bytes.size()) + " bytes) to " + path;
}

std::optional<uint32_t> parseNumber(const std::string& text, uint32_t max) {
  std::string digits = text;
  int base = 10;
  if (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0) {
    digits = digits.substr(2);
    base = 16;
  } else if (!digits.empty() && digits[0] == '$') {
    digits = digits.substr(1);
    base = 16;
  }
  if (digits.empty() || digits.size() > 8) return std::nullopt;
  size_t used = 0;
  unsigned long value = 0;
  try {
    value = std::stoul(digits, &used, base);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (used != digits.size() || value > max) return std::nullopt;
  return static_cast<uint32_t>(value);
}

}  // namespace

std::string dumpFlash(Installation& installation, const std::string& unit, const std::string& path) {
  Unit* found = installation.find(unit);
  if (!found) return "no unit named '" + unit + "'";
  if (found->state().flash.empty()) return "unit '" + unit + "' has no MCU flash the simulator knows";
  return write(found->state().flash.image(), path, "the flash of " + unit);
}

std::string dumpDriveFile(Installation& installation, const std::string& unit, const std::string& driveFile,
                          const std::string& path) {
  Unit* found = installation.find(unit);
  if (!found) return "no unit named '" + unit + "'";
  const size_t colon = driveFile.find(':');
  const auto drive = colon == std::string::npos ? std::nullopt : parseNumber(driveFile.substr(0, colon), 0xFF);
  const auto number = colon == std::string::npos ? std::nullopt : parseNumber(driveFile.substr(colon + 1), 0xFFFF);
  if (!drive || !number) return "a drive file is DRIVE:NUMBER, like 1:0x0131";
  const DriveFile* file = found->state().drives.find(static_cast<uint8_t>(*drive), static_cast<uint16_t>(*number));
  if (!file) return "unit '" + unit + "' has no file " + driveFile;
  return write(file->bytes, path, "file " + driveFile + " of " + unit);
}

}  // namespace kl::sim
