// The installed manual page (packaging/kestrelink.1) documents every option the usage text
// names, so that the two cannot drift apart.
#include <regex>
#include <sstream>

#include "driver/command_line.h"
#include "driver_fixture.h"

namespace kl::test {
namespace {

using ManualPage = DriverTest;

TEST_F(ManualPage, DocumentsEveryOptionOfTheUsageText) {
  const std::string manual = readFile(std::string(KESTRELINK_SOURCE_DIR) + "/packaging/kestrelink.1");
  ASSERT_FALSE(manual.empty());
  WriteUsage(session);
  std::istringstream usage(console());
  int options = 0;
  for (std::string line; std::getline(usage, line);) {
    std::smatch option;
    // "-p<n>        Start with parity ..." names the option -p.
    if (!std::regex_search(line, option, std::regex("^-([a-z]+)"))) continue;
    ++options;
    EXPECT_TRUE(std::regex_search(manual, std::regex("\n\\.B[IR]? \\\\-" + option[1].str() + "[ \n]")))
        << "the manual page lacks -" << option[1];
  }
  EXPECT_GT(options, 0) << "no option found in the usage text";
  // The words a Linux user looks for: the help and version options, the ports' device names.
  for (const char* word : {"\\-\\-help", "\\-\\-version", "\\-?", "/dev/ttyUSB0", "ttyUSB0", "/dev/ttyS0",
                           "/dev/ttyACM0", "dialout", "KESTRELINK_PORTMAP"}) {
    EXPECT_NE(manual.find(word), std::string::npos) << "the manual page lacks " << word;
  }
}

}  // namespace
}  // namespace kl::test
