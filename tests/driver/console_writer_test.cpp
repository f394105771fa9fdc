#include <gtest/gtest.h>

#include "driver/output.h"
#include "platform/sim/sim_platform.h"
#include "support/temp_dir.h"

namespace kl {
namespace {

class ConsoleLineEnds : public ::testing::Test {
 protected:
  test::TempDir dir;
  SimPlatform sim{dir.path()};
  ConsoleWriter writer{sim.console};

  std::string shown() {
    writer.flush();
    return sim.console.output();
  }
};

TEST_F(ConsoleLineEnds, FinalLineEndWaitsForMoreText) {
  writeString(writer, "one\r\n");
  EXPECT_EQ(shown(), "one");
  writeString(writer, "two");
  EXPECT_EQ(shown(), "one\r\ntwo");
}

TEST_F(ConsoleLineEnds, TwoLineEndsShowTwoBreaks) {
  writeString(writer, "a\r\n\r\nb");
  EXPECT_EQ(shown(), "a\r\n\r\nb");
}

TEST_F(ConsoleLineEnds, LoneCrAndLoneLfEachEndALine) {
  writeString(writer, "a\rb\nc");
  EXPECT_EQ(shown(), "a\r\nb\r\nc");
}

TEST_F(ConsoleLineEnds, PendingLineEndIsWrittenBeforeARead) {
  writeString(writer, "question\r\n");
  writer.beforeRead();
  EXPECT_EQ(shown(), "question\r\n");
}

TEST_F(ConsoleLineEnds, LineEndAfterAReadShowsOnceBeforeNextText) {
  writeString(writer, "Press Enter key to continue");
  writer.beforeRead();
  writeString(writer, "\r\n");
  writeString(writer, "next");
  // The key press itself was not echoed: one break separates the prompt from what follows.
  EXPECT_EQ(shown(), "Press Enter key to continue\r\nnext");
}

}  // namespace
}  // namespace kl
