#include "judge.h"

#include <array>

#include "support/temp_dir.h"

namespace kl::campaign {

namespace {

// The failure messages these flows are specified to stop with when a unit or the line fails
// them. A message ending in a blank or "(" is a prefix.
constexpr std::array kSpecifiedFatal = {
    "Unable to change baudrate",
    "Unable to change baud rate",
    "Unable to connect to Balvanta unit",
    "Unable to connect to programmer",
    "Unable to download flash programmer",
    "Unable to download programmer",
    "Unable to reset flash programmer",
    "Unable to write new software",
    "Unable to initialise Balvanta unit",
    "Unable to restart unit",
    "Unable to reconnect to unit",
    "The software in the unit does not match the new software",
    "Unable to restart system",
    "Unable to read from MCU flash memory",
    "Unable to write to MCU flash memory",
    "Unable to update unit",
    "Unable to talk to unit",
    "Unable to send language file",
    "Unable to send images file",
    "Unable to send font file",
    "Unable to send file",
    "Unable to write new file",
    "Verify file failed at ",
    "Unknown balvanta unit",
    "Aborted",
    "Found more than one unit that matches the product type, unable to complete update",
    "No matching serial number for key",
    "Cannot find an ZS3 TRANSMITTER",
    "Cannot find an ZC3 I/O Unit",
    "Cannot find an ZA4/ZB4 Display",
    "Cannot find an ZS4 TRANSMITTER",
    "Cannot update this unit (blank mcu)",
    // The fields the program erased and could not write back stay on the PC for the next run.
    "Unable to restore the manufacturing fields (a copy is kept on this PC for the next run)",
    "The unit refused the new manufacturing fields (",
};

bool Specified(const std::string& message) {
  for (std::string_view known : kSpecifiedFatal) {
    const bool prefix = known.ends_with(' ') || known.ends_with('(');
    if (prefix ? message.starts_with(known) : message == known) return true;
  }
  return false;
}

// The value of "Message=" in a station's parameter file.
std::string StoredMessage(const std::string& parameterFile) {
  const std::string text = test::readFile(parameterFile);
  const size_t at = text.find("Message=");
  if (at == std::string::npos) return {};
  const size_t end = text.find("\r\n", at);
  return text.substr(at + 8, end == std::string::npos ? std::string::npos : end - at - 8);
}

}  // namespace

std::optional<std::string> FatalMessage(const RunEnd& end) {
  const size_t at = end.console.rfind("Fatal Error: ");
  if (at == std::string::npos) return std::nullopt;
  const size_t from = at + 13;
  return end.console.substr(from, end.console.find("\r\n", from) - from);
}

std::optional<Verdict> JudgeStop(const RunEnd& end, const std::string& parameterFile) {
  const int code = end.exitCode.value_or(-1);
  if (const std::optional<std::string> message = FatalMessage(end)) {
    if (!Specified(*message)) return Violated("unspecified message \"Fatal Error: " + *message + "\"");
    const int expected = parameterFile.empty() ? 1 : 2;
    if (code != expected) {
      return Violated("\"" + *message + "\" with exit code " + std::to_string(code));
    }
    if (!parameterFile.empty() && StoredMessage(parameterFile) != *message) {
      return Violated("\"" + *message + "\" not stored in the parameter file");
    }
    return FailedCleanly(*message);
  }
  // A question answered "n" ends the run at once with exit code 1.
  if (code == 1 && end.answers.ends_with('n')) return FailedCleanly("declined");
  return std::nullopt;
}

}  // namespace kl::campaign
