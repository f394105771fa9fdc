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
  const auto files = catalogue::FilesForCard(653, catalogue::mcu::LPC4337);
  ASSERT_TRUE(files.has_value());
  const auto rows = files->resourceInputs.first(2);
  size_t records = 0;
  for (const auto& row : rows) records += ImageOf(row).length + 8;
  std::vector<uint16_t> announced;
  const auto announce = [&](const catalogue::DriveFileRow& row) { announced.push_back(row.fileNumber); };

  const auto roomy = BuildResourceFile(rows, records + 2, announce);
  ASSERT_TRUE(roomy.has_value());
  EXPECT_EQ(roomy->size(), records + 2);
  EXPECT_EQ(roomy->back(), 0xFF);  // a complemented zero
  EXPECT_EQ(BuildResourceFile(rows, records + 1, announce)->size(), records);
  EXPECT_FALSE(BuildResourceFile(rows, records - 1, announce).has_value());
  EXPECT_EQ(announced, (std::vector<uint16_t>{0x0100, 0x01C0, 0x0100, 0x01C0, 0x0100, 0x01C0}));
}

}  // namespace
}  // namespace kl
