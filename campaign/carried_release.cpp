#include "carried_release.h"

#include <fstream>
#include <iterator>

#include "Pellmar/writers.h"
#include "sim/scenario/scenario.h"
#include "wire/unit_codes.h"

namespace kl::campaign {

namespace {

using namespace wire;

struct Carried {
  uint8_t mcuType;
  uint8_t unitFamily;  // family::Any: every family on this MCU
  int software;        // software-NN.bin, 0: none
  int bootLoader;      // boot-loader-NN.bin
};

constexpr Carried kCarried[] = {
    {mcu::LPC2478, family::Display, 1, 1},     {mcu::LPC2478, family::Any, 0, 1},
    {mcu::LPC4357, family::Display, 2, 2},     {mcu::LPC4337, family::Display, 3, 3},
    {mcu::LPC1768, family::Transmitter, 4, 4}, {mcu::LPC4078, family::Transmitter, 5, 5},
    {mcu::LPC4078, family::Any, 0, 5},         {mcu::LPC4337, family::Transmitter, 6, 6},
    {mcu::LPC1768, family::RemoteIo, 7, 7},
};

const Carried* Find(uint8_t mcuType, uint8_t unitFamily) {
  for (const Carried& c : kCarried)
    if (c.mcuType == mcuType && c.unitFamily == unitFamily) return &c;
  for (const Carried& c : kCarried)
    if (c.mcuType == mcuType && c.unitFamily == family::Any) return &c;
  return nullptr;
}

std::string Numbered(const std::string& kind, int n) {
  return kind + "-" + (n < 10 ? "0" : "") + std::to_string(n) + ".bin";
}

void Add(std::vector<CarriedFile>& to, const std::string& group, std::initializer_list<uint16_t> numbers) {
  for (uint16_t n : numbers) to.push_back({n, "file-" + group + "-" + hexText(n, 4) + ".bin"});
}

void AddRun(std::vector<CarriedFile>& to, const std::string& group, uint16_t first, uint16_t last) {
  for (uint32_t n = first; n <= last; ++n) Add(to, group, {static_cast<uint16_t>(n)});
}

// Every display card's seven language files.
void Languages(std::vector<CarriedFile>& to, const std::string& group) {
  Add(to, group, {0x01E0, 0x01E1, 0x01E2, 0x01E3, 0x01E5, 0x01E6, 0x01EA});
}

}  // namespace

std::optional<CardFiles> CarriedFilesOf(uint16_t card, uint8_t mcuType) {
  CardFiles files;
  switch (card) {
    case 648:
    case 659: Languages(files.drive, std::to_string(card)); break;
    case 647:
      if (mcuType == mcu::LPC2478) {  // the small display: language files only
        Languages(files.drive, "647-lpc2478");
        break;
      }
      Languages(files.drive, "647");
      Add(files.drive, "647", {0x0100});
      AddRun(files.drive, "647", 0x01C0, 0x01CF);
      AddRun(files.drive, "fieldbus", 0x01B0, 0x01B3);
      break;
    case 653:
      Languages(files.drive, "653");
      Add(files.resourceInputs, "653", {0x0100});
      AddRun(files.resourceInputs, "653", 0x01C0, 0x01D0);
      AddRun(files.drive, "fieldbus", 0x01B0, 0x01B3);
      break;
    default: return std::nullopt;
  }
  return files;
}

std::string CarriedSoftwareName(uint8_t unitFamily, uint8_t mcuType) {
  const Carried* c = Find(mcuType, unitFamily);
  return c && c->software != 0 ? Numbered("software", c->software) : std::string();
}

std::string CarriedBootLoaderName(uint8_t mcuType, uint8_t unitFamily) {
  const Carried* c = Find(mcuType, unitFamily);
  return c ? Numbered("boot-loader", c->bootLoader) : std::string();
}

std::vector<uint8_t> BundleBytes(const std::string& name) {
  std::ifstream in(sim::buildBundleDir() + "/" + name, std::ios::binary);
  if (!in) return {};
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace kl::campaign
