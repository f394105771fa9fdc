#include "network.h"

#include "Pellmar/writers.h"
#include "carried_release.h"
#include "draws.h"

namespace kl::campaign {

NetworkUnit Display() {
  return {"display", 653, 1, 4, 530200, "product = 63\ninformation = Silo weigh station\nbuffer-size = 4096\n"};
}

std::vector<NetworkUnit> RemoteUnits() {
  return {
      {"transmitter", 659, 1, 2, 590200, "product = 61\n"},
      {"io", 649, 2, 7, 490200, "boot-loader = C3\nboot-release = 16\n"},
      {"zs3", 648, 6, 9, 481300, "information = Hopper\n"},
  };
}

std::vector<NetworkUnit> SomeOf(std::mt19937_64& random, const std::vector<NetworkUnit>& units, bool maybeNone) {
  for (;;) {
    std::vector<NetworkUnit> chosen;
    for (const NetworkUnit& unit : units) {
      if (Chance(random, 0.6)) chosen.push_back(unit);
    }
    if (maybeNone || !chosen.empty()) return chosen;
  }
}

std::string Section(const NetworkUnit& unit, const std::vector<NetworkUnit>& network) {
  std::string text = "[unit " + unit.name + "]\ncard = " + std::to_string(unit.card) +
                     "\ncircuit = " + std::to_string(unit.circuit) + "\nmodbus-address = " +
                     std::to_string(unit.modbusAddress) + "\nserial = " + std::to_string(unit.serial) + "\n" + unit.keys;
  if (!network.empty()) {
    text += "network =";
    for (const NetworkUnit& remote : network) text += " " + remote.name;
    text += "\n";
  }
  return text;
}

std::string OutdatedSoftware(std::mt19937_64& random) {
  return "version = 6.0" + std::to_string(Between(random, 0, 9)) + "\nrelease = " +
         std::to_string(Between(random, 0, 40)) + "\nbuild-increment = 0\nunit-flags = 0x01\n";
}

std::string SomeCarriedFiles(std::mt19937_64& random, int card, int mcuType) {
  const std::optional<CardFiles> files = CarriedFilesOf(static_cast<uint16_t>(card), static_cast<uint8_t>(mcuType));
  if (!files) return {};
  std::string text;
  for (const CarriedFile& file : files->drive) {
    if (Chance(random, 0.5)) text += "file 1:0x" + hexText(file.number, 4) + " = bundle " + file.bundleName + " crc\n";
  }
  if (!files->resourceInputs.empty() && Chance(random, 0.5)) {
    text += "file 0xB1:0 = resource";
    for (const CarriedFile& input : files->resourceInputs)
      text += " 0x" + hexText(input.number, 4) + "=" + input.bundleName;
    text += "\n";
  }
  return text;
}

std::string RandomText(std::mt19937_64& random, size_t length) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.,:;-=+";
  std::string text;
  for (size_t i = 0; i < length; ++i) {
    text += Chance(random, 0.02) ? '\n' : kLetters[Between<size_t>(random, 0, sizeof kLetters - 2)];
  }
  return text;
}

std::string Quoted(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) quoted += c == '\n' ? std::string("\\n") : std::string(1, c);
  return quoted + "\"";
}

}  // namespace kl::campaign
