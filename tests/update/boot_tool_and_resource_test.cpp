// The pieces of the update that stand on their own: the tool's command line as the tool
// receives it, and the limits of the card-653 resource file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "images/catalogue.h"
#include "update/boot_tool.h"
#include "update/card_files.h"

namespace kl {
namespace {

using Words = std::vector<std::string>;

TEST(ToolCommandLine, QuotedWordsKeepTheirBlanksAndLoseTheirQuotes) {
  struct Row {
    std::string line;
    Words words;
  };
  const Row rows[] = {
      {"\"/opt/maker tools/bin/Quorran.exe\" COM3 -l -s -d -y",
       {"/opt/maker tools/bin/Quorran.exe", "COM3", "-l", "-s", "-d", "-y"}},
      {"\"t\" \"-g/tmp/my dir/Kestrleink0000ABCD.tmp;mcu=5\"  -y", {"t", "-g/tmp/my dir/Kestrleink0000ABCD.tmp;mcu=5", "-y"}},
      {"\"t\" \"-gunterminated -y", {"t", "-gunterminated -y"}},
      {"t 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21",
       {"t", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14", "15", "16", "17", "18", "19"}},
  };
  for (const Row& row : rows) EXPECT_EQ(SplitToolCommandLine(row.line), row.words) << row.line;
}

TEST(ResourceFile, EndsWithTwoZeroBytesOnlyWhenTheyFitAndRefusesRecordsThatDoNot) {
  const auto rows = catalogue::FilesForCard(653, catalogue::mcu::LPC4337)->resourceInputs.first(2);
  const size_t records = ImageOf(rows[0]).length + ImageOf(rows[1]).length + 16;
  const auto quiet = [](const catalogue::DriveFileRow&) {};
  const auto roomy = BuildResourceFile(rows, records + 2, quiet);
  ASSERT_TRUE(roomy.has_value());
  EXPECT_EQ(roomy->size(), records + 2);
  EXPECT_EQ(roomy->back(), 0xFF);  // a complemented zero
  EXPECT_EQ(BuildResourceFile(rows, records + 1, quiet)->size(), records);
  EXPECT_FALSE(BuildResourceFile(rows, records - 1, quiet).has_value());
}

}  // namespace
}  // namespace kl
