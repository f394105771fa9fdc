// Units of a network relayed by the unit on the port, as scenario text: the pieces the
// multi-unit update, log extraction, interrogation and the production station put together.
#pragma once

#include <random>
#include <string>
#include <vector>

namespace kl::campaign {

struct NetworkUnit {
  std::string name;
  int card;
  int circuit;
  int modbusAddress;
  int serial;
  std::string keys;  // further keys of its section
};

// The ZA4 display relaying, and the units it may relay to (ZS4, ZC3, ZS3).
NetworkUnit Display();
std::vector<NetworkUnit> RemoteUnits();
// A random non-empty choice (in order) of `units`, or an empty one when `maybeNone`.
std::vector<NetworkUnit> SomeOf(std::mt19937_64& random, const std::vector<NetworkUnit>& units, bool maybeNone);

// "[unit NAME]" and its keys; `network` names the units on its network.
std::string Section(const NetworkUnit& unit, const std::vector<NetworkUnit>& network = {});
// Older software that takes update files: 6.00 to 6.09, build increment 0.
std::string OutdatedSoftware(std::mt19937_64& random);
// Some of the card's carried files already on the unit's drives with their CRC (they are
// then left alone), the others missing.
std::string SomeCarriedFiles(std::mt19937_64& random, int card, int mcuType);
// A text of `length` printable characters, and the same as a scenario's quoted text.
std::string RandomText(std::mt19937_64& random, size_t length);
std::string Quoted(const std::string& text);

}  // namespace kl::campaign
