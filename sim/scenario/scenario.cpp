#include "sim/scenario/scenario.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "sim/storage/aa_records.h"
#include "sim/storage/file_digests.h"
#include "sim/storage/image_records.h"
#include "sim/unit/flash_content.h"
#include "sim/unit/update_files.h"

namespace kl::sim {

namespace {

std::string trim(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return std::string(text.substr(begin, end - begin));
}

std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> out;
  std::string word;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c)) || c == ',') {
      if (!word.empty()) out.push_back(word);
      word.clear();
    } else {
      word.push_back(c);
    }
  }
  if (!word.empty()) out.push_back(word);
  return out;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The MCU a card carries, by circuit code where the card comes in variants.
std::optional<uint8_t> cardMcu(uint16_t card, uint16_t circuit) {
  switch (card) {
    case 611: case 620: return 2;
    case 647:
      if (circuit <= 4) return 3;
      if (circuit >= 6) return 7;
      return std::nullopt;
    case 648: return circuit <= 5 ? 5 : 4;
    case 649: return 5;
    case 652: return 7;
    case 653: case 659: return 6;
    default: return std::nullopt;
  }
}

const char* const kMcuNames[] = {"", "H8S2148", "H8S2145", "LPC2478", "LPC4078", "LPC1768", "LPC4337", "LPC4357"};

// Only a regular file: reading a folder through a stream throws instead of failing.
bool isRegularFile(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error);
}

std::optional<std::vector<uint8_t>> readBinary(const std::string& path) {
  if (!isRegularFile(path)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

class Parser {
 public:
  Parser(std::string_view text, std::string source, ScenarioPaths paths) : text_(text), paths_(std::move(paths)) {
    scenario_.source = std::move(source);
  }

  Scenario run() {
    std::istringstream in{std::string(text_)};
    std::string raw;
    while (std::getline(in, raw)) {
      ++line_;
      std::string content = trim(raw);
      if (content.empty() || content[0] == '#') continue;
      // A line ending in a backslash goes on in the next one.
      while (!content.empty() && content.back() == '\\' && std::getline(in, raw)) {
        ++line_;
        content = trim(content.substr(0, content.size() - 1)) + " " + trim(raw);
      }
      if (content.front() == '[') {
        section(content);
      } else {
        setting(content);
      }
    }
    finish();
    return std::move(scenario_);
  }

  // One fault-... setting given to a running unit.
  void fault(UnitFaults& faults, const std::string& key, const std::string& value) {
    line_ = 1;
    if (key.rfind("fault-", 0) != 0) fail("'" + key + "' is not a fault setting");
    UnitSpec spec;
    spec.settings.faults = faults;
    unit_ = &spec;
    unitSetting(key, value);
    faults = spec.settings.faults;
  }

 private:
  [[noreturn]] void fail(const std::string& message, int line = 0) const {
    throw ScenarioError(scenario_.source + ":" + std::to_string(line ? line : line_) + ": " + message);
  }

  void section(const std::string& content) {
    if (content.back() != ']') fail("a section line must end with ']'");
    auto parts = words(content.substr(1, content.size() - 2));
    if (parts.size() == 1 && parts[0] == "line") {
      inLineSection_ = true;
      unit_ = nullptr;
      return;
    }
    if (parts.size() != 2 || parts[0] != "unit") fail("expected [unit NAME] or [line], got " + content);
    for (const auto& existing : scenario_.units) {
      if (existing.name == parts[1]) fail("unit '" + parts[1] + "' is defined twice");
    }
    scenario_.units.emplace_back();
    unit_ = &scenario_.units.back();
    unit_->name = parts[1];
    unit_->line = line_;
    inLineSection_ = false;
    given_.emplace_back();
    fields_.push_back(FieldsCondition::Valid);
  }

  std::string relative(const std::string& path) const {
    const std::filesystem::path p(path);
    return p.is_absolute() ? path : (std::filesystem::path(paths_.directory) / p).string();
  }

  std::string bundleFile(const std::string& name) const {
    std::string dir = paths_.bundle.empty() ? bundleDir_ : paths_.bundle;
    if (dir.empty()) dir = paths_.defaultBundle;
    if (dir.empty()) fail("'" + name + "' comes from the firmware bundle: give its folder (bundle-dir, or kestrelink-sim --bundle)");
    if (name.find('/') != std::string::npos) fail("a bundle file is named without a folder; got '" + name + "'");
    return (std::filesystem::path(dir) / name).string();
  }

  // `bundle NAME` or `path FILE`: the bytes of a file.
  ScenarioImage image(const std::string& value) const {
    const auto parts = words(value);
    if (parts.size() != 2 || (parts[0] != "bundle" && parts[0] != "path")) {
      fail("expected 'bundle NAME' or 'path FILE', got '" + value + "'");
    }
    const std::string file = parts[0] == "bundle" ? bundleFile(parts[1]) : relative(parts[1]);
    auto bytes = readBinary(file);
    if (!bytes) fail("cannot read " + file);
    return ScenarioImage{std::move(*bytes), file, line_};
  }

  void placeScenarioImage(UnitSpec& unit, const ScenarioImage& image, wire::ImageKind kind) const {
    const auto parsed = parseRecordImage(image.bytes);
    if (!parsed) fail(image.origin + " is not a firmware image in the record format", image.line);
    const auto identity = parsed->identity();
    if (!identity || identity->kind != kind) {
      fail(image.origin + (kind == wire::ImageKind::Software ? " is not a software image" : " is not a boot loader image"),
           image.line);
    }
    if (!placeImage(unit.state, *parsed)) fail(image.origin + " does not fit the unit's flash", image.line);
  }

  uint64_t number(const std::string& value, uint64_t max) const {
    std::string digits = value;
    int base = 10;
    if (digits.size() > 2 && (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0)) {
      digits = digits.substr(2);
      base = 16;
    } else if (digits.size() > 1 && digits[0] == '$') {
      digits = digits.substr(1);
      base = 16;
    }
    if (digits.empty()) fail("expected a number, got '" + value + "'");
    uint64_t result = 0;
    for (char c : digits) {
      int digit;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c))) {
        digit = std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
      } else {
        fail("expected a number, got '" + value + "'");
      }
      result = result * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
      if (result > max) fail("'" + value + "' is out of range (at most " + std::to_string(max) + ")");
    }
    return result;
  }

  // Milliseconds with an optional fraction, as microseconds.
  uint64_t millis(const std::string& value) const {
    const size_t dot = value.find('.');
    const uint64_t whole = number(value.substr(0, dot), 100000000);
    uint64_t fraction = 0;
    if (dot != std::string::npos) {
      std::string digits = value.substr(dot + 1);
      if (digits.empty() || digits.size() > 3) fail("expected milliseconds like 2.5, got '" + value + "'");
      while (digits.size() < 3) digits.push_back('0');
      fraction = number(digits, 999);
    }
    return whole * 1000 + fraction;
  }

  bool flag(const std::string& value) const {
    const std::string v = lower(value);
    if (v == "yes" || v == "true" || v == "1" || v == "on") return true;
    if (v == "no" || v == "false" || v == "0" || v == "off") return false;
    fail("expected yes or no, got '" + value + "'");
  }

  std::string text(const std::string& value, size_t longest = 255) const {
    std::string v = value;
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
      if (v[i] != '\\' || i + 1 == v.size()) {
        out.push_back(v[i]);
        continue;
      }
      const char next = v[++i];
      if (next == 'n') {
        out.push_back('\n');
      } else if (next == 'r') {
        out.push_back('\r');
      } else if (next == 't') {
        out.push_back('\t');
      } else if (next == 'x' && i + 2 < v.size()) {
        out.push_back(static_cast<char>(number("0x" + v.substr(i + 1, 2), 255)));
        i += 2;
      } else {
        out.push_back(next);
      }
    }
    if (out.size() > longest) fail("the text is longer than " + std::to_string(longest) + " bytes");
    return out;
  }

  // file D:N = SOURCE [crc] [properties HEX...]; SOURCE is text "...", path FILE, bundle NAME,
  // bundle-changed NAME, random SIZE or empty.
  void fileSetting(const std::string& name, const std::string& value) {
    const size_t colon = name.find(':');
    if (colon == std::string::npos) fail("a file is named DRIVE:NUMBER, like file 1:0x0131");
    const auto drive = static_cast<uint8_t>(number(trim(name.substr(0, colon)), 0xFF));
    const auto fileNumber = static_cast<uint16_t>(number(trim(name.substr(colon + 1)), 0xFFFF));
    DriveFile file;
    std::vector<std::string> options;
    if (value.rfind("text", 0) == 0) {
      const size_t open = value.find('"');
      const size_t close = value.rfind('"');
      if (open == std::string::npos || close == open) fail("expected text \"...\", got '" + value + "'");
      const std::string content = text(value.substr(open, close - open + 1), 1u << 24);
      file.bytes.assign(content.begin(), content.end());
      options = words(value.substr(close + 1));
    } else {
      auto parts = words(value);
      const std::string source = lower(parts.front());
      size_t used = 1;
      auto argument = [&]() -> std::string {
        if (parts.size() < 2) fail("'" + source + "' needs a name or size");
        used = 2;
        return parts[1];
      };
      if (source == "empty") {
      } else if (source == "resource") {
        // NUMBER=NAME pairs of bundle files, stored as the unit keeps its resource file.
        std::vector<std::pair<uint16_t, std::vector<uint8_t>>> members;
        for (used = 1; used < parts.size() && parts[used].find('=') != std::string::npos; ++used) {
          const std::string& pair = parts[used];
          const size_t equals = pair.find('=');
          const auto member = static_cast<uint16_t>(number(pair.substr(0, equals), 0xFFFF));
          const std::string where = bundleFile(pair.substr(equals + 1));
          auto bytes = readBinary(where);
          if (!bytes) fail("cannot read " + where);
          members.emplace_back(member, std::move(*bytes));
        }
        if (members.empty()) fail("resource needs NUMBER=NAME pairs");
        file.bytes = storedResourceFile(members);
      } else if (source == "random") {
        const auto size = static_cast<size_t>(number(argument(), 1u << 24));
        uint32_t x = drive * 65599u + fileNumber * 31u + static_cast<uint32_t>(line_);
        file.bytes.resize(size);
        for (auto& b : file.bytes) {
          x = x * 1103515245u + 12345u;
          b = static_cast<uint8_t>(x >> 16);
        }
      } else if (source == "path" || source == "bundle" || source == "bundle-changed") {
        const std::string where = source == "path" ? relative(argument()) : bundleFile(argument());
        auto bytes = readBinary(where);
        if (!bytes) fail("cannot read " + where);
        file.bytes = std::move(*bytes);
        if (source == "bundle-changed") {
          if (file.bytes.empty()) fail(where + " is empty: nothing to change");
          file.bytes.back() ^= 0xFF;
        }
      } else {
        fail("a file comes from text, path, bundle, bundle-changed, resource, random or empty; got '" + parts.front() + "'");
      }
      options.assign(parts.begin() + static_cast<long>(used), parts.end());
    }
    for (size_t i = 0; i < options.size(); ++i) {
      const std::string option = lower(options[i]);
      if (option == "crc") {
        file.properties = encodeAaList({uintRecord(1, fileCrc(file.bytes))});
      } else if (option == "properties") {
        for (++i; i < options.size(); ++i) file.properties.push_back(static_cast<uint8_t>(number(options[i], 0xFF)));
        if (!parseAaList(file.properties)) fail("the properties are not a valid AA record list");
      } else {
        fail("unknown file option '" + options[i] + "' (crc, properties)");
      }
    }
    if (file.properties.size() > 255) fail("the properties are longer than 255 bytes");
    unit_->state.drives.put(drive, fileNumber, std::move(file));
  }

  uint8_t mcu(const std::string& value) const {
    for (uint8_t code = 1; code < 8; ++code) {
      if (lower(value) == lower(kMcuNames[code])) return code;
    }
    return static_cast<uint8_t>(number(value, 15));
  }

  // Ordinal numbers of messages: 1 is the first.
  std::vector<int> counts(const std::string& value) const {
    std::vector<int> out;
    for (const auto& n : words(value)) {
      out.push_back(static_cast<int>(number(n, 1000000000)));
      if (out.back() == 0) fail("messages are counted from 1");
    }
    return out;
  }

  uint32_t baud(const std::string& value) const {
    const auto rate = static_cast<uint32_t>(number(value, 4000000));
    if (rate < 300) fail("'" + value + "' is not a line speed");
    return rate;
  }

  void setting(const std::string& content) {
    const size_t equals = content.find('=');
    if (equals == std::string::npos) fail("expected KEY = VALUE, got '" + content + "'");
    const std::string key = lower(trim(content.substr(0, equals)));
    const std::string value = trim(content.substr(equals + 1));
    if (key.empty()) fail("missing key before '='");
    if (value.empty() && key != "information") fail("missing value for '" + key + "'");
    if (key == "bundle-dir") {
      if (!unit_ && !inLineSection_ && scenario_.units.empty()) {
        bundleDir_ = relative(value);
        return;
      }
      fail("bundle-dir goes before the first section");
    }
    if (inLineSection_) {
      lineSetting(key, value);
    } else if (unit_ && key.rfind("file ", 0) == 0) {
      fileSetting(key.substr(5), value);
    } else if (unit_) {
      unitSetting(key, value);
      given_.back().insert(key);
    } else {
      fail("setting '" + key + "' before the first [unit NAME] section");
    }
  }

  void lineSetting(const std::string& key, const std::string& value) {
    if (key == "seed") {
      scenario_.seed = number(value, UINT64_MAX / 16);
    } else if (key == "bit-flip-per-million") {
      scenario_.line.bitFlipPerMillion = static_cast<uint32_t>(number(value, 1000000));
    } else if (key == "drop-byte-per-million") {
      scenario_.line.dropPerMillion = static_cast<uint32_t>(number(value, 1000000));
    } else {
      fail("unknown line setting '" + key + "'");
    }
  }

  // What one setting line of a unit section works on.
  struct UnitInput {
    Parser& p;
    const std::string& value;
    UnitState& state;
    ApplicationIdentity& app;
    BootLoaderIdentity& boot;
    UnitSettings& set;
    uint8_t u8() const { return static_cast<uint8_t>(p.number(value, 0xFF)); }
    uint16_t u16() const { return static_cast<uint16_t>(p.number(value, 0xFFFF)); }
    uint32_t u32() const { return static_cast<uint32_t>(p.number(value, 0xFFFFFFFF)); }
    int percent() const { return static_cast<int>(p.number(value, 100)); }
  };
  struct UnitKey {
    std::string_view key;
    void (*apply)(const UnitInput& in);
  };

  void unitSetting(const std::string& key, const std::string& value) {
    static constexpr UnitKey kKeys[] = {
        {"card", [](const UnitInput& in) { in.app.cardNumber = in.u16(); }},
        {"circuit", [](const UnitInput& in) { in.app.circuitCode = in.u16(); }},
        {"mcu", [](const UnitInput& in) { in.app.mcuType = in.p.mcu(in.value); }},
        {"board-revision",
         [](const UnitInput& in) {
           if (in.value.size() == 1 && std::isalpha(static_cast<unsigned char>(in.value[0]))) {
             in.app.boardRevision =
                 static_cast<uint8_t>(std::toupper(static_cast<unsigned char>(in.value[0])) - 'A' + 1);
           } else if (in.value == "-") {
             in.app.boardRevision = 0;
           } else {
             in.app.boardRevision = in.u8();
           }
         }},
        {"board-issue", [](const UnitInput& in) { in.app.boardIssue = in.u8(); }},
        {"product", [](const UnitInput& in) { in.app.productNumber = in.u16(); }},
        {"version", [](const UnitInput& in) { in.app.softwareVersion = static_cast<int16_t>(in.p.version(in.value)); }},
        {"release", [](const UnitInput& in) { in.app.softwareRelease = in.u8(); }},
        {"build-increment", [](const UnitInput& in) { in.app.buildIncrement = in.u8(); }},
        {"build-time", [](const UnitInput& in) { in.app.buildTime = in.p.buildTime(in.value); }},
        {"serial",
         [](const UnitInput& in) { in.app.serialNumber = static_cast<int32_t>(in.p.number(in.value, 0x7FFFFFFF)); }},
        {"modbus-address", [](const UnitInput& in) { in.app.modbusAddress = in.u8(); }},
        {"information", [](const UnitInput& in) { in.app.informationText = in.p.text(in.value); }},
        {"ft-mask", [](const UnitInput& in) { in.app.ftMask = in.u16(); }},
        {"rt-mask", [](const UnitInput& in) { in.app.rtMask = in.u16(); }},
        {"new-mask", [](const UnitInput& in) { in.app.newMask = in.u16(); }},
        {"unit-flags", [](const UnitInput& in) { in.app.unitFlags = in.u8(); }},
        {"software-checksum", [](const UnitInput& in) { in.app.softwareChecksum = in.u32(); }},
        {"software-crc", [](const UnitInput& in) { in.app.softwareCrc = in.u16(); }},
        {"boot-loader",
         [](const UnitInput& in) {
           std::string v = lower(in.value);
           if (!v.empty() && v[0] == 'c') v = v.substr(1);
           in.boot.generation = static_cast<uint8_t>(in.p.number(v, 15));
         }},
        {"boot-release", [](const UnitInput& in) { in.boot.release = in.u8(); }},
        {"boot-flags", [](const UnitInput& in) { in.boot.flags = in.u8(); }},
        {"boot-info", [](const UnitInput& in) { in.boot.info = in.u8(); }},
        {"boot-version-byte", [](const UnitInput& in) { in.boot.versionByte = in.u8(); }},
        {"boot-release-query", [](const UnitInput& in) { in.boot.answersRelease = in.p.flag(in.value); }},
        {"boot-basic-info", [](const UnitInput& in) { in.boot.answersBasicInfo = in.p.flag(in.value); }},
        {"buffer-size", [](const UnitInput& in) { in.boot.bufferSize = in.u16(); }},
        {"boot-baud",
         [](const UnitInput& in) {
           if (lower(in.value) == "inherit") {
             in.set.bootLoaderInheritsSpeed = true;
           } else {
             in.set.bootLoaderBaud = in.p.baud(in.value);
             if (in.set.bootLoaderBaud != 9600 && in.set.bootLoaderBaud != 115200)
               in.p.fail("a boot loader listens at 9600 or 115200");
           }
         }},
        {"state",
         [](const UnitInput& in) {
           const std::string v = lower(in.value);
           if (v == "application") {
             in.set.start = StartMode::Application;
           } else if (v == "boot-loader") {
             in.set.start = StartMode::BootLoader;
           } else if (v == "blank") {
             in.state.blank = true;
             in.set.start = StartMode::Application;
           } else if (v == "power-on") {
             in.set.start = StartMode::PowerOn;
           } else if (v == "off") {
             in.set.start = StartMode::Off;
           } else {
             in.p.fail("state is one of application, boot-loader, blank, power-on, off; got '" + in.value + "'");
           }
         }},
        {"application-present", [](const UnitInput& in) { in.state.applicationPresent = in.p.flag(in.value); }},
        {"software",
         [](const UnitInput& in) {
           in.p.unit_->software.reset();
           if (lower(in.value) == "declared") {
             in.state.applicationPresent = true;
           } else if (lower(in.value) == "none") {
             in.state.applicationPresent = false;
           } else {
             in.p.unit_->software = in.p.image(in.value);
           }
         }},
        {"boot-image",
         [](const UnitInput& in) {
           in.p.unit_->bootImage.reset();
           if (lower(in.value) != "declared") in.p.unit_->bootImage = in.p.image(in.value);
         }},
        {"drives",
         [](const UnitInput& in) {
           std::set<uint8_t> drives;
           if (lower(in.value) != "none") {
             for (const auto& drive : words(in.value)) drives.insert(static_cast<uint8_t>(in.p.number(drive, 0xFF)));
           }
           in.state.drives.setDrives(std::move(drives));
         }},
        {"manufacturing-fields",
         [](const UnitInput& in) {
           const std::string v = lower(in.value);
           if (v == "valid") {
             in.p.fields_.back() = FieldsCondition::Valid;
           } else if (v == "erased") {
             in.p.fields_.back() = FieldsCondition::Erased;
           } else if (v == "main-damaged") {
             in.p.fields_.back() = FieldsCondition::MainDamaged;
           } else if (v == "secondary-damaged") {
             in.p.fields_.back() = FieldsCondition::SecondaryDamaged;
           } else {
             in.p.fail("manufacturing-fields is valid, erased, main-damaged or secondary-damaged; got '" + in.value +
                       "'");
           }
         }},
        {"flash-write-ms", [](const UnitInput& in) { in.set.flashWriteUs = in.p.millis(in.value); }},
        {"flash-erase-ms", [](const UnitInput& in) { in.set.flashEraseUs = in.p.millis(in.value); }},
        {"baud",
         [](const UnitInput& in) {
           in.set.applicationFormat.baud = in.p.baud(in.value);
           in.p.unit_->baudGiven = true;
         }},
        {"parity",
         [](const UnitInput& in) {
           const std::string v = lower(in.value);
           if (v == "none") {
             in.set.applicationFormat.parity = Parity::None;
           } else if (v == "even") {
             in.set.applicationFormat.parity = Parity::Even;
           } else {
             in.p.fail("parity is none or even; got '" + in.value + "'");
           }
         }},
        {"vcom", [](const UnitInput& in) { in.set.vcom = in.p.flag(in.value); }},
        {"cts", [](const UnitInput& in) { in.set.cts = in.p.flag(in.value); }},
        {"debug-logs",
         [](const UnitInput& in) {
           in.set.debugLogIds.clear();
           for (const auto& id : words(in.value))
             in.set.debugLogIds.push_back(static_cast<uint16_t>(in.p.number(id, 0xFFFF)));
           if (in.set.debugLogIds.size() > 255) in.p.fail("too many debug logs");
         }},
        {"advanced-length",
         [](const UnitInput& in) {
           in.set.advancedLength = static_cast<int>(in.p.number(in.value, 251));
           if (in.set.advancedLength < 33) in.p.fail("advanced-length is at least 33");
         }},
        {"network", [](const UnitInput& in) { in.p.unit_->network = words(in.value); }},
        {"network-baud", [](const UnitInput& in) { in.set.networkBaud = in.p.baud(in.value); }},
        {"proxy-unit", [](const UnitInput& in) { in.p.unit_->proxyUnit = in.value; }},
        {"proxy-port", [](const UnitInput& in) { in.set.proxyPort = in.u8(); }},
        {"proxy-baud",
         [](const UnitInput& in) {
           in.set.proxyBaud = in.p.baud(in.value);
           in.p.unit_->proxyBaudGiven = true;
         }},
        {"reply-delay-ms", [](const UnitInput& in) { in.set.replyDelayUs = in.p.millis(in.value); }},
        {"ready-delay-ms", [](const UnitInput& in) { in.set.readyDelayUs = in.p.millis(in.value); }},
        {"boot-window-ms", [](const UnitInput& in) { in.set.bootWindowUs = in.p.millis(in.value); }},
        {"goto-boot-window-ms", [](const UnitInput& in) { in.set.gotoBootWindowUs = in.p.millis(in.value); }},
        {"power-off-ms", [](const UnitInput& in) { in.set.powerOffUs = in.p.millis(in.value); }},
        {"relay-timeout-ms", [](const UnitInput& in) { in.set.relayTimeoutUs = in.p.millis(in.value); }},
        {"max-baud", [](const UnitInput& in) { in.set.maxBaud = in.p.baud(in.value); }},
        {"isp-baud", [](const UnitInput& in) { in.set.ispBaud = in.p.baud(in.value); }},
        {"part-id", [](const UnitInput& in) { in.set.partId = in.u32(); }},
        {"boot-code-version",
         [](const UnitInput& in) {
           const size_t dot = in.value.find('.');
           if (dot == std::string::npos) in.p.fail("boot-code-version is MAJOR.MINOR; got '" + in.value + "'");
           in.set.bootCodeMajor = static_cast<uint8_t>(in.p.number(in.value.substr(0, dot), 255));
           in.set.bootCodeMinor = static_cast<uint8_t>(in.p.number(in.value.substr(dot + 1), 255));
         }},
        {"power-off-at-ms",
         [](const UnitInput& in) {
           in.set.powerEvents.push_back({in.p.millis(in.value), false});
         }},
        {"power-on-at-ms",
         [](const UnitInput& in) {
           in.set.powerEvents.push_back({in.p.millis(in.value), true});
         }},
        {"fault-lose-reply-percent", [](const UnitInput& in) { in.set.faults.loseReplyPercent = in.percent(); }},
        {"fault-stray-byte-percent", [](const UnitInput& in) { in.set.faults.strayBytePercent = in.percent(); }},
        {"fault-reply-delay-ms", [](const UnitInput& in) { in.set.faults.extraReplyDelayUs = in.p.millis(in.value); }},
        {"fault-silent-until-power-cycle",
         [](const UnitInput& in) { in.set.faults.silentUntilPowerCycle = in.p.flag(in.value); }},
        {"fault-stop-after-frames",
         [](const UnitInput& in) {
           in.set.faults.stopAnsweringAfterFrames = static_cast<int>(in.p.number(in.value, 1000000000));
         }},
        {"fault-power-cut-at-byte",
         [](const UnitInput& in) {
           in.set.faults.powerCutAtByte = static_cast<int>(in.p.number(in.value, 1000000000));
         }},
        {"fault-power-cut-at-download-byte",
         [](const UnitInput& in) {
           in.set.faults.powerCutAtDownloadByte = static_cast<int>(in.p.number(in.value, 1000000000));
         }},
        {"fault-power-cut-at-flash-byte",
         [](const UnitInput& in) {
           in.set.faults.powerCutAtFlashByte = static_cast<int>(in.p.number(in.value, 1000000000));
         }},
        {"fault-programmer-silent-after",
         [](const UnitInput& in) {
           in.set.faults.programmerSilentAfter = static_cast<int>(in.p.number(in.value, 1000000000));
         }},
        {"fault-flash-damaged-at",
         [](const UnitInput& in) {
           for (const auto& address : words(in.value))
             in.set.faults.flashDamagedAt.push_back(static_cast<uint32_t>(in.p.number(address, 0xFFFFFFFF)));
         }},
        {"fault-flash-fails-at",
         [](const UnitInput& in) {
           for (const auto& address : words(in.value))
             in.set.faults.flashFailsAt.push_back(static_cast<uint32_t>(in.p.number(address, 0xFFFFFFFF)));
         }},
        {"fault-lose-ack-percent", [](const UnitInput& in) { in.set.faults.loseAckPercent = in.percent(); }},
        {"fault-nack-file-write", [](const UnitInput& in) { in.set.faults.nackFileWrite = in.p.counts(in.value); }},
        {"fault-file-write-failure",
         [](const UnitInput& in) { in.set.faults.fileWriteFailure = in.p.counts(in.value); }},
        {"fault-file-write-damaged",
         [](const UnitInput& in) { in.set.faults.fileWriteDamaged = in.p.counts(in.value); }},
        {"fault-file-read-failure", [](const UnitInput& in) { in.set.faults.fileReadFailure = in.p.counts(in.value); }},
        {"fault-lose-file-reply", [](const UnitInput& in) { in.set.faults.loseFileReply = in.p.counts(in.value); }},
        {"fault-lose-replies", [](const UnitInput& in) { in.set.faults.loseReplies = in.p.counts(in.value); }},
    };
    for (const UnitKey& k : kKeys) {
      if (k.key != key) continue;
      k.apply(
          UnitInput{*this, value, unit_->state, unit_->state.application, unit_->state.bootLoader, unit_->settings});
      return;
    }
    fail("unknown setting '" + key + "'");
  }

  int version(const std::string& value) const {
    const size_t dot = value.find('.');
    if (dot == std::string::npos) return static_cast<int>(number(value, 32767));
    const std::string minor = value.substr(dot + 1);
    if (minor.size() != 2) fail("a version is written like 6.10; got '" + value + "'");
    return static_cast<int>(number(value.substr(0, dot), 327) * 100 + number(minor, 99));
  }

  std::array<uint8_t, 6> buildTime(const std::string& value) const {
    // 2024-03-15 14:30:09 (the century is dropped on the wire)
    std::array<uint8_t, 6> out{};
    std::string digits;
    int field = 0;
    auto flush = [&] {
      if (digits.empty()) return;
      if (field >= 6) fail("build-time is YYYY-MM-DD HH:MM:SS; got '" + value + "'");
      out[static_cast<size_t>(field++)] = static_cast<uint8_t>(number(digits, 9999) % 100);
      digits.clear();
    };
    for (char c : value) {
      if (std::isdigit(static_cast<unsigned char>(c))) {
        digits.push_back(c);
      } else if (c == '-' || c == ':' || c == ' ' || c == 'T') {
        flush();
      } else {
        fail("build-time is YYYY-MM-DD HH:MM:SS; got '" + value + "'");
      }
    }
    flush();
    if (field != 6) fail("build-time is YYYY-MM-DD HH:MM:SS; got '" + value + "'");
    return out;
  }

  void finish() {
    if (scenario_.units.empty()) fail("the scenario describes no unit ([unit NAME])", line_);
    std::map<std::string, UnitSpec*> byName;
    for (auto& unit : scenario_.units) byName[unit.name] = &unit;
    std::map<std::string, std::string> reachedFrom;
    for (size_t i = 0; i < scenario_.units.size(); ++i) {
      UnitSpec& unit = scenario_.units[i];
      const auto& given = given_[i];
      ApplicationIdentity& app = unit.state.application;
      if (!unit.state.blank && !given.count("card")) fail("unit '" + unit.name + "' has no card", unit.line);
      if (!given.count("mcu")) {
        if (auto code = cardMcu(app.cardNumber, app.circuitCode)) {
          app.mcuType = *code;
        } else if (!unit.state.blank) {
          fail("unit '" + unit.name + "': give its mcu (card " + std::to_string(app.cardNumber) + ", circuit " +
                   std::to_string(app.circuitCode) + " does not decide it)",
               unit.line);
        }
      }
      if (!given.count("boot-release-query")) unit.state.bootLoader.answersRelease = unit.state.bootLoader.generation >= 3;
      if (!given.count("drives") && app.mcuType >= 3 && app.mcuType <= 7) {
        // Update files go to drive 1 and the programmer to 0xC1; the ZA4's resources live on 0xB1.
        std::set<uint8_t> drives{1, 0xC1};
        if (app.cardNumber == 653) drives.insert(0xB1);
        unit.state.drives.setDrives(std::move(drives));
      }
      for (const auto& [key, file] : unit.state.drives.files()) {
        if (!unit.state.drives.hasDrive(key.first)) {
          fail("unit '" + unit.name + "' has a file on drive " + std::to_string(key.first) + ", which it does not have",
               unit.line);
        }
      }
      unit.state.flash = McuFlash(app.mcuType);
      fillDeclaredFlash(unit.state, fields_[i]);
      if (unit.bootImage) placeScenarioImage(unit, *unit.bootImage, wire::ImageKind::BootLoader);
      if (unit.software) placeScenarioImage(unit, *unit.software, wire::ImageKind::Software);
      refreshIdentity(unit.state);
      if (app.modbusAddress == 0xF0 || app.modbusAddress == 0xF1 || app.modbusAddress == 1) {
        fail("unit '" + unit.name + "': modbus-address " + std::to_string(app.modbusAddress) + " is reserved", unit.line);
      }
      auto link = [&](const std::string& name, const char* how) -> UnitSpec& {
        auto found = byName.find(name);
        if (found == byName.end()) fail("unit '" + unit.name + "' names an unknown unit '" + name + "'", unit.line);
        if (found->second == &scenario_.units.front() || reachedFrom.count(name)) {
          fail("unit '" + name + "' is reached twice (" + how + " of '" + unit.name + "')", unit.line);
        }
        reachedFrom[name] = unit.name;
        return *found->second;
      };
      std::set<uint8_t> addresses{app.modbusAddress};
      for (const auto& name : unit.network) {
        UnitSpec& remote = link(name, "network");
        const uint8_t address = remote.state.application.modbusAddress;
        if (address == 0) fail("unit '" + name + "' on a network needs a modbus-address", remote.line);
        if (!addresses.insert(address).second) {
          fail("unit '" + name + "': modbus-address " + std::to_string(address) + " is already used on that network",
               remote.line);
        }
        if (!remote.baudGiven) remote.settings.applicationFormat = LineFormat{unit.settings.networkBaud, Parity::None};
      }
      if (!unit.proxyUnit.empty()) {
        UnitSpec& remote = link(unit.proxyUnit, "proxy");
        if (!unit.proxyBaudGiven) unit.settings.proxyBaud = remote.settings.applicationFormat.baud;
      }
    }
    for (size_t i = 1; i < scenario_.units.size(); ++i) {
      if (!reachedFrom.count(scenario_.units[i].name)) {
        fail("unit '" + scenario_.units[i].name + "' is on no network and behind no proxy", scenario_.units[i].line);
      }
    }
    for (auto& unit : scenario_.units) {
      std::sort(unit.settings.powerEvents.begin(), unit.settings.powerEvents.end(),
                [](const PowerEvent& a, const PowerEvent& b) { return a.atUs < b.atUs; });
    }
  }

  std::string_view text_;
  ScenarioPaths paths_;
  std::string bundleDir_;
  std::vector<FieldsCondition> fields_;
  Scenario scenario_;
  UnitSpec* unit_ = nullptr;
  bool inLineSection_ = false;
  int line_ = 0;
  std::vector<std::set<std::string>> given_;
};

}  // namespace

std::string buildBundleDir() {
#ifdef KESTRELINK_SIM_BUNDLE_DIR
  return KESTRELINK_SIM_BUNDLE_DIR;
#else
  return "";
#endif
}

Scenario parseScenario(std::string_view text, const std::string& sourceName, const ScenarioPaths& paths) {
  return Parser(text, sourceName, paths).run();
}

void applyFaultSetting(UnitFaults& faults, const std::string& setting) {
  const size_t equals = setting.find('=');
  if (equals == std::string::npos) throw ScenarioError("expected fault-KEY = VALUE, got '" + setting + "'");
  std::string key = trim(setting.substr(0, equals));
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  Parser("", "command", {}).fault(faults, key, trim(setting.substr(equals + 1)));
}

Scenario loadScenario(const std::string& path, ScenarioPaths paths) {
  std::ifstream in(path, std::ios::binary);
  if (!isRegularFile(path) || !in) throw ScenarioError(path + ": cannot read the scenario file");
  std::ostringstream content;
  content << in.rdbuf();
  const std::string folder = std::filesystem::path(path).parent_path().string();
  paths.directory = folder.empty() ? "." : folder;
  return parseScenario(content.str(), path, paths);
}

}  // namespace kl::sim
